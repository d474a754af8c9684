#include "tools/vqevent/args.h"

#include <cctype>

namespace vqevent {

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, ParsedArgs& out,
               std::string& error) {
    out = ParsedArgs{};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out.help = true;
            continue;
        }
        if (a.size() < 2 || a[0] != '-' || a == "--") {
            out.positional.push_back(a);
            continue;
        }
        std::string name = a, value;
        bool inlineValue = false;
        if (auto eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            inlineValue = true;
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs)
            if (s.name == name) spec = &s;
        if (!spec) {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (spec->takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!spec->takesValue && inlineValue) {
            error = name + " takes no value";
            return false;
        }
        auto& values = out.options[name];
        if (!values.empty() && !spec->repeatable) {
            error = name + " given twice";
            return false;
        }
        values.push_back(value);
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value) {
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        int c = static_cast<unsigned char>(text[i]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return false;
        if (v > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (v < min || v > max) return false;
    value = v;
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int high = -1;
    for (char ch : text) {
        int c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == ':' || c == '\t') {
            if (high >= 0) return false;  // separators only between whole bytes
            continue;
        }
        if (!std::isxdigit(c)) return false;
        int nibble = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    return high < 0;
}

}  // namespace vqevent
