#include "pblock/exparamarray.h"

#include <cctype>

#include "pblock/token.h"

CExparamStringArray& CExparamStringArray::operator=(const CExparamStringArray& other) {
    if (this != &other) {
        m_aryLines = other.m_aryLines;
        m_strBuff.clear();
        m_strPending.clear();
    }
    return *this;
}

std::string_view CExparamStringArray::KeyOf(std::string_view line, size_t* pnConsumed) {
    // The same key as GetToken at "=" with trimming, without building a string.
    size_t eq = line.find('=');
    size_t end = eq == std::string_view::npos ? line.size() : eq;
    if (pnConsumed) *pnConsumed = eq == std::string_view::npos ? line.size() : eq + 1;
    size_t b = 0;
    while (b < end && pblock::IsLeadTrim(line[b])) ++b;
    while (end > b && pblock::IsTrailTrim(line[end - 1])) --end;
    return line.substr(b, end - b);
}

CExparamStringArray& CExparamStringArray::operator+=(const char* pszText) {
    if (pszText == nullptr) return *this;
    const char* p = pszText;
    std::string piece;
    for (;;) {
        int n = pblock::GetToken(piece, p, "\n", false);
        if (n == 0) break;
        bool ended = p[n - 1] == '\n';
        p += n;
        m_strPending += piece;
        if (!ended) break;
        if (m_strPending.empty()) continue;
        std::string_view key = KeyOf(m_strPending);
        bool replaced = false;
        for (auto& line : m_aryLines) {
            if (KeyOf(line) == key) {
                line = m_strPending;
                replaced = true;
                break;
            }
        }
        if (!replaced) m_aryLines.push_back(m_strPending);
        m_strPending.clear();
    }
    return *this;
}

CExparamStringArray& CExparamStringArray::operator=(const char* pszText) {
    RemoveAll();
    if (pszText == nullptr) return *this;
    for (std::string_view rest(pszText); !rest.empty();) {
        size_t lf = rest.find('\n');
        std::string_view piece = rest.substr(0, lf);
        if (!piece.empty()) m_aryLines.emplace_back(piece);
        if (lf == std::string_view::npos) break;
        rest.remove_prefix(lf + 1);
    }
    return *this;
}

CExparamStringArray::operator const char*() {
    m_strBuff.clear();
    for (const auto& line : m_aryLines) {
        m_strBuff += line;
        m_strBuff += '\n';
    }
    return m_strBuff.c_str();
}

void CExparamStringArray::RemoveAll() {
    m_aryLines.clear();
    m_strBuff.clear();
    m_strPending.clear();
}

int CExparamStringArray::RemoveAt(const char* pszKey) {
    if (pszKey == nullptr) return -1;
    int last = -1;
    for (size_t i = 0; i < m_aryLines.size();) {
        if (KeyOf(m_aryLines[i]) == pszKey) {
            m_aryLines.erase(m_aryLines.begin() + static_cast<long>(i));
            last = static_cast<int>(i);
        } else {
            ++i;
        }
    }
    return last;
}

std::string CExparamStringArray::Search(const char* pszKey) const {
    std::string value;
    Search(pszKey, value);
    return value;
}

int CExparamStringArray::Search(const char* pszKey, std::string& strOut) const {
    strOut.clear();
    if (pszKey == nullptr) return -1;
    const std::string_view key(pszKey);
    for (size_t i = 0; i < m_aryLines.size(); ++i) {
        const std::string& line = m_aryLines[i];
        size_t n = 0;
        if (KeyOf(line, &n) == key) {
            strOut = pblock::Trim(line.data() + n, line.size() - n);
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CExparamStringArray::Search(const char* pszKey, LONG& lOut) const {
    std::string value;
    int index = Search(pszKey, value);
    lOut = pblock::ReadNumber(value.c_str());
    return index;
}

int CExparamStringArray::Search(const char* pszKey, long& lOut) const {
    LONG value = 0;
    int index = Search(pszKey, value);
    lOut = value;
    return index;
}

int CExparamStringArray::Search(const char* pszKey, double& dOut) const {
    std::string value;
    int index = Search(pszKey, value);
    dOut = pblock::ReadDouble(value.c_str());
    return index;
}

namespace {

// A character below ':' counts as its decimal value, any other as its lower-case code
// minus 87; no further check, so malformed text decodes without failing.
int HexDigit(unsigned char c) { return c < ':' ? c - '0' : tolower(c) - 87; }

std::vector<BYTE> DecodeHex(const std::string& value) {
    const size_t length = value.size();
    std::vector<BYTE> bytes;
    bytes.reserve((length + 1) / 2);
    size_t i = 0;
    if (length % 2 == 1) bytes.push_back(static_cast<BYTE>(HexDigit(static_cast<unsigned char>(value[i++]))));
    for (; i + 1 < length; i += 2) {
        int hi = HexDigit(static_cast<unsigned char>(value[i]));
        int lo = HexDigit(static_cast<unsigned char>(value[i + 1]));
        bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
    }
    return bytes;
}

}  // namespace

int CExparamStringArray::Search(const char* pszKey, std::vector<BYTE>& aryOut) const {
    std::string value;
    int index = Search(pszKey, value);
    // Index 0 is a found key like any other; only -1 means absent.
    aryOut = index >= 0 ? DecodeHex(value) : std::vector<BYTE>();
    return index;
}

int CExparamStringArray::Search(const char* pszKey, CBinBuff& binOut) const {
    std::vector<BYTE> bytes;
    int index = Search(pszKey, bytes);
    if (index < 0 || !binOut.Set(bytes.data(), static_cast<int>(bytes.size()))) binOut.Free();
    return index;
}
