// SetTimer and KillTimer: one timer thread per process, started with the first timer and
// ended when none is left (and at process exit). It sleeps on a condition variable until
// the earliest timer is due, so idle timers cost nothing.
//
// A due timer posts WM_TIMER to its owning thread's queue unless one of its WM_TIMERs is
// still waiting there: the queue tells when the thread takes a WM_TIMER out (the taken
// hook), which clears the timer's pending mark. A slow reader thus sees one WM_TIMER per
// timer, as on the system, instead of a backlog.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "pal/error/error.h"
#include "pal/thread/message_queue.h"
#include "pal/thread/thread.h"
#include "pal/window/window_internal.h"

namespace pal::window {

namespace {

using Clock = std::chrono::steady_clock;

// Window timers: (hwnd, 0, id); thread timers: (null, thread, id).
struct Key {
    HWND hwnd;
    DWORD thread;
    UINT_PTR id;
    bool operator<(const Key& o) const { return std::tie(hwnd, thread, id) < std::tie(o.hwnd, o.thread, o.id); }
};

struct Timer {
    DWORD owner = 0;  // the thread whose queue gets the WM_TIMER
    UINT elapse = 0;
    TIMERPROC proc = nullptr;
    Clock::time_point due;
    bool pending = false;
};

void Taken(const MSG& m);

class Timers {
public:
    // At process exit: no timer fires any more, and the thread is joined.
    void Shutdown() {
        std::unique_lock<std::mutex> lock(mutex_);
        timers_.clear();
        exiting_ = true;
        changed_.notify_all();
        lock.unlock();
        if (thread_.joinable()) thread_.join();
    }

    UINT_PTR Set(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
        DWORD owner = GetCurrentThreadId();
        if (hwnd != nullptr && !WindowOwner(hwnd, owner)) return 0;
        if (elapse < USER_TIMER_MINIMUM) elapse = USER_TIMER_MINIMUM;
        if (elapse > USER_TIMER_MAXIMUM) elapse = USER_TIMER_MAXIMUM;
        std::lock_guard<std::mutex> lock(mutex_);
        Key key{hwnd, 0, id};
        if (hwnd == nullptr) {
            key.thread = owner;
            if (id == 0 || timers_.count(key) == 0) key.id = NewThreadTimerId(owner);
        } else if (id == 0) {
            key.id = 1;
        }
        Timer& t = timers_[key];
        t.owner = owner;
        t.elapse = elapse;
        t.proc = proc;
        t.due = Clock::now() + std::chrono::milliseconds(elapse);
        t.pending = false;
        StartLocked();
        changed_.notify_all();
        return key.id;
    }

    BOOL Kill(HWND hwnd, UINT_PTR id) {
        std::lock_guard<std::mutex> lock(mutex_);
        Key key{hwnd, hwnd == nullptr ? GetCurrentThreadId() : 0, id};
        if (timers_.erase(key) == 0) {
            SetLastError(hwnd != nullptr && !IsWindow(hwnd) ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        changed_.notify_all();
        return TRUE;
    }

    void KillWindow(HWND hwnd) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->first.hwnd == hwnd)
                it = timers_.erase(it);
            else
                ++it;
        }
        changed_.notify_all();
    }

    bool IsProc(HWND hwnd, UINT_PTR id, TIMERPROC proc) {
        std::lock_guard<std::mutex> lock(mutex_);
        Key key{hwnd, hwnd == nullptr ? GetCurrentThreadId() : 0, id};
        auto it = timers_.find(key);
        return it != timers_.end() && it->second.proc == proc && it->second.owner == GetCurrentThreadId();
    }

    void TakenByOwner(const MSG& m) {
        std::lock_guard<std::mutex> lock(mutex_);
        Key key{m.hwnd, m.hwnd == nullptr ? GetCurrentThreadId() : 0, m.wParam};
        auto it = timers_.find(key);
        if (it != timers_.end() && it->second.owner == GetCurrentThreadId()) it->second.pending = false;
    }

private:
    UINT_PTR NewThreadTimerId(DWORD owner) {
        for (;;) {
            UINT_PTR id = nextThreadId_++;
            if (nextThreadId_ == 0) nextThreadId_ = 0x1000;
            if (timers_.count(Key{nullptr, owner, id}) == 0) return id;
        }
    }

    void StartLocked() {
        if (running_ || exiting_) return;
        if (thread_.joinable()) thread_.join();  // a thread that ended after its last timer
        SetTimerTakenHook(&Taken);
        running_ = true;
        thread_ = std::thread([this] { Run(); });
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!exiting_ && !timers_.empty()) {
            auto now = Clock::now();
            auto next = Clock::time_point::max();
            for (auto it = timers_.begin(); it != timers_.end();) {
                Timer& t = it->second;
                if (t.due <= now) {
                    t.due = now + std::chrono::milliseconds(t.elapse);
                    if (!t.pending) {
                        // Posting takes only the queue's lock, never this one's waiters.
                        if (!PostQueueMessage(t.owner, it->first.hwnd, WM_TIMER, it->first.id,
                                              reinterpret_cast<LPARAM>(t.proc))) {
                            if (GetLastError() == ERROR_INVALID_THREAD_ID) {  // the owner has ended
                                it = timers_.erase(it);
                                continue;
                            }
                        } else {
                            t.pending = true;
                        }
                    }
                }
                if (t.due < next) next = t.due;
                ++it;
            }
            if (timers_.empty()) break;
            changed_.wait_until(lock, next);
        }
        running_ = false;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<Key, Timer> timers_;
    std::thread thread_;
    bool running_ = false;
    bool exiting_ = false;
    UINT_PTR nextThreadId_ = 0x1000;
};

// Never destroyed: threads that end after the statics (their windows' timers are
// killed then) still find it.
Timers& TheTimers() {
    static Timers* timers = new Timers();
    return *timers;
}

struct JoinAtExit {
    ~JoinAtExit() { TheTimers().Shutdown(); }
} g_joinAtExit;

void Taken(const MSG& m) { TheTimers().TakenByOwner(m); }

}  // namespace

void KillWindowTimers(HWND hwnd) { TheTimers().KillWindow(hwnd); }

bool IsTimerProc(HWND hwnd, UINT_PTR id, TIMERPROC proc) { return TheTimers().IsProc(hwnd, id, proc); }

}  // namespace pal::window

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (hwnd == HWND_BROADCAST || hwnd == HWND_MESSAGE) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return pal::window::TheTimers().Set(hwnd, id, elapse, proc);
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) { return pal::window::TheTimers().Kill(hwnd, id); }
