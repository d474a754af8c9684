// A stand-in for the native section calls a program makes on "\device\physicalmemory":
// ZwOpenSection, ZwMapViewOfSection, ZwUnmapViewOfSection (and ZwClose).
//
// Programs bind them by name, as on the terminal: LoadLibrary("ntdll.dll") loads
// libntdll.so (built from pal/ntdll/dll), whose exports forward to pal::ntdll here. Only
// one object exists: the 64 KB firmware area at physical 0xF0000 - 0xFFFFF. Where its bytes
// come from is chosen by $VQ_ROOT/devices/physmem.conf, read again at every open
// (pal/ntdll/firmware.h, docs/device.md). Views are read-only copies taken at the open,
// fenced by inaccessible pages on both sides, so a read past a view faults at once.
#pragma once

#include "pal/map/map.h"
#include "pal/types.h"

typedef LONG NTSTATUS;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef SIZE_T* PSIZE_T;

#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)

#define STATUS_SUCCESS static_cast<NTSTATUS>(0x00000000)
#define STATUS_UNSUCCESSFUL static_cast<NTSTATUS>(0xC0000001)
#define STATUS_INVALID_HANDLE static_cast<NTSTATUS>(0xC0000008)
#define STATUS_INVALID_PARAMETER static_cast<NTSTATUS>(0xC000000D)
#define STATUS_NO_MEMORY static_cast<NTSTATUS>(0xC0000017)
#define STATUS_CONFLICTING_ADDRESSES static_cast<NTSTATUS>(0xC0000018)
#define STATUS_NOT_MAPPED_VIEW static_cast<NTSTATUS>(0xC0000019)
#define STATUS_INVALID_VIEW_SIZE static_cast<NTSTATUS>(0xC000001F)
#define STATUS_ACCESS_DENIED static_cast<NTSTATUS>(0xC0000022)
#define STATUS_OBJECT_TYPE_MISMATCH static_cast<NTSTATUS>(0xC0000024)
#define STATUS_OBJECT_NAME_INVALID static_cast<NTSTATUS>(0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND static_cast<NTSTATUS>(0xC0000034)
#define STATUS_INVALID_PAGE_PROTECTION static_cast<NTSTATUS>(0xC0000045)
#define STATUS_SECTION_PROTECTION static_cast<NTSTATUS>(0xC000004E)
#define STATUS_NOT_SUPPORTED static_cast<NTSTATUS>(0xC00000BB)
#define STATUS_DEVICE_CONFIGURATION_ERROR static_cast<NTSTATUS>(0xC0000182)
#define STATUS_IO_DEVICE_ERROR static_cast<NTSTATUS>(0xC0000185)

// Object attributes.
#define OBJ_INHERIT 0x00000002u
#define OBJ_CASE_INSENSITIVE 0x00000040u

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminating zero
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

#ifndef PAGE_NOCACHE
#define PAGE_NOCACHE 0x200u
#define PAGE_WRITECOMBINE 0x400u
#endif

// The signatures a caller binds with GetProcAddress.
typedef NTSTATUS(WINAPI* PFN_ZwOpenSection)(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes);
typedef NTSTATUS(WINAPI* PFN_ZwMapViewOfSection)(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                                                  ULONG_PTR ZeroBits, SIZE_T CommitSize,
                                                  PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                                  SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                                  ULONG Win32Protect);
typedef NTSTATUS(WINAPI* PFN_ZwUnmapViewOfSection)(HANDLE ProcessHandle, PVOID BaseAddress);
typedef NTSTATUS(WINAPI* PFN_ZwClose)(HANDLE Handle);

namespace pal::ntdll {

// The name of the one section object ("\Device\PhysicalMemory"; matched ignoring case
// only with OBJ_CASE_INSENSITIVE).
inline constexpr const wchar_t* kPhysicalMemoryName = L"\\Device\\PhysicalMemory";

// Opens the section. The access may hold SECTION_MAP_READ, SECTION_QUERY and the standard
// read rights; asking to write, execute or extend is STATUS_ACCESS_DENIED (the area is
// served read-only). The configuration's faults and errors: firmware.h. The handle is an
// ordinary handle: ZwClose or CloseHandle releases it.
NTSTATUS OpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);

// Maps a view into the current process (ProcessHandle: GetCurrentProcess()). *BaseAddress
// must be null (the view goes where the system puts it). The physical offset is rounded
// down to 64 KiB and the size, from there, up to whole pages; both are written back.
// *ViewSize 0 maps to the end of the area. A range outside the firmware area is
// STATUS_INVALID_VIEW_SIZE; a writable or executable protection STATUS_SECTION_PROTECTION.
NTSTATUS MapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress, ULONG_PTR ZeroBits,
                          SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                          SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect);

// Any address inside a view unmaps it; others: STATUS_NOT_MAPPED_VIEW.
NTSTATUS UnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);

NTSTATUS Close(HANDLE Handle);

// Views mapped and not yet unmapped (for leak checks in tests).
size_t ViewCount();

}  // namespace pal::ntdll
