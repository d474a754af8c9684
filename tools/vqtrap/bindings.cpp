#include "tools/vqtrap/bindings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vqtrap {

const char kTypeHelp[] =
    "TYPE is one letter, as with snmptrap:\n"
    "  i  INTEGER (Integer32)          u  UNSIGNED (Gauge32)        c  COUNTER (Counter32)\n"
    "  s  STRING (octet string)        x  HEX STRING (octet string) d  DECIMAL STRING (octet string)\n"
    "  n  NULL (value ignored)         o  OBJECT IDENTIFIER         t  TIMETICKS (hundredths)\n"
    "  a  IPADDRESS (a.b.c.d)          b  BITS (the text as given)\n"
    "and for the types snmptrap has no letter for:\n"
    "  O  Opaque (the text)            C  Counter64 (0 .. 18446744073709551615)\n"
    "  w  Unsigned32 (0 .. 4294967295)\n"
    "snmptrap's U, I, F and D (Opaque-wrapped 64-bit and floating-point numbers) are not\n"
    "supported.\n"
    "Texts travel NUL-terminated, so a value cannot hold a zero byte; texts longer than\n"
    "2047 bytes are cut.\n";

namespace {

bool ParseUnsigned(const std::string& s, uint64_t max, uint64_t& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    out = v;
    return true;
}

bool ParseSigned32(const std::string& s, int32_t& out) {
    if (s.empty() || s[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool ParseIp(const std::string& s, uint8_t (&ip)[4]) {
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = s.find('.', pos);
        if ((i < 3) != (end != std::string::npos)) return false;
        std::string part = s.substr(pos, i < 3 ? end - pos : std::string::npos);
        uint64_t v = 0;
        if (part.size() > 3 || !ParseUnsigned(part, 255, v)) return false;
        ip[i] = static_cast<uint8_t>(v);
        pos = end + 1;
    }
    return true;
}

// snmptrap's x and d forms give bytes; they must not hold a zero byte here.
bool ParseBytes(const std::string& s, bool hex, std::string& out, std::string& why) {
    out.clear();
    std::string token;
    auto flush = [&]() -> bool {
        if (token.empty()) return true;
        uint64_t v = 0;
        if (hex) {
            if (token.size() > 2 || token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            v = std::strtoul(token.c_str(), nullptr, 16);
        } else if (!ParseUnsigned(token, 255, v)) {
            return false;
        }
        if (v == 0) {
            why = "holds a zero byte, which cannot travel in a trap text";
            return false;
        }
        out += static_cast<char>(v);
        token.clear();
        return true;
    };
    for (char c : s) {
        if (c == ' ' || c == ':' || (c == '.' && !hex)) {
            if (!flush()) return false;
        } else if (hex && token.size() == 2) {
            if (!flush()) return false;
            token += c;
        } else {
            token += c;
        }
    }
    return flush() && !out.empty();
}

}  // namespace

bool ParseRequest(const std::vector<std::string>& args, Request& request, std::string& error) {
    if (args.size() < 2) {
        error = "missing ENTERPRISE_OID or SPECIFIC_ID";
        return false;
    }
    request.enterprise = args[0];
    if (!ParseSigned32(args[1], request.specific)) {
        error = "SPECIFIC_ID \"" + args[1] + "\" is not a 32-bit number";
        return false;
    }
    if ((args.size() - 2) % 3 != 0) {
        error = "bindings come in threes (OID TYPE VALUE); the last one is incomplete";
        return false;
    }
    for (size_t i = 2; i < args.size(); i += 3) {
        Binding b;
        b.oid = args[i];
        const std::string& type = args[i + 1];
        b.text = args[i + 2];
        std::string where = "binding " + std::to_string((i - 2) / 3 + 1) + " (" + b.oid + "): ";
        if (type.size() == 1 && std::strchr("UIFD", type[0]) != nullptr) {
            error = where + "type " + type + " (an Opaque-wrapped number in snmptrap) is not supported; use C for "
                    "Counter64, w for Unsigned32, O for an Opaque text";
            return false;
        }
        if (type.size() != 1 || std::strchr("iucsxdnotabOCw", type[0]) == nullptr) {
            error = where + "unknown type \"" + type + "\" (see --help)";
            return false;
        }
        b.type = type[0];
        uint64_t v = 0;
        bool ok = true;
        std::string why;
        switch (b.type) {
            case 'i':
                ok = ParseSigned32(b.text, b.integer);
                why = "not a signed 32-bit number";
                break;
            case 'u':
            case 'c':
            case 't':
            case 'w':
                ok = ParseUnsigned(b.text, 0xFFFFFFFFull, v);
                b.number = static_cast<uint32_t>(v);
                why = "not an unsigned 32-bit number";
                break;
            case 'C':
                ok = ParseUnsigned(b.text, UINT64_MAX, b.number64);
                why = "not an unsigned 64-bit number";
                break;
            case 'a':
                ok = ParseIp(b.text, b.ip);
                why = "not an IPv4 address a.b.c.d";
                break;
            case 'x':
            case 'd': {
                std::string bytes;
                ok = ParseBytes(b.text, b.type == 'x', bytes, why);
                if (!ok && why.empty()) why = b.type == 'x' ? "not hexadecimal bytes" : "not decimal bytes";
                b.text = bytes;
                break;
            }
            default:
                break;
        }
        if (!ok) {
            error = where + "\"" + args[i + 2] + "\": " + why;
            return false;
        }
        request.bindings.push_back(std::move(b));
    }
    return true;
}

}  // namespace vqtrap
