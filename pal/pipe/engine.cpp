#include "pal/pipe/engine.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace pal::pipe {

class Engine {
public:
    Engine(int epfd, int evfd) : epfd_(epfd), evfd_(evfd) {}
    ~Engine() {
        close(epfd_);
        close(evfd_);
    }

    void Run();
    void Stop() {
        stop_.store(true);
        uint64_t one = 1;
        (void)!write(evfd_, &one, sizeof one);
    }

    int epfd_, evfd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // watchers_
    std::unordered_map<uint64_t, std::shared_ptr<Watcher>> watchers_;
};

namespace {

// One engine at a time; a new one starts when watches come back after the last went.
struct Global {
    std::mutex mutex;
    std::shared_ptr<Engine> current;
    size_t watches = 0;
    uint64_t nextId = 1;  // 0 is the engine's own wake-up descriptor
    std::atomic<int> threads{0};
};

Global& G() {
    static Global* g = new Global();  // never destroyed: a watch may outlive static destructors
    return *g;
}

std::shared_ptr<Engine> StartEngine() {
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return nullptr;
    int evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (evfd < 0) {
        int e = errno;
        close(epfd);
        errno = e;
        return nullptr;
    }
    auto engine = std::make_shared<Engine>(epfd, evfd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    epoll_ctl(epfd, EPOLL_CTL_ADD, evfd, &ev);
    // The thread starts with every signal blocked, so process signals (a service's stop
    // request) go to the program's own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    try {
        engine->thread_ = std::thread([engine] { engine->Run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        errno = EAGAIN;
        return nullptr;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return engine;
}

}  // namespace

void Engine::Run() {
    G().threads.fetch_add(1);
    epoll_event events[64];
    while (!stop_.load()) {
        int n = epoll_wait(epfd_, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == 0) {
                uint64_t v;
                (void)!read(evfd_, &v, sizeof v);
                continue;
            }
            std::shared_ptr<Watcher> w;
            {
                std::lock_guard<std::mutex> g(mutex_);
                auto it = watchers_.find(id);
                if (it != watchers_.end()) w = it->second;
            }
            if (w) w->OnEvents(events[i].events);
        }
    }
    G().threads.fetch_sub(1);
}

Watch::Watch(Watch&& o) noexcept : engine_(std::move(o.engine_)), id_(o.id_), fd_(o.fd_) {
    o.id_ = 0;
    o.fd_ = -1;
}

Watch& Watch::operator=(Watch&& o) noexcept {
    if (this != &o) {
        Remove();
        engine_ = std::move(o.engine_);
        id_ = o.id_;
        fd_ = o.fd_;
        o.id_ = 0;
        o.fd_ = -1;
    }
    return *this;
}

bool Watch::Add(int fd, std::shared_ptr<Watcher> watcher) {
    Remove();
    Global& g = G();
    std::shared_ptr<Engine> engine;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!g.current) {
            g.current = StartEngine();
            if (!g.current) return false;
        }
        engine = g.current;
        id = g.nextId++;
        ++g.watches;
        std::lock_guard<std::mutex> w(engine->mutex_);
        engine->watchers_[id] = std::move(watcher);
    }
    // One-shot with nothing armed: even a hang-up is reported at most once until re-armed.
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    ev.data.u64 = id;
    epoll_ctl(engine->epfd_, EPOLL_CTL_ADD, fd, &ev);
    engine_ = std::move(engine);
    id_ = id;
    fd_ = fd;
    return true;
}

void Watch::Arm(uint32_t events) {
    if (!engine_ || !events) return;
    epoll_event ev{};
    ev.events = events | EPOLLONESHOT;
    ev.data.u64 = id_;
    epoll_ctl(engine_->epfd_, EPOLL_CTL_MOD, fd_, &ev);
}

void Watch::Remove() {
    if (!engine_) return;
    std::shared_ptr<Engine> engine = std::move(engine_);
    epoll_ctl(engine->epfd_, EPOLL_CTL_DEL, fd_, nullptr);
    Global& g = G();
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        {
            std::lock_guard<std::mutex> w(engine->mutex_);
            engine->watchers_.erase(id_);
        }
        if (--g.watches == 0 && g.current == engine) {
            g.current.reset();
            last = true;
        }
    }
    id_ = 0;
    fd_ = -1;
    if (!last) return;
    engine->Stop();
    if (engine->thread_.get_id() == std::this_thread::get_id())
        engine->thread_.detach();  // the engine's own last removal: it ends by itself
    else
        engine->thread_.join();
}

int EngineThreads() { return G().threads.load(); }

}  // namespace pal::pipe
