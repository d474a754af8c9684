#include "framework/thdmsgqueue.h"

#include <chrono>

#include "pal/thread/thread.h"

namespace {
constexpr int kSpinMicroseconds = 50;
}  // namespace

void CThdMsgWaiter::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bDone = false;
}

void CThdMsgWaiter::Signal() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDone = true;
    }
    // Woken after the unlock, the waiter does not block again on the mutex at once.
    m_cv.notify_all();
}

void CThdMsgWaiter::Wait() {
    // Most sends are handled within microseconds; a short look before sleeping saves the
    // sender a sleep and a wake-up.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
    while (!m_bDone.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_bDone.load(); });
}

CThdMsgQueue::CThdMsgQueue(size_t capacity, UINT limitedMessage)
    : m_capacity(capacity), m_uLimitedMessage(limitedMessage) {}

void CThdMsgQueue::Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = true;
}

int CThdMsgQueue::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen ? 1 : 0;
}

void CThdMsgQueue::SetOwnerThread(DWORD threadId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dwOwner = threadId;
}

DWORD CThdMsgQueue::GetOwnerThread() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dwOwner;
}

bool CThdMsgQueue::OverLimitLocked(const THDMSG_RECORD& record, DWORD poster) const {
    // Only bulk records count against the limit; control messages (stop, re-connect,
    // job-thread events) always get in, or a flood of records could lose them.
    return record.message == m_uLimitedMessage && poster != m_dwOwner &&
           m_queue.size() + m_delayed.size() >= m_capacity;
}

CThdMsgQueue::PostResult CThdMsgQueue::Post(THDMSG_RECORD record) {
    const DWORD self = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bOpen) return CLOSED;
        if (OverLimitLocked(record, self)) return FULL;
        m_queue.push_back(std::move(record));
    }
    // Notified after the unlock so the taker does not wake into a held mutex; whoever
    // destroys a queue has joined its posters.
    m_cv.notify_one();
    return POSTED;
}

CThdMsgQueue::PostResult CThdMsgQueue::PostDelayed(THDMSG_RECORD record, DWORD delayMs) {
    const DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen) return CLOSED;
    if (OverLimitLocked(record, self)) return FULL;
    m_delayed.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(record));
    // The taker may be sleeping until a later due time.
    m_cv.notify_one();
    return POSTED;
}

void CThdMsgQueue::MoveDueLocked(Clock::time_point now) {
    while (!m_delayed.empty() && m_delayed.begin()->first <= now) {
        m_queue.push_back(std::move(m_delayed.begin()->second));
        m_delayed.erase(m_delayed.begin());
    }
}

bool CThdMsgQueue::Get(THDMSG_RECORD& record) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (!m_bOpen) return false;
        MoveDueLocked(Clock::now());
        if (!m_queue.empty()) {
            record = std::move(m_queue.front());
            m_queue.pop_front();
            return true;
        }
        if (m_delayed.empty()) {
            m_cv.wait(lock);
        } else {
            m_cv.wait_until(lock, m_delayed.begin()->first);
        }
    }
}

std::vector<THDMSG_RECORD> CThdMsgQueue::Close() {
    std::vector<THDMSG_RECORD> left;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = false;
    for (auto& record : m_queue) left.push_back(std::move(record));
    m_queue.clear();
    for (auto& [due, record] : m_delayed) left.push_back(std::move(record));
    m_delayed.clear();
    m_cv.notify_all();
    return left;
}

size_t CThdMsgQueue::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
}

size_t CThdMsgQueue::DelayedSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delayed.size();
}
