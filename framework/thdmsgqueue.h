// CThdMsgQueue: the transport of the thread message procedure. Any thread posts a small
// record; the procedure's thread takes them one at a time in arrival order. Delayed posts
// wait inside the queue (no thread per post) and join the line when they fall due.
//
// Why not a pipe: a post must never block. A poster that waits for room behind the
// procedure deadlocks when the procedure itself is the one posting, or is busy joining
// the poster. So a post of the one bulk message (received records) from another thread
// is refused (not delayed) when the queue holds its capacity; every other message, and
// every post of the procedure itself, is always taken. After Close every post is
// refused, and Close hands back what was still queued so the caller can release senders
// and free what the records carried.
#pragma once

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "pal/types.h"

// Signalled once a sent message has been handled (or dropped). One per sending thread.
class CThdMsgWaiter {
public:
    void Reset();
    void Signal();
    void Wait();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::atomic<bool> m_bDone{false};
};

struct THDMSG_RECORD {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    HANDLE hEvent = nullptr;          // set after handling, when given
    CThdMsgWaiter* pWaiter = nullptr;  // signalled after handling, when given
    std::shared_ptr<void> keep;        // keeps what lParam points into alive until handled
};

class CThdMsgQueue {
public:
    enum PostResult { POSTED = 0, CLOSED = 1, FULL = 2 };
    static constexpr size_t kDefaultCapacity = 10000;

    explicit CThdMsgQueue(size_t capacity = kDefaultCapacity, UINT limitedMessage = 53);

    // Opens the queue for posts; the calling thread need not be the owner.
    void Open();
    int IsOpen() const;
    // The procedure's thread: its posts never count against the capacity.
    void SetOwnerThread(DWORD threadId);
    DWORD GetOwnerThread() const;

    PostResult Post(THDMSG_RECORD record);
    PostResult PostDelayed(THDMSG_RECORD record, DWORD delayMs);
    // Takes the next record; blocks. False once the queue is closed and empty of due
    // records (the remaining ones are returned by Close).
    bool Get(THDMSG_RECORD& record);
    // Refuses every later post and wakes Get; returns what was queued or scheduled.
    std::vector<THDMSG_RECORD> Close();
    size_t Size() const;
    size_t DelayedSize() const;

private:
    using Clock = std::chrono::steady_clock;
    void MoveDueLocked(Clock::time_point now);
    bool OverLimitLocked(const THDMSG_RECORD& record, DWORD poster) const;

    const size_t m_capacity;
    const UINT m_uLimitedMessage;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<THDMSG_RECORD> m_queue;
    std::multimap<Clock::time_point, THDMSG_RECORD> m_delayed;
    bool m_bOpen = false;
    DWORD m_dwOwner = 0;
};
