// CNamedPipe (binary records) and CNamedPipeText (whole text messages): overlapped pipe
// ends with time-outs and a close event that ends every wait of the object with 1.
//
// How a time-out stays safe: every operation works in a buffer owned by the open pipe
// (the connection object), never in the caller's memory while it is in flight. A read
// that timed out goes on into that buffer and the next Read takes its result; a write
// that timed out goes on from its own copy and the next Write first waits for it, so
// records are never torn and nothing completes into released memory. Writes from several
// threads take turns, each whole; reads gather until the whole record has arrived.
// Log lines are written after the pipe's locks are released, because the application
// log may forward them through this very pipe.
//
// Results: 0 success; 1 the close event was set; 258 time-out; 109 the connection was
// broken; -2 the object is closed; -1 other failure; any other value a system error.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "pal/types.h"

class CNamedPipe {
public:
    CNamedPipe();
    virtual ~CNamedPipe();
    CNamedPipe(const CNamedPipe&) = delete;
    CNamedPipe& operator=(const CNamedPipe&) = delete;

    long Create(const char* name, DWORD bufferSize);
    long Open(const char* name);
    long Connect(DWORD timeoutMs);
    long Read(void* buffer, DWORD size, DWORD timeoutMs);
    long Write(const void* buffer, DWORD size, DWORD timeoutMs);
    long Close();
    void SetCloseEvent(HANDLE event);

    int IsOpen() const;
    std::string GetName() const;
    int IsReadPending() const;
    int IsWriteTimedOut() const;
    // A write that logs nothing, for the log forwarding (a log line from there would
    // come back to it).
    long WriteQuiet(const void* buffer, DWORD size, DWORD timeoutMs);

protected:
    struct Conn;
    struct LogLine {
        WORD eventCode = 0;
        DWORD errorCode = 0;
        const char* text = nullptr;
        LONG level = 0;
    };

    long OpenEnd(const char* name, const char* className, bool messageMode);
    long PrepareReadWrite(Conn& conn, const char* className);
    long ReadEnd(void* buffer, DWORD size, DWORD timeoutMs, bool logClosed);
    long CreateEnd(const char* name, DWORD bufferSize, const char* className, bool messageMode);
    long ConnectEnd(DWORD timeoutMs, const char* className);
    long WriteEnd(const void* buffer, DWORD size, DWORD timeoutMs, const char* function, bool log);
    std::shared_ptr<Conn> Current() const;
    static void Emit(const char* function, const LogLine& line);

    std::string m_strName;
    DWORD m_dwBufferSize;
    mutable std::mutex m_csConn;
    std::shared_ptr<Conn> m_pConn;
};

class CNamedPipeText : public CNamedPipe {
public:
    long Create(const char* name, DWORD bufferSize);
    long Open(const char* name);
    long Connect(DWORD timeoutMs);
    long Write(const char* text, DWORD timeoutMs);
    long Read(std::string& text, DWORD timeoutMs);
};
