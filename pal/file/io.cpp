// The handle I/O entry points: each looks the handle up as an IoObject and lets the
// object's kind do the work. OVERLAPPED.Internal carries an NTSTATUS like on Windows:
// 0 on success, STATUS_PENDING while running, STATUS_END_OF_FILE at end of file, and
// for any other failure the Win32 number under a customer-defined error status, so
// GetOverlappedResult can hand the same number back.
#include <sched.h>

#include "pal/error/error.h"
#include "pal/file/io_object.h"
#include "pal/sync/sync.h"

namespace pal {

namespace {

constexpr DWORD kStatusEndOfFile = 0xC0000011u;
constexpr DWORD kCustomerError = 0xE0000000u;

HANDLE EventOf(const OVERLAPPED* ov) {
    // The low bit of hEvent only asks to skip completion-port notification.
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~uintptr_t{1});
}

BOOL Unsupported() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

}  // namespace

void StartOverlapped(OVERLAPPED* ov) {
    if (!ov) return;
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (HANDLE ev = EventOf(ov)) {
        DWORD saved = GetLastError();
        ResetEvent(ev);
        SetLastError(saved);
    }
}

void CompleteOverlapped(OVERLAPPED* ov, DWORD error, DWORD bytes) {
    if (!ov) return;
    ov->InternalHigh = bytes;
    ov->Internal = error == 0                  ? 0
                   : error == ERROR_HANDLE_EOF ? kStatusEndOfFile
                                               : (kCustomerError | (error & 0xFFFFu));
    if (HANDLE ev = EventOf(ov)) {
        DWORD saved = GetLastError();
        SetEvent(ev);
        SetLastError(saved);
    }
}

DWORD OverlappedError(const OVERLAPPED* ov) {
    const DWORD status = static_cast<DWORD>(ov->Internal);
    if (status == 0) return 0;
    if (status == STATUS_PENDING) return ERROR_IO_INCOMPLETE;
    if (status == kStatusEndOfFile) return ERROR_HANDLE_EOF;
    if ((status & 0xFFFF0000u) == kCustomerError) return status & 0xFFFFu;
    return ERROR_GEN_FAILURE;
}

BOOL IoObject::Read(void*, DWORD, DWORD* done, OVERLAPPED*) {
    if (done) *done = 0;
    return Unsupported();
}

BOOL IoObject::Write(const void*, DWORD, DWORD* done, OVERLAPPED*) {
    if (done) *done = 0;
    return Unsupported();
}

BOOL IoObject::Flush() { return Unsupported(); }

BOOL IoObject::IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD* returned, OVERLAPPED*) {
    if (returned) *returned = 0;
    return Unsupported();
}

BOOL IoObject::OverlappedResult(OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    if (static_cast<DWORD>(ov->Internal) == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        HANDLE ev = EventOf(ov);
        while (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == STATUS_PENDING) {
            if (ev) {
                if (WaitForSingleObject(ev, INFINITE) == WAIT_FAILED) return FALSE;
            } else {
                sched_yield();
            }
        }
    }
    if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (DWORD err = OverlappedError(ov)) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

}  // namespace pal

using pal::IoObject;
using pal::LookupHandleAs;

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov) {
    if (done) *done = 0;
    auto obj = LookupHandleAs<IoObject>(h);
    if (!obj) return FALSE;
    if (!buffer && size) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return obj->Read(buffer, size, done, ov);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov) {
    if (done) *done = 0;
    auto obj = LookupHandleAs<IoObject>(h);
    if (!obj) return FALSE;
    if (!buffer && size) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return obj->Write(buffer, size, done, ov);
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    auto obj = LookupHandleAs<IoObject>(h);
    if (!obj) return FALSE;
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return obj->OverlappedResult(ov, transferred, wait);
}

BOOL FlushFileBuffers(HANDLE h) {
    auto obj = LookupHandleAs<IoObject>(h);
    return obj ? obj->Flush() : FALSE;
}

DWORD GetFileType(HANDLE h) {
    auto obj = LookupHandleAs<IoObject>(h);
    if (!obj) return FILE_TYPE_UNKNOWN;
    SetLastError(NO_ERROR);  // FILE_TYPE_UNKNOWN with NO_ERROR is a valid answer
    return obj->FileType();
}

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED ov) {
    if (returned) *returned = 0;
    auto obj = LookupHandleAs<IoObject>(h);
    if (!obj) return FALSE;
    DWORD local = 0;
    return obj->IoControl(code, in, inSize, out, outSize, returned ? returned : &local, ov);
}
