// Thread message queues. Each queue belongs to one thread and sits in a process-wide table
// under the thread's id; any thread posts into it under the queue's lock, only the owner
// takes messages out. A thread's exit hook removes the queue before the thread's handle is
// signalled, so once a wait on the handle has returned, posts to the id fail.
//
// MsgWaitForMultipleObjects is an ordinary wait-any in the object namespace: the queue
// gets an unnamed manual-reset event there (on its first such wait) that is signalled
// exactly while a posted message or a quit request is pending, and that event joins the
// caller's handles as the last object. The event changes state only under the queue's
// lock, so it never disagrees with the queue when the owner looks.
#include "pal/thread/message_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

namespace pal {

namespace {

// What the system allows by default; a reader that falls this far behind is stuck.
constexpr size_t kQuota = 10000;
constexpr DWORD kPostedKinds = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct MessageQueue {
    explicit MessageQueue(DWORD id) : owner(id) {}

    const DWORD owner;
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<MSG> posted;
    bool quit = false;  // PostQuitMessage's request, answered after the posted messages
    int quitCode = 0;
    bool fresh = false;  // something arrived since the owner last looked
    bool closed = false;
    core::ObjectRef event;  // made by the first MsgWaitForMultipleObjects
    bool eventSet = false;

    bool Pending() const { return quit || !posted.empty(); }

    // Brings the event in line with the queue; lock held.
    void SyncEvent() {
        if (!event.valid() || eventSet == Pending()) return;
        eventSet = Pending();
        core::SetEventState(event.index(), eventSet);
    }
};

struct QueueTable {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

QueueTable& Table() {
    static QueueTable* table = new QueueTable();  // posts may still come during static destruction
    return *table;
}

// The calling thread's queue, owned by the table. A plain pointer, so that it is valid
// during every thread-exit destructor whatever their order.
thread_local MessageQueue* t_queue = nullptr;

// Removes the queue when a thread the layer did not start ends (threads it started also
// do so from their exit notifier, before their handle is signalled).
struct QueueGuard {
    bool armed = false;
    ~QueueGuard() { CloseThreadQueue(); }
};
thread_local QueueGuard t_guard;

MessageQueue& MyQueue() {
    DWORD self = GetCurrentThreadId();
    // A forked child's thread has a new id; the queue it inherited is not its own.
    if (t_queue && t_queue->owner == self) return *t_queue;
    t_guard.armed = true;  // registers the guard's destructor for this thread
    auto queue = std::make_shared<MessageQueue>(self);
    {
        QueueTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mutex);
        t.queues[self] = queue;
    }
    t_queue = queue.get();
    return *t_queue;
}

bool Matches(const MSG& m, HWND hwnd, UINT low, UINT high) {
    if (m.message == WM_QUIT) return true;  // whatever the filter
    if (hwnd == kThreadMessagesOnly) {
        if (m.hwnd) return false;
    } else if (hwnd && m.hwnd != hwnd) {
        return false;
    }
    if (low == 0 && high == 0) return true;
    return m.message >= low && m.message <= high;
}

// Takes (or copies) the first matching message; lock held.
bool Take(MessageQueue& q, LPMSG out, HWND hwnd, UINT low, UINT high, bool remove) {
    q.fresh = false;
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!Matches(*it, hwnd, low, high)) continue;
        *out = *it;
        if (remove) {
            q.posted.erase(it);
            q.SyncEvent();
        }
        return true;
    }
    if (!q.quit) return false;
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount(), POINT{0, 0}};
    if (remove) {
        q.quit = false;
        q.SyncEvent();
    }
    return true;
}

std::atomic<TimerTakenHook> g_timerTaken{nullptr};

void TimerTaken(const MSG& m) {
    if (m.message != WM_TIMER) return;
    if (TimerTakenHook hook = g_timerTaken.load(std::memory_order_acquire)) hook(m);
}

DWORD WaitResult(DWORD r, bool abandoned) {
    if (r == WAIT_FAILED || r == static_cast<DWORD>(WAIT_TIMEOUT)) return r;
    return abandoned ? WAIT_ABANDONED_0 + r : WAIT_OBJECT_0 + r;
}

}  // namespace

BOOL PostQueueMessage(DWORD threadId, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> q;
    {
        QueueTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.queues.find(threadId);
        if (it != t.queues.end()) q = it->second;
    }
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(q->mutex);
    if (q->closed) {  // the thread ended while we looked it up
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    if (q->posted.size() >= kQuota) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    q->posted.push_back(MSG{hwnd, msg, wParam, lParam, GetTickCount(), POINT{0, 0}});
    q->fresh = true;
    q->SyncEvent();
    q->arrived.notify_one();
    return TRUE;
}

void EnsureThreadQueue() { MyQueue(); }

void SetTimerTakenHook(TimerTakenHook hook) { g_timerTaken.store(hook, std::memory_order_release); }

void CloseThreadQueue() {
    MessageQueue* q = t_queue;
    if (!q) return;
    t_queue = nullptr;
    std::shared_ptr<MessageQueue> keep;
    {
        QueueTable& t = Table();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.queues.find(q->owner);
        if (it == t.queues.end() || it->second.get() != q) return;
        keep = std::move(it->second);
        t.queues.erase(it);
    }
    core::ObjectRef event;  // released after the queue's lock
    std::lock_guard<std::mutex> lock(q->mutex);
    q->closed = true;
    q->posted.clear();
    q->quit = false;
    event = std::move(q->event);
}

}  // namespace pal

using pal::MessageQueue;

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    return pal::PostQueueMessage(threadId, nullptr, msg, wParam, lParam);
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT low, UINT high) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MessageQueue& q = pal::MyQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.arrived.wait(lock, [&] { return pal::Take(q, msg, hwnd, low, high, true); });
    lock.unlock();
    pal::TimerTaken(*msg);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT low, UINT high, UINT flags) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MessageQueue& q = pal::MyQueue();
    const bool remove = (flags & PM_REMOVE) != 0;
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        // PM_QS_* flags narrow the kinds; posted messages and the quit request are one kind.
        UINT kinds = flags >> 16;
        if (kinds && !(kinds & QS_POSTMESSAGE)) {
            q.fresh = false;
            return FALSE;
        }
        if (!pal::Take(q, msg, hwnd, low, high, remove)) return FALSE;
    }
    if (remove) pal::TimerTaken(*msg);
    return TRUE;
}

void PostQuitMessage(int code) {
    MessageQueue& q = pal::MyQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.quit = true;
    q.quitCode = code;
    q.fresh = true;
    q.SyncEvent();
}

BOOL WaitMessage() {
    MessageQueue& q = pal::MyQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.arrived.wait(lock, [&] { return q.Pending(); });
    return TRUE;
}

DWORD GetQueueStatus(UINT flags) {
    MessageQueue& q = pal::MyQueue();
    std::lock_guard<std::mutex> lock(q.mutex);
    DWORD now = q.Pending() ? pal::kPostedKinds : 0;
    DWORD added = q.fresh ? now : 0;
    q.fresh = false;
    return ((now & flags) << 16) | (added & flags);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD ms, DWORD wakeMask, DWORD flags) {
    if (count > MAXIMUM_WAIT_OBJECTS - 1 || (count && !handles) || (flags & MWMO_WAITALL)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<pal::KernelObject> keep[MAXIMUM_WAIT_OBJECTS];
    uint32_t indices[MAXIMUM_WAIT_OBJECTS];
    if (!pal::ResolveWaitHandles(count, handles, keep, indices)) return WAIT_FAILED;
    MessageQueue& q = pal::MyQueue();
    DWORD n = count;
    if (wakeMask & pal::kPostedKinds) {
        std::lock_guard<std::mutex> lock(q.mutex);
        if (!q.event.valid()) {
            bool pending = q.Pending();
            bool existed = false;
            DWORD err = pal::core::CreateObject(
                pal::core::ObjType::Event, nullptr,
                [](pal::core::Object& o, const void* arg) {
                    o.u.ev.manual = 1;
                    o.u.ev.signalled = *static_cast<const bool*>(arg) ? 1 : 0;
                    return DWORD{0};
                },
                &pending, q.event, existed);
            if (err) {
                SetLastError(err);
                return WAIT_FAILED;
            }
            q.eventSet = pending;
        }
        indices[n++] = q.event.index();
    }
    if (n == 0) {  // nothing can end the wait but the time
        Sleep(ms);
        return static_cast<DWORD>(WAIT_TIMEOUT);
    }
    bool abandoned = false;
    return pal::WaitResult(pal::core::WaitObjects(indices, n, false, ms, &abandoned), abandoned);
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, DWORD wakeMask) {
    return MsgWaitForMultipleObjectsEx(count, handles, ms, wakeMask, waitAll ? MWMO_WAITALL : 0);
}
