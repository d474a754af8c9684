// The device listener (see devices.h): one thread per process, started by the first
// top-level window and stopped and joined with the last one (and at process exit).
//
// It sleeps in poll() on an eventfd (the stop request), an inotify watch of the devices
// directory (usb.conf changed) and, with provider = uevent, the uevent socket. Without
// inotify it re-reads usb.conf every second instead. The starting state (the baselines of
// the simulated counters, the uevent socket) is set up on the creating thread before the
// first window can be found, so a change made after CreateWindowEx returned is an event.
//
// Within one run, baselines survive a missing or invalid file and an absent key: a writer
// that truncates the file before writing it again must not make the next value a new
// baseline.
#include "pal/window/devices.h"

#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"
#include "pal/error/error.h"
#include "pal/thread/message_queue.h"
#include "pal/window/remote.h"
#include "pal/window/window_internal.h"

namespace pal::window {

namespace {

// GUID of the USB device interface class.
const DEV_BROADCAST_DEVICEINTERFACE_A kUsbDeviceInterface = {
    sizeof(DEV_BROADCAST_DEVICEINTERFACE_A),
    DBT_DEVTYP_DEVICEINTERFACE,
    0,
    {0xA5DCBF10u, 0x6530u, 0x11D2u, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
    {0}};

// More than this many events from one change of the file are not delivered (a typo such
// as removals = 1000000 must not flood every queue).
constexpr int64_t kMaxEventsPerChange = 1000;
constexpr int kPollFallbackMs = 1000;
constexpr const char* kConfName = "usb.conf";

void Note(const char* what) {
    std::fprintf(stderr, "vqpal devices/usb.conf: %s\n", what);
    std::fflush(stderr);
}

void Deliver(UsbChange change, int64_t count) {
    if (change == UsbChange::None || count <= 0) return;
    const WPARAM event = change == UsbChange::Removal ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL;
    const LPARAM header = reinterpret_cast<LPARAM>(&kUsbDeviceInterface);
    for (const WindowTarget& target : TopLevelWindows()) {
        for (int64_t i = 0; i < count; ++i) PostQueueMessage(target.thread, target.hwnd, WM_DEVICECHANGE, event, header);
    }
}

class Listener {
public:
    void Acquire() {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (refs_++ == 0) Start();
    }

    void Release() {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (refs_ > 0 && --refs_ == 0) Stop();
    }

    void ShutdownAtExit() {
        std::lock_guard<std::mutex> lock(lifecycle_);
        refs_ = 0;
        Stop();
    }

    bool Running() {
        std::lock_guard<std::mutex> lock(lifecycle_);
        return thread_.joinable();
    }

private:
    void Start() {
        dir_ = core::RootDir() + "/devices";
        confPath_ = dir_ + "/" + kConfName;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        Watch();
        removalBase_ = arrivalBase_ = -1;  // each run takes its own baseline
        Reread(true);
        post_ = OpenPostSocket();
        if (post_ < 0) {
            std::fprintf(stderr, "vqpal windows: cannot bind this process's post socket; posts from other processes will not arrive\n");
            std::fflush(stderr);
        }
        thread_ = std::thread([this] { Run(); });
        pthread_setname_np(thread_.native_handle(), "vq-devices");
    }

    void Stop() {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) {
        }
        thread_.join();
        CloseSource();
        ClosePostSocket(post_);
        post_ = -1;
        for (int* fd : {&wake_, &inotify_}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
        watching_ = false;
    }

    // (Re)adds the watch of the devices directory, creating it when missing.
    void Watch() {
        if (inotify_ < 0) return;
        core::MakeDirs(dir_);
        watching_ = inotify_add_watch(inotify_, dir_.c_str(),
                                      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                          IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) >= 0;
    }

    void Run() {
        for (;;) {
            pollfd fds[4] = {{wake_, POLLIN, 0},
                             {watching_ ? inotify_ : -1, POLLIN, 0},
                             {source_, POLLIN, 0},
                             {post_, POLLIN, 0}};
            int n = poll(fds, 4, watching_ ? -1 : kPollFallbackMs);
            if (n < 0 && errno != EINTR) n = 0;
            if (fds[0].revents) return;
            bool reread = false;
            if (!watching_ && n == 0) {  // no watch: try to set it again, and look anyway
                Watch();
                reread = true;
            }
            if (fds[3].revents & POLLIN) ReceivePosts(post_);
            if (fds[1].revents) reread = DrainInotify() || reread;
            if (fds[2].revents & POLLIN) {
                if (auto change = ReceiveUevent(source_, sourceIsKernel_)) Deliver(*change, 1);
            } else if (fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                CloseSource();
                reread = true;
            }
            if (reread) Reread(false);
        }
    }

    // True when usb.conf (or the directory itself) changed.
    bool DrainInotify() {
        alignas(inotify_event) char buf[4096];
        bool changed = false;
        for (;;) {
            ssize_t n = read(inotify_, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
                if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
                    changed = true;
                    if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) watching_ = false;
                } else if (e->len > 0 && std::strcmp(e->name, kConfName) == 0) {
                    changed = true;
                }
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        if (!watching_) {
            // The directory went away: watch the new one (when the watch cannot be set,
            // the poll falls back to re-reading every second).
            if (inotify_ >= 0) {
                close(inotify_);
                inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
            }
            Watch();
        }
        return changed;
    }

    void Reread(bool initial) {
        device::ConfValues values;
        DWORD rc = device::LoadConf(confPath_, values);
        if (rc == ERROR_FILE_NOT_FOUND) {
            invalidNoted_ = false;
            CloseSource();
            return;
        }
        int64_t removals = -1, arrivals = -1;
        bool uevent = false;
        std::string socketPath;
        bool valid = rc == 0;
        if (valid) {
            device::ConfReader r(values);
            if (const std::string* p = r.Find("provider")) {
                if (*p == "uevent")
                    uevent = true;
                else if (*p != "simulated")
                    valid = false;
            }
            removals = r.Integer("removals", 0, INT64_MAX, -1);
            arrivals = r.Integer("arrivals", 0, INT64_MAX, -1);
            if (const std::string* s = r.Find("uevent_socket")) socketPath = *s;
            valid = valid && r.ok();
        }
        if (!valid) {
            if (!invalidNoted_) Note("invalid; no device events until it is corrected");
            invalidNoted_ = true;
            CloseSource();
            return;
        }
        invalidNoted_ = false;
        Count(removals, removalBase_, UsbChange::Removal, initial || uevent);
        Count(arrivals, arrivalBase_, UsbChange::Arrival, initial || uevent);
        if (!uevent) {
            CloseSource();
        } else if (source_ < 0 || socketPath != sourcePath_) {
            CloseSource();
            OpenSource(socketPath);
        }
    }

    // A counter's new value: the rise over its baseline is delivered (unless quiet), and
    // the value becomes the baseline. An absent key changes nothing.
    void Count(int64_t value, int64_t& base, UsbChange change, bool quiet) {
        if (value < 0) return;
        if (base >= 0 && value > base && !quiet) {
            int64_t rise = value - base;
            if (rise > kMaxEventsPerChange) {
                Note("a rise of more than 1000 at once: only 1000 events delivered");
                rise = kMaxEventsPerChange;
            }
            Deliver(change, rise);
        }
        base = value;
    }

    void OpenSource(const std::string& socketPath) {
        sourcePath_ = socketPath;
        if (!socketPath.empty()) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            if (socketPath.size() >= sizeof addr.sun_path) {
                Note("uevent_socket: path too long");
                return;
            }
            std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            unlink(socketPath.c_str());
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                if (fd >= 0) close(fd);
                Note("uevent_socket: cannot bind");
                return;
            }
            source_ = fd;
            sourceIsKernel_ = false;
            boundPath_ = socketPath;
            return;
        }
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1;  // the kernel's own events, not a udev daemon's
        int on = 1;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            if (fd >= 0) close(fd);
            Note("cannot open the kernel's uevent socket; no device events");
            return;
        }
        source_ = fd;
        sourceIsKernel_ = true;
    }

    void CloseSource() {
        if (source_ >= 0) close(source_);
        source_ = -1;
        if (!boundPath_.empty()) unlink(boundPath_.c_str());
        boundPath_.clear();
        sourcePath_.clear();
    }

    std::mutex lifecycle_;
    int refs_ = 0;
    std::thread thread_;
    // Owned by the listener thread while it runs, by the lifecycle lock's holder otherwise.
    std::string dir_, confPath_;
    int wake_ = -1, inotify_ = -1, source_ = -1, post_ = -1;
    bool watching_ = false;
    bool sourceIsKernel_ = false;
    std::string sourcePath_, boundPath_;
    bool invalidNoted_ = false;
    int64_t removalBase_ = -1, arrivalBase_ = -1;
};

// Never destroyed (windows of threads that end late release it); stopped at exit.
Listener& TheListener() {
    static Listener* listener = new Listener();
    return *listener;
}

struct StopAtExit {
    ~StopAtExit() { TheListener().ShutdownAtExit(); }
} g_stopAtExit;

}  // namespace

void AcquireDeviceListener() { TheListener().Acquire(); }
void ReleaseDeviceListener() { TheListener().Release(); }
bool DeviceListenerRunning() { return TheListener().Running(); }

}  // namespace pal::window
