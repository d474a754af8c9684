// Text helpers shared by the parameter-block classes: the trimming rule of a line's key
// and value, the two tokenizers, and the number readers. Everything works on
// NUL-terminated 8-bit text and never reads past its terminator.
#pragma once

#include <string>

#include "pal/types.h"

namespace pblock {

// Leading blanks, CRs, LFs and TABs; trailing blank, TAB, LF, VT, FF and CR. The two sets
// differ on purpose: received lines keep a leading VT or FF.
inline bool IsLeadTrim(char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; }
inline bool IsTrailTrim(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trim(const char* text, size_t length);
inline std::string Trim(const std::string& text) { return Trim(text.data(), text.size()); }

// Token up to the first delimiter; returns characters consumed, one delimiter included.
int GetToken(std::string& out, const char* text, const char* delimiters, bool trim);

// Decimal integer at the start (leading white space, optional sign); 0 when none.
// Saturates instead of overflowing.
LONG ReadNumber(const char* text);

// Decimal floating-point number at the start; 0 when none.
double ReadDouble(const char* text);

// printf into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Two lower-case digits per byte, high digit first.
std::string ToHex(const BYTE* bytes, size_t length);

}  // namespace pblock
