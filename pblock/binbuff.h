// CBinBuff: a heap byte buffer owned by the object, used for binary parameter values
// (written as hexadecimal text). Every position and length is checked against the
// buffer, so a bad argument fails with the operation's failure result instead of
// touching memory outside it.
#pragma once

#include <string>

#include "pal/types.h"

class CBinBuff {
public:
    explicit CBinBuff(int nSize = 0);
    CBinBuff(const CBinBuff& other);
    CBinBuff& operator=(const CBinBuff& other);
    ~CBinBuff();

    int Alloc(int nSize);  // 1, or 0 (negative size, no memory); content undefined
    int Free();            // 1
    int SetSize(int nSize) { return Alloc(nSize); }
    int Set(const BYTE* pData, int nLength);             // 1, or 0 (bad length, no memory)
    int Get(BYTE* pDest, int nLength) const;             // 1; copies min(length, size)
    int Copy(const BYTE* pSrc, int nLength, int nPos);   // 0 when outside the buffer
    int Add(const BYTE* pData, int nLength);             // 0 leaves the buffer unchanged
    int Insert(const BYTE* pData, int nLength, int nPos);  // the same; position 0..size

    int GetSize() const { return m_nSize; }
    operator unsigned char*() { return m_pbyBuff; }
    operator const unsigned char*() const { return m_pbyBuff; }
    // An index outside the buffer yields a scratch byte, never memory beyond it.
    BYTE& operator[](int nIndex);
    BYTE operator[](int nIndex) const;
    operator std::string() const;  // lower-case hexadecimal text

private:
    BYTE* m_pbyBuff;
    int m_nSize;
    BYTE m_byScratch;
};
