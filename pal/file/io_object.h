// The kernel objects that ReadFile, WriteFile, FlushFileBuffers, GetFileType and
// DeviceIoControl act on: disk files here, and whatever other families (devices, pipes)
// open through CreateFile. The Win32 functions look the handle up as an IoObject and
// dispatch; every operation a kind does not support fails with ERROR_INVALID_FUNCTION.
#pragma once

#include "pal/file/file.h"
#include "pal/handle/handle.h"
#include "pal/types.h"

namespace pal {

class IoObject : public KernelObject {
public:
    // Each returns TRUE, or FALSE with the last error set. A null overlapped means the
    // handle's own position (where the object has one).
    virtual BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
    virtual BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped);
    virtual BOOL Flush();
    virtual BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                           OVERLAPPED* overlapped);
    virtual DWORD FileType() const { return FILE_TYPE_UNKNOWN; }
    // Result of an overlapped operation. The default serves objects that complete every
    // operation before returning (or that complete through CompleteOverlapped later).
    virtual BOOL OverlappedResult(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
};

// Records the outcome of an operation in an OVERLAPPED (Internal/InternalHigh) and
// signals its event. error is a Win32 number (0 for success).
void CompleteOverlapped(OVERLAPPED* overlapped, DWORD error, DWORD bytes);
// Marks an OVERLAPPED as started: pending status, event reset.
void StartOverlapped(OVERLAPPED* overlapped);
// The Win32 error recorded by CompleteOverlapped (0 for success, ERROR_IO_INCOMPLETE
// while pending).
DWORD OverlappedError(const OVERLAPPED* overlapped);

}  // namespace pal
