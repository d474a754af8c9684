// Decoding one UTF-8 sequence, strictly: what the tools use to tell UTF-8 text from the
// suite's 8-bit code page and to show it safely.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pal::core {

// Length of the well-formed UTF-8 sequence at p (left bytes available, at least 1) and
// its code point; 0 when there is none (overlong forms, surrogates and code points beyond
// U+10FFFF are not well formed).
inline size_t Utf8Sequence(const unsigned char* p, size_t left, uint32_t& cp) {
    const unsigned char c = p[0];
    size_t n;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n > left) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

}  // namespace pal::core
