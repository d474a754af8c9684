#include "framework/namedpipe.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "framework/apllog.h"
#include "pal/error/error.h"
#include "pal/file/file.h"
#include "pal/handle/handle.h"
#include "pal/pipe/pipe.h"
#include "pal/security/security.h"
#include "pal/sync/sync.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until a deadline; INFINITE stays INFINITE.
struct Deadline {
    explicit Deadline(DWORD timeoutMs)
        : infinite(timeoutMs == INFINITE), at(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
    DWORD Left() const {
        if (infinite) return INFINITE;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<DWORD>(left);
    }
    bool infinite;
    Clock::time_point at;
};

constexpr DWORD kTextPiece = 256;

}  // namespace

// One open pipe end with the buffers its operations work in. It lives as long as any
// thread still uses it; the last user cancels what is in flight and closes the handles.
struct CNamedPipe::Conn {
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    HANDLE hClose = nullptr;
    bool server = false;

    std::mutex readMutex;
    HANDLE hReadEvent = nullptr;
    OVERLAPPED readOv{};
    std::vector<char> readBuf;
    DWORD readWanted = 0;
    DWORD readGot = 0;
    bool readInFlight = false;
    bool readPending = false;  // a Read timed out with its record unfinished
    std::string readText;      // a text message's pieces gathered before a time-out

    std::timed_mutex writeMutex;
    HANDLE hWriteEvent = nullptr;
    OVERLAPPED writeOv{};
    std::vector<char> writeBuf;
    DWORD writeDone = 0;
    bool writeInFlight = false;
    bool writeTimedOut = false;

    ~Conn() {
        if (hPipe != INVALID_HANDLE_VALUE) {
            DWORD n = 0;
            if (readInFlight) {
                CancelIoEx(hPipe, &readOv);
                GetOverlappedResult(hPipe, &readOv, &n, TRUE);
            }
            if (writeInFlight) {
                CancelIoEx(hPipe, &writeOv);
                GetOverlappedResult(hPipe, &writeOv, &n, TRUE);
            }
            CloseHandle(hPipe);
        }
        if (hClose) CloseHandle(hClose);
        if (hReadEvent) CloseHandle(hReadEvent);
        if (hWriteEvent) CloseHandle(hWriteEvent);
    }

    // Waits for an operation in flight, the close event or the deadline. Returns 0 when
    // the operation finished (its outcome in *got / *error), 1 for the close event, 258
    // for the time-out, -1 (with *error) when the wait itself failed.
    long Await(OVERLAPPED& ov, HANDLE event, const Deadline& deadline, DWORD* got, DWORD* error) {
        HANDLE waits[2] = {hClose, event};
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, deadline.Left());
        if (r == WAIT_OBJECT_0) return 1;
        if (r == WAIT_TIMEOUT) return 258;
        if (r != WAIT_OBJECT_0 + 1) {
            *error = r == WAIT_FAILED ? GetLastError() : r;
            return r == WAIT_FAILED ? -1 : -3;
        }
        *error = GetOverlappedResult(hPipe, &ov, got, FALSE) ? 0 : GetLastError();
        return 0;
    }
};

CNamedPipe::CNamedPipe() : m_dwBufferSize(0) {}

CNamedPipe::~CNamedPipe() { CNamedPipe::Close(); }

std::shared_ptr<CNamedPipe::Conn> CNamedPipe::Current() const {
    std::lock_guard<std::mutex> lock(m_csConn);
    return m_pConn;
}

int CNamedPipe::IsOpen() const { return Current() ? 1 : 0; }

std::string CNamedPipe::GetName() const {
    std::lock_guard<std::mutex> lock(m_csConn);
    return m_strName;
}

int CNamedPipe::IsReadPending() const {
    auto conn = Current();
    if (!conn) return 0;
    std::lock_guard<std::mutex> lock(conn->readMutex);
    return conn->readPending ? 1 : 0;
}

int CNamedPipe::IsWriteTimedOut() const {
    auto conn = Current();
    return conn && conn->writeTimedOut ? 1 : 0;
}

void CNamedPipe::Emit(const char* function, const LogLine& line) {
    if (line.text) CAplLog::Write(line.eventCode, line.errorCode, 0, function, line.text, line.level);
}

long CNamedPipe::Close() {
    std::shared_ptr<Conn> conn;
    {
        std::lock_guard<std::mutex> lock(m_csConn);
        conn.swap(m_pConn);
        m_strName.clear();
    }
    // Every thread waiting in Read, Write or Connect sees the close event and returns 1;
    // the last of them releases the pipe.
    if (conn && conn->hClose) SetEvent(conn->hClose);
    return 0;
}

void CNamedPipe::SetCloseEvent(HANDLE event) {
    auto conn = Current();
    if (!conn) {
        if (event) CloseHandle(event);
        return;
    }
    HANDLE old = conn->hClose;
    conn->hClose = event;
    if (old) CloseHandle(old);
}

long CNamedPipe::PrepareReadWrite(Conn& conn, const char* className) {
    const std::string function = std::string(className) + "::PrepareReadWrite";
    conn.hReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!conn.hReadEvent) {
        CAplLog::Write(7000, GetLastError(), 0, function.c_str(), "Create read event error", 2);
        return -1;
    }
    conn.hWriteEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!conn.hWriteEvent) {
        CAplLog::Write(7000, GetLastError(), 0, function.c_str(), "Create write event error", 2);
        return -1;
    }
    conn.hClose = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!conn.hClose) {
        CAplLog::Write(8000, GetLastError(), 0, function.c_str(), "Create event error", 1);
        return -1;
    }
    return 0;
}

long CNamedPipe::OpenEnd(const char* name, const char* className, bool messageMode) {
    Close();
    HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    if (messageMode) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
            DWORD error = GetLastError();
            CloseHandle(pipe);
            return static_cast<long>(error);
        }
    }
    auto conn = std::make_shared<Conn>();
    conn->hPipe = pipe;
    if (PrepareReadWrite(*conn, className) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_csConn);
    m_strName = name ? name : "";
    m_pConn = std::move(conn);
    return 0;
}

long CNamedPipe::Open(const char* name) { return OpenEnd(name, "CNamedPipe", false); }

long CNamedPipe::CreateEnd(const char* name, DWORD bufferSize, const char* className, bool messageMode) {
    Close();
    const std::string function = std::string(className) + "::Create";
    // An empty access list: every local process may connect, as the framework's peers do.
    SECURITY_DESCRIPTOR sd{};
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) {
        CAplLog::Write(8000, GetLastError(), 0, function.c_str(), "InitializeSecurityDescriptor error", 1);
        return -1;
    }
    if (!SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE)) {
        CAplLog::Write(8000, GetLastError(), 0, function.c_str(), "SetSecurityDescriptorDacl error", 1);
        return -1;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, TRUE};
    const DWORD pipeMode = messageMode ? (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT)
                                       : (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT);
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, pipeMode,
                                   PIPE_UNLIMITED_INSTANCES, bufferSize, bufferSize, 0, &sa);
    if (pipe == INVALID_HANDLE_VALUE) return static_cast<long>(GetLastError());
    auto conn = std::make_shared<Conn>();
    conn->hPipe = pipe;
    conn->server = true;
    if (PrepareReadWrite(*conn, className) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_csConn);
    m_strName = name ? name : "";
    m_dwBufferSize = bufferSize;
    m_pConn = std::move(conn);
    return 0;
}

long CNamedPipe::Create(const char* name, DWORD bufferSize) { return CreateEnd(name, bufferSize, "CNamedPipe", false); }

long CNamedPipe::ConnectEnd(DWORD timeoutMs, const char* className) {
    const std::string function = std::string(className) + "::Connect";
    auto conn = Current();
    if (!conn) {
        CAplLog::Write(7000, 0, 0, function.c_str(), "Object is closed.", 2);
        return -2;
    }
    // The connect runs in the read slot: a server end reads only once a client is there.
    std::unique_lock<std::mutex> lock(conn->readMutex);
    OVERLAPPED& ov = conn->readOv;
    ov = OVERLAPPED{};
    ov.hEvent = conn->hReadEvent;
    if (ConnectNamedPipe(conn->hPipe, &ov)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) return 535;
    if (error == ERROR_BROKEN_PIPE) {
        lock.unlock();
        CAplLog::Write(7000, 0, 0, function.c_str(), "Connection of a pipe was break.", 2);
        return 109;
    }
    if (error != ERROR_IO_PENDING) {
        lock.unlock();
        CAplLog::Write(7000, error, 0, function.c_str(), "error pipe connection.", 2);
        return -1;
    }
    conn->readInFlight = true;
    DWORD got = 0, result = 0;
    long r = conn->Await(ov, conn->hReadEvent, Deadline(timeoutMs), &got, &result);
    if (r == 1 || r == 258) {
        // Nothing may complete into this connection's slot once we have given up on it.
        CancelIoEx(conn->hPipe, &ov);
        GetOverlappedResult(conn->hPipe, &ov, &got, TRUE);
        conn->readInFlight = false;
        return r;
    }
    conn->readInFlight = false;
    lock.unlock();
    if (r < 0) {
        CAplLog::Write(8000, result, 0, function.c_str(),
                       r == -1 ? "error WaitForMultipleObjects" : "exception WaitForMultipleObjects", 1);
        return -1;
    }
    if (result != 0) {
        CAplLog::Write(7000, result, 0, function.c_str(), "error pipe read result.", 2);
        return -1;
    }
    return 0;
}

long CNamedPipe::Connect(DWORD timeoutMs) { return ConnectEnd(timeoutMs, "CNamedPipe"); }

long CNamedPipe::Read(void* buffer, DWORD size, DWORD timeoutMs) { return ReadEnd(buffer, size, timeoutMs, true); }

long CNamedPipe::ReadEnd(void* buffer, DWORD size, DWORD timeoutMs, bool logClosed) {
    static const char* kFunc = "CNamedPipe::Read";
    auto conn = Current();
    if (!conn) {
        if (logClosed) CAplLog::Write(7000, 0, 0, kFunc, "Pipe object is closed.", 2);
        return -2;
    }
    LogLine log;
    long result = 0;
    {
        std::lock_guard<std::mutex> lock(conn->readMutex);
        const Deadline deadline(timeoutMs);
        if (!conn->readPending) {
            conn->readBuf.assign(size, '\0');
            conn->readWanted = size;
            conn->readGot = 0;
        }
        conn->readPending = false;
        for (;;) {
            if (conn->readGot >= conn->readWanted) break;
            DWORD got = 0, error = 0;
            bool completed = false;  // the outcome came from a finished pending operation
            if (!conn->readInFlight) {
                OVERLAPPED& ov = conn->readOv;
                ov = OVERLAPPED{};
                ov.hEvent = conn->hReadEvent;
                if (ReadFile(conn->hPipe, conn->readBuf.data() + conn->readGot, conn->readWanted - conn->readGot,
                             &got, &ov)) {
                    error = 0;
                } else {
                    error = GetLastError();
                    if (error == ERROR_IO_PENDING) {
                        conn->readInFlight = true;
                    }
                }
            }
            if (conn->readInFlight) {
                long r = conn->Await(conn->readOv, conn->hReadEvent, deadline, &got, &error);
                if (r == 1 || r == 258) {
                    conn->readPending = true;
                    result = r;
                    break;
                }
                conn->readInFlight = false;
                completed = true;
                if (r < 0) {
                    log = {8000, error, r == -1 ? "error WaitForMultipleObjects" : "exception WaitForMultipleObjects",
                           1};
                    result = r == -1 ? static_cast<long>(error) : -1;
                    break;
                }
            }
            if (error == 0 && got == 0) error = ERROR_BROKEN_PIPE;  // a byte pipe reads 0 only when it ends
            if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
                log = {7000, 0, "Connection of a pipe was broken", 2};
                result = 109;
                break;
            }
            if (error != 0) {
                log = {7000, error, completed ? "error GetOverlappedResult" : "pipe error", 2};
                result = static_cast<long>(error);
                break;
            }
            conn->readGot += got;
        }
        if (result == 0) std::memcpy(buffer, conn->readBuf.data(), size < conn->readWanted ? size : conn->readWanted);
    }
    Emit(kFunc, log);
    return result;
}

long CNamedPipe::WriteEnd(const void* buffer, DWORD size, DWORD timeoutMs, const char* function, bool log) {
    auto conn = Current();
    if (!conn) {
        if (log) CAplLog::Write(7000, 0, 0, function, "Pipe object is closed.", 2);
        return -2;
    }
    LogLine line;
    long result = 0;
    const Deadline deadline(timeoutMs);
    std::unique_lock<std::timed_mutex> lock(conn->writeMutex, std::defer_lock);
    if (deadline.infinite) {
        lock.lock();
    } else if (!lock.try_lock_until(deadline.at)) {
        return 258;  // another writer holds the pipe for longer than we may wait
    }
    // Finish a write that timed out before, so its record goes out whole and first.
    bool started = false;
    for (;;) {
        if (!conn->writeInFlight) {
            if (conn->writeDone >= conn->writeBuf.size()) {
                if (started) break;
                const char* bytes = static_cast<const char*>(buffer);
                conn->writeBuf.assign(bytes, bytes + size);
                conn->writeDone = 0;
                conn->writeTimedOut = false;
                started = true;
                if (size == 0) break;
            }
            OVERLAPPED& ov = conn->writeOv;
            ov = OVERLAPPED{};
            ov.hEvent = conn->hWriteEvent;
            DWORD got = 0;
            const DWORD left = static_cast<DWORD>(conn->writeBuf.size()) - conn->writeDone;
            if (WriteFile(conn->hPipe, conn->writeBuf.data() + conn->writeDone, left, &got, &ov)) {
                conn->writeDone += got;
                continue;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                conn->writeBuf.clear();
                conn->writeDone = 0;
                if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
                    line = {7000, 0, "Connection of a pipe was broken", 2};
                    result = 109;
                } else {
                    line = {7000, error, "pipe error", 2};
                    result = static_cast<long>(error);
                }
                break;
            }
            conn->writeInFlight = true;
        }
        DWORD got = 0, error = 0;
        long r = conn->Await(conn->writeOv, conn->hWriteEvent, deadline, &got, &error);
        if (r == 1) {
            result = 1;
            break;
        }
        if (r == 258) {
            conn->writeTimedOut = true;
            result = 258;
            break;
        }
        conn->writeInFlight = false;
        if (r < 0) {
            line = {8000, error, r == -1 ? "error WaitForMultipleObjects" : "exception WaitForMultipleObjects", 1};
            result = r == -1 ? static_cast<long>(error) : -1;
            conn->writeBuf.clear();
            conn->writeDone = 0;
            break;
        }
        if (error != 0) {
            line = {7000, error, "error GetOverlappedResult", 2};
            result = static_cast<long>(error);
            conn->writeBuf.clear();
            conn->writeDone = 0;
            break;
        }
        conn->writeDone += got;
    }
    lock.unlock();
    if (log) Emit(function, line);
    return result;
}

long CNamedPipe::Write(const void* buffer, DWORD size, DWORD timeoutMs) {
    return WriteEnd(buffer, size, timeoutMs, "CNamedPipe::Write", true);
}

long CNamedPipe::WriteQuiet(const void* buffer, DWORD size, DWORD timeoutMs) {
    return WriteEnd(buffer, size, timeoutMs, "CNamedPipe::Write", false);
}

// ---- CNamedPipeText ----

long CNamedPipeText::Create(const char* name, DWORD bufferSize) {
    return CreateEnd(name, bufferSize, "CNamedPipeText", true);
}

long CNamedPipeText::Open(const char* name) { return OpenEnd(name, "CNamedPipeText", true); }

long CNamedPipeText::Connect(DWORD timeoutMs) { return ConnectEnd(timeoutMs, "CNamedPipeText"); }

long CNamedPipeText::Write(const char* text, DWORD timeoutMs) {
    const char* t = text ? text : "";
    return WriteEnd(t, static_cast<DWORD>(std::strlen(t)), timeoutMs, "CNamedPipeText::Write", true);
}

long CNamedPipeText::Read(std::string& text, DWORD timeoutMs) {
    static const char* kFunc = "CNamedPipeText::Read";
    text.clear();
    auto conn = Current();
    if (!conn) {
        CAplLog::Write(7000, 0, 0, kFunc, "Pipe object is closed.", 2);
        return -2;
    }
    LogLine log;
    long result = 0;
    {
        std::lock_guard<std::mutex> lock(conn->readMutex);
        const Deadline deadline(timeoutMs);
        // Pieces of a message that an earlier, timed-out Read had gathered come first.
        if (conn->readPending) text.swap(conn->readText);
        conn->readText.clear();
        conn->readPending = false;
        if (!conn->readInFlight) conn->readBuf.resize(kTextPiece);
        for (;;) {
            DWORD got = 0, error = 0;
            if (!conn->readInFlight) {
                OVERLAPPED& ov = conn->readOv;
                ov = OVERLAPPED{};
                ov.hEvent = conn->hReadEvent;
                if (!ReadFile(conn->hPipe, conn->readBuf.data(), kTextPiece, &got, &ov)) {
                    error = GetLastError();
                    if (error == ERROR_IO_PENDING) conn->readInFlight = true;
                }
            }
            if (conn->readInFlight) {
                long r = conn->Await(conn->readOv, conn->hReadEvent, deadline, &got, &error);
                if (r == 1 || r == 258) {
                    // Keep what came so far for the next Read; the piece in flight
                    // still lands in the connection's own buffer.
                    conn->readText.swap(text);
                    conn->readPending = true;
                    text.clear();
                    result = r;
                    break;
                }
                conn->readInFlight = false;
                if (r < 0) {
                    log = {8000, error, r == -1 ? "error WaitForMultipleObjects" : "exception WaitForMultipleObjects",
                           1};
                    result = -1;
                    break;
                }
            }
            if (error == 0 || error == ERROR_MORE_DATA) {
                text.append(conn->readBuf.data(), got);
                if (error == 0) break;
                continue;
            }
            if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
                log = {7000, 0, "Connection of a pipe was broken", 2};
                result = 109;
            } else {
                log = {7000, error, "pipe error", 2};
                result = static_cast<long>(error);
            }
            text.clear();
            break;
        }
    }
    Emit(kFunc, log);
    return result;
}
