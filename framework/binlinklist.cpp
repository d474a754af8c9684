#include "framework/binlinklist.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/apllog.h"

namespace {

// The largest piece whose block size still fits the signed 32-bit size field.
constexpr long kMaxPieceSize = INT32_MAX - 64;

}  // namespace

CBinLinkList::CBinLinkList() : m_pHead(nullptr), m_lCount(0) {}

CBinLinkList::CBinLinkList(const CBinLinkList& other) : m_pHead(nullptr), m_lCount(0) { *this = other; }

CBinLinkList::~CBinLinkList() { RemoveAll(); }

CBinLinkList& CBinLinkList::operator=(const CBinLinkList& other) {
    if (this == &other) return *this;  // clearing first would lose the pieces to copy
    RemoveAll();
    for (const PIECE* p = other.m_pHead; p; p = p->pNext) {
        long result = Add(Bytes(p), p->lSize);
        if (result != 0) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "fail Add  size=%d", static_cast<int>(p->lSize));
            CAplLog::Write(8000, static_cast<DWORD>(result), 0, "CBinLinkList::operator=", msg, 1);
            break;
        }
    }
    return *this;
}

long CBinLinkList::Add(const void* data, long size) {
    if (!data) return -3;
    if (size < 0 || size > kMaxPieceSize || m_lCount == INT32_MAX) return -1;
    PIECE* piece = static_cast<PIECE*>(std::malloc(sizeof(PIECE) + static_cast<size_t>(size) + 1));
    if (!piece) return -1;
    piece->pNext = nullptr;
    piece->lSize = static_cast<LONG>(size);
    if (size) std::memcpy(Bytes(piece), data, static_cast<size_t>(size));
    Bytes(piece)[size] = '\0';

    PIECE** link = &m_pHead;
    while (*link) link = &(*link)->pNext;
    *link = piece;
    ++m_lCount;
    return 0;
}

long CBinLinkList::GetAt(long index, char** data) const {
    if (data) *data = nullptr;
    if (index < 0 || index >= m_lCount) return -1;
    PIECE* p = m_pHead;
    for (long i = 0; i < index; ++i) p = p->pNext;
    if (data) *data = Bytes(p);
    return p->lSize;
}

long CBinLinkList::RemoveAt(long index) {
    if (index < 0 || index >= m_lCount) return -1;
    PIECE** link = &m_pHead;
    for (long i = 0; i < index; ++i) link = &(*link)->pNext;
    PIECE* gone = *link;
    *link = gone->pNext;
    std::free(gone);
    --m_lCount;
    return 0;
}

void CBinLinkList::RemoveAll() {
    while (m_pHead) {
        PIECE* next = m_pHead->pNext;
        std::free(m_pHead);
        m_pHead = next;
    }
    m_lCount = 0;
}
