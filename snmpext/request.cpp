// The trap request interface: one record per process, built by the add functions and
// handed to the agent copy of the library by Send.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "snmpext/internal.h"
#include "snmpext/norvik.h"

namespace norvik {
namespace {

constexpr DWORD kLockTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 5000;

// Zero at load (static storage). The lock only keeps single calls from tearing the
// record; whole sequences are the callers' to serialise.
TrapInfo g_record;
std::mutex g_recordLock;

DWORD LockTimeout() {
    // Test setting: a shorter wait for the request mutex.
    if (const char* text = std::getenv("VQ_NORVIK_LOCK_TIMEOUT")) {
        char* end = nullptr;
        unsigned long ms = std::strtoul(text, &end, 10);
        if (end != text && *end == 0 && ms >= 1 && ms <= kLockTimeoutMs) return static_cast<DWORD>(ms);
    }
    return kLockTimeoutMs;
}

// The last error, never 0 where a failure must be reported.
LONG LastErrorOr(DWORD fallback) {
    DWORD code = GetLastError();
    return static_cast<LONG>(code ? code : fallback);
}

// Entries past the count are always zero, so only those in use need clearing.
void ClearBindings() {
    size_t used = g_record.bindingCount < kMaxBindings ? g_record.bindingCount : kMaxBindings;
    std::memset(static_cast<void*>(g_record.params), 0, used * sizeof(TrapParam));
    g_record.bindingCount = 0;
}

// Appends one binding after the checks; entry is complete but for the name.
LONG Append(const char* name, TrapParam entry) {
    if (LONG rc = CheckOidText(name, kMaxOidText)) return rc;
    std::lock_guard lock(g_recordLock);
    if (g_record.bindingCount >= kMaxBindings) return ERROR_OUTOFMEMORY;
    std::strncpy(entry.name, name, kMaxOidText);
    entry.name[kMaxOidText] = 0;
    g_record.params[g_record.bindingCount] = entry;
    ++g_record.bindingCount;
    return 0;
}

LONG AppendNumber(const char* name, uint8_t type, uint32_t value) {
    TrapParam entry{};
    entry.type = type;
    entry.length = 4;
    std::memcpy(entry.value, &value, 4);
    return Append(name, entry);
}

LONG AppendText(const char* name, uint8_t type, const char* value) {
    if (!value) return ERROR_INVALID_DATA;
    TrapParam entry{};
    entry.type = type;
    size_t length = strnlen(value, kMaxValueText);
    std::memcpy(entry.value, value, length);
    entry.value[kMaxValueText] = 0;
    entry.length = static_cast<uint32_t>(length);
    return Append(name, entry);
}

// The hand-over objects, kept open from one Send to the next: opening the three named
// objects and mapping the block anew for every request cost more than the hand-over
// itself. Held open, they stay the agent's: a named object lives while any process holds
// it, so a restarted agent creates (that is, opens) these same ones. The trap event is
// not kept: it goes when the host does, so opening it by name on each Send is how a
// requester learns that no agent runs. Guarded by g_recordLock.
struct Channel {
    HANDLE mutex = nullptr;
    HANDLE endEvent = nullptr;
    HANDLE mapping = nullptr;
    TrapInfo* block = nullptr;

    void Close() {
        if (block) UnmapViewOfFile(block);
        if (mapping) CloseHandle(mapping);
        if (endEvent) CloseHandle(endEvent);
        if (mutex) CloseHandle(mutex);
        *this = Channel{};
    }
} g_channel;

// A forked child holds no references of its own to the parent's objects: it opens its own.
std::atomic<bool> g_forked{false};

void ForgetChannelInChild() { g_forked.store(true, std::memory_order_relaxed); }

// Waits until the agent acknowledges request seq or the 5 s are over; 0 or the reason.
LONG AwaitEnd(HANDLE endEvent, TrapInfo* block, uint8_t seq) {
    ULONGLONG deadline = GetTickCount64() + kEndTimeoutMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        DWORD w = WaitForSingleObject(endEvent, left);
        if (w == WAIT_OBJECT_0) {
            // A late answer to an earlier request carries that request's number.
            if (std::atomic_ref<uint8_t>(block->ackSeq).load(std::memory_order_acquire) == seq) {
                if (std::atomic_ref<uint8_t>(block->outcome).load(std::memory_order_relaxed) == kTrapSent) return 0;
                if (LogOpen()) WriteLog("", "Send error. The agent refused the trap.");
                return ERROR_INVALID_DATA;
            }
            if (left == 0) return WAIT_TIMEOUT;
            continue;
        }
        if (w == WAIT_TIMEOUT) return WAIT_TIMEOUT;
        return LastErrorOr(ERROR_GEN_FAILURE);
    }
}

// The request mutex, released when the hand-over ends however it ends.
struct MutexHold {
    HANDLE mutex = nullptr;
    ~MutexHold() {
        if (mutex) ReleaseMutex(mutex);
    }
};

LONG Handover() {
    static std::once_flag atFork;
    std::call_once(atFork, [] { pthread_atfork(nullptr, nullptr, ForgetChannelInChild); });
    Channel& c = g_channel;
    if (g_forked.exchange(false, std::memory_order_relaxed)) c.Close();

    if (!c.mutex) c.mutex = OpenMutexA(SYNCHRONIZE, FALSE, kMutexName);
    // Without the lock the block is not written: another requester may be using it.
    if (!c.mutex) return LastErrorOr(ERROR_FILE_NOT_FOUND);
    LONG result = 0;
    MutexHold hold;
    DWORD w = WaitForSingleObject(c.mutex, LockTimeout());
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) {
        hold.mutex = c.mutex;
        if (w == WAIT_ABANDONED) result = WAIT_ABANDONED;
    } else {
        LONG code = w == WAIT_TIMEOUT ? WAIT_TIMEOUT : LastErrorOr(ERROR_GEN_FAILURE);
        if (LogOpen()) WriteLog("", "WaitForSingleObject error. Code=%x", static_cast<unsigned>(code));
        if (w != WAIT_TIMEOUT) c.Close();
        return code;
    }

    // Anything but a live agent: give the objects up, so the next Send opens them by name.
    auto fail = [&](LONG code) {
        ReleaseMutex(hold.mutex);
        hold.mutex = nullptr;
        c.Close();
        return code;
    };
    HANDLE trapEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, kTrapEventName);
    if (!trapEvent) return fail(LastErrorOr(ERROR_FILE_NOT_FOUND));
    struct Closer {
        HANDLE h;
        ~Closer() {
            if (h) CloseHandle(h);
        }
    } trapEventCloser{trapEvent};
    if (!c.endEvent && !(c.endEvent = OpenEventA(SYNCHRONIZE, FALSE, kEndEventName)))
        return fail(LastErrorOr(ERROR_FILE_NOT_FOUND));
    if (!c.mapping && !(c.mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kMappingName)))
        return fail(LastErrorOr(ERROR_FILE_NOT_FOUND));
    if (!c.block) c.block = static_cast<TrapInfo*>(MapViewOfFile(c.mapping, FILE_MAP_WRITE, 0, 0, kTrapInfoSize));
    if (!c.block) return fail(LastErrorOr(ERROR_ACCESS_DENIED));
    TrapInfo* block = c.block;

    std::atomic_ref<uint8_t> blockSeq(block->requestSeq);
    // ackSeq holds the number the agent answered last; a new number must differ from it,
    // or the agent would take the new request for one it has already answered.
    uint8_t answered = std::atomic_ref<uint8_t>(block->ackSeq).load();
    uint8_t seq = NextRequestSeq(blockSeq.load());
    if (seq == answered) seq = NextRequestSeq(seq);
    blockSeq.store(0);  // writing: an agent woken meanwhile leaves the block alone
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // The header and the bindings in use: the agent reads no entry beyond the count, and
    // copying all 115868 bytes would cost more than the rest of a Send. The number and
    // outcome bytes are the agent's and the fence's, so they are not copied.
    auto* to = reinterpret_cast<uint8_t*>(block);
    const auto* from = reinterpret_cast<const uint8_t*>(&g_record);
    const size_t numbers = offsetof(TrapInfo, requestSeq);
    const size_t rest = offsetof(TrapInfo, params);
    std::memcpy(to, from, numbers);
    std::memcpy(to + rest, from + rest, UsedSize(g_record) - rest);
    std::atomic_thread_fence(std::memory_order_release);
    blockSeq.store(seq, std::memory_order_release);

    if (!SetEvent(trapEvent)) return fail(LastErrorOr(ERROR_INVALID_HANDLE));
    CloseHandle(trapEvent);  // while the agent works
    trapEventCloser.h = nullptr;
    // Handed over: the agent may send it even if it answers late, so the bindings go.
    LONG end = AwaitEnd(c.endEvent, block, seq);
    ClearBindings();
    if (end == 0) return result;
    // No answer: the agent may be gone. The next Send looks for it afresh.
    if (end != ERROR_INVALID_DATA) return fail(end);
    return end;
}

}  // namespace

const TrapInfo& LocalRecord() { return g_record; }

}  // namespace norvik

using namespace norvik;

LONG SetEnterpriseOid(LPCSTR oid) {
    if (LONG rc = CheckOidText(oid, kMaxOidText)) return rc;
    std::lock_guard lock(g_recordLock);
    std::memset(g_record.enterprise, 0, sizeof g_record.enterprise);
    std::strncpy(g_record.enterprise, oid, kMaxOidText);
    return 0;
}

LONG SetGenericTrapId(LONG id) {
    std::lock_guard lock(g_recordLock);
    g_record.genericTrap = id;
    return 0;
}

LONG SetSpecificTrapId(LONG id) {
    std::lock_guard lock(g_recordLock);
    g_record.specificTrap = id;
    return 0;
}

LONG ClearParameter() {
    std::lock_guard lock(g_recordLock);
    ClearBindings();
    return 0;
}

LONG Send() {
    std::lock_guard lock(g_recordLock);
    try {
        return Handover();
    } catch (...) {
        return -1;
    }
}

LONG AddParamInteger32(LPCSTR name, LONG value) { return AppendNumber(name, ASN_INTEGER, static_cast<uint32_t>(value)); }
LONG AddParamBits(LPCSTR name, LPCSTR value) { return AppendText(name, ASN_BITS, value); }
LONG AddParamString(LPCSTR name, LPCSTR value) { return AppendText(name, ASN_OCTETSTRING, value); }

LONG AddParamNull(LPCSTR name) {
    TrapParam entry{};
    entry.type = ASN_NULL;
    return Append(name, entry);
}

LONG AddParamObjectId(LPCSTR name, LPCSTR value) {
    if (LONG rc = CheckOidText(value, kMaxValueText)) return rc;
    return AppendText(name, ASN_OBJECTIDENTIFIER, value);
}

LONG AddParamIpAddress(LPCSTR name, DWORD a, DWORD b, DWORD c, DWORD d) {
    TrapParam entry{};
    entry.type = ASN_IPADDRESS;
    entry.length = 4;
    entry.value[0] = static_cast<uint8_t>(a);
    entry.value[1] = static_cast<uint8_t>(b);
    entry.value[2] = static_cast<uint8_t>(c);
    entry.value[3] = static_cast<uint8_t>(d);
    return Append(name, entry);
}

LONG AddParamCounter32(LPCSTR name, DWORD value) { return AppendNumber(name, ASN_COUNTER32, value); }
LONG AddParamGauge32(LPCSTR name, DWORD value) { return AppendNumber(name, ASN_GAUGE32, value); }
LONG AddParamTimeticks(LPCSTR name, DWORD value) { return AppendNumber(name, ASN_TIMETICKS, value); }
LONG AddParamOpaque(LPCSTR name, LPCSTR value) { return AppendText(name, ASN_OPAQUE, value); }

LONG AddParamCounter64(LPCSTR name, DWORD low, DWORD high) {
    TrapParam entry{};
    entry.type = ASN_COUNTER64;
    entry.length = 8;
    std::memcpy(entry.value, &low, 4);
    std::memcpy(entry.value + 4, &high, 4);
    return Append(name, entry);
}

LONG AddParamUnsigned32(LPCSTR name, DWORD value) { return AppendNumber(name, ASN_UNSIGNED32, value); }
