#include "pblock/binbuff.h"

#include <climits>
#include <cstring>
#include <new>

#include "pblock/token.h"

CBinBuff::CBinBuff(int nSize) : m_pbyBuff(nullptr), m_nSize(0), m_byScratch(0) {
    if (nSize > 0) Alloc(nSize);
}

CBinBuff::CBinBuff(const CBinBuff& other) : m_pbyBuff(nullptr), m_nSize(0), m_byScratch(0) {
    Set(other.m_pbyBuff, other.m_nSize);
}

CBinBuff& CBinBuff::operator=(const CBinBuff& other) {
    // Set copies before it frees, so even assignment to itself stays on live memory.
    if (this != &other) Set(other.m_pbyBuff, other.m_nSize);
    return *this;
}

CBinBuff::~CBinBuff() { delete[] m_pbyBuff; }

int CBinBuff::Alloc(int nSize) {
    if (nSize < 0) return 0;
    Free();
    if (nSize == 0) return 1;
    m_pbyBuff = new (std::nothrow) BYTE[nSize];
    if (m_pbyBuff == nullptr) return 0;
    m_nSize = nSize;
    return 1;
}

int CBinBuff::Free() {
    delete[] m_pbyBuff;
    m_pbyBuff = nullptr;
    m_nSize = 0;
    return 1;
}

int CBinBuff::Set(const BYTE* pData, int nLength) {
    if (nLength < 0 || (pData == nullptr && nLength > 0)) return 0;
    BYTE* p = nullptr;
    if (nLength > 0) {
        p = new (std::nothrow) BYTE[nLength];
        if (p == nullptr) return 0;
        memcpy(p, pData, nLength);  // pData may lie in our own bytes: copy before freeing
    }
    delete[] m_pbyBuff;
    m_pbyBuff = p;
    m_nSize = nLength;
    return 1;
}

int CBinBuff::Get(BYTE* pDest, int nLength) const {
    int n = nLength < m_nSize ? nLength : m_nSize;
    if (pDest != nullptr && n > 0) memcpy(pDest, m_pbyBuff, n);
    return 1;
}

int CBinBuff::Copy(const BYTE* pSrc, int nLength, int nPos) {
    if (nLength < 0 || nPos < 0) return 0;
    if (static_cast<long long>(nPos) + nLength > m_nSize) return 0;
    if (nLength == 0) return 1;
    if (pSrc == nullptr) return 0;
    memmove(m_pbyBuff + nPos, pSrc, nLength);
    return 1;
}

int CBinBuff::Add(const BYTE* pData, int nLength) { return Insert(pData, nLength, m_nSize); }

int CBinBuff::Insert(const BYTE* pData, int nLength, int nPos) {
    if (nLength < 0 || nPos < 0 || nPos > m_nSize) return 0;
    if (nLength == 0) return 1;
    if (pData == nullptr || static_cast<long long>(m_nSize) + nLength > INT_MAX) return 0;
    int nNew = m_nSize + nLength;
    BYTE* p = new (std::nothrow) BYTE[nNew];
    if (p == nullptr) return 0;
    if (nPos > 0) memcpy(p, m_pbyBuff, nPos);
    memcpy(p + nPos, pData, nLength);
    if (m_nSize > nPos) memcpy(p + nPos + nLength, m_pbyBuff + nPos, m_nSize - nPos);
    delete[] m_pbyBuff;
    m_pbyBuff = p;
    m_nSize = nNew;
    return 1;
}

BYTE& CBinBuff::operator[](int nIndex) {
    if (nIndex < 0 || nIndex >= m_nSize) {
        m_byScratch = 0;
        return m_byScratch;
    }
    return m_pbyBuff[nIndex];
}

BYTE CBinBuff::operator[](int nIndex) const {
    return (nIndex < 0 || nIndex >= m_nSize) ? 0 : m_pbyBuff[nIndex];
}

CBinBuff::operator std::string() const { return pblock::ToHex(m_pbyBuff, m_nSize > 0 ? m_nSize : 0); }
