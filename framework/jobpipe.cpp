#include "framework/jobpipe.h"

#include <new>

#include "framework/apllog.h"
#include "framework/vqbexception.h"
#include "framework/vqbthdmsg.h"
#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

namespace {
constexpr DWORD kReaderJoinMs = 2000;
}

CJobPipe::CJobPipe() : m_hReadThread(nullptr), m_dwReadThreadId(0), m_hRetiredReader(nullptr), m_dwRecordSize(0) {}

CJobPipe::~CJobPipe() {
    Close();
    JoinRetiredReader();
}

void CJobPipe::JoinRetiredReader() {
    HANDLE retired = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_csReader);
        if (m_hRetiredReader && GetThreadId(m_hRetiredReader) == GetCurrentThreadId()) return;
        retired = m_hRetiredReader;
        m_hRetiredReader = nullptr;
    }
    if (!retired) return;
    // It has closed the pipe and only posts its request to connect again.
    WaitForSingleObject(retired, INFINITE);
    CloseHandle(retired);
}

long CJobPipe::Open(const char* name, DWORD recordSize) {
    Close();
    JoinRetiredReader();
    m_dwRecordSize = recordSize;
    long result = CNamedPipe::Open(name);
    if (result == 0) {
        std::lock_guard<std::mutex> lock(m_csReader);
        m_dwRecordSize = recordSize;
        DWORD id = 0;
        m_hReadThread = CreateThread(nullptr, 0, _ReadThread, this, 0, &id);
        m_dwReadThreadId = id;
        if (!m_hReadThread) {
            CAplLog::Write(8000, GetLastError(), 0, "CJobPipe::Open", "JobPipeReadThread create error", 1);
            result = -1;
        }
    }
    if (result != 0) Close();
    return result;
}

long CJobPipe::Close() {
    HANDLE reader = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_csReader);
        CNamedPipe::Close();  // the reader's pending read ends with 1
        reader = m_hReadThread;
        m_hReadThread = nullptr;
        if (reader && m_dwReadThreadId == GetCurrentThreadId()) {
            // Called by the reader itself: it ends right after; whoever opens next joins it.
            if (m_hRetiredReader) CloseHandle(m_hRetiredReader);
            m_hRetiredReader = reader;
            reader = nullptr;
        }
        m_dwReadThreadId = 0;
        m_dwRecordSize = 0;
    }
    if (reader) {
        if (WaitForSingleObject(reader, kReaderJoinMs) == WAIT_OBJECT_0) {
            CloseHandle(reader);
        } else {
            std::lock_guard<std::mutex> lock(m_csReader);
            if (m_hRetiredReader) {
                WaitForSingleObject(m_hRetiredReader, INFINITE);
                CloseHandle(m_hRetiredReader);
            }
            m_hRetiredReader = reader;
        }
    }
    return 0;
}

bool CJobPipe::CloseByReader() {
    std::lock_guard<std::mutex> lock(m_csReader);
    // Someone else closed or replaced the pipe meanwhile: that connection is not ours.
    if (m_dwReadThreadId != GetCurrentThreadId()) return false;
    CNamedPipe::Close();
    if (m_hRetiredReader) CloseHandle(m_hRetiredReader);
    m_hRetiredReader = m_hReadThread;
    m_hReadThread = nullptr;
    m_dwReadThreadId = 0;
    m_dwRecordSize = 0;
    return true;
}

DWORD WINAPI CJobPipe::_ReadThread(LPVOID self) {
    try {
        return static_cast<CJobPipe*>(self)->ReadThread();
    } catch (const CVQBException& e) {
        CAplLog::Write(8000, 0, 0, "CJobPipe::_ReadThread", e.GetErrMsg(), 1);
    } catch (const std::bad_alloc&) {
        CAplLog::Write(8000, 0, 0, "CJobPipe::_ReadThread", "CMemoryException", 1);
    } catch (...) {
        CAplLog::Write(8000, 0, 0, "CJobPipe::_ReadThread", "exception", 1);
    }
    return 0;
}

DWORD CJobPipe::ReadThread() {
    const DWORD size = m_dwRecordSize;
    int allocFailures = 0;
    for (;;) {
        char* buffer = new (std::nothrow) char[size];
        if (!buffer) {
            if (allocFailures % 20 == 0)
                CAplLog::Write(7000, 0, 0, "CJobPipe::ReadThread", "Receive buffer alloc error", 2);
            ++allocFailures;
            Sleep(6000);
            continue;
        }
        allocFailures = 0;
        // Closed meanwhile (-2) ends the reader as quietly as a close during the read.
        long result = ReadEnd(buffer, size, INFINITE, false);
        if (result == -2) result = 1;
        if (result == 0) {
            // The procedure owns the record from here, also when the post is refused.
            VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(buffer));
            continue;
        }
        delete[] buffer;
        if (result != 1 && CloseByReader()) {
            CAplLog::Write(7000, 0, 0, "CJobPipe::ReadThread", "Request JobPipe re-connection.", 2);
            // Posted rather than sent: the procedure's reopening joins this thread, so
            // waiting here for it to finish would deadlock.
            VQBThdPostMsg(VQBMSG_JOBPIPE_RECONNECT, 0, 0);
        }
        return 0;
    }
}
