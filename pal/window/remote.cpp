// Posts between processes (see remote.h).
//
// A datagram carries the target handle, the message and its two parameters as fixed-size
// numbers, so a 64-bit handle crosses whole. Sends never block: a receiver whose socket is
// full makes the post fail, as a full queue does. A socket name left by a process that
// died is removed by the next sender that finds nobody behind it.
#include "pal/window/remote.h"

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/thread/message_queue.h"
#include "pal/thread/thread.h"
#include "pal/window/window_internal.h"

#ifndef ERROR_MESSAGE_SYNC_ONLY
#define ERROR_MESSAGE_SYNC_ONLY 1159L
#endif
#ifndef ERROR_NOT_ENOUGH_QUOTA
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#endif

namespace pal::window {

namespace {

constexpr uint32_t kMagic = 0x56515750;  // "VQWP"

struct Packet {
    uint32_t magic;
    uint32_t msg;
    uint64_t hwnd;
    uint64_t wParam;
    int64_t lParam;
};

std::string Dir() { return core::StateDir() + "/windows"; }

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// 0 when sent, else errno.
int SendPacket(pid_t pid, const Packet& p) {
    sockaddr_un addr;
    if (!MakeAddress(PostSocketPath(pid), addr)) return ENAMETOOLONG;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    ssize_t n;
    do n = sendto(fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    while (n < 0 && errno == EINTR);
    int err = n == static_cast<ssize_t>(sizeof p) ? 0 : errno;
    close(fd);
    // Nobody behind the name and its process gone: a leftover of a crash.
    if (err == ECONNREFUSED && kill(pid, 0) != 0 && errno == ESRCH) unlink(PostSocketPath(pid).c_str());
    return err;
}

}  // namespace

std::string PostSocketPath(pid_t pid) { return Dir() + "/" + std::to_string(pid); }

int OpenPostSocket() {
    core::MakeDirs(Dir());
    const std::string path = PostSocketPath(getpid());
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());  // a dead process with our id left it
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void ClosePostSocket(int fd) {
    if (fd < 0) return;
    close(fd);
    unlink(PostSocketPath(getpid()).c_str());
}

bool MayCrossProcess(UINT msg) {
    return msg >= WM_USER || msg == WM_NULL || msg == WM_CLOSE || msg == WM_COMMAND || msg == WM_QUIT;
}

void ReceivePosts(int fd) {
    for (;;) {
        Packet p;
        ssize_t n = recv(fd, &p, sizeof p, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        if (n != static_cast<ssize_t>(sizeof p) || p.magic != kMagic || !MayCrossProcess(p.msg)) continue;
        const HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(p.hwnd));
        const WPARAM wp = static_cast<WPARAM>(p.wParam);
        const LPARAM lp = static_cast<LPARAM>(p.lParam);
        if (hwnd == HWND_BROADCAST) {
            for (const WindowTarget& target : TopLevelWindows()) PostQueueMessage(target.thread, target.hwnd, p.msg, wp, lp);
            continue;
        }
        DWORD thread = 0;
        if (WindowOwner(hwnd, thread)) PostQueueMessage(thread, hwnd, p.msg, wp, lp);
    }
}

BOOL PostToProcess(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!MayCrossProcess(msg)) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    Packet p{kMagic, msg, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)), static_cast<uint64_t>(wParam),
             static_cast<int64_t>(lParam)};
    int err = SendPacket(pid, p);
    if (err == 0) return TRUE;
    SetLastError(err == EAGAIN || err == ENOBUFS ? ERROR_NOT_ENOUGH_QUOTA : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

void BroadcastToOtherProcesses(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!MayCrossProcess(msg)) return;
    DIR* dir = opendir(Dir().c_str());
    if (!dir) return;
    const pid_t self = getpid();
    Packet p{kMagic, msg, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(HWND_BROADCAST)),
             static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || *end != '\0' || pid <= 0 || pid == self) continue;
        SendPacket(static_cast<pid_t>(pid), p);
    }
    closedir(dir);
}

}  // namespace pal::window
