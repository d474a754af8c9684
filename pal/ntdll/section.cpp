// The physical-memory section and its views (see ntdll.h).
//
// The open takes a snapshot of the firmware area; a view is a private copy of the part it
// asks for, read-only, with one inaccessible page before and after it. A caller that reads
// past its view therefore faults instead of reading neighbouring memory, which is what
// makes the readers' bounds checks testable.
#include "pal/ntdll/ntdll.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

#include "pal/handle/handle.h"
#include "pal/ntdll/firmware.h"

namespace pal::ntdll {

namespace {

constexpr ACCESS_MASK kReadRights = SECTION_QUERY | SECTION_MAP_READ | 0x00020000u /* READ_CONTROL */ |
                                    0x00100000u /* SYNCHRONIZE */ | 0x80000000u /* GENERIC_READ */;
constexpr uint64_t kGranularity = 0x10000;

class PhysicalSection : public KernelObject {
public:
    PhysicalSection(std::shared_ptr<const FirmwareArea> area, NTSTATUS failMap)
        : area_(std::move(area)), failMap_(failMap) {}
    const FirmwareArea& area() const { return *area_; }
    NTSTATUS failMap() const { return failMap_; }

private:
    std::shared_ptr<const FirmwareArea> area_;
    NTSTATUS failMap_;
};

struct View {
    uint8_t* reservation;  // guard page, view pages, guard page
    size_t total;
    size_t size;
};

struct ViewTable {
    std::mutex mutex;
    std::map<uintptr_t, View> views;  // by view start
};

ViewTable& Views() {
    static ViewTable* table = new ViewTable();  // views may outlive static destructors
    return *table;
}

size_t PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

bool NameIsPhysicalMemory(const UNICODE_STRING* name, bool ignoreCase) {
    if (!name || !name->Buffer || name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength)
        return false;
    const size_t count = name->Length / sizeof(WCHAR);
    if (count != std::wcslen(kPhysicalMemoryName)) return false;
    for (size_t i = 0; i < count; ++i) {
        wchar_t a = name->Buffer[i], b = kPhysicalMemoryName[i];
        if (ignoreCase) {
            a = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(a)));
            b = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(b)));
        }
        if (a != b) return false;
    }
    return true;
}

}  // namespace

NTSTATUS OpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!SectionHandle || !ObjectAttributes || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    *SectionHandle = nullptr;
    if (!ObjectAttributes->ObjectName) return STATUS_OBJECT_NAME_INVALID;
    if (ObjectAttributes->RootDirectory ||
        !NameIsPhysicalMemory(ObjectAttributes->ObjectName, ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (DesiredAccess & ~kReadRights) return STATUS_ACCESS_DENIED;

    auto area = std::make_shared<FirmwareArea>();
    PhysmemConfig config;
    NTSTATUS status = LoadFirmwareArea(*area, config);
    if (!NT_SUCCESS(status)) return status;
    *SectionHandle = InsertHandle(std::make_shared<PhysicalSection>(std::move(area), config.failMap));
    return STATUS_SUCCESS;
}

NTSTATUS MapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR,
                          SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                          SECTION_INHERIT InheritDisposition, ULONG, ULONG Win32Protect) {
    std::shared_ptr<KernelObject> object = LookupHandle(SectionHandle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto section = std::dynamic_pointer_cast<PhysicalSection>(object);
    if (!section) return STATUS_OBJECT_TYPE_MISMATCH;
    if (ProcessHandle != GetCurrentProcess()) return STATUS_INVALID_HANDLE;
    if (!BaseAddress || !ViewSize) return STATUS_INVALID_PARAMETER;
    if (*BaseAddress) return STATUS_NOT_SUPPORTED;
    if (InheritDisposition != ViewShare && InheritDisposition != ViewUnmap) return STATUS_INVALID_PARAMETER;
    switch (Win32Protect & ~(PAGE_NOCACHE | PAGE_WRITECOMBINE)) {
        case PAGE_READONLY:
            break;
        case PAGE_READWRITE:
        case PAGE_WRITECOPY:
        case PAGE_EXECUTE:
        case PAGE_EXECUTE_READ:
        case PAGE_EXECUTE_READWRITE:
        case PAGE_EXECUTE_WRITECOPY:
            return STATUS_SECTION_PROTECTION;
        default:
            return STATUS_INVALID_PAGE_PROTECTION;
    }
    if (section->failMap()) return section->failMap();

    const uint64_t asked = SectionOffset ? static_cast<uint64_t>(SectionOffset->QuadPart) : 0;
    const uint64_t start = asked & ~(kGranularity - 1);
    const uint64_t areaEnd = uint64_t{kFirmwareBase} + kFirmwareSize;
    if (start < kFirmwareBase || start >= areaEnd || *ViewSize > areaEnd - asked) return STATUS_INVALID_VIEW_SIZE;
    uint64_t size = *ViewSize ? (asked - start) + *ViewSize : areaEnd - start;
    const uint64_t page = PageSize();
    size = (size + page - 1) / page * page;
    if (size > areaEnd - start || CommitSize > size) return STATUS_INVALID_VIEW_SIZE;

    const size_t total = static_cast<size_t>(size) + 2 * page;
    void* reservation = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reservation == MAP_FAILED) return STATUS_NO_MEMORY;
    auto* view = static_cast<uint8_t*>(reservation) + page;
    if (mprotect(view, size, PROT_READ | PROT_WRITE) != 0) {
        munmap(reservation, total);
        return STATUS_NO_MEMORY;
    }
    std::memcpy(view, section->area().data() + (start - kFirmwareBase), size);
    mprotect(view, size, PROT_READ);
    {
        ViewTable& t = Views();
        std::lock_guard<std::mutex> g(t.mutex);
        t.views[reinterpret_cast<uintptr_t>(view)] =
            View{static_cast<uint8_t*>(reservation), total, static_cast<size_t>(size)};
    }
    *BaseAddress = view;
    *ViewSize = static_cast<SIZE_T>(size);
    if (SectionOffset) SectionOffset->QuadPart = static_cast<LONGLONG>(start);
    return STATUS_SUCCESS;
}

NTSTATUS UnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
    if (ProcessHandle != GetCurrentProcess()) return STATUS_INVALID_HANDLE;
    View found{};
    {
        ViewTable& t = Views();
        std::lock_guard<std::mutex> g(t.mutex);
        const auto address = reinterpret_cast<uintptr_t>(BaseAddress);
        auto it = t.views.upper_bound(address);
        if (it == t.views.begin()) return STATUS_NOT_MAPPED_VIEW;
        --it;
        if (address >= it->first + it->second.size) return STATUS_NOT_MAPPED_VIEW;
        found = it->second;
        t.views.erase(it);
    }
    munmap(found.reservation, found.total);
    return STATUS_SUCCESS;
}

NTSTATUS Close(HANDLE Handle) { return CloseHandle(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE; }

size_t ViewCount() {
    ViewTable& t = Views();
    std::lock_guard<std::mutex> g(t.mutex);
    return t.views.size();
}

}  // namespace pal::ntdll
