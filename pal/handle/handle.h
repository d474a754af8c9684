// The process's handle table: every HANDLE names a reference-counted kernel object, so a
// handle closed while another thread still uses (or waits on) its object is safe.
#pragma once

#include <memory>

#include "pal/types.h"

#define DUPLICATE_CLOSE_SOURCE 0x00000001u
#define DUPLICATE_SAME_ACCESS 0x00000002u

BOOL CloseHandle(HANDLE hObject);
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

namespace pal {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    static constexpr uint32_t kNotWaitable = 0xFFFFFFFFu;
    // The shared-namespace object a wait on this handle waits for, or kNotWaitable.
    virtual uint32_t WaitIndex() const { return kNotWaitable; }
};

// Adds an object; returns its new handle (never null nor INVALID_HANDLE_VALUE).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle);

// The object of the calling thread (for the GetCurrentThread pseudo-handle); defined by
// the thread family.
std::shared_ptr<KernelObject> CurrentThreadObject();

// Number of open handles (for tests and leak checks).
size_t HandleCount();

void SetInvalidHandleError();

// Looks up the handles of a wait: keeps each object referenced for the whole wait,
// whatever other threads close, and gives its index in the shared namespace. False, with
// the last error set, when a handle is invalid or names nothing waitable.
bool ResolveWaitHandles(DWORD count, const HANDLE* handles, std::shared_ptr<KernelObject>* keep, uint32_t* indices);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    auto obj = LookupHandle(handle);
    if (!obj) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(obj);
    if (!typed) SetInvalidHandleError();
    return typed;
}

}  // namespace pal
