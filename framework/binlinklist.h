// CBinLinkList: an ordered list of binary pieces, each a copy owned by the list. The
// receive table queues answers in it, the message procedure keeps its handler list in it.
#pragma once

#include "pal/types.h"

class CBinLinkList {
public:
    CBinLinkList();
    CBinLinkList(const CBinLinkList& other);
    CBinLinkList& operator=(const CBinLinkList& other);
    virtual ~CBinLinkList();

    // 0 when a copy of the bytes was appended; -1 when no memory (or a size that cannot
    // be held); -3 for a null data pointer.
    long Add(const void* data, long size);
    // The piece's size with *data pointing into the list, or -1 (and null) for a bad index.
    long GetAt(long index, char** data) const;
    long RemoveAt(long index);
    void RemoveAll();

    long GetCount() const { return m_lCount; }

private:
    // One heap block per piece: link, size, the bytes and one spare NUL byte.
    struct PIECE {
        PIECE* pNext;
        LONG lSize;
    };
    static char* Bytes(const PIECE* piece) { return reinterpret_cast<char*>(const_cast<PIECE*>(piece) + 1); }

    PIECE* m_pHead;
    LONG m_lCount;
};
