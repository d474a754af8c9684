#include "pal/handle/handle.h"

#include <unistd.h>

#include <mutex>
#include <vector>

#include "pal/error/error.h"

namespace pal {

namespace {

// Handle values are 4, 8, 12 ... like the system's; slot = value / 4 - 1.
constexpr uintptr_t kStep = 4;
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct Table {
    std::mutex mutex;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::vector<size_t> free;
    size_t count = 0;
};

Table& TheTable() {
    static Table* table = new Table();  // outlives static destructors that close handles
    return *table;
}

bool SlotOf(HANDLE h, size_t& slot) {
    auto v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || v % kStep != 0) return false;
    slot = v / kStep - 1;
    return true;
}

}  // namespace

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.mutex);
    size_t slot;
    if (!t.free.empty()) {
        slot = t.free.back();
        t.free.pop_back();
        t.slots[slot] = std::move(object);
    } else {
        slot = t.slots.size();
        t.slots.push_back(std::move(object));
    }
    ++t.count;
    return reinterpret_cast<HANDLE>((slot + 1) * kStep);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    if (handle == kCurrentThread) return CurrentThreadObject();
    Table& t = TheTable();
    size_t slot;
    if (SlotOf(handle, slot)) {
        std::lock_guard<std::mutex> g(t.mutex);
        if (slot < t.slots.size() && t.slots[slot]) return t.slots[slot];
    }
    SetInvalidHandleError();
    return nullptr;
}

size_t HandleCount() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> g(t.mutex);
    return t.count;
}

}  // namespace pal

BOOL CloseHandle(HANDLE handle) {
    using namespace pal;
    if (handle == kCurrentProcess || handle == kCurrentThread) return TRUE;
    Table& t = TheTable();
    std::shared_ptr<KernelObject> victim;  // released outside the table lock
    size_t slot;
    {
        std::lock_guard<std::mutex> g(t.mutex);
        if (!SlotOf(handle, slot) || slot >= t.slots.size() || !t.slots[slot]) {
            SetInvalidHandleError();
            return FALSE;
        }
        victim = std::move(t.slots[slot]);
        t.slots[slot].reset();
        t.free.push_back(slot);
        --t.count;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target, DWORD, BOOL,
                     DWORD options) {
    using namespace pal;
    // Only the current process: handles never travel between processes here.
    if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = LookupHandle(source);
    if (!object) return FALSE;
    if (options & DUPLICATE_CLOSE_SOURCE) CloseHandle(source);
    if (target) *target = InsertHandle(std::move(object));
    return TRUE;
}

HANDLE GetCurrentProcess() { return pal::kCurrentProcess; }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

namespace pal {

bool ResolveWaitHandles(DWORD count, const HANDLE* handles, std::shared_ptr<KernelObject>* keep, uint32_t* indices) {
    for (DWORD k = 0; k < count; ++k) {
        keep[k] = LookupHandle(handles[k]);
        if (!keep[k]) return false;
        indices[k] = keep[k]->WaitIndex();
        if (indices[k] == KernelObject::kNotWaitable) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
    }
    return true;
}

}  // namespace pal
