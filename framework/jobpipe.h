// CJobPipe: the client end of the job pipe and its reader thread. The reader takes one
// whole 4096-byte record at a time and hands it to the thread message procedure as
// message 53; when the pipe breaks it closes the pipe and asks the procedure (message 3)
// to connect again.
#pragma once

#include <atomic>
#include <mutex>

#include "framework/namedpipe.h"

class CJobPipe : public CNamedPipe {
public:
    CJobPipe();
    ~CJobPipe() override;

    long Open(const char* name, DWORD recordSize);
    long Close();
    DWORD ReadThread();
    DWORD GetRecordSize() const { return m_dwRecordSize; }

protected:
    static DWORD WINAPI _ReadThread(LPVOID self);
    void JoinRetiredReader();
    // The reader's own close after a failed read; false when the pipe is no longer its.
    bool CloseByReader();

    std::mutex m_csReader;
    HANDLE m_hReadThread;
    DWORD m_dwReadThreadId;
    // A reader that closed the pipe itself cannot wait for itself; the next Open (or
    // the destructor) joins it.
    HANDLE m_hRetiredReader;
    std::atomic<DWORD> m_dwRecordSize;
};
