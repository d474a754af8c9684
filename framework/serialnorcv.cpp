#include "framework/serialnorcv.h"

#include <cstdio>
#include <cstring>

#include "framework/apllog.h"
#include "framework/vqbexception.h"

std::vector<CSerialNoTbl> CSerialNoRcv::m_SerialNoTbl;
CRITICAL_SECTION CSerialNoRcv::m_CriticalSectionForMine;
int CSerialNoRcv::m_OpenCriticalSection = 0;
WORD CSerialNoRcv::m_CurrentSerialNo = 0;

namespace {

constexpr DWORD kAnyThread = 0xFFFFFFFFu;

class CTableLock {
public:
    CTableLock() { EnterCriticalSection(&CSerialNoRcv::m_CriticalSectionForMine); }
    ~CTableLock() { LeaveCriticalSection(&CSerialNoRcv::m_CriticalSectionForMine); }
    CTableLock(const CTableLock&) = delete;
    CTableLock& operator=(const CTableLock&) = delete;
};

void LogReceiveError(const char* message) { CAplLog::Write(8000, 0, 0, "CSerialNoRcv::Receive", message, 1); }

const char kNotFound[] = "It does not find specified SerialNo or it is not permitted in registration.";
const char kOverLimit[] = "The SerialNo registered is over MAXIMUM_WAIT_OBJECTS.";

}  // namespace

CSerialNoTbl::CSerialNoTbl() : m_nIndex(-1), m_dwThreadId(GetCurrentThreadId()), m_wSerialNo(0), m_hEvent(nullptr) {}

CSerialNoTbl::~CSerialNoTbl() = default;

int CSerialNoRcv::Open() {
    if (!m_OpenCriticalSection) {
        InitializeCriticalSection(&m_CriticalSectionForMine);
        m_OpenCriticalSection = 1;
    }
    CTableLock lock;
    m_SerialNoTbl.clear();
    m_SerialNoTbl.reserve(kGrowBy);
    m_CurrentSerialNo = 0;
    return 0;
}

void CSerialNoRcv::Close() {
    if (!m_OpenCriticalSection) return;
    m_OpenCriticalSection = 0;
    DeleteCriticalSection(&m_CriticalSectionForMine);
}

CSerialNoRcv::CSerialNoRcv() : m_dwThreadId(GetCurrentThreadId()) {}

CSerialNoRcv::~CSerialNoRcv() { Unregist(); }

int CSerialNoRcv::FindIndex(WORD serialNo, DWORD threadId) {
    for (size_t i = 0; i < m_SerialNoTbl.size(); ++i) {
        const CSerialNoTbl& e = m_SerialNoTbl[i];
        if (e.m_wSerialNo == serialNo && (threadId == kAnyThread || e.m_dwThreadId == threadId))
            return static_cast<int>(i);
    }
    return -1;
}

CSerialNoTbl CSerialNoRcv::GetSerialNoTbl(WORD serialNo, DWORD threadId) {
    CSerialNoTbl found;
    if (!m_OpenCriticalSection) return found;
    CTableLock lock;
    int index = FindIndex(serialNo, threadId);
    if (index >= 0) found = m_SerialNoTbl[static_cast<size_t>(index)];
    found.m_nIndex = index;
    return found;
}

CSerialNoTbl CSerialNoRcv::GetMySerialNoTbl(WORD serialNo) const { return GetSerialNoTbl(serialNo, m_dwThreadId); }

int CSerialNoRcv::Regist() {
    HANDLE unused = nullptr;
    return Regist(&unused);
}

int CSerialNoRcv::Regist(HANDLE* event) {
    if (event) *event = nullptr;
    if (!m_OpenCriticalSection) return -1;
    EnterCriticalSection(&m_CriticalSectionForMine);
    bool available = false;
    for (int i = 0; i < kMaxSerialNo + 3 && !available; ++i) {
        ++m_CurrentSerialNo;
        if (m_CurrentSerialNo == 0 || m_CurrentSerialNo > kMaxSerialNo) m_CurrentSerialNo = 1;
        available = FindIndex(m_CurrentSerialNo, kAnyThread) < 0;
    }
    if (!available) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        CAplLog::Write(7000, 0, 0, "CSerialNoRcv::Regist", "It is unusual that there is no non-registered SerialNo.",
                       2);
        return -1;
    }
    CSerialNoTbl entry;
    if (entry.m_dwThreadId != m_dwThreadId) {
        char msg[96];
        std::snprintf(msg, sizeof msg, "Mismatching is in the thread number of a SerialNo.  SerialNo=%d",
                      static_cast<int>(m_CurrentSerialNo));
        CAplLog::Write(7000, entry.m_dwThreadId, 0, "CSerialNoRcv::Regist", msg, 2);
        entry.m_dwThreadId = m_dwThreadId;
    }
    entry.m_wSerialNo = m_CurrentSerialNo;
    entry.m_hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event) *event = entry.m_hEvent;
    if (m_SerialNoTbl.size() == m_SerialNoTbl.capacity()) m_SerialNoTbl.reserve(m_SerialNoTbl.size() + kGrowBy);
    m_SerialNoTbl.push_back(entry);
    int serialNo = m_CurrentSerialNo;
    LeaveCriticalSection(&m_CriticalSectionForMine);
    return serialNo;
}

void CSerialNoRcv::Unregist() {
    if (!m_OpenCriticalSection) return;
    CTableLock lock;
    for (size_t i = 0; i < m_SerialNoTbl.size();) {
        CSerialNoTbl& e = m_SerialNoTbl[i];
        if (e.m_dwThreadId != m_dwThreadId) {
            ++i;
            continue;
        }
        if (e.m_Queue.GetCount() > 0) {
            char msg[96];
            std::snprintf(msg, sizeof msg, "application has processed data which it received. ( %d pieces )",
                          static_cast<int>(e.m_Queue.GetCount()));
            CAplLog::Write(7000, e.m_wSerialNo, 0, "CSerialNoRcv::Unregist", msg, 2);
        }
        if (e.m_hEvent) CloseHandle(e.m_hEvent);
        m_SerialNoTbl.erase(m_SerialNoTbl.begin() + static_cast<std::ptrdiff_t>(i));
    }
    m_SerialNoTbl.shrink_to_fit();
}

void CSerialNoRcv::Unregist(WORD serialNo) {
    if (!m_OpenCriticalSection || serialNo == 0) return;
    CTableLock lock;
    int index = FindIndex(serialNo, m_dwThreadId);
    if (index < 0) {
        CAplLog::Write(7000, serialNo, 0, "CSerialNoRcv::Unregist", "There is no specified SerialNo.", 2);
        return;
    }
    CSerialNoTbl& e = m_SerialNoTbl[static_cast<size_t>(index)];
    if (e.m_hEvent) CloseHandle(e.m_hEvent);
    m_SerialNoTbl.erase(m_SerialNoTbl.begin() + index);
}

int CSerialNoRcv::NotifyReceive(WORD serialNo, const void* data, long size) {
    const char* fn = "CSerialNoRcv::NotifyReceive";
    if (serialNo == 0) {
        CAplLog::Write(8000, 0, 0, fn, "0 was specified to be a SerialNo.", 1);
        return -1;
    }
    if (!m_OpenCriticalSection) return -1;
    EnterCriticalSection(&m_CriticalSectionForMine);
    int index = FindIndex(serialNo, kAnyThread);
    if (index < 0) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        CAplLog::Write(7000, serialNo, 0, fn, "There is no specified SerialNo.", 2);
        return -1;
    }
    CSerialNoTbl& e = m_SerialNoTbl[static_cast<size_t>(index)];
    if (e.m_Queue.Add(data, size) != 0) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        CAplLog::Write(8000, serialNo, 0, fn, "It fails in receiving data storing.", 1);
        return -1;
    }
    SetEvent(e.m_hEvent);
    LeaveCriticalSection(&m_CriticalSectionForMine);
    return 0;
}

int CSerialNoRcv::Receive(char** data, DWORD timeout, long* size) {
    if (size) *size = 0;
    if (data) *data = nullptr;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int count = 0;
    handles[count++] = CVQBException::GetStopHandle();
    if (!m_OpenCriticalSection) {
        LogReceiveError(kNotFound);
        return -2;
    }
    {
        CTableLock lock;
        for (const CSerialNoTbl& e : m_SerialNoTbl) {
            if (count >= MAXIMUM_WAIT_OBJECTS) {
                LogReceiveError(kOverLimit);
                return -3;
            }
            if (e.m_dwThreadId == m_dwThreadId) handles[count++] = e.m_hEvent;
        }
    }
    if (count == 1) {
        LogReceiveError(kNotFound);
        return -2;
    }
    return Receive(data, count, handles, timeout, size);
}

int CSerialNoRcv::Receive(char** data, WORD serialNo, DWORD timeout, long* size) {
    return Receive(data, &serialNo, 1, timeout, size);
}

int CSerialNoRcv::Receive(char** data, const WORD* serialNos, int count, DWORD timeout, long* size) {
    if (size) *size = 0;
    if (data) *data = nullptr;
    if (count <= 0 || !serialNos) return 0;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int used = 0;
    handles[used++] = CVQBException::GetStopHandle();
    WORD missing = 0;
    bool found = m_OpenCriticalSection != 0;
    if (found) {
        CTableLock lock;
        for (int i = 0; i < count; ++i) {
            if (used >= MAXIMUM_WAIT_OBJECTS) {
                LogReceiveError(kOverLimit);
                return -3;
            }
            int index = FindIndex(serialNos[i], m_dwThreadId);
            if (index < 0) {
                found = false;
                missing = serialNos[i];
                break;
            }
            handles[used++] = m_SerialNoTbl[static_cast<size_t>(index)].m_hEvent;
        }
    } else {
        missing = serialNos[0];
    }
    if (!found) {
        CAplLog::Write(8000, missing, 0, "CSerialNoRcv::Receive", kNotFound, 1);
        return -2;
    }
    return Receive(data, used, handles, timeout, size);
}

int CSerialNoRcv::Receive(char** data, int handleCount, const HANDLE* handles, DWORD timeout, long* size) {
    if (size) *size = 0;
    if (data) *data = nullptr;
    if (handleCount < 2 || !handles) return 0;
    if (handleCount > MAXIMUM_WAIT_OBJECTS) {
        LogReceiveError(kOverLimit);
        return -3;
    }

    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handleCount), handles, FALSE, timeout);
    if (result == WAIT_TIMEOUT) return -1;
    if (result == WAIT_OBJECT_0) CVQBException::ThrowStopException();

    char msg[128];
    if (result >= WAIT_OBJECT_0 + static_cast<DWORD>(handleCount)) {
        if (result == WAIT_FAILED)
            std::snprintf(msg, sizeof msg, "event wait error  %d", static_cast<int>(GetLastError()));
        else
            std::snprintf(msg, sizeof msg, "invalid event handle  %d-%d", static_cast<int>(result), 0);
        LogReceiveError(msg);
        return -2;
    }
    HANDLE signalled = handles[result - WAIT_OBJECT_0];

    if (!m_OpenCriticalSection) {
        std::snprintf(msg, sizeof msg, "A SerialNo table and the mismatching of event handle table occur.  %d-%d",
                      static_cast<int>(result), static_cast<int>(reinterpret_cast<intptr_t>(signalled)));
        LogReceiveError(msg);
        return -2;
    }
    EnterCriticalSection(&m_CriticalSectionForMine);
    CSerialNoTbl* entry = nullptr;
    for (CSerialNoTbl& e : m_SerialNoTbl)
        if (e.m_dwThreadId == m_dwThreadId && e.m_hEvent == signalled) {
            entry = &e;
            break;
        }
    if (!entry) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        std::snprintf(msg, sizeof msg, "A SerialNo table and the mismatching of event handle table occur.  %d-%d",
                      static_cast<int>(result), static_cast<int>(reinterpret_cast<intptr_t>(signalled)));
        LogReceiveError(msg);
        return -2;
    }
    char* piece = nullptr;
    long pieceSize = entry->m_Queue.GetAt(0, &piece);
    if (pieceSize < 0 || !piece) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        std::snprintf(msg, sizeof msg, "Acquisition failure of receiving data %d", static_cast<int>(pieceSize));
        LogReceiveError(msg);
        return -2;
    }
    // One spare byte, so that a text answer can be used as a string.
    char* copy = new char[static_cast<size_t>(pieceSize) + 1];
    std::memcpy(copy, piece, static_cast<size_t>(pieceSize));
    copy[pieceSize] = '\0';
    if (entry->m_Queue.RemoveAt(0) != 0) {
        LeaveCriticalSection(&m_CriticalSectionForMine);
        delete[] copy;
        LogReceiveError("Deletion failure of receiving data");
        return -2;
    }
    if (entry->m_Queue.GetCount() == 0) ResetEvent(entry->m_hEvent);
    int serialNo = entry->m_wSerialNo;
    LeaveCriticalSection(&m_CriticalSectionForMine);

    if (data)
        *data = copy;
    else
        delete[] copy;
    if (size) *size = pieceSize;
    return serialNo;
}

int CSerialNoRcv::Enable(WORD, long) { return 0; }
