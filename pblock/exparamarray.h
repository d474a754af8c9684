// CExparamStringArray: the ordered lines of a parameter block, with lookup by key,
// merging insertion, removal and serialization. A line is "key=value" or a bare key;
// keys and values are trimmed when read, keys compared exactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pal/types.h"
#include "pblock/binbuff.h"

class CExparamStringArray {
public:
    CExparamStringArray() = default;
    CExparamStringArray(const CExparamStringArray& other) : m_aryLines(other.m_aryLines) {}
    CExparamStringArray& operator=(const CExparamStringArray& other);
    virtual ~CExparamStringArray() = default;

    // Merging insertion: lines ended by LF replace the first line of the same key or are
    // appended; a trailing piece without LF waits for the next insertion.
    CExparamStringArray& operator+=(const char* pszText);
    // Replaces all content by the text's non-empty lines, as they stand.
    CExparamStringArray& operator=(const char* pszText);
    // Every line followed by LF; valid until the next change.
    operator const char*();

    void RemoveAll();
    int RemoveAt(const char* pszKey);  // index of the last removal, or -1

    std::string Search(const char* pszKey) const;
    int Search(const char* pszKey, std::string& strOut) const;
    int Search(const char* pszKey, LONG& lOut) const;
    int Search(const char* pszKey, long& lOut) const;  // a native long, kept distinct from LONG
    int Search(const char* pszKey, double& dOut) const;
    int Search(const char* pszKey, std::vector<BYTE>& aryOut) const;
    int Search(const char* pszKey, CBinBuff& binOut) const;

    int GetSize() const { return static_cast<int>(m_aryLines.size()); }
    const std::string& GetAt(int nIndex) const { return m_aryLines.at(nIndex); }
    const std::string& GetPending() const { return m_strPending; }

protected:
    static std::string_view KeyOf(std::string_view line, size_t* pnConsumed = nullptr);
    void DropPending() { m_strPending.clear(); }

    std::vector<std::string> m_aryLines;
    std::string m_strBuff;
    std::string m_strPending;
};
