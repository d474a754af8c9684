// Helpers of the pipe tests: unique names, server instances, client ends, overlapped
// operations with their own event.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "pal/windows.h"

namespace pipetest {

// A name no other test of this process uses.
inline std::string UniqueName(const char* tag) {
    static std::atomic<int> counter{0};
    return std::string("\\\\.\\pipe\\") + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

inline HANDLE Serve(const std::string& name, DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE,
                    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                    DWORD instances = PIPE_UNLIMITED_INSTANCES) {
    return CreateNamedPipeA(name.c_str(), openMode, pipeMode, instances, 4096, 4096, 0, nullptr);
}

inline HANDLE Open(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED,
                   DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

// The error of a failed open, or 0 (the handle is closed again).
inline DWORD OpenError(const std::string& name) {
    HANDLE h = Open(name);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    return GetLastError();
}

// An OVERLAPPED with its own manual-reset event.
struct Async {
    OVERLAPPED ov{};
    Async() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Async() { CloseHandle(ov.hEvent); }
    Async(const Async&) = delete;
    Async& operator=(const Async&) = delete;
    bool Signalled(DWORD ms = 0) { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
    // GetOverlappedResult's outcome: bytes, or -(error).
    long Result(HANDLE h, bool wait = true) {
        DWORD n = 0;
        if (GetOverlappedResult(h, &ov, &n, wait ? TRUE : FALSE)) return static_cast<long>(n);
        return -static_cast<long>(GetLastError());
    }
};

// Sync write of a whole string (TRUE and every byte).
inline bool WriteAll(HANDLE h, const std::string& data) {
    Async a;
    DWORD n = 0;
    if (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, &a.ov)) return n == data.size();
    if (GetLastError() != ERROR_IO_PENDING) return false;
    return a.Result(h) == static_cast<long>(data.size());
}

// Reads exactly size bytes (several reads in byte mode); "" on failure.
inline std::string ReadExactly(HANDLE h, size_t size) {
    std::string out(size, '\0');
    size_t got = 0;
    while (got < size) {
        Async a;
        DWORD n = 0;
        BOOL ok = ReadFile(h, &out[got], static_cast<DWORD>(size - got), &n, &a.ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            long r = a.Result(h);
            if (r < 0) return "";
            n = static_cast<DWORD>(r);
        } else if (!ok) {
            return "";
        }
        got += n;
    }
    return out;
}

// Waits for a client on an overlapped server instance; true when connected.
inline bool AwaitClient(HANDLE server, DWORD ms = 10000) {
    Async a;
    if (ConnectNamedPipe(server, &a.ov)) return true;
    const DWORD e = GetLastError();
    if (e == ERROR_PIPE_CONNECTED) return true;
    if (e != ERROR_IO_PENDING) return false;
    if (!a.Signalled(ms)) {
        CancelIoEx(server, &a.ov);
        a.Result(server);
        return false;
    }
    return a.Result(server) == 0;
}

}  // namespace pipetest
