#include "pal/sync/sync.h"

#include <vector>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/sync/sync_object.h"

using pal::SyncObject;
using pal::core::ObjType;

namespace {

struct EventInit {
    bool manual;
    bool initial;
};

struct SemInit {
    LONG initial;
    LONG maximum;
};

// Creates or opens; the last error is 183 when a named object existed, else 0.
HANDLE CreateSync(ObjType type, LPCSTR name, pal::core::ObjectInit init, const void* arg, bool* created) {
    pal::core::ObjectRef ref;
    bool existed = false;
    DWORD err = pal::core::CreateObject(type, name, init, arg, ref, existed);
    if (err) {
        SetLastError(err);
        return nullptr;
    }
    if (created) *created = !existed;
    HANDLE h = pal::InsertHandle(std::make_shared<SyncObject>(type, std::move(ref)));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE OpenSync(ObjType type, LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pal::core::ObjectRef ref;
    DWORD err = pal::core::OpenObject(type, name, ref);
    if (err) {
        SetLastError(err);
        return nullptr;
    }
    return pal::InsertHandle(std::make_shared<SyncObject>(type, std::move(ref)));
}

std::shared_ptr<SyncObject> Typed(HANDLE h, ObjType type) {
    auto obj = pal::LookupHandleAs<SyncObject>(h);
    if (obj && obj->type() != type) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return obj;
}

BOOL Result(DWORD err) {
    if (err) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCSTR name) {
    EventInit init{manual != FALSE, initial != FALSE};
    return CreateSync(
        ObjType::Event, name,
        [](pal::core::Object& o, const void* arg) {
            auto* e = static_cast<const EventInit*>(arg);
            o.u.ev.manual = e->manual;
            o.u.ev.signalled = e->initial;
            return DWORD{0};
        },
        &init, nullptr);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) { return OpenSync(ObjType::Event, name); }

BOOL SetEvent(HANDLE h) {
    auto obj = Typed(h, ObjType::Event);
    return obj ? Result(pal::core::SetEventState(obj->index(), true)) : FALSE;
}

BOOL ResetEvent(HANDLE h) {
    auto obj = Typed(h, ObjType::Event);
    return obj ? Result(pal::core::SetEventState(obj->index(), false)) : FALSE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    // Ownership is taken inside the creation, only when the mutex is new.
    bool own = initialOwner != FALSE;
    return CreateSync(ObjType::Mutex, name, nullptr, &own, nullptr);
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) { return OpenSync(ObjType::Mutex, name); }

BOOL ReleaseMutex(HANDLE h) {
    auto obj = Typed(h, ObjType::Mutex);
    return obj ? Result(pal::core::ReleaseMutexObject(obj->index())) : FALSE;
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initial, LONG maximum, LPCSTR name) {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SemInit init{initial, maximum};
    return CreateSync(
        ObjType::Semaphore, name,
        [](pal::core::Object& o, const void* arg) {
            auto* s = static_cast<const SemInit*>(arg);
            o.u.sem.count = s->initial;
            o.u.sem.maximum = s->maximum;
            return DWORD{0};
        },
        &init, nullptr);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR name) { return OpenSync(ObjType::Semaphore, name); }

BOOL ReleaseSemaphore(HANDLE h, LONG count, LPLONG previous) {
    auto obj = Typed(h, ObjType::Semaphore);
    if (!obj) return FALSE;
    int32_t prev = 0;
    DWORD err = pal::core::ReleaseSemaphoreObject(obj->index(), count, &prev);
    if (!err && previous) *previous = prev;
    return Result(err);
}

DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, BOOL) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<pal::KernelObject> keep[MAXIMUM_WAIT_OBJECTS];
    uint32_t indices[MAXIMUM_WAIT_OBJECTS];
    if (!pal::ResolveWaitHandles(count, handles, keep, indices)) return WAIT_FAILED;
    bool abandoned = false;
    DWORD r = pal::core::WaitObjects(indices, count, waitAll != FALSE, ms, &abandoned);
    if (r == WAIT_FAILED || r == static_cast<DWORD>(WAIT_TIMEOUT)) return r;
    return abandoned ? WAIT_ABANDONED_0 + r : WAIT_OBJECT_0 + r;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    return WaitForMultipleObjectsEx(count, handles, waitAll, ms, FALSE);
}

DWORD WaitForSingleObjectEx(HANDLE h, DWORD ms, BOOL alertable) {
    return WaitForMultipleObjectsEx(1, &h, FALSE, ms, alertable);
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjectsEx(1, &h, FALSE, ms, FALSE); }

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &a);
    pthread_mutexattr_destroy(&a);
    cs->initialized = 1;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD) {
    InitializeCriticalSection(cs);
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->mutex); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return pthread_mutex_trylock(&cs->mutex) == 0; }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->mutex); }

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (cs->initialized) pthread_mutex_destroy(&cs->mutex);
    cs->initialized = 0;
}

LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
