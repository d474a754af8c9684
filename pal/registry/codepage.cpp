#include "pal/registry/codepage.h"

#include "pal/core/utf8.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

namespace pal::reg {

namespace {

size_t Sequence(const unsigned char* p, size_t left, uint32_t& cp) { return core::Utf8Sequence(p, left, cp); }

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Hex4(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

// One glibc converter per direction and thread, opened on first use: a .reg file converts
// one string per name and value.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // The whole input or nothing: false on a byte sequence the source cannot read
    // (EILSEQ), one cut short (EINVAL), or a character the target does not have.
    bool Convert(std::string_view in, std::string& out) {
        out.clear();
        if (!ok()) return false;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char chunk[1024];
        while (srcLeft > 0) {
            char* dst = chunk;
            size_t dstLeft = sizeof chunk;
            size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(chunk, static_cast<size_t>(dst - chunk));
            if (r == static_cast<size_t>(-1) && errno != E2BIG) return false;
        }
        return true;
    }

private:
    iconv_t cd_;
};

Converter& ToCp932() {
    thread_local Converter c("CP932", "UTF-8");
    return c;
}

Converter& FromCp932() {
    thread_local Converter c("UTF-8", "CP932");
    return c;
}

// CP932 holds the character exactly: it converts, and converts back to itself.
bool Exact(std::string_view utf8, std::string& cp932) {
    std::string back;
    return ToCp932().Convert(utf8, cp932) && FromCp932().Convert(cp932, back) && back == utf8;
}

}  // namespace

bool ValidUtf8(std::string_view text, size_t* badAt) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        uint32_t cp;
        size_t n = Sequence(p + i, text.size() - i, cp);
        if (!n) {
            if (badAt) *badAt = i;
            return false;
        }
        i += n;
    }
    return true;
}

bool HasNonAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

bool Utf16LeToUtf8(std::string_view bytes, std::string& out, int& badLine, std::string& why) {
    out.clear();
    out.reserve(bytes.size() / 2);
    int line = 1;
    const size_t units = bytes.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    };
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
            ++i;
            continue;
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            badLine = line;
            why = "unpaired UTF-16 surrogate " + Hex4(u);
            return false;
        }
        AppendUtf8(out, u);
        if (u == '\n') ++line;
    }
    if (bytes.size() % 2) {
        badLine = line;
        why = "the file ends in the middle of a UTF-16 character";
        return false;
    }
    return true;
}

std::string Utf8ToUtf16Le(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() * 2);
    auto put = [&](uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t i = 0;
    while (i < utf8.size()) {
        uint32_t cp = 0xFFFD;
        size_t n = Sequence(p + i, utf8.size() - i, cp);
        if (!n) {
            n = 1;  // callers pass valid UTF-8; never loop on a bad byte
            cp = 0xFFFD;
        }
        i += n;
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

bool Utf8ToCp932(std::string_view utf8, std::string& out, std::string& why) {
    if (!ToCp932().ok() || !FromCp932().ok()) {
        why = "the system has no converter for code page 932 (glibc's gconv modules are missing)";
        return false;
    }
    size_t bad = 0;
    if (!ValidUtf8(utf8, &bad)) {
        why = "malformed UTF-8";
        return false;
    }
    if (Exact(utf8, out)) return true;
    // Name the first character that does not make it.
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    std::string one;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        size_t n = Sequence(p + i, utf8.size() - i, cp);
        if (!Exact(utf8.substr(i, n), one)) {
            why = "U+" + Hex4(cp) + " has no exact form in code page 932";
            return false;
        }
        i += n;
    }
    why = "the text has no exact form in code page 932";
    return false;
}

bool Cp932ToUtf8(std::string_view cp932, std::string& out) { return FromCp932().Convert(cp932, out); }

bool Utf16LeStringsToCp932(const std::vector<uint8_t>& utf16, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    if (utf16.size() % 2) {
        why = "UTF-16 string data must have an even number of bytes";
        return false;
    }
    std::string run, utf8, cp932;
    int line = 0;
    auto flush = [&]() {
        if (run.empty()) return true;
        if (!Utf16LeToUtf8(run, utf8, line, why) || !Utf8ToCp932(utf8, cp932, why)) return false;
        out.insert(out.end(), cp932.begin(), cp932.end());
        run.clear();
        return true;
    };
    for (size_t i = 0; i < utf16.size(); i += 2) {
        if (utf16[i] == 0 && utf16[i + 1] == 0) {
            if (!flush()) return false;
            out.push_back(0);
        } else {
            run += static_cast<char>(utf16[i]);
            run += static_cast<char>(utf16[i + 1]);
        }
    }
    return flush();
}

bool Cp932StringsToUtf16Le(const std::vector<uint8_t>& cp932, std::vector<uint8_t>& out) {
    out.clear();
    std::string run, utf8;
    auto flush = [&]() {
        if (run.empty()) return true;
        if (!Cp932ToUtf8(run, utf8)) return false;
        const std::string wide = Utf8ToUtf16Le(utf8);
        out.insert(out.end(), wide.begin(), wide.end());
        run.clear();
        return true;
    };
    for (uint8_t b : cp932) {
        if (b == 0) {
            if (!flush()) return false;
            out.push_back(0);
            out.push_back(0);
        } else {
            run += static_cast<char>(b);
        }
    }
    return flush();
}

}  // namespace pal::reg
