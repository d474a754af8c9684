// The Win32 named-pipe calls: thin shells over the pipe ends (end.h) and the serving side
// (server.h). A pipe handle is a PipeHandle; when its last handle closes, its end closes.
#include "pal/pipe/pipe.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "pal/error/error.h"
#include "pal/file/device_hook.h"
#include "pal/file/io_object.h"
#include "pal/pipe/client.h"
#include "pal/pipe/end.h"
#include "pal/pipe/names.h"
#include "pal/pipe/server.h"
#include "pal/sync/sync.h"

namespace pal::pipe {

namespace {

class PipeHandle : public IoObject {
public:
    explicit PipeHandle(std::shared_ptr<End> end) : end_(std::move(end)) {}
    ~PipeHandle() override { end_->Close(); }

    BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        return end_->Read(buffer, size, done, ov);
    }
    BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        return end_->Write(buffer, size, done, ov);
    }
    BOOL Flush() override { return end_->Flush(); }
    DWORD FileType() const override { return FILE_TYPE_PIPE; }

    BOOL OverlappedResult(OVERLAPPED* ov, DWORD* transferred, BOOL wait) override {
        if (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING) {
            if (!wait) {
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            const HANDLE ev = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~uintptr_t{1});
            if (ev) {
                while (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING)
                    if (WaitForSingleObject(ev, INFINITE) == WAIT_FAILED) return FALSE;
            } else {
                end_->WaitDone(ov);  // without an event, Windows waits on the handle
            }
        }
        if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
        if (DWORD error = OverlappedError(ov)) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }

    End& end() { return *end_; }

private:
    std::shared_ptr<End> end_;
};

std::shared_ptr<PipeHandle> LookupPipe(HANDLE h) { return LookupHandleAs<PipeHandle>(h); }

// CreateFile of "\\.\PIPE\name" and "\\THISPC\PIPE\name": the client end.
std::shared_ptr<IoObject> OpenClient(const DeviceOpenRequest& request, DWORD& error) {
    if (!IsLocalServer(request.server)) {
        error = ERROR_BAD_NETPATH;  // there is no network redirector here
        return nullptr;
    }
    const std::string name = request.name.substr(5);  // after "PIPE\"
    if (name.empty()) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    const DWORD a = request.access;
    EndConfig cfg;
    cfg.canRead = (a & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    cfg.canWrite = (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    cfg.overlapped = (request.flags & FILE_FLAG_OVERLAPPED) != 0;
    int fd = -1;
    wire::Reply reply{};
    if (DWORD e = Exchange(name, wire::kConnect, cfg.canRead, cfg.canWrite, fd, reply)) {
        error = e;
        return nullptr;
    }
    if (reply.status != wire::kGranted) {
        error = reply.status == wire::kDenied ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY;
        return nullptr;
    }
    cfg.messageType = reply.messageType != 0;
    cfg.messageRead = false;  // a client starts in byte read mode (SetNamedPipeHandleState)
    cfg.outSize = reply.outSize;
    cfg.inSize = reply.inSize;
    cfg.maxInstances = reply.maxInstances;
    auto end = End::NewClient(fd, cfg);
    if (!end) {
        error = ErrorFromErrno(errno);
        close(fd);
        return nullptr;
    }
    return std::make_shared<PipeHandle>(std::move(end));
}

[[maybe_unused]] const bool kRegistered = [] {
    RegisterDeviceOpener("PIPE\\*", OpenClient);
    return true;
}();

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

}  // namespace pal::pipe

using namespace pal::pipe;

HANDLE CreateNamedPipeA(LPCSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
                        DWORD defaultTimeout, LPSECURITY_ATTRIBUTES) {
    std::string server, pipeName;
    if (!name || !SplitPipePath(name, server, pipeName) || server != ".") {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const bool badMode = (openMode & PIPE_ACCESS_DUPLEX) == 0 ||
                         (pipeMode & ~(PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS)) != 0 ||
                         ((pipeMode & PIPE_READMODE_MESSAGE) && !(pipeMode & PIPE_TYPE_MESSAGE)) ||
                         maxInstances == 0 || maxInstances > PIPE_UNLIMITED_INSTANCES;
    if (badMode) {  // PIPE_NOWAIT included: non-blocking mode is not offered
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    PipeParams params;
    params.openMode = openMode;
    params.pipeMode = pipeMode;
    params.maxInstances = maxInstances;
    params.outSize = outSize;
    params.inSize = inSize;
    params.defaultTimeout = defaultTimeout ? defaultTimeout : 50;  // Windows' default
    DWORD error = 0;
    auto end = Server::CreateInstance(pipeName, params, error);
    if (!end) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = pal::InsertHandle(std::make_shared<PipeHandle>(std::move(end)));
    SetLastError(NO_ERROR);
    return h;
}

BOOL ConnectNamedPipe(HANDLE h, LPOVERLAPPED ov) {
    auto pipe = LookupPipe(h);
    return pipe ? pipe->end().Connect(ov) : FALSE;
}

BOOL DisconnectNamedPipe(HANDLE h) {
    auto pipe = LookupPipe(h);
    return pipe ? pipe->end().Disconnect() : FALSE;
}

BOOL WaitNamedPipeA(LPCSTR name, DWORD timeout) {
    std::string server, pipeName;
    if (!name || !SplitPipePath(name, server, pipeName)) return Fail(ERROR_INVALID_NAME);
    if (!IsLocalServer(server)) return Fail(ERROR_BAD_NETPATH);
    using Clock = std::chrono::steady_clock;
    bool first = true;
    Clock::time_point deadline;
    for (;;) {
        int fd = -1;
        wire::Reply reply{};
        const DWORD e = Exchange(pipeName, wire::kQuery, false, false, fd, reply);
        if (e == ERROR_FILE_NOT_FOUND) return Fail(e);
        if (e == 0 && reply.status == wire::kGranted) return TRUE;
        if (first) {
            first = false;
            const DWORD ms = timeout == NMPWAIT_USE_DEFAULT_WAIT && e == 0 ? reply.defaultTimeout : timeout;
            deadline = ms == NMPWAIT_WAIT_FOREVER ? Clock::time_point::max()
                                                  : Clock::now() + std::chrono::milliseconds(ms ? ms : 50);
        }
        const auto now = Clock::now();
        if (now >= deadline) return Fail(ERROR_SEM_TIMEOUT);
        // Instances free up at the server's pace; a short poll keeps the answer prompt.
        std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(10)));
    }
}

BOOL PeekNamedPipe(HANDLE h, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD avail, LPDWORD left) {
    auto pipe = LookupPipe(h);
    return pipe ? pipe->end().Peek(buffer, buffer ? size : 0, read, avail, left) : FALSE;
}

BOOL SetNamedPipeHandleState(HANDLE h, LPDWORD mode, LPDWORD, LPDWORD) {
    auto pipe = LookupPipe(h);
    if (!pipe) return FALSE;
    return mode ? pipe->end().SetMode(*mode) : TRUE;  // collection settings mean nothing locally
}

BOOL GetNamedPipeInfo(HANDLE h, LPDWORD flags, LPDWORD outSize, LPDWORD inSize, LPDWORD maxInstances) {
    auto pipe = LookupPipe(h);
    return pipe ? pipe->end().Info(flags, outSize, inSize, maxInstances) : FALSE;
}

BOOL CancelIo(HANDLE h) {
    auto object = pal::LookupHandleAs<pal::IoObject>(h);
    if (!object) return FALSE;
    // Windows cancels only the calling thread's operations; this cancels all of the handle's.
    if (auto pipe = std::dynamic_pointer_cast<PipeHandle>(object)) pipe->end().Cancel(nullptr);
    return TRUE;
}

BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov) {
    auto object = pal::LookupHandleAs<pal::IoObject>(h);
    if (!object) return FALSE;
    // Other handle kinds finish every operation before returning: nothing is ever pending.
    auto pipe = std::dynamic_pointer_cast<PipeHandle>(object);
    if (!pipe || pipe->end().Cancel(ov) == 0) return Fail(ERROR_NOT_FOUND);
    return TRUE;
}
