// The pipe family's completion engine: one epoll thread per process that tells sockets'
// owners when they can read or write, so overlapped operations finish while their callers
// do something else. The thread starts with the first watched socket and is joined when
// the last one is removed, so a process without pipes runs no thread of ours.
//
// Watches are one-shot: after an event the owner re-arms what it still needs. Owners do
// their work under their own mutex; the engine holds none of its locks while calling them,
// so owners may call Arm under their locks. Remove may join the thread: never call it
// while holding a lock an OnEvents call takes (owners move the Watch out first).
#pragma once

#include <cstdint>
#include <memory>

namespace pal::pipe {

class Watcher {
public:
    virtual ~Watcher() = default;
    // epoll event bits (EPOLLIN, EPOLLOUT, EPOLLHUP ...). Called on the engine thread.
    virtual void OnEvents(uint32_t events) = 0;
};

class Engine;

// A socket registered with the engine; Remove (or destruction) takes it out.
class Watch {
public:
    Watch() = default;
    ~Watch() { Remove(); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    Watch(Watch&& o) noexcept;
    Watch& operator=(Watch&& o) noexcept;

    // Starts watching fd for watcher (nothing armed yet). False when the engine could
    // not be started (errno set).
    bool Add(int fd, std::shared_ptr<Watcher> watcher);
    // Arms the one-shot watch for these events (0: nothing).
    void Arm(uint32_t events);
    // Stops watching; the fd stays open (the caller closes it). An OnEvents already
    // running may still finish: owners check their own state under their lock.
    void Remove();
    bool active() const { return engine_ != nullptr; }

private:
    std::shared_ptr<Engine> engine_;
    uint64_t id_ = 0;
    int fd_ = -1;
};

// Number of engine threads running now (0 or 1; for tests).
int EngineThreads();

}  // namespace pal::pipe
