#include "pblock/token.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pblock {

std::string Trim(const char* text, size_t length) {
    size_t b = 0;
    while (b < length && IsLeadTrim(text[b])) ++b;
    size_t e = length;
    while (e > b && IsTrailTrim(text[e - 1])) --e;
    return std::string(text + b, e - b);
}

int GetToken(std::string& out, const char* text, const char* delimiters, bool trim) {
    out.clear();
    if (text == nullptr || *text == '\0') return 0;
    size_t n = (delimiters != nullptr) ? strcspn(text, delimiters) : strlen(text);
    out = trim ? Trim(text, n) : std::string(text, n);
    return static_cast<int>(text[n] != '\0' ? n + 1 : n);
}

LONG ReadNumber(const char* text) {
    if (text == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<LONG>(value);
}

double ReadDouble(const char* text) {
    if (text == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (isspace(*p)) ++p;
    // Take only the decimal form, so strtod never sees hexadecimal, INF or NAN text.
    const unsigned char* start = p;
    if (*p == '+' || *p == '-') ++p;
    size_t digits = 0;
    while (isdigit(*p)) ++p, ++digits;
    if (*p == '.') {
        ++p;
        while (isdigit(*p)) ++p, ++digits;
    }
    if (digits == 0) return 0;
    if (*p == 'e' || *p == 'E') {
        const unsigned char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (isdigit(*q)) {
            while (isdigit(*q)) ++q;
            p = q;
        }
    }
    std::string number(reinterpret_cast<const char*>(start), p - start);
    return strtod(number.c_str(), nullptr);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        vsnprintf(out.data(), out.size() + 1, format, args);
    }
    va_end(args);
    return out;
}

std::string ToHex(const BYTE* bytes, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0f];
    }
    return out;
}

}  // namespace pblock
