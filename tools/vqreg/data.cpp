// Value types and data on the command line: names, --data parsing, and display.
#include <cstdio>
#include <cstring>

#include "pal/registry/registry.h"
#include "pal/registry/tree.h"
#include "tools/vqreg/cli.h"

namespace vqreg {

namespace {

const struct {
    const char* name;
    DWORD type;
} kTypes[] = {
    {"REG_NONE", REG_NONE},   {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

// A decimal or 0x-hexadecimal number no larger than max, nothing else.
bool ParseNumber(const std::string& s, uint64_t max, uint64_t& out) {
    size_t i = 0;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        unsigned d;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (v > (max - d) / base) return false;
        v = v * base + d;
    }
    out = v;
    return true;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool TypeFromName(const std::string& name, DWORD& type) {
    for (const auto& t : kTypes) {
        if (pal::reg::SameName(name, t.name)) {
            type = t.type;
            return true;
        }
    }
    return false;
}

std::string TypeName(DWORD type) {
    for (const auto& t : kTypes)
        if (t.type == type) return t.name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%x", type);
    return buf;
}

bool EncodeData(DWORD type, const std::vector<std::string>& data, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    if (data.size() > 1 && type != REG_MULTI_SZ) {
        why = "--data may be given more than once for REG_MULTI_SZ only";
        return false;
    }
    const std::string one = data.empty() ? std::string() : data[0];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        out.assign(one.begin(), one.end());
        out.push_back(0);
        return true;
    case REG_MULTI_SZ: {
        // Each --data is one or more strings; the two characters \0 separate them.
        std::vector<std::string> strings;
        for (const std::string& d : data) {
            size_t start = 0;
            while (true) {
                size_t sep = d.find("\\0", start);
                strings.push_back(d.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
                if (sep == std::string::npos) break;
                start = sep + 2;
            }
        }
        if (strings.size() == 1 && strings[0].empty() && data.size() <= 1) strings.clear();
        for (const std::string& s : strings) {
            if (s.empty()) {
                why = "REG_MULTI_SZ strings cannot be empty (an empty string ends the list): \"" + one + "\"";
                return false;
            }
            out.insert(out.end(), s.begin(), s.end());
            out.push_back(0);
        }
        out.push_back(0);  // the list's terminator; an empty list is this byte alone
        return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
        const bool q = type == REG_QWORD;
        uint64_t v = 0;
        if (!data.empty() && !ParseNumber(one, q ? UINT64_MAX : 0xFFFFFFFFull, v)) {
            why = std::string("not a ") + (q ? "64" : "32") +
                  "-bit unsigned number (decimal or 0x hexadecimal): \"" + one + "\"";
            return false;
        }
        for (int i = 0; i < (q ? 8 : 4); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return true;
    }
    default: {
        // REG_BINARY, REG_NONE: hexadecimal bytes, optionally separated by ',', ' ' or ':'.
        std::string digits;
        for (char c : one) {
            if (c == ',' || c == ' ' || c == ':') continue;
            if (Hex(c) < 0) {
                why = "not hexadecimal bytes: \"" + one + "\"";
                return false;
            }
            digits += c;
        }
        if (digits.size() % 2) {
            why = "odd number of hexadecimal digits: \"" + one + "\"";
            return false;
        }
        for (size_t i = 0; i < digits.size(); i += 2)
            out.push_back(static_cast<uint8_t>(Hex(digits[i]) * 16 + Hex(digits[i + 1])));
        return true;
    }
    }
}

std::string ShowData(DWORD type, const std::vector<uint8_t>& data) {
    char buf[32];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::string s(data.begin(), data.end());
        return s.substr(0, s.find('\0'));
    }
    case REG_MULTI_SZ: {
        std::string out;
        for (size_t i = 0; i < data.size();) {
            size_t end = i;
            while (end < data.size() && data[end] != 0) ++end;
            if (end == i) break;
            if (!out.empty()) out += "\\0";
            out.append(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(end));
            i = end + 1;
        }
        return out;
    }
    case REG_DWORD:
        if (data.size() == 4) {
            uint32_t v = 0;
            std::memcpy(&v, data.data(), 4);
            std::snprintf(buf, sizeof buf, "0x%x", v);
            return buf;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            uint64_t v = 0;
            std::memcpy(&v, data.data(), 8);
            std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
            return buf;
        }
        break;
    default: break;
    }
    std::string hex;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        hex += buf;
    }
    return hex;
}

}  // namespace vqreg
