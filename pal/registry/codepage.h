// Conversions between the suite's 8-bit code page (CP932, Shift-JIS) and the Unicode forms
// .reg files come in. They are exact or they fail: a character that CP932 holds only by a
// best-fit mapping (U+00A5 YEN SIGN would become the byte 5C, a backslash) is refused
// rather than silently turned into another one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pal::reg {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF). When not,
// *badAt (if given) receives the offset of the first byte that is not.
bool ValidUtf8(std::string_view text, size_t* badAt = nullptr);
bool HasNonAscii(std::string_view text);

// UTF-16LE bytes (without a byte-order mark) to UTF-8. False for an unpaired surrogate or
// an odd number of bytes, with the 1-based line (counted by line feeds) and why.
bool Utf16LeToUtf8(std::string_view bytes, std::string& out, int& badLine, std::string& why);
// Valid UTF-8 to UTF-16LE bytes, without a byte-order mark.
std::string Utf8ToUtf16Le(std::string_view utf8);

// UTF-8 to CP932. False with why ("U+1F600 has no exact form in code page 932") when a
// character cannot be held exactly, or the converter is missing.
bool Utf8ToCp932(std::string_view utf8, std::string& out, std::string& why);
// CP932 bytes to UTF-8; false when they are not CP932 text (a byte the code page leaves
// undefined, or a lead byte without its second byte).
bool Cp932ToUtf8(std::string_view cp932, std::string& out);

// REG_EXPAND_SZ/REG_MULTI_SZ data between the two forms: each run of characters is
// converted, each terminator kept (one 0 byte in CP932, one 0 unit in UTF-16LE).
bool Utf16LeStringsToCp932(const std::vector<uint8_t>& utf16, std::vector<uint8_t>& out, std::string& why);
bool Cp932StringsToUtf16Le(const std::vector<uint8_t>& cp932, std::vector<uint8_t>& out);

}  // namespace pal::reg
