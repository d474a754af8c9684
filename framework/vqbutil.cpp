#include "framework/vqbutil.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/apllog.h"
#include "framework/registory.h"
#include "pal/windows.h"
#include "session/vqsession.h"

namespace {

// The terminals run the Japanese code page: a lead byte starts a two-byte character.
bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string ProcessUserName() {
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    const char* env = getenv("USER");
    return env ? env : "";
}

}  // namespace

void atobcd(BYTE* dest, const char* src, int count) {
    if (!dest || !src || count <= 0) return;
    int n = count;
    while (n > 0 && *src == ' ') {
        if (n % 2 == 1) *dest++ = 0;
        --n;
        ++src;
    }
    BYTE high = 0;
    while (n > 0) {
        // Past the end of a short text the digits are zeros; the text is not read further.
        BYTE digit = 0;
        if (*src) digit = static_cast<BYTE>(*src++ & 0x0F);
        --n;
        if (n % 2 == 1) {
            high = static_cast<BYTE>(digit << 4);
        } else {
            *dest++ = static_cast<BYTE>(high | digit);
            high = 0;
        }
    }
}

DWORD a2h(const char* text) {
    DWORD value = 0;
    if (!text) return 0;
    for (; *text; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        DWORD digit = c <= '9' ? c - '0' : static_cast<DWORD>(std::tolower(c)) - 87;
        value = (value << 4) + digit;
    }
    return value;
}

int GetToken(std::string& token, const char* text, const char* delimiters) {
    token.clear();
    if (!text || !*text) return 0;
    if (!delimiters) delimiters = "";

    const char* p = text;
    while (*p && IsBlank(static_cast<unsigned char>(*p))) ++p;

    bool quoted = false;
    bool first = true;
    bool atDelimiter = false;
    size_t kept = 0;  // the token's length after its last quoted character: never trimmed
    while (*p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!quoted && !first && std::strchr(delimiters, c)) {
            atDelimiter = true;
            break;
        }
        first = false;
        if (c == '"') {
            quoted = !quoted;
            ++p;
            kept = token.size();
            continue;
        }
        if (quoted && c == '\\' && p[1]) {
            ++p;
            c = static_cast<unsigned char>(*p);
        }
        token += static_cast<char>(c);
        ++p;
        // A trail byte is copied as it stands; a lead byte at the end of the text has none.
        if (IsLeadByte(c) && *p) token += *p++;
        if (quoted) kept = token.size();
    }
    size_t end = token.size();
    while (end > kept && IsBlank(static_cast<unsigned char>(token[end - 1]))) --end;
    token.resize(end);
    return static_cast<int>(p - text) + (atDelimiter ? 1 : 0);
}

int VQBGetTsePcName(char* dest) {
    char computer[25] = {};
    DWORD size = sizeof computer;
    if (!GetComputerNameA(computer, &size)) computer[0] = '\0';
    std::string user = ProcessUserName().substr(0, 15);

    LONG mode = CVQRegistory::GetRegTse();
    switch (mode) {
    case 0:
        std::snprintf(dest, 17, "%s", computer);
        return 0;
    case 1: {
        DWORD session = 0;
        int result = VQBTseGetSessionId(&session, nullptr, nullptr);
        if (result != 0) {
            CAplLog::Write(8000, static_cast<DWORD>(std::abs(result)), 0, "VQBGetTsePcName", "", 2);
            return result;
        }
        std::snprintf(dest, 25, "%-.7s%08x", user.c_str(), static_cast<unsigned>(session));
        return 1;
    }
    case 2:
        std::snprintf(dest, 16, "%s", user.c_str());
        return 2;
    default:
        CAplLog::Write(8000, static_cast<DWORD>(mode), 0, "VQBGetTsePcName", "registory value error : ", 2);
        return -mode;
    }
}
