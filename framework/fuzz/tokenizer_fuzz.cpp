// The framework's text readers on arbitrary bytes: GetToken (walked over the whole text,
// as the request parsers do) and the digit converters atobcd and a2h. The first byte
// picks the delimiters; the input is cut at its first NUL like a C string.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/vqbutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const kDelimiters[] = {",", " ", ",;", "=", "\"", "\\", "", ",\x82"};
    const char* delimiters = kDelimiters[data[0] % (sizeof kDelimiters / sizeof kDelimiters[0])];
    // Exactly the text and its NUL on the heap, so any read past the end is seen.
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    size_t length = std::strlen(text.data());

    std::string token;
    const char* p = text.data();
    size_t walked = 0;
    for (int n; (n = GetToken(token, p, delimiters)) > 0;) {
        // Each cut moves forward and stays inside the text; a token is never longer.
        walked += static_cast<size_t>(n);
        if (walked > length || token.size() > length) std::abort();
        p += n;
    }

    int count = static_cast<int>(length % 40);
    std::vector<BYTE> bcd(static_cast<size_t>(count + 1) / 2);
    atobcd(bcd.data(), text.data(), count);
    (void)a2h(text.data());
    return 0;
}
