// Views are mmaps of a block's backing file. A process-wide table from view address to
// mapping object keeps each block alive (name included) while any view of it exists, as
// the system does after the mapping handle is closed.
#include "pal/map/map.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "pal/error/error.h"
#include "pal/map/mapping_object.h"

using pal::MappingObject;

namespace {

static_assert(sizeof(void*) != 8 || sizeof(MEMORY_BASIC_INFORMATION) == 48, "the system's 64-bit layout");

constexpr uint64_t kGranularity = 64 * 1024;  // the system's allocation granularity

struct View {
    size_t length;
    DWORD protect;  // PAGE_* of the view
    std::shared_ptr<MappingObject> mapping;
};

struct ViewTable {
    std::mutex mutex;
    std::map<uintptr_t, View> views;  // by base address
};

ViewTable& Views() {
    static ViewTable* table = new ViewTable();  // views may outlive static destructors
    return *table;
}

uintptr_t PageSize() {
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

uintptr_t PageFloor(uintptr_t a) { return a & ~(PageSize() - 1); }
uintptr_t PageCeil(uintptr_t a) { return PageFloor(a + PageSize() - 1); }

// The view holding addr; the table's mutex must be held.
std::map<uintptr_t, View>::iterator FindView(ViewTable& t, uintptr_t addr) {
    auto it = t.views.upper_bound(addr);
    if (it == t.views.begin()) return t.views.end();
    --it;
    return addr < it->first + it->second.length ? it : t.views.end();
}

// SECTION_* rights a handle created with this page protection grants.
bool AccessFromProtect(DWORD protect, DWORD& access) {
    DWORD base = SECTION_QUERY | SECTION_MAP_READ;
    switch (protect & 0xFFu) {
    case PAGE_READONLY:
    case PAGE_WRITECOPY: access = base; return true;
    case PAGE_READWRITE: access = base | SECTION_MAP_WRITE; return true;
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_WRITECOPY: access = base | SECTION_MAP_EXECUTE; return true;
    case PAGE_EXECUTE_READWRITE: access = base | SECTION_MAP_WRITE | SECTION_MAP_EXECUTE; return true;
    default: return false;
    }
}

struct ViewMode {
    int prot;
    int flags;
    DWORD protect;
    DWORD needs;  // SECTION_* rights the handle must have
};

bool ModeFromAccess(DWORD desired, ViewMode& mode) {
    bool exec = desired & FILE_MAP_EXECUTE;
    if (desired & FILE_MAP_WRITE) {
        mode = {PROT_READ | PROT_WRITE, MAP_SHARED, exec ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE, SECTION_MAP_WRITE};
    } else if (desired & FILE_MAP_COPY) {
        mode = {PROT_READ | PROT_WRITE, MAP_PRIVATE, exec ? PAGE_EXECUTE_WRITECOPY : PAGE_WRITECOPY, SECTION_MAP_READ};
    } else if (desired & FILE_MAP_READ) {
        mode = {PROT_READ, MAP_SHARED, exec ? PAGE_EXECUTE_READ : PAGE_READONLY, SECTION_MAP_READ};
    } else {
        return false;
    }
    if (exec) {
        mode.prot |= PROT_EXEC;
        mode.needs |= SECTION_MAP_EXECUTE;
    }
    return true;
}

// SECTION_* rights of a handle opened with this desired access (generic rights included).
DWORD AccessFromDesired(DWORD desired) {
    DWORD access = desired & SECTION_ALL_ACCESS;
    if (desired & FILE_MAP_EXECUTE) access |= SECTION_MAP_EXECUTE;
    if (desired & GENERIC_READ) access |= SECTION_QUERY | SECTION_MAP_READ;
    if (desired & GENERIC_WRITE) access |= SECTION_MAP_WRITE;
    if (desired & GENERIC_EXECUTE) access |= SECTION_MAP_EXECUTE;
    if (desired & GENERIC_ALL) access |= SECTION_ALL_ACCESS;
    return access;
}

bool HasAccess(DWORD granted, DWORD needs) {
    // Write access to a section includes reading it.
    if (granted & SECTION_MAP_WRITE) granted |= SECTION_MAP_READ;
    return (granted & needs) == needs;
}

HANDLE Fail(DWORD err) {
    SetLastError(err);
    return nullptr;
}

// Attributes of memory that is not one of our views, from the kernel's list of mappings.
bool QueryProcessMaps(uintptr_t addr, MEMORY_BASIC_INFORMATION& info) {
    FILE* f = std::fopen("/proc/self/maps", "re");
    if (!f) return false;
    uintptr_t page = PageFloor(addr);
    uintptr_t nextStart = 0;
    bool found = false;
    char line[8192];  // a path can be PATH_MAX long
    while (std::fgets(line, sizeof line, f)) {
        unsigned long start = 0, end = 0, offset = 0, inode = 0;
        char perms[8] = {};
        char dev[16] = {};
        char path[256] = {};
        if (std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %255s", &start, &end, perms, &offset, dev, &inode, path) < 6)
            continue;
        if (addr < start) {
            nextStart = start;
            break;
        }
        if (addr >= end) continue;
        bool r = perms[0] == 'r', w = perms[1] == 'w', x = perms[2] == 'x';
        DWORD protect = x ? (w ? PAGE_EXECUTE_READWRITE : r ? PAGE_EXECUTE_READ : PAGE_EXECUTE)
                          : (w ? PAGE_READWRITE : r ? PAGE_READONLY : PAGE_NOACCESS);
        info.BaseAddress = reinterpret_cast<PVOID>(page);
        info.AllocationBase = reinterpret_cast<PVOID>(start);
        info.AllocationProtect = protect;
        info.RegionSize = end - page;
        if (!r && !w && !x) {
            info.State = MEM_RESERVE;  // guard areas: address space held, nothing usable
            info.Protect = 0;
        } else {
            info.State = MEM_COMMIT;
            info.Protect = protect;
        }
        info.Type = inode != 0 ? (x ? MEM_IMAGE : MEM_MAPPED) : MEM_PRIVATE;
        found = true;
        break;
    }
    std::fclose(f);
    if (found) return true;
    // Free address space, up to the next mapping (or the end of the user half).
#if defined(__aarch64__)
    constexpr uintptr_t kUserTop = uintptr_t{1} << 48;
#else
    constexpr uintptr_t kUserTop = uintptr_t{1} << 47;
#endif
    if (addr >= kUserTop) return false;
    info.BaseAddress = reinterpret_cast<PVOID>(page);
    info.AllocationBase = nullptr;
    info.AllocationProtect = 0;
    info.RegionSize = (nextStart && nextStart < kUserTop ? nextStart : kUserTop) - page;
    info.State = MEM_FREE;
    info.Protect = PAGE_NOACCESS;
    info.Type = 0;
    return true;
}

}  // namespace

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect, DWORD dwMaximumSizeHigh,
                          DWORD dwMaximumSizeLow, LPCSTR lpName) {
    if (hFile == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (hFile != INVALID_HANDLE_VALUE) return Fail(ERROR_NOT_SUPPORTED);
    DWORD access = 0;
    if (!AccessFromProtect(flProtect, access) || (flProtect & SEC_IMAGE)) return Fail(ERROR_INVALID_PARAMETER);
    uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    std::shared_ptr<MappingObject> mapping;
    bool existed = false;
    DWORD err = MappingObject::Create(lpName, size, access, mapping, existed);
    if (err) return Fail(err);
    HANDLE h = pal::InsertHandle(std::move(mapping));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    if (!lpName || !*lpName) return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<MappingObject> mapping;
    DWORD err = MappingObject::Open(lpName, AccessFromDesired(dwDesiredAccess), mapping);
    if (err) return Fail(err);
    return pal::InsertHandle(std::move(mapping));
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    return MapViewOfFileEx(hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow,
                           dwNumberOfBytesToMap, nullptr);
}

LPVOID MapViewOfFileEx(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap, LPVOID lpBaseAddress) {
    auto mapping = pal::LookupHandleAs<MappingObject>(hFileMappingObject);
    if (!mapping) return nullptr;
    ViewMode mode{};
    if (!ModeFromAccess(dwDesiredAccess, mode)) return Fail(ERROR_INVALID_PARAMETER);
    if (!HasAccess(mapping->access(), mode.needs)) return Fail(ERROR_ACCESS_DENIED);
    uint64_t offset = (static_cast<uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % kGranularity != 0 || reinterpret_cast<uintptr_t>(lpBaseAddress) % kGranularity != 0)
        return Fail(ERROR_MAPPED_ALIGNMENT);
    uint64_t size = mapping->size();
    if (offset >= size) return Fail(ERROR_ACCESS_DENIED);
    uint64_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : size - offset;
    if (length > size - offset) return Fail(ERROR_ACCESS_DENIED);

    int flags = mode.flags;
    if (lpBaseAddress) flags |= MAP_FIXED_NOREPLACE;
    void* p = mmap(lpBaseAddress, length, mode.prot, flags, mapping->fd(), static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
        int e = errno;
        if (e == EEXIST) return Fail(ERROR_INVALID_ADDRESS);
        return Fail(e == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : pal::ErrorFromErrno(e));
    }
    if (lpBaseAddress && p != lpBaseAddress) {  // a kernel that only took the address as a hint
        munmap(p, length);
        return Fail(ERROR_INVALID_ADDRESS);
    }
    ViewTable& t = Views();
    std::lock_guard<std::mutex> g(t.mutex);
    t.views[reinterpret_cast<uintptr_t>(p)] = View{static_cast<size_t>(length), mode.protect, std::move(mapping)};
    return p;
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    std::shared_ptr<MappingObject> drop;  // released after the table's lock
    ViewTable& t = Views();
    {
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = FindView(t, reinterpret_cast<uintptr_t>(lpBaseAddress));
        if (it == t.views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        munmap(reinterpret_cast<void*>(it->first), it->second.length);
        drop = std::move(it->second.mapping);
        t.views.erase(it);
    }
    return TRUE;
}

BOOL FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
    auto addr = reinterpret_cast<uintptr_t>(lpBaseAddress);
    uintptr_t start = 0, end = 0;
    {
        ViewTable& t = Views();
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = FindView(t, addr);
        if (it == t.views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        uintptr_t viewEnd = it->first + it->second.length;
        start = PageFloor(addr);
        bool toEnd = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush >= viewEnd - addr;
        end = PageCeil(toEnd ? viewEnd : addr + dwNumberOfBytesToFlush);
        // Held under the lock so the view cannot be unmapped (and the range reused) meanwhile.
        if (msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) {
            pal::SetLastErrorFromErrno(errno);
            return FALSE;
        }
    }
    return TRUE;
}

SIZE_T VirtualQuery(LPCVOID lpAddress, PMEMORY_BASIC_INFORMATION lpBuffer, SIZE_T dwLength) {
    if (!lpBuffer || dwLength < sizeof(MEMORY_BASIC_INFORMATION)) {
        SetLastError(lpBuffer ? ERROR_BAD_LENGTH : ERROR_NOACCESS);
        return 0;
    }
    auto addr = reinterpret_cast<uintptr_t>(lpAddress);
    MEMORY_BASIC_INFORMATION info{};
    {
        ViewTable& t = Views();
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = FindView(t, addr);
        if (it != t.views.end()) {
            uintptr_t page = PageFloor(addr);
            info.BaseAddress = reinterpret_cast<PVOID>(page);
            info.AllocationBase = reinterpret_cast<PVOID>(it->first);
            info.AllocationProtect = it->second.protect;
            info.RegionSize = PageCeil(it->first + it->second.length) - page;
            info.State = MEM_COMMIT;
            info.Protect = it->second.protect;
            info.Type = MEM_MAPPED;
            *lpBuffer = info;
            return sizeof info;
        }
    }
    if (!QueryProcessMaps(addr, info)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *lpBuffer = info;
    return sizeof info;
}

namespace pal {

BOOL GetMappingSize(HANDLE hFileMappingObject, uint64_t* size) {
    auto mapping = LookupHandleAs<MappingObject>(hFileMappingObject);
    if (!mapping) return FALSE;
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *size = mapping->size();
    return TRUE;
}

}  // namespace pal
