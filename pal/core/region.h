// The shared object namespace: one memory-mapped file per machine root, holding every
// waitable object (named or not), the processes attached to it, the threads waiting, and
// the file-sharing table. A robust process-shared mutex guards it, so a process killed
// while holding it cannot wedge the others.
//
// Waiting: a thread registers a waiter slot listing the objects it waits for, then sleeps
// on the slot's futex word (plus, through futex_waitv, on the lock word of every mutex it
// waits for, so the kernel's robust-futex cleanup wakes it when an owner dies). Whoever
// changes an object's state bumps and wakes the slots of its waiters.
//
// Liveness: each attached process holds an OFD write lock on one byte of procs.lock; the
// kernel drops it when the process dies, which is how the others tell a dead process from
// a live one and release what it held.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pal/types.h"

namespace pal::core {

constexpr uint32_t kMaxProcs = 512;
constexpr uint32_t kMaxObjects = 8192;
constexpr uint32_t kMaxWaiters = 4096;
constexpr uint32_t kMaxShares = 4096;
constexpr uint32_t kNameMax = 264;  // bytes including the NUL
constexpr uint32_t kHashBuckets = 8192;
constexpr uint32_t kMaxWaitObjects = 64;

enum class ObjType : uint32_t { Free = 0, Event, Mutex, Semaphore, Thread, Mapping };

struct EventState {
    uint32_t manual;
    uint32_t signalled;
};

struct MutexState {
    pthread_mutex_t pm;  // robust, process-shared, recursive: its owner is the Win32 owner
    uint32_t abandoned;  // set when an owning thread ended without releasing
};

struct SemaphoreState {
    int32_t count;
    int32_t maximum;
};

struct ThreadState {
    uint32_t done;
};

struct MappingState {
    uint64_t size;
};

struct Object {
    ObjType type;
    uint32_t gen;
    int32_t hashNext;  // next object index in the name bucket, -1 ends
    uint32_t pad;
    uint64_t refs[kMaxProcs / 64];  // processes holding at least one reference
    char name[kNameMax];            // empty for unnamed objects
    union {
        EventState ev;
        MutexState mx;
        SemaphoreState sem;
        ThreadState th;
        MappingState map;
    } u;
};

struct Share {
    uint32_t used;
    int32_t proc;
    uint64_t dev;
    uint64_t ino;
    uint32_t access;  // GENERIC_READ / GENERIC_WRITE / DELETE bits
    uint32_t share;   // FILE_SHARE_* bits
};

// Lock-held accessors. Only valid between Lock() and Unlock() (or in a RegionLock scope).
class RegionLock {
public:
    RegionLock();
    ~RegionLock();
    RegionLock(const RegionLock&) = delete;
    RegionLock& operator=(const RegionLock&) = delete;

    bool ok() const { return ok_; }
    Object* Get(uint32_t index) const;
    // Wake every thread waiting on the object once the lock is released.
    void WakeWaiters(uint32_t index);

private:
    bool ok_;
    std::vector<uint32_t*> wakes_;
    friend void QueueWake(RegionLock&, uint32_t*);
};

// One process-local reference to a region object. Moving transfers it; destruction
// drops it, and the object goes away when no process references it any more.
class ObjectRef;
ObjectRef AdoptLocked(uint32_t index);

class ObjectRef {
public:
    ObjectRef() = default;
    ~ObjectRef() { Reset(); }
    ObjectRef(ObjectRef&& o) noexcept : index_(o.index_), gen_(o.gen_) { o.index_ = kNone; }
    ObjectRef& operator=(ObjectRef&& o) noexcept;
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;

    bool valid() const { return index_ != kNone; }
    uint32_t index() const { return index_; }
    void Reset();
    // Takes a new reference to the same object (lock held by caller or not).
    ObjectRef Clone() const;

    static constexpr uint32_t kNone = 0xFFFFFFFFu;

private:
    friend class Region;
    friend ObjectRef AdoptLocked(uint32_t);
    ObjectRef(uint32_t index, uint32_t gen) : index_(index), gen_(gen) {}
    uint32_t index_ = kNone;
    uint32_t gen_ = 0;
};

// Attaches this process (once); false with the last error set when the namespace cannot
// be opened.
bool Attach();

// Creates or opens an object. name may be null or empty (unnamed). On success returns 0,
// sets existed, and fills ref; init runs only for a new object, under the lock, and a
// non-zero result from it undoes the creation and is returned. Errors:
// ERROR_INVALID_HANDLE when the name belongs to another type, ERROR_FILENAME_EXCED_RANGE,
// ERROR_NO_SYSTEM_RESOURCES when the namespace is full.
using ObjectInit = DWORD (*)(Object& obj, const void* arg);
DWORD CreateObject(ObjType type, const char* name, ObjectInit init, const void* arg, ObjectRef& ref, bool& existed);
// Opens an existing named object: 0, ERROR_FILE_NOT_FOUND, or ERROR_INVALID_HANDLE.
DWORD OpenObject(ObjType type, const char* name, ObjectRef& ref);

// Waits until one (waitAll false) or all of the objects can be taken, takes it or them,
// and returns the index in the list (abandoned set for a mutex left by a dead owner), or
// WAIT_TIMEOUT. Returns WAIT_FAILED with the last error on bad input.
DWORD WaitObjects(const uint32_t* indices, uint32_t count, bool waitAll, DWORD timeoutMs, bool* abandoned);

// State changes: each returns 0 or a Win32 error.
DWORD SetEventState(uint32_t index, bool signalled);
DWORD ReleaseMutexObject(uint32_t index);
DWORD ReleaseSemaphoreObject(uint32_t index, int32_t count, int32_t* previous);
void SetThreadDone(uint32_t index);

// File-sharing table: reserves an open of (dev, ino) with the given access and share
// bits; 0 and an id, or ERROR_SHARING_VIOLATION.
DWORD ShareAcquire(uint64_t dev, uint64_t ino, uint32_t access, uint32_t share, int32_t& id);
void ShareRelease(int32_t id);

// Index of an object (for init callbacks, which get the object itself).
uint32_t IndexOf(const Object& obj);

// Path of the data file that backs a mapping object.
std::string MappingPath(uint32_t index, uint32_t gen);

// This process's slot, and a test hook: is slot p alive?
int32_t SelfProc();

// Strips the "Global\" and "Local\" namespace prefixes.
const char* BaseName(const char* name);

}  // namespace pal::core
