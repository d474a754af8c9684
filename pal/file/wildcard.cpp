#include "pal/file/wildcard.h"

#include <cctype>
#include <vector>

namespace pal {

namespace {

// The pattern's tokens after the DOS rewriting that FindFirstFile applies.
enum : char { kStar = '*', kDosStar = '<', kDosQm = '>', kDosDot = '"' };

struct Token {
    char kind;  // one of the above, or 0 for a literal
    char ch;
};

std::vector<Token> Compile(const std::string& p) {
    std::vector<Token> out;
    for (size_t i = 0; i < p.size(); ++i) {
        const char c = p[i];
        const char next = i + 1 < p.size() ? p[i + 1] : '\0';
        if (c == '?')
            out.push_back({kDosQm, c});
        else if (c == '*')
            out.push_back({next == '.' ? kDosStar : kStar, c});
        else if (c == '.' && (next == '?' || next == '*' || next == '\0'))
            out.push_back({kDosDot, c});
        else
            out.push_back({0, c});
    }
    return out;
}

bool SameLetter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

bool HasWildcards(const std::string& pattern) { return pattern.find_first_of("*?") != std::string::npos; }

bool MatchFilePattern(const std::string& pattern, const std::string& name) {
    const std::vector<Token> t = Compile(pattern);
    const size_t n = name.size();
    const size_t lastDot = name.rfind('.');
    // reach[i][j]: pattern tokens [0, i) can consume name [0, j). Filled forward.
    std::vector<std::vector<char>> reach(t.size() + 1, std::vector<char>(n + 1, 0));
    reach[0][0] = 1;
    for (size_t i = 0; i <= t.size(); ++i) {
        for (size_t j = 0; j <= n; ++j) {
            if (!reach[i][j] || i == t.size()) continue;
            const Token& tok = t[i];
            const bool more = j < n;
            switch (tok.kind) {
            case kStar:
                reach[i + 1][j] = 1;
                if (more) reach[i][j + 1] = 1;
                break;
            case kDosStar:
                reach[i + 1][j] = 1;
                if (more && !(name[j] == '.' && j == lastDot)) reach[i][j + 1] = 1;
                break;
            case kDosQm:
                if (more && name[j] != '.') {
                    reach[i + 1][j + 1] = 1;
                } else {
                    // At a dot or the end: skip the whole run of '?' without consuming.
                    size_t k = i;
                    while (k < t.size() && t[k].kind == kDosQm) ++k;
                    reach[k][j] = 1;
                }
                break;
            case kDosDot:
                if (more && name[j] == '.') reach[i + 1][j + 1] = 1;
                if (!more) reach[i + 1][j] = 1;
                break;
            default:
                if (more && SameLetter(tok.ch, name[j])) reach[i + 1][j + 1] = 1;
                break;
            }
        }
    }
    return reach[t.size()][n] != 0;
}

}  // namespace pal
