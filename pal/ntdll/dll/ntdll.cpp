// libntdll.so: what LoadLibrary("ntdll.dll") finds. Only the exports live here, so that
// GetProcAddress sees them as this module's own; the work is done in libvqpal.so, which
// holds the handle table the section handles belong to.
#include "pal/ntdll/ntdll.h"

#define NTDLL_EXPORT extern "C" __attribute__((visibility("default")))

NTDLL_EXPORT NTSTATUS WINAPI ZwOpenSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                           POBJECT_ATTRIBUTES ObjectAttributes) {
    return pal::ntdll::OpenSection(SectionHandle, DesiredAccess, ObjectAttributes);
}

NTDLL_EXPORT NTSTATUS WINAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID* BaseAddress,
                                                ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                                PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                                                ULONG AllocationType, ULONG Win32Protect) {
    return pal::ntdll::MapViewOfSection(SectionHandle, ProcessHandle, BaseAddress, ZeroBits, CommitSize,
                                        SectionOffset, ViewSize, InheritDisposition, AllocationType, Win32Protect);
}

NTDLL_EXPORT NTSTATUS WINAPI ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress) {
    return pal::ntdll::UnmapViewOfSection(ProcessHandle, BaseAddress);
}

NTDLL_EXPORT NTSTATUS WINAPI ZwClose(HANDLE Handle) { return pal::ntdll::Close(Handle); }
