// What the file family knows about a Linux file in Win32 terms: attributes, times and
// sizes from statx, the Win32 error for a failed path operation, access masks reduced to
// the sharing table's bits, and Win32 name rules.
#pragma once

#include <cstdint>
#include <string>

#include "pal/file/file.h"

namespace pal {

struct FileInfo {
    DWORD attributes = 0;
    FILETIME creation{};
    FILETIME access{};
    FILETIME write{};
    uint64_t size = 0;
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint32_t links = 0;
    uint32_t mode = 0;
    bool directory = false;
};

// statx of a path (following links; a dangling link reports itself) or of an fd; on
// failure returns false and sets err to the errno.
bool StatPath(const std::string& path, FileInfo& info, int& err);
bool StatFd(int fd, FileInfo& info, int& err);

// The Win32 error for a failed operation on a Linux path: a missing file is
// ERROR_FILE_NOT_FOUND when its directory exists, else ERROR_PATH_NOT_FOUND.
DWORD PathError(const std::string& path, int err);
// True when the directory that would hold path exists.
bool ParentExists(const std::string& path);

// GENERIC_* and MAXIMUM_ALLOWED expanded into specific file rights.
DWORD ExpandFileAccess(DWORD access);
// The sharing table's access bits (1 read, 2 write, 4 delete) of an expanded mask.
uint32_t ShareAccessBits(DWORD expanded);

// False (with ERROR_INVALID_NAME set) for a name holding characters Win32 file names
// cannot contain (wildcards, quotes, pipes, angle brackets).
bool CheckFileName(const char* path);

// Reserves a delete-access open of a path in the sharing table, as DeleteFile and
// MoveFile do on Windows: fails with ERROR_SHARING_VIOLATION when someone holds the
// file open without FILE_SHARE_DELETE. Releases on destruction.
class DeleteReservation {
public:
    DeleteReservation() = default;
    ~DeleteReservation();
    DeleteReservation(const DeleteReservation&) = delete;
    DeleteReservation& operator=(const DeleteReservation&) = delete;
    // 0 or a Win32 error.
    DWORD Acquire(const FileInfo& info);

private:
    int32_t id_ = -1;
};

}  // namespace pal
