// The journal: one line per record passing the controller (and per connection event),
// appended to $VQ_ROOT/taskctrl/journal.log and rotated to journal.log.1 at a size limit.
// Watchers (the control pipe's "watch") get a copy of every line through their own
// bounded queue, so a slow watcher never holds up the controller.
#pragma once

#include <cstddef>
#include <cstdio>
#include <deque>
#include <memory>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/types.h"

namespace taskctrl {

class Watcher {
public:
    static constexpr size_t kLimit = 10000;
    Watcher();
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Signalled (auto-reset) when lines were added.
    HANDLE event() const { return event_; }
    // The lines queued so far; a note replaces the lines dropped while the queue was full.
    std::vector<std::string> Take();
    void Push(const std::string& line);

private:
    HANDLE event_;
    std::mutex mu_;
    std::deque<std::string> lines_;
    size_t dropped_ = 0;
};

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates the folder; false (with errno) when the file cannot be opened. The journal
    // then still feeds its watchers.
    bool Open(const std::string& path, size_t limit);
    void Close();

    // Writes "YYYY-MM-DD hh:mm:ss.mmm " + text as one line.
    void Write(const std::string& text);

    // Lines are written at once but reach the file in batches: at most kFlushMs after
    // they were written, by the next line or by the controller's loop (DirtyEvent tells
    // it there is something to flush). A flush per line cost more than the routing.
    static constexpr unsigned kFlushMs = 20;
    HANDLE DirtyEvent() const { return dirty_; }
    void Flush();

    void AddWatcher(const std::shared_ptr<Watcher>& watcher);
    void RemoveWatcher(const std::shared_ptr<Watcher>& watcher);

private:
    void RotateLocked();

    std::mutex mu_;
    std::FILE* file_ = nullptr;
    std::string path_;
    size_t limit_ = 0;
    size_t size_ = 0;
    std::vector<std::shared_ptr<Watcher>> watchers_;
    HANDLE dirty_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    bool unflushed_ = false;
    std::chrono::steady_clock::time_point lastFlush_{};
};

}  // namespace taskctrl
