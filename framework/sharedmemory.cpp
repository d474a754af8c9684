#include "framework/sharedmemory.h"

#include <cstdio>
#include <cstring>

#include "framework/apllog.h"

namespace {

void LogOpen(DWORD error, const char* format, const std::string& name) {
    char msg[512];
    std::snprintf(msg, sizeof msg, format, name.c_str());
    CAplLog::Write(8000, error, 0, "CSharedMemory::Open", msg, 1);
}

HANDLE Duplicate(HANDLE h) {
    if (!h) return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

}  // namespace

CSharedMemory::CSharedMemory()
    : m_hMapping(nullptr), m_pView(nullptr), m_dwSize(0), m_hMutex(nullptr), m_lLockCount(0) {}

CSharedMemory::CSharedMemory(const CSharedMemory& other) : CSharedMemory() { CopyFrom(other); }

CSharedMemory& CSharedMemory::operator=(const CSharedMemory& other) {
    if (this != &other) {
        Close();
        CopyFrom(other);
    }
    return *this;
}

CSharedMemory::~CSharedMemory() { Close(); }

void CSharedMemory::CopyFrom(const CSharedMemory& other) {
    m_strName = other.m_strName;
    m_dwSize = other.m_dwSize;
    // The holds are the original's: a copy that counted them would give them back at its
    // Close and leave the original writing unlocked.
    m_lLockCount = 0;
    m_hMutex = Duplicate(other.m_hMutex);
    m_hMapping = Duplicate(other.m_hMapping);
    if (m_hMapping && other.m_pView) m_pView = MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
}

int CSharedMemory::Open(const char* name, DWORD size, int owner) {
    Close();  // gives back the old holds: the lock count starts again from 0
    m_strName = name ? name : "";
    m_dwSize = size;
    // Any non-zero owner means "take the mutex": a count without the mutex would let Load
    // and Save skip locking.
    const bool own = owner != 0;

    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = TRUE;

    std::string mutexName = "Mutex" + m_strName;
    m_hMutex = CreateMutexA(&sa, own ? TRUE : FALSE, mutexName.c_str());
    if (!m_hMutex) {
        LogOpen(GetLastError(), "Mutex create error.  %s", m_strName);
        return -1;
    }
    if (own) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) WaitForSingleObject(m_hMutex, INFINITE);
        m_lLockCount = 1;
    }

    bool failed = false;
    DWORD created = 0;
    m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, size, m_strName.c_str());
    if (!m_hMapping) {
        LogOpen(GetLastError(), "Shared memory create error.  %s", m_strName);
        failed = true;
    } else {
        created = GetLastError();
        // An existing block keeps the size its creator gave; a smaller one cannot hold ours.
        uint64_t real = 0;
        if (created == ERROR_ALREADY_EXISTS && (!pal::GetMappingSize(m_hMapping, &real) || real < size)) {
            LogOpen(ERROR_BAD_LENGTH, "Shared memory create error.  %s", m_strName);
            failed = true;
        }
    }
    if (!failed) {
        m_pView = MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
        if (!m_pView) {
            LogOpen(GetLastError(), "Shared memory mapping error.  %s", m_strName);
            failed = true;
        }
    }
    if (failed) {
        Close();  // gives the mutex back when it was taken above
        return -1;
    }
    return created == ERROR_ALREADY_EXISTS ? static_cast<int>(ERROR_ALREADY_EXISTS) : 0;
}

void CSharedMemory::Close() {
    // Holds left through this handle would stay with the thread after the handle is gone,
    // and keep every other process out until the thread ends.
    while (m_lLockCount > 0 && m_hMutex && ReleaseMutex(m_hMutex)) --m_lLockCount;
    if (m_pView) UnmapViewOfFile(m_pView);
    if (m_hMapping) CloseHandle(m_hMapping);
    if (m_hMutex) CloseHandle(m_hMutex);
    m_pView = nullptr;
    m_hMapping = nullptr;
    m_hMutex = nullptr;
    m_lLockCount = 0;
}

int CSharedMemory::Lock(DWORD timeout) {
    DWORD result = WaitForSingleObject(m_hMutex, timeout);
    if (result == WAIT_OBJECT_0) {
        ++m_lLockCount;
        return 0;
    }
    if (result == WAIT_ABANDONED) {
        CAplLog::Write(7000, GetLastError(), 0, "CSharedMemory::Lock",
                       "Some thread is completed by the ability of unable to open Mu-rocket textile wide.", 2);
        ++m_lLockCount;
        return 0;
    }
    if (result == WAIT_TIMEOUT) return WAIT_TIMEOUT;
    CAplLog::Write(8000, GetLastError(), 0, "CSharedMemory::Lock", "WaitForSingleObject error", 1);
    return -1;
}

void CSharedMemory::Release() {
    ReleaseMutex(m_hMutex);
    if (--m_lLockCount < 0) {
        char msg[512];
        std::snprintf(msg, sizeof msg, "It has published more releases than a lock by shared memory %s.",
                      m_strName.c_str());
        CAplLog::Write(7000, 0, 0, "CSharedMemory::Release", msg, 2);
        m_lLockCount = 0;
    }
}

void CSharedMemory::Load(void* dest) {
    if (!m_pView || !dest) return;
    bool locked = m_lLockCount == 0 && Lock(INFINITE) == 0;
    std::memcpy(dest, m_pView, m_dwSize);
    if (locked) Release();
}

void CSharedMemory::Save(const void* src) {
    if (!m_pView || !src) return;
    bool locked = false;
    if (m_lLockCount == 0) {
        char msg[512];
        std::snprintf(msg, sizeof msg, "It is going to write in, without locking shared memory %s.", m_strName.c_str());
        CAplLog::Write(7000, 0, 0, "CSharedMemory::Save", msg, 2);
        locked = Lock(INFINITE) == 0;
    }
    std::memcpy(m_pView, src, m_dwSize);
    if (locked) Release();
}
