#include "pal/core/region.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "pal/core/futex.h"
#include "pal/core/root.h"
#include "pal/error/error.h"

namespace pal::core {

namespace {

constexpr uint64_t kMagic = 0x31524f4a424f5156ull;  // "VQOBJOR1"
constexpr uint32_t kVersion = 2;

struct ProcSlot {
    uint32_t used;
    int32_t pid;
};

struct Waiter {
    uint32_t futex;
    uint32_t used;
    int32_t proc;
    uint32_t active;
    uint32_t count;
    uint32_t objs[kMaxWaitObjects];
};

struct Header {
    uint64_t magic;
    uint32_t version;
    uint32_t waiterHigh;
    uint64_t totalSize;
    pthread_mutex_t lock;
    uint32_t allocHint;   // unused since version 2
    uint32_t objectHigh;  // objects at or above this index have never been used
    int32_t hash[kHashBuckets];
    ProcSlot procs[kMaxProcs];
    Object objects[kMaxObjects];
    Waiter waiters[kMaxWaiters];
    Share shares[kMaxShares];
};

// The kernel's robust-futex cleanup and glibc agree on this word: owner tid plus flags.
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "robust mutex lock word must lead the mutex");

Header* g_h = nullptr;
int g_lockFd = -1;
int32_t g_self = -1;
std::mutex g_attachMutex;
bool g_attached = false;
DWORD g_attachError = 0;
// References this process holds, per object index. Guarded by the region lock.
std::unordered_map<uint32_t, uint32_t>* g_localRefs = nullptr;

struct OwnedMutex {
    uint32_t index;
    uint32_t count;
    ObjectRef ref;
};

struct ThreadWaitState {
    int32_t waiterSlot = -1;
    std::vector<OwnedMutex> owned;
    ~ThreadWaitState();
};

thread_local ThreadWaitState t_state;

uint32_t* LockWord(Object& o) { return reinterpret_cast<uint32_t*>(&o.u.mx.pm); }

uint32_t Hash(const char* name) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) h = (h ^ *p) * 16777619u;
    return h & (kHashBuckets - 1);
}

void InitMutex(pthread_mutex_t* m, int type) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&a, type);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

// Zeroes the region by truncating its file rather than writing it, so a process touches
// only the pages of the table it uses: a whole-table memset would make every process that
// initialises a root carry megabytes of resident pages.
void InitRegion(Header* h, int fd) {
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, sizeof(Header)) != 0)
        std::memset(static_cast<void*>(h), 0, sizeof(Header));
    h->version = kVersion;
    h->totalSize = sizeof(Header);
    InitMutex(&h->lock, PTHREAD_MUTEX_ERRORCHECK);
    for (auto& b : h->hash) b = -1;
    std::atomic_thread_fence(std::memory_order_release);
    h->magic = kMagic;
}

bool ProcLocked(int32_t p) {
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = p;
    fl.l_len = 1;
    if (fcntl(g_lockFd, F_OFD_GETLK, &fl) != 0) return true;  // cannot tell: assume alive
    return fl.l_type != F_UNLCK;
}

bool AnyProcAlive() {
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = kMaxProcs;
    if (fcntl(g_lockFd, F_OFD_GETLK, &fl) != 0) return true;
    return fl.l_type != F_UNLCK;
}

bool Alive(int32_t p) {
    if (p == g_self) return true;
    if (!g_h->procs[p].used) return false;
    return ProcLocked(p);
}

void RemoveMappingFiles() {
    std::string cmdDir = StateDir() + "/map";
    // The region is being rebuilt: nothing can reference the old blocks.
    if (DIR* d = opendir(cmdDir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((cmdDir + "/" + e->d_name).c_str());
        closedir(d);
    }
}

void HashInsert(uint32_t i) {
    Object& o = g_h->objects[i];
    uint32_t b = Hash(o.name);
    o.hashNext = g_h->hash[b];
    g_h->hash[b] = static_cast<int32_t>(i);
}

void HashRemove(uint32_t i) {
    Object& o = g_h->objects[i];
    int32_t* link = &g_h->hash[Hash(o.name)];
    while (*link >= 0) {
        if (*link == static_cast<int32_t>(i)) {
            *link = o.hashNext;
            break;
        }
        link = &g_h->objects[*link].hashNext;
    }
    o.hashNext = -1;
}


bool RefsEmpty(const Object& o) {
    for (uint64_t r : o.refs)
        if (r) return false;
    return true;
}

void FreeObject(uint32_t i) {
    Object& o = g_h->objects[i];
    if (o.name[0]) HashRemove(i);
    if (o.type == ObjType::Mapping) unlink(MappingPath(i, o.gen).c_str());
    o.type = ObjType::Free;
    o.name[0] = '\0';
    o.gen++;
}

void RepairLocked() {
    // The previous holder died inside the lock: rebuild what could be half-updated.
    for (auto& b : g_h->hash) b = -1;
    if (g_h->objectHigh > kMaxObjects) g_h->objectHigh = kMaxObjects;
    for (uint32_t i = 0; i < g_h->objectHigh; ++i) {
        g_h->objects[i].hashNext = -1;
        if (g_h->objects[i].type != ObjType::Free && g_h->objects[i].name[0]) HashInsert(i);
    }
    // An object nobody references was being made when its creator died.
    for (uint32_t i = 0; i < g_h->objectHigh; ++i)
        if (g_h->objects[i].type != ObjType::Free && RefsEmpty(g_h->objects[i])) FreeObject(i);
}

void CleanupProc(RegionLock& lock, int32_t p) {
    uint64_t bit = 1ull << (p % 64);
    for (uint32_t i = 0; i < g_h->objectHigh; ++i) {
        Object& o = g_h->objects[i];
        if (o.type == ObjType::Free) continue;
        if (o.refs[p / 64] & bit) {
            o.refs[p / 64] &= ~bit;
            if (RefsEmpty(o)) {
                FreeObject(i);
                continue;
            }
        }
        // Mutexes its threads held are now marked owner-died by the kernel.
        if (o.type == ObjType::Mutex && (*LockWord(o) & FUTEX_OWNER_DIED)) lock.WakeWaiters(i);
    }
    for (uint32_t w = 0; w < g_h->waiterHigh; ++w)
        if (g_h->waiters[w].used && g_h->waiters[w].proc == p) g_h->waiters[w].used = g_h->waiters[w].active = 0;
    for (auto& s : g_h->shares)
        if (s.used && s.proc == p) s.used = 0;
    g_h->procs[p].used = 0;
}

void SweepDead(RegionLock& lock) {
    for (int32_t p = 0; p < static_cast<int32_t>(kMaxProcs); ++p)
        if (p != g_self && g_h->procs[p].used && !ProcLocked(p)) CleanupProc(lock, p);
}

// Checks the processes that reference an object, releasing any that died.
void CheckHolders(RegionLock& lock, uint32_t i) {
    Object& o = g_h->objects[i];
    for (int32_t p = 0; p < static_cast<int32_t>(kMaxProcs); ++p)
        if (p != g_self && (o.refs[p / 64] & (1ull << (p % 64))) && !Alive(p)) CleanupProc(lock, p);
}

int32_t FindNamed(const char* name) {
    for (int32_t i = g_h->hash[Hash(name)]; i >= 0; i = g_h->objects[i].hashNext)
        if (std::strcmp(g_h->objects[i].name, name) == 0) return i;
    return -1;
}

// Lowest free slot first, so the table stays dense and scans stop at objectHigh. A reused
// slot is told apart from its former object by the generation number.
int32_t AllocObject() {
    for (uint32_t i = 0; i < g_h->objectHigh; ++i)
        if (g_h->objects[i].type == ObjType::Free) return static_cast<int32_t>(i);
    if (g_h->objectHigh >= kMaxObjects) return -1;
    uint32_t i = g_h->objectHigh++;
    g_h->objects[i].hashNext = -1;
    return static_cast<int32_t>(i);
}

void AtForkChild() {
    // The child is a new process: it must attach on its own and owns nothing yet.
    if (g_lockFd >= 0) close(g_lockFd);
    g_lockFd = -1;
    g_self = -1;
    g_attached = false;
    if (g_localRefs) g_localRefs->clear();
    t_state.waiterSlot = -1;
    for (auto& m : t_state.owned) m.ref = ObjectRef();
    t_state.owned.clear();
}

bool DoAttach() {
    const std::string& dir = StateDir();
    std::string path = dir + "/objects.v1";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        g_attachError = ErrorFromErrno(errno);
        return false;
    }
    flock(fd, LOCK_EX);
    g_lockFd = open((dir + "/procs.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (g_lockFd < 0) {
        g_attachError = ErrorFromErrno(errno);
        close(fd);
        return false;
    }
    struct stat st{};
    fstat(fd, &st);
    bool fresh = static_cast<size_t>(st.st_size) != sizeof(Header);
    if (fresh && (ftruncate(fd, 0) != 0 || ftruncate(fd, sizeof(Header)) != 0)) {
        g_attachError = ErrorFromErrno(errno);
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, sizeof(Header), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        g_attachError = ErrorFromErrno(errno);
        close(fd);
        return false;
    }
    g_h = static_cast<Header*>(p);
    // Nobody alive: whatever the file holds is left from processes (or a boot) long gone,
    // including a lock word no kernel will ever release.
    if (fresh || g_h->magic != kMagic || g_h->version != kVersion || !AnyProcAlive()) {
        RemoveMappingFiles();
        InitRegion(g_h, fd);
    }
    if (!g_localRefs) g_localRefs = new std::unordered_map<uint32_t, uint32_t>();
    {
        RegionLock lock;
        SweepDead(lock);
        for (int32_t s = 0; s < static_cast<int32_t>(kMaxProcs); ++s) {
            if (g_h->procs[s].used) continue;
            struct flock fl{};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = s;
            fl.l_len = 1;
            if (fcntl(g_lockFd, F_OFD_SETLK, &fl) != 0) continue;
            g_h->procs[s].used = 1;
            g_h->procs[s].pid = getpid();
            g_self = s;
            break;
        }
    }
    flock(fd, LOCK_UN);
    close(fd);
    if (g_self < 0) {
        g_attachError = ERROR_NO_SYSTEM_RESOURCES;
        return false;
    }
    return true;
}

int32_t MyWaiterSlot(RegionLock&) {
    if (t_state.waiterSlot >= 0) return t_state.waiterSlot;
    for (uint32_t w = 0; w < kMaxWaiters; ++w) {
        Waiter& W = g_h->waiters[w];
        if (W.used) continue;
        W.used = 1;
        W.active = 0;
        W.proc = g_self;
        if (w + 1 > g_h->waiterHigh) g_h->waiterHigh = w + 1;
        t_state.waiterSlot = static_cast<int32_t>(w);
        return t_state.waiterSlot;
    }
    return -1;
}

ObjectRef AddRefLocked(uint32_t i) {
    Object& o = g_h->objects[i];
    if (++(*g_localRefs)[i] == 1) o.refs[g_self / 64] |= 1ull << (g_self % 64);
    return AdoptLocked(i);
}

uint32_t MutexOwner(Object& o) { return __atomic_load_n(LockWord(o), __ATOMIC_ACQUIRE) & FUTEX_TID_MASK; }

bool MutexAvailable(Object& o) {
    uint32_t w = __atomic_load_n(LockWord(o), __ATOMIC_ACQUIRE);
    uint32_t tid = w & FUTEX_TID_MASK;
    return tid == 0 || (w & FUTEX_OWNER_DIED) || tid == static_cast<uint32_t>(gettid());
}

// Takes the mutex for this thread when it can; abandoned tells whether its last owner
// ended without releasing it.
bool TryAcquireMutex(uint32_t i, bool& abandoned) {
    Object& o = g_h->objects[i];
    int r = pthread_mutex_trylock(&o.u.mx.pm);
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(&o.u.mx.pm);
        abandoned = true;
    } else if (r != 0) {
        return false;
    }
    if (o.u.mx.abandoned) {
        o.u.mx.abandoned = 0;
        abandoned = true;
    }
    for (auto& m : t_state.owned)
        if (m.index == i) {
            m.count++;
            return true;
        }
    t_state.owned.push_back(OwnedMutex{i, 1, AddRefLocked(i)});
    return true;
}

bool Waitable(ObjType t) {
    return t == ObjType::Event || t == ObjType::Mutex || t == ObjType::Semaphore || t == ObjType::Thread;
}

bool Available(uint32_t i) {
    Object& o = g_h->objects[i];
    switch (o.type) {
    case ObjType::Event: return o.u.ev.signalled != 0;
    case ObjType::Semaphore: return o.u.sem.count > 0;
    case ObjType::Thread: return o.u.th.done != 0;
    case ObjType::Mutex: return MutexAvailable(o);
    default: return false;
    }
}

bool Take(uint32_t i, bool& abandoned) {
    Object& o = g_h->objects[i];
    switch (o.type) {
    case ObjType::Event:
        if (!o.u.ev.signalled) return false;
        if (!o.u.ev.manual) o.u.ev.signalled = 0;
        return true;
    case ObjType::Semaphore:
        if (o.u.sem.count <= 0) return false;
        o.u.sem.count--;
        return true;
    case ObjType::Thread: return o.u.th.done != 0;
    case ObjType::Mutex: return TryAcquireMutex(i, abandoned);
    default: return false;
    }
}

ThreadWaitState::~ThreadWaitState() {
    if (!g_attached) return;
    // A thread that ends while owning mutexes abandons them: the next taker is told.
    while (!owned.empty()) {
        OwnedMutex m = std::move(owned.back());
        owned.pop_back();
        RegionLock lock;
        Object* o = lock.Get(m.index);
        if (o && o->type == ObjType::Mutex) {
            o->u.mx.abandoned = 1;
            for (uint32_t k = 0; k < m.count; ++k) pthread_mutex_unlock(&o->u.mx.pm);
            lock.WakeWaiters(m.index);
        }
    }
    if (waiterSlot >= 0) {
        RegionLock lock;
        g_h->waiters[waiterSlot].used = 0;
        g_h->waiters[waiterSlot].active = 0;
        waiterSlot = -1;
    }
}

}  // namespace

ObjectRef AdoptLocked(uint32_t i) { return ObjectRef(i, g_h->objects[i].gen); }

void QueueWake(RegionLock& lock, uint32_t* word) { lock.wakes_.push_back(word); }

RegionLock::RegionLock() {
    int r = pthread_mutex_lock(&g_h->lock);
    if (r == EOWNERDEAD) {
        pthread_mutex_consistent(&g_h->lock);
        RepairLocked();
        r = 0;
    }
    if (r == EDEADLK) {
        std::fprintf(stderr, "pal: object namespace lock taken twice by one thread\n");
        std::abort();
    }
    ok_ = r == 0;
}

RegionLock::~RegionLock() {
    if (ok_) pthread_mutex_unlock(&g_h->lock);
    for (uint32_t* w : wakes_) FutexWake(w, 1);
}

Object* RegionLock::Get(uint32_t index) const {
    if (!ok_ || index >= kMaxObjects) return nullptr;
    Object* o = &g_h->objects[index];
    return o->type == ObjType::Free ? nullptr : o;
}

void RegionLock::WakeWaiters(uint32_t index) {
    for (uint32_t w = 0; w < g_h->waiterHigh; ++w) {
        Waiter& W = g_h->waiters[w];
        if (!W.used || !W.active) continue;
        for (uint32_t k = 0; k < W.count; ++k)
            if (W.objs[k] == index) {
                __atomic_add_fetch(&W.futex, 1, __ATOMIC_RELEASE);
                wakes_.push_back(&W.futex);
                break;
            }
    }
}

ObjectRef& ObjectRef::operator=(ObjectRef&& o) noexcept {
    if (this != &o) {
        Reset();
        index_ = o.index_;
        gen_ = o.gen_;
        o.index_ = kNone;
    }
    return *this;
}

void ObjectRef::Reset() {
    if (index_ == kNone) return;
    uint32_t i = index_;
    index_ = kNone;
    if (!g_attached) return;
    RegionLock lock;
    auto it = g_localRefs->find(i);
    if (it == g_localRefs->end()) return;
    if (--it->second != 0) return;
    g_localRefs->erase(it);
    Object& o = g_h->objects[i];
    if (o.type == ObjType::Free || o.gen != gen_) return;
    o.refs[g_self / 64] &= ~(1ull << (g_self % 64));
    if (RefsEmpty(o)) FreeObject(i);
}

ObjectRef ObjectRef::Clone() const {
    if (index_ == kNone) return ObjectRef();
    RegionLock lock;
    return AddRefLocked(index_);
}

bool Attach() {
    std::lock_guard<std::mutex> g(g_attachMutex);
    if (g_attached) return true;
    static bool registered = false;
    if (!registered) {
        pthread_atfork(nullptr, nullptr, AtForkChild);
        registered = true;
    }
    g_attached = DoAttach();
    if (!g_attached) SetLastError(g_attachError);
    return g_attached;
}

int32_t SelfProc() { return g_self; }

uint32_t IndexOf(const Object& obj) { return static_cast<uint32_t>(&obj - g_h->objects); }

const char* BaseName(const char* name) {
    if (!name) return name;
    if (std::strncmp(name, "Global\\", 7) == 0) return name + 7;
    if (std::strncmp(name, "Local\\", 6) == 0) return name + 6;
    return name;
}

std::string MappingPath(uint32_t index, uint32_t gen) {
    return StateDir() + "/map/" + std::to_string(index) + "." + std::to_string(gen);
}

DWORD CreateObject(ObjType type, const char* name, ObjectInit init, const void* arg, ObjectRef& ref, bool& existed) {
    existed = false;
    if (!Attach()) return GetLastError();
    name = BaseName(name);
    bool named = name && *name;
    if (named && std::strlen(name) >= kNameMax) return ERROR_FILENAME_EXCED_RANGE;
    RegionLock lock;
    if (!lock.ok()) return ERROR_GEN_FAILURE;
    if (named) {
        int32_t i = FindNamed(name);
        if (i >= 0) {
            CheckHolders(lock, static_cast<uint32_t>(i));
            i = FindNamed(name);
        }
        if (i >= 0) {
            if (g_h->objects[i].type != type) return ERROR_INVALID_HANDLE;
            existed = true;
            ref = AddRefLocked(static_cast<uint32_t>(i));
            return 0;
        }
    }
    int32_t i = AllocObject();
    if (i < 0) {
        SweepDead(lock);
        i = AllocObject();
    }
    if (i < 0) return ERROR_NO_SYSTEM_RESOURCES;
    Object& o = g_h->objects[i];
    o.type = type;
    std::memset(o.refs, 0, sizeof o.refs);
    std::memset(&o.u, 0, sizeof o.u);
    o.hashNext = -1;
    if (named) {
        std::strcpy(o.name, name);
        HashInsert(static_cast<uint32_t>(i));
    } else {
        o.name[0] = '\0';
    }
    if (type == ObjType::Mutex) InitMutex(&o.u.mx.pm, PTHREAD_MUTEX_RECURSIVE);
    if (init) {
        if (DWORD err = init(o, arg)) {
            FreeObject(static_cast<uint32_t>(i));
            return err;
        }
    }
    ref = AddRefLocked(static_cast<uint32_t>(i));
    // A mutex created with initial ownership is taken before anyone else can see it.
    if (type == ObjType::Mutex && arg && *static_cast<const bool*>(arg)) {
        bool abandoned = false;
        TryAcquireMutex(static_cast<uint32_t>(i), abandoned);
    }
    return 0;
}

DWORD OpenObject(ObjType type, const char* name, ObjectRef& ref) {
    if (!Attach()) return GetLastError();
    name = BaseName(name);
    if (!name || !*name) return ERROR_INVALID_PARAMETER;
    if (std::strlen(name) >= kNameMax) return ERROR_FILENAME_EXCED_RANGE;
    RegionLock lock;
    int32_t i = FindNamed(name);
    if (i >= 0) {
        CheckHolders(lock, static_cast<uint32_t>(i));
        i = FindNamed(name);
    }
    if (i < 0) return ERROR_FILE_NOT_FOUND;
    if (g_h->objects[i].type != type) return ERROR_INVALID_HANDLE;
    ref = AddRefLocked(static_cast<uint32_t>(i));
    return 0;
}

DWORD WaitObjects(const uint32_t* indices, uint32_t count, bool waitAll, DWORD timeoutMs, bool* abandoned) {
    *abandoned = false;
    if (count == 0 || count > kMaxWaitObjects) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0xFFFFFFFFu;
    }
    timespec deadline{};
    if (timeoutMs != INFINITE) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    bool timedOut = false;
    for (;;) {
        struct futex_waitv fw[kMaxWaitObjects + 1] = {};
        unsigned nfw = 0;
        int32_t slot;
        {
            RegionLock lock;
            if (!lock.ok()) {
                SetLastError(ERROR_GEN_FAILURE);
                return 0xFFFFFFFFu;
            }
            slot = MyWaiterSlot(lock);
            if (slot < 0) {
                SetLastError(ERROR_NO_SYSTEM_RESOURCES);
                return 0xFFFFFFFFu;
            }
            Waiter& W = g_h->waiters[slot];
            W.active = 0;
            for (uint32_t k = 0; k < count; ++k) {
                Object* o = lock.Get(indices[k]);
                if (!o || !Waitable(o->type)) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return 0xFFFFFFFFu;
                }
            }
            if (waitAll) {
                bool all = true;
                for (uint32_t k = 0; k < count && all; ++k) all = Available(indices[k]);
                if (all) {
                    for (uint32_t k = 0; k < count; ++k) Take(indices[k], *abandoned);
                    return 0;
                }
            } else {
                for (uint32_t k = 0; k < count; ++k) {
                    if (!Take(indices[k], *abandoned)) continue;
                    // Others may have been woken for objects this thread leaves behind.
                    for (uint32_t j = k + 1; j < count; ++j)
                        if (Available(indices[j])) lock.WakeWaiters(indices[j]);
                    return k;
                }
            }
            if (timeoutMs == 0 || timedOut) return WAIT_TIMEOUT;
            W.count = count;
            std::memcpy(W.objs, indices, count * sizeof(uint32_t));
            W.active = 1;
            fw[nfw].uaddr = reinterpret_cast<uintptr_t>(&W.futex);
            fw[nfw].val = __atomic_load_n(&W.futex, __ATOMIC_ACQUIRE);
            fw[nfw].flags = FUTEX_32;
            ++nfw;
            // Sleep on the lock words of mutexes held elsewhere too: when the holder dies,
            // the kernel marks the word and wakes a waiter only if the waiters bit is set.
            for (uint32_t k = 0; k < count; ++k) {
                Object& o = g_h->objects[indices[k]];
                if (o.type != ObjType::Mutex) continue;
                uint32_t* word = LockWord(o);
                uint32_t cur = __atomic_load_n(word, __ATOMIC_ACQUIRE);
                bool retry = false;
                while ((cur & FUTEX_TID_MASK) != 0 && !(cur & FUTEX_OWNER_DIED) && !(cur & FUTEX_WAITERS)) {
                    if (__atomic_compare_exchange_n(word, &cur, cur | FUTEX_WAITERS, false, __ATOMIC_ACQ_REL,
                                                    __ATOMIC_ACQUIRE)) {
                        cur |= FUTEX_WAITERS;
                        break;
                    }
                }
                if ((cur & FUTEX_TID_MASK) == 0 || (cur & FUTEX_OWNER_DIED)) retry = true;
                if (retry) {
                    nfw = 0;  // state changed under us: look again
                    break;
                }
                fw[nfw].uaddr = reinterpret_cast<uintptr_t>(word);
                fw[nfw].val = cur;
                fw[nfw].flags = FUTEX_32;
                ++nfw;
            }
        }
        if (nfw == 0) continue;
        int r = FutexWaitv(fw, nfw, timeoutMs == INFINITE ? nullptr : &deadline);
        if (r < 0 && errno == ENOSYS) {
            // Kernels before 5.16: sleep on the slot alone, re-checking mutex owners every ms.
            timespec slice{0, 1000000L};
            FutexWait(reinterpret_cast<uint32_t*>(fw[0].uaddr), static_cast<uint32_t>(fw[0].val),
                      nfw > 1 || timeoutMs != INFINITE ? &slice : nullptr);
        }
        if (timeoutMs != INFINITE) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
                timedOut = true;  // one last look before reporting the time-out
        }
        (void)slot;
    }
}

DWORD SetEventState(uint32_t index, bool signalled) {
    RegionLock lock;
    Object* o = lock.Get(index);
    if (!o || o->type != ObjType::Event) return ERROR_INVALID_HANDLE;
    o->u.ev.signalled = signalled ? 1 : 0;
    if (signalled) lock.WakeWaiters(index);
    return 0;
}

DWORD ReleaseMutexObject(uint32_t index) {
    ObjectRef drop;  // destroyed after the lock below is released
    RegionLock lock;
    Object* o = lock.Get(index);
    if (!o || o->type != ObjType::Mutex) return ERROR_INVALID_HANDLE;
    if (MutexOwner(*o) != static_cast<uint32_t>(gettid())) return ERROR_NOT_OWNER;
    if (pthread_mutex_unlock(&o->u.mx.pm) != 0) return ERROR_NOT_OWNER;
    for (size_t k = 0; k < t_state.owned.size(); ++k) {
        if (t_state.owned[k].index != index) continue;
        if (--t_state.owned[k].count == 0) {
            drop = std::move(t_state.owned[k].ref);
            t_state.owned.erase(t_state.owned.begin() + static_cast<long>(k));
            lock.WakeWaiters(index);
        }
        break;
    }
    return 0;
}

DWORD ReleaseSemaphoreObject(uint32_t index, int32_t count, int32_t* previous) {
    RegionLock lock;
    Object* o = lock.Get(index);
    if (!o || o->type != ObjType::Semaphore) return ERROR_INVALID_HANDLE;
    if (count <= 0) return ERROR_INVALID_PARAMETER;
    if (count > o->u.sem.maximum - o->u.sem.count) return ERROR_TOO_MANY_POSTS;
    if (previous) *previous = o->u.sem.count;
    o->u.sem.count += count;
    lock.WakeWaiters(index);
    return 0;
}

void SetThreadDone(uint32_t index) {
    RegionLock lock;
    Object* o = lock.Get(index);
    if (!o || o->type != ObjType::Thread) return;
    o->u.th.done = 1;
    lock.WakeWaiters(index);
}

DWORD ShareAcquire(uint64_t dev, uint64_t ino, uint32_t access, uint32_t share, int32_t& id) {
    if (!Attach()) return GetLastError();
    RegionLock lock;
    for (bool rescan = true; rescan;) {
        rescan = false;
        for (auto& s : g_h->shares) {
            if (!s.used || s.dev != dev || s.ino != ino) continue;
            bool clash = ((access & 1) && !(s.share & 1)) || ((access & 2) && !(s.share & 2)) ||
                         ((access & 4) && !(s.share & 4)) || ((s.access & 1) && !(share & 1)) ||
                         ((s.access & 2) && !(share & 2)) || ((s.access & 4) && !(share & 4));
            if (!clash) continue;
            if (Alive(s.proc)) return ERROR_SHARING_VIOLATION;
            CleanupProc(lock, s.proc);  // an open left by a dead process does not count
            rescan = true;
            break;
        }
    }
    for (uint32_t k = 0; k < kMaxShares; ++k) {
        Share& s = g_h->shares[k];
        if (s.used) continue;
        s = Share{1, g_self, dev, ino, access, share};
        id = static_cast<int32_t>(k);
        return 0;
    }
    return ERROR_NO_SYSTEM_RESOURCES;
}

void ShareRelease(int32_t id) {
    if (id < 0 || id >= static_cast<int32_t>(kMaxShares) || !g_attached) return;
    RegionLock lock;
    Share& s = g_h->shares[id];
    if (s.used && s.proc == g_self) s.used = 0;
}

}  // namespace pal::core
