// The service dispatcher: service mains on their own threads, controls (from the control
// socket and from SIGTERM/SIGINT) delivered to the handlers on the dispatcher's thread.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pal/service/notify.h"
#include "pal/service/service.h"
#include "pal/service/state_record.h"
#include "pal/service/wire.h"

namespace {

using namespace pal::service;

struct Entry {
    std::string name;
    LPSERVICE_MAIN_FUNCTIONA main = nullptr;
    uintptr_t id = 0;
    LPHANDLER_FUNCTION handler = nullptr;
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    void* context = nullptr;
    // Until the first report, the service is starting and accepts nothing.
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
    bool stopWanted = false;  // a stop signal came before the service accepted stop
    DWORD recordedState = 0;  // the last state the System log was told of
    bool mainDone = false;
    int lockFd = -1;
    int listenFd = -1;
    std::string socketPath;
    std::thread thread;
};

struct Dispatcher {
    std::mutex mu;
    bool running = false;
    std::vector<std::unique_ptr<Entry>> entries;
    int wakeFd = -1;
    bool readySent = false;
    bool stoppingSent = false;
};

Dispatcher& D() {
    static Dispatcher d;
    return d;
}

std::atomic<uintptr_t> g_nextId{0x5c00};
std::atomic<unsigned long> g_statusCalls{0};
volatile sig_atomic_t g_signalFd = -1;

extern "C" void OnStopSignal(int) {
    int saved = errno;
    char c = 1;
    if (g_signalFd >= 0) (void)!write(g_signalFd, &c, 1);
    errno = saved;
}

Entry* FindById(uintptr_t id) {
    for (auto& e : D().entries)
        if (e->id == id) return e.get();
    return nullptr;
}

Entry* FindByName(const std::string& name) {
    std::string key = detail::Key(name);
    for (auto& e : D().entries)
        if (detail::Key(e->name) == key) return e.get();
    return nullptr;
}

void Wake() {
    uint64_t one = 1;
    if (D().wakeFd >= 0) (void)!write(D().wakeFd, &one, sizeof one);
}

// VQ_SERVICE_FAIL_STATUS: "N" fails the N-th call, "N-" that call and all later ones.
bool FailThisCall(unsigned long call) {
    const char* v = std::getenv("VQ_SERVICE_FAIL_STATUS");
    if (!v || !*v) return false;
    char* end = nullptr;
    unsigned long n = std::strtoul(v, &end, 10);
    if (end == v || n == 0) return false;
    if (*end == '-') return call >= n;
    return call == n;
}

bool Accepts(DWORD control, DWORD accepted) {
    switch (control) {
    case SERVICE_CONTROL_STOP: return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE: return true;
    default: return false;
    }
}

bool Stopping(DWORD state) { return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING; }

// Runs on the dispatcher thread with the lock not held: the handler reports through
// SetServiceStatus, which takes it.
DWORD CallHandler(Entry& e, DWORD control) {
    LPHANDLER_FUNCTION handler;
    LPHANDLER_FUNCTION_EX handlerEx;
    void* context;
    {
        std::lock_guard lock(D().mu);
        handler = e.handler;
        handlerEx = e.handlerEx;
        context = e.context;
    }
    if (handlerEx) return handlerEx(control, 0, nullptr, context);
    if (handler) handler(control);
    return NO_ERROR;
}

// A remembered stop signal goes out once the service's report accepts stop.
void DeliverWantedStops() {
    for (;;) {
        Entry* due = nullptr;
        {
            std::lock_guard lock(D().mu);
            for (auto& e : D().entries) {
                if (!e->stopWanted) continue;
                if (Stopping(e->status.dwCurrentState) || e->mainDone) {
                    e->stopWanted = false;
                } else if ((e->status.dwControlsAccepted & SERVICE_ACCEPT_STOP) && (e->handler || e->handlerEx)) {
                    e->stopWanted = false;
                    due = e.get();
                    break;
                }
            }
        }
        if (!due) return;
        CallHandler(*due, SERVICE_CONTROL_STOP);
    }
}

void OnStopSignalReceived() {
    {
        std::lock_guard lock(D().mu);
        for (auto& e : D().entries)
            if (!Stopping(e->status.dwCurrentState) && !e->mainDone) e->stopWanted = true;
    }
    DeliverWantedStops();
}

std::string Answer(Entry& e, const std::string& request) {
    DWORD control = pal::service::kQuery;
    std::string word = request;
    while (!word.empty() && (word.back() == '\r' || word.back() == ' ')) word.pop_back();
    SERVICE_STATUS st;
    DWORD error = NO_ERROR;
    {
        std::lock_guard lock(D().mu);
        st = e.status;
        if (!ControlFromName(word, control)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (control != kQuery) {
            DWORD state = st.dwCurrentState;
            if (state == SERVICE_STOPPED || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                e.mainDone || (!e.handler && !e.handlerEx))
                error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
            else if (!Accepts(control, st.dwControlsAccepted))
                error = ERROR_INVALID_SERVICE_CONTROL;
        }
    }
    if (error == NO_ERROR && control != kQuery) {
        DWORD r = CallHandler(e, control);
        if (control != SERVICE_CONTROL_INTERROGATE) error = r;
        std::lock_guard lock(D().mu);
        st = e.status;
    }
    return detail::EncodeReply(error, st, getpid());
}

struct Client {
    int fd;
    Entry* entry;
    std::string buffer;
};

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Takes the instance lock and opens the control socket; false with the last error set.
bool Open(Entry& e) {
    e.lockFd = open(detail::LockPath(e.name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (e.lockFd < 0) {
        pal::SetLastErrorFromErrno(errno);
        return false;
    }
    // An open-file-description lock: the kernel drops it with the process, however it ends.
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(e.lockFd, F_OFD_SETLK, &fl) != 0) {
        int err = errno;
        CloseFd(e.lockFd);
        if (err == EAGAIN || err == EACCES)
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        else
            pal::SetLastErrorFromErrno(err);
        return false;
    }
    e.socketPath = ControlSocketPath(e.name);
    unlink(e.socketPath.c_str());  // left by an instance that was killed
    e.listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr;
    socklen_t len;
    detail::MakeAddress(e.socketPath, addr, len);
    if (e.listenFd < 0 || bind(e.listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(e.listenFd, 16) != 0) {
        pal::SetLastErrorFromErrno(errno);
        CloseFd(e.listenFd);
        CloseFd(e.lockFd);
        return false;
    }
    return true;
}

void Close(Entry& e) {
    // The socket goes before the lock, so it never removes a successor's socket.
    if (e.listenFd >= 0) unlink(e.socketPath.c_str());
    CloseFd(e.listenFd);
    CloseFd(e.lockFd);
}

void Drain(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// The dispatcher's loop: returns when every service main has returned.
void Serve(int signalFd) {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({D().wakeFd, POLLIN, 0});
        for (auto& e : D().entries) fds.push_back({e->listenFd, POLLIN, 0});
        for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) {
            Drain(signalFd);
            OnStopSignalReceived();
        }
        if (fds[1].revents) {
            Drain(D().wakeFd);
            DeliverWantedStops();
            std::lock_guard lock(D().mu);
            bool all = true;
            for (auto& e : D().entries) all = all && e->mainDone;
            if (all) break;
        }
        size_t i = 2;
        for (auto& e : D().entries) {
            if (fds[i++].revents & POLLIN) {
                int fd = accept4(e->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) clients.push_back({fd, e.get(), {}});
            }
        }
        size_t polledClients = fds.size() - i;
        std::vector<Client> kept;
        for (size_t k = 0; k < clients.size(); ++k) {
            Client& c = clients[k];
            bool keep = true;
            if (k < polledClients && fds[i + k].revents) {
                char buf[256];
                ssize_t n = read(c.fd, buf, sizeof buf);
                if (n > 0) c.buffer.append(buf, static_cast<size_t>(n));
                auto nl = c.buffer.find('\n');
                if (nl != std::string::npos) {
                    std::string reply = Answer(*c.entry, c.buffer.substr(0, nl));
                    (void)!send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                    keep = false;
                } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) || c.buffer.size() > 256) {
                    keep = false;
                }
            }
            if (keep)
                kept.push_back(std::move(c));
            else
                close(c.fd);
        }
        clients = std::move(kept);
    }
    for (auto& c : clients) close(c.fd);
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    if (!table || !table[0].lpServiceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::unique_ptr<Entry>> entries;
    for (const SERVICE_TABLE_ENTRYA* t = table; t->lpServiceName; ++t) {
        if (!t->lpServiceProc) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!detail::ValidName(t->lpServiceName)) {
            SetLastError(ERROR_INVALID_NAME);
            return FALSE;
        }
        for (auto& e : entries) {
            if (detail::Key(e->name) == detail::Key(t->lpServiceName)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
        }
        auto e = std::make_unique<Entry>();
        e->name = t->lpServiceName;
        e->main = t->lpServiceProc;
        e->id = g_nextId.fetch_add(4);
        entries.push_back(std::move(e));
    }

    Dispatcher& d = D();
    {
        std::lock_guard lock(d.mu);
        if (d.running) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        d.running = true;
    }
    auto giveUp = [&] {
        for (auto& e : entries) Close(*e);
        std::lock_guard lock(d.mu);
        d.running = false;
        return FALSE;
    };
    for (auto& e : entries)
        if (!Open(*e)) return giveUp();

    int pipeFds[2];
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0 || pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pal::SetLastErrorFromErrno(errno);
        if (wakeFd >= 0) close(wakeFd);
        return giveUp();
    }

    // The signal handler only writes to a pipe; the stop itself is delivered by the loop.
    g_signalFd = pipeFds[1];
    struct sigaction sa{}, oldTerm{}, oldInt{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGINT, &sa, &oldInt);
    sigset_t stopSignals, oldMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);

    {
        std::lock_guard lock(d.mu);
        d.entries = std::move(entries);
        d.wakeFd = wakeFd;
    }
    // Service threads start with the stop signals blocked, so they arrive on this thread.
    pthread_sigmask(SIG_BLOCK, &stopSignals, &oldMask);
    for (auto& e : d.entries) {
        Entry* entry = e.get();
        entry->thread = std::thread([entry] {
            std::string name = entry->name;
            LPSTR argv[2] = {name.data(), nullptr};
            entry->main(1, argv);
            {
                std::lock_guard lock(D().mu);
                entry->mainDone = true;
            }
            Wake();
        });
    }
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    Serve(pipeFds[0]);

    for (auto& e : d.entries) {
        if (e->thread.joinable()) e->thread.join();
        Close(*e);
    }
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    g_signalFd = -1;
    close(pipeFds[0]);
    close(pipeFds[1]);
    {
        std::lock_guard lock(d.mu);
        d.entries.clear();
        close(d.wakeFd);
        d.wakeFd = -1;
        d.running = false;
    }
    return TRUE;
}

namespace {

SERVICE_STATUS_HANDLE Register(LPCSTR name, LPHANDLER_FUNCTION handler, LPHANDLER_FUNCTION_EX handlerEx,
                               LPVOID context) {
    if (!name || (!handler && !handlerEx)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(D().mu);
    Entry* e = FindByName(name);
    if (!e) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    e->handler = handler;
    e->handlerEx = handlerEx;
    e->context = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(e->id);
}

}  // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
    return Register(lpServiceName, lpHandlerProc, nullptr, nullptr);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext) {
    return Register(lpServiceName, nullptr, lpHandlerProc, lpContext);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    if (FailThisCall(++g_statusCalls)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::string message;
    std::string recordName;
    DWORD recordState = 0;
    {
        std::lock_guard lock(D().mu);
        Entry* e = hServiceStatus ? FindById(reinterpret_cast<uintptr_t>(hServiceStatus)) : nullptr;
        if (!e) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!lpServiceStatus) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DWORD state = lpServiceStatus->dwCurrentState;
        if (state < SERVICE_STOPPED || state > SERVICE_PAUSED) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        e->status = *lpServiceStatus;
        bool firstRunning = state == SERVICE_RUNNING && !D().readySent;
        bool firstStopping = Stopping(state) && !D().stoppingSent;
        D().readySent = D().readySent || firstRunning;
        D().stoppingSent = D().stoppingSent || firstStopping;
        message = detail::NotifyMessage(e->name, *lpServiceStatus, firstRunning, firstStopping);
        if (detail::StateWord(state) && state != e->recordedState) {
            e->recordedState = state;
            recordName = e->name;
            recordState = state;
        }
        Wake();
    }
    detail::Notify(message);  // the manager may be absent; that is not the caller's failure
    // Written outside the lock: the store may take a while, and a log that cannot be
    // written is not the caller's failure either.
    if (!recordName.empty()) detail::WriteStateRecord(recordName, recordState);
    return TRUE;
}
