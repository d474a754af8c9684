#include "pal/pipe/client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "pal/error/error.h"
#include "pal/pipe/names.h"

namespace pal::pipe {

namespace {

// A live server answers within microseconds; this only bounds a server that is stopped.
constexpr int kReplyTimeoutMs = 10000;

DWORD ConnectError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;  // never served, or its server died
    case EAGAIN: return ERROR_PIPE_BUSY;             // the acceptor's backlog is full
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ErrorFromErrno(err);
    }
}

// Moves size bytes in the direction asked, waiting at most until deadline.
bool Transfer(int fd, char* data, size_t size, bool sending, std::chrono::steady_clock::time_point deadline,
              bool& eof) {
    size_t done = 0;
    eof = false;
    while (done < size) {
        const ssize_t n = sending ? send(fd, data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : recv(fd, data + done, size - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 && !sending) {
            eof = true;
            return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            eof = true;
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

}  // namespace

DWORD Exchange(const std::string& name, wire::HelloKind kind, bool wantRead, bool wantWrite, int& fd,
               wire::Reply& reply) {
    fd = -1;
    const PipeFiles files = FilesOf(name);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return ErrorFromErrno(errno);
    if (ConnectPath(s, files.socket) != 0) {
        const DWORD e = ConnectError(errno);
        close(s);
        return e;
    }
    wire::Hello hello{wire::kMagic, static_cast<uint8_t>(kind), static_cast<uint8_t>(wantRead ? 1 : 0),
                      static_cast<uint8_t>(wantWrite ? 1 : 0), 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    bool eof = false;
    char buf[sizeof reply];
    if (!Transfer(s, reinterpret_cast<char*>(&hello), sizeof hello, true, deadline, eof) ||
        !Transfer(s, buf, sizeof buf, false, deadline, eof)) {
        close(s);
        return eof ? ERROR_FILE_NOT_FOUND : ERROR_PIPE_BUSY;  // closed on us: the server went away
    }
    std::memcpy(&reply, buf, sizeof reply);
    if (reply.magic != wire::kMagic) {
        close(s);
        return ERROR_FILE_NOT_FOUND;
    }
    if (kind == wire::kConnect && reply.status == wire::kGranted)
        fd = s;
    else
        close(s);
    return 0;
}

}  // namespace pal::pipe
