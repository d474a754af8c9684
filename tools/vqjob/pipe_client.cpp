#include "tools/vqjob/pipe_client.h"

#include <chrono>

#include "framework/vqbutil.h"
#include "pal/pipe/pipe.h"
#include "pal/windows.h"

namespace vqjob {

namespace {

constexpr const char* kSystemKey = "SOFTWARE\\QIR\\VQ FRAMEWORK\\SYSTEM";

std::string SystemString(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSystemKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char data[512] = {};
    DWORD type = 0, size = sizeof data - 1;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
    return std::string(data);
}

DWORD Remaining(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

std::string JobPipeName() {
    std::string name = SystemString("PIPE_NAME");
    return "\\\\.\\PIPE\\" + (name.empty() ? std::string("taskctrl") : name);
}

std::string NetworkId() { return SystemString("NETWORK_ID"); }

std::string PcName() {
    char name[64] = {};
    if (VQBGetTsePcName(name) >= 0 && name[0] != '\0') return name;
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name) : std::string();
}

PipeClient::PipeClient()
    : pipe_(INVALID_HANDLE_VALUE),
      readEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      writeEvent_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

PipeClient::~PipeClient() {
    Close();
    if (readEvent_ != nullptr) CloseHandle(readEvent_);
    if (writeEvent_ != nullptr) CloseHandle(writeEvent_);
}

void PipeClient::Close() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
}

DWORD PipeClient::Open(const std::string& name, bool messageMode, DWORD timeoutMs) {
    Close();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pipe_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        DWORD left = Remaining(deadline);
        if (error != ERROR_PIPE_BUSY || left == 0) return error;
        WaitNamedPipeA(name.c_str(), left);
    }
    if (messageMode) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr)) {
            DWORD error = GetLastError();
            Close();
            return error;
        }
    }
    return 0;
}

DWORD PipeClient::Write(const void* data, DWORD size, DWORD timeoutMs) {
    OVERLAPPED ov = {};
    ov.hEvent = writeEvent_;
    ResetEvent(writeEvent_);
    DWORD n = 0;
    if (!WriteFile(pipe_, data, size, nullptr, &ov)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return error;
        if (WaitForSingleObject(writeEvent_, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe_, &ov);
            GetOverlappedResult(pipe_, &ov, &n, TRUE);
            return WAIT_TIMEOUT;
        }
    }
    if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) return GetLastError();
    return n == size ? 0 : static_cast<DWORD>(ERROR_WRITE_FAULT);
}

DWORD PipeClient::ReadOnce(void* data, DWORD size, DWORD& n, DWORD timeoutMs, HANDLE cancel) {
    OVERLAPPED ov = {};
    ov.hEvent = readEvent_;
    ResetEvent(readEvent_);
    n = 0;
    if (!ReadFile(pipe_, data, size, nullptr, &ov)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return error;
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[] = {readEvent_, cancel};
            DWORD w = WaitForMultipleObjects(cancel != nullptr ? 2 : 1, waits, FALSE, timeoutMs);
            if (w != WAIT_OBJECT_0) {
                // The buffer belongs to the caller: the read must be over before we return.
                CancelIoEx(pipe_, &ov);
                BOOL late = GetOverlappedResult(pipe_, &ov, &n, TRUE);
                if (!late) return w == WAIT_OBJECT_0 + 1 ? 1 : static_cast<DWORD>(WAIT_TIMEOUT);
                return 0;  // it completed after all
            }
        }
    }
    if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) return GetLastError();
    return 0;
}

DWORD PipeClient::ReadFull(void* data, DWORD size, DWORD timeoutMs, HANDLE cancel) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    DWORD have = 0;
    while (have < size) {
        DWORD n = 0;
        DWORD left = timeoutMs == INFINITE ? INFINITE : Remaining(deadline);
        DWORD r = ReadOnce(static_cast<char*>(data) + have, size - have, n, left, cancel);
        have += n;
        if (r != 0) return r;
        if (n == 0 && left == 0) return WAIT_TIMEOUT;
    }
    return 0;
}

DWORD PipeClient::ReadMessage(std::string& message, DWORD timeoutMs, HANDLE cancel) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    message.clear();
    for (;;) {
        char buffer[1024];
        DWORD n = 0;
        DWORD left = timeoutMs == INFINITE ? INFINITE : Remaining(deadline);
        DWORD r = ReadOnce(buffer, sizeof buffer, n, left, cancel);
        message.append(buffer, n);
        if (r == ERROR_MORE_DATA) continue;
        return r;
    }
}

}  // namespace vqjob
