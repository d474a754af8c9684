#include "pal/pipe/server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "pal/error/error.h"
#include "pal/pipe/names.h"
#include "pal/pipe/pipe.h"

namespace pal::pipe {

// A connection whose Hello has not fully arrived yet.
class Server::Handshake : public Watcher, public std::enable_shared_from_this<Handshake> {
public:
    Handshake(std::weak_ptr<Server> server, int fd) : server_(std::move(server)), fd(fd) {}
    void OnEvents(uint32_t) override {
        if (auto s = server_.lock()) s->OnHandshake(shared_from_this());
    }

    enum class Got { kMore, kReady, kDead };
    Got ReadHello() {
        for (;;) {
            const ssize_t n = recv(fd, bytes + have, sizeof bytes - have, MSG_DONTWAIT);
            if (n > 0) {
                have += static_cast<size_t>(n);
                if (have == sizeof bytes) return Got::kReady;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Got::kMore;
            return Got::kDead;
        }
    }
    wire::Hello Hello() const {
        wire::Hello h;
        std::memcpy(&h, bytes, sizeof h);
        return h;
    }

    std::weak_ptr<Server> server_;
    int fd;
    Watch watch;
    char bytes[sizeof(wire::Hello)] = {};
    size_t have = 0;
};

namespace {

struct Registry {
    std::mutex mutex;  // held across a name's start and shutdown
    std::map<std::string, std::shared_ptr<Server>> servers;
};

Registry& TheRegistry() {
    static Registry* r = new Registry();  // instances may close during static destruction
    return *r;
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Compatible(const PipeParams& a, const PipeParams& b) {
    return (a.openMode & PIPE_ACCESS_DUPLEX) == (b.openMode & PIPE_ACCESS_DUPLEX) &&
           (a.pipeMode & PIPE_TYPE_MESSAGE) == (b.pipeMode & PIPE_TYPE_MESSAGE);
}

// Takes the name's lock file, so no other process serves it; -1 with the Win32 error.
int LockName(const std::string& path, DWORD& error) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errno == EACCES ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
            return -1;
        }
        struct flock l{};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        const bool locked = fcntl(fd, F_OFD_SETLK, &l) == 0;
        const int e = errno;
        // The previous server removes the file while it still holds the lock, just before
        // it lets go: whatever we locked (or failed to) is then no longer the name's file.
        struct stat mine{}, named{};
        const bool current = fstat(fd, &mine) == 0 && stat(path.c_str(), &named) == 0 &&
                             mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
        if (locked && current) {
            (void)!fchmod(fd, 0666);
            return fd;
        }
        close(fd);
        if (!locked && current) {
            error = (e == EAGAIN || e == EACCES) ? ERROR_ACCESS_DENIED : ErrorFromErrno(e);
            return -1;
        }
    }
    error = ERROR_ACCESS_DENIED;
    return -1;
}

// A process that ends with names still served leaves no files behind (a killed one does;
// they are stale and the next server replaces them). Skipped when another thread holds the
// registry, rather than hang the exit.
void UnlinkAtExit() {
    Registry& r = TheRegistry();
    std::unique_lock<std::mutex> lock(r.mutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    for (const auto& entry : r.servers) entry.second->UnlinkFiles();
}

}  // namespace

void Server::UnlinkFiles() const {
    unlink(socketPath_.c_str());
    unlink(lockPath_.c_str());  // still locked until the process is gone
}

Server::~Server() {
    // Shutdown ran already (the last instance closed); only descriptors of a failed start.
    if (listenFd_ >= 0) close(listenFd_);
    if (lockFd_ >= 0) close(lockFd_);
}

DWORD Server::Start() {
    const PipeFiles files = FilesOf(key_);
    socketPath_ = files.socket;
    lockPath_ = files.lock;
    DWORD error = 0;
    lockFd_ = LockName(lockPath_, error);
    if (lockFd_ < 0) return error;
    unlink(socketPath_.c_str());  // left by a server that died: its lock is free, so it is stale
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || BindPath(listenFd_, socketPath_) != 0) return ErrorFromErrno(errno);
    (void)!chmod(socketPath_.c_str(), 0666);  // every local process may connect, as with a null DACL
    if (listen(listenFd_, SOMAXCONN) != 0) return ErrorFromErrno(errno);
    if (!watch_.Add(listenFd_, shared_from_this())) return ErrorFromErrno(errno);
    watch_.Arm(EPOLLIN);
    return 0;
}

std::shared_ptr<End> Server::CreateInstance(const std::string& name, const PipeParams& params, DWORD& error) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> registryLock(r.mutex);
    const std::string key = Lower(name);
    std::shared_ptr<Server> server;
    auto it = r.servers.find(key);
    if (it != r.servers.end()) {
        server = it->second;
        if (params.openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        if (!Compatible(server->params_, params)) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
    } else {
        static const bool atExit = std::atexit(UnlinkAtExit) == 0;
        (void)atExit;
        server = std::make_shared<Server>(key, params);
        if (DWORD e = server->Start()) {
            server->Shutdown();
            error = e;
            return nullptr;
        }
        r.servers[key] = server;
    }

    EndConfig cfg;
    cfg.server = true;
    cfg.overlapped = (params.openMode & FILE_FLAG_OVERLAPPED) != 0;
    cfg.messageType = (params.pipeMode & PIPE_TYPE_MESSAGE) != 0;
    cfg.messageRead = (params.pipeMode & PIPE_READMODE_MESSAGE) != 0;
    cfg.canRead = (params.openMode & PIPE_ACCESS_INBOUND) != 0;
    cfg.canWrite = (params.openMode & PIPE_ACCESS_OUTBOUND) != 0;
    cfg.outSize = params.outSize;
    cfg.inSize = params.inSize;
    // The first instance fixes the limit for all of them, as on Windows.
    cfg.maxInstances = server->params_.maxInstances;

    std::lock_guard<std::mutex> lock(server->mutex_);
    if (server->instances_.size() >= server->params_.maxInstances) {
        error = ERROR_PIPE_BUSY;
        return nullptr;
    }
    auto end = End::NewInstance(server, cfg);
    server->instances_.push_back(end);
    return end;
}

void Server::RemoveInstance(const End* end) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> registryLock(r.mutex);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(instances_.begin(), instances_.end(), [end](const auto& e) { return e.get() == end; });
        if (it != instances_.end()) instances_.erase(it);
        if (!instances_.empty() || shut_) return;
    }
    auto it = r.servers.find(key_);
    if (it != r.servers.end() && it->second.get() == this) r.servers.erase(it);
    // Under the registry lock: a new server of the name in this process waits until the
    // files are free.
    Shutdown();
}

void Server::Shutdown() {
    Watch listenWatch;
    std::vector<std::shared_ptr<Handshake>> handshakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shut_ = true;
        listenWatch = std::move(watch_);
        handshakes.swap(handshakes_);
    }
    listenWatch.Remove();
    for (auto& h : handshakes) {
        h->watch.Remove();
        close(h->fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
        unlink(socketPath_.c_str());
    }
    if (lockFd_ >= 0) {
        unlink(lockPath_.c_str());  // while still locked, so nobody takes a file about to go
        close(lockFd_);
        lockFd_ = -1;
    }
}

void Server::OnEvents(uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_) return;
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: all taken; anything else: try again at the next event
        }
        auto h = std::make_shared<Handshake>(weak_from_this(), fd);
        switch (h->ReadHello()) {
        case Handshake::Got::kReady: Answer(fd, h->Hello()); break;
        case Handshake::Got::kDead: close(fd); break;
        case Handshake::Got::kMore:
            if (!h->watch.Add(fd, h)) {
                close(fd);
                break;
            }
            h->watch.Arm(EPOLLIN | EPOLLRDHUP);
            handshakes_.push_back(h);
            break;
        }
    }
    watch_.Arm(EPOLLIN);
}

void Server::OnHandshake(const std::shared_ptr<Handshake>& h) {
    if (!h) return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(handshakes_.begin(), handshakes_.end(), h);
    if (shut_ || it == handshakes_.end()) return;
    const auto got = h->ReadHello();
    if (got == Handshake::Got::kMore) {
        h->watch.Arm(EPOLLIN | EPOLLRDHUP);
        return;
    }
    handshakes_.erase(it);
    h->watch.Remove();  // never the last watch: the listening socket's is still there
    if (got == Handshake::Got::kDead)
        close(h->fd);
    else
        Answer(h->fd, h->Hello());
}

void Server::Answer(int fd, const wire::Hello& hello) {
    wire::Reply reply{};
    reply.magic = wire::kMagic;
    reply.messageType = (params_.pipeMode & PIPE_TYPE_MESSAGE) ? 1 : 0;
    reply.defaultTimeout = params_.defaultTimeout;
    reply.outSize = params_.outSize;
    reply.inSize = params_.inSize;
    reply.maxInstances = params_.maxInstances;
    auto answer = [&](uint8_t status) {
        reply.status = status;
        (void)!send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
        close(fd);
    };
    if (hello.magic != wire::kMagic) {
        close(fd);
        return;
    }
    if (hello.kind == wire::kQuery) {
        const bool free =
            std::any_of(instances_.begin(), instances_.end(), [](const auto& e) { return e->IsFree(); });
        answer(free ? wire::kGranted : wire::kBusy);
        return;
    }
    if (hello.kind != wire::kConnect) {
        close(fd);
        return;
    }
    // The client reads what the server writes and the other way round.
    if ((hello.wantRead && !(params_.openMode & PIPE_ACCESS_OUTBOUND)) ||
        (hello.wantWrite && !(params_.openMode & PIPE_ACCESS_INBOUND))) {
        answer(wire::kDenied);
        return;
    }
    reply.status = wire::kGranted;
    for (bool onlyWaiting : {true, false}) {
        for (const auto& instance : instances_) {
            switch (instance->TryAttach(fd, &reply, sizeof reply, onlyWaiting)) {
            case End::Attach::kAttached: return;
            case End::Attach::kFailed: close(fd); return;
            case End::Attach::kNotFree: break;
            }
        }
    }
    answer(wire::kBusy);
}

}  // namespace pal::pipe
