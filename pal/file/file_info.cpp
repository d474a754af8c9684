#include "pal/file/file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/file/file_time.h"

namespace pal {

namespace {

void FillInfo(const struct statx& sx, FileInfo& info) {
    info = FileInfo{};
    info.mode = sx.stx_mode;
    info.directory = S_ISDIR(sx.stx_mode);
    info.size = info.directory ? 0 : sx.stx_size;
    info.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    info.ino = sx.stx_ino;
    info.links = sx.stx_nlink;
    info.access = FileTimeFromUnix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    info.write = FileTimeFromUnix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    // Linux has no settable creation time; the birth time where the file system keeps
    // one, else the last status change as the closest stand-in.
    if (sx.stx_mask & STATX_BTIME)
        info.creation = FileTimeFromUnix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
    else
        info.creation = FileTimeFromUnix(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);

    DWORD a = 0;
    if (info.directory) {
        a |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        // New files carry the archive bit on Windows; a file without owner write
        // permission is what READONLY means here.
        a |= FILE_ATTRIBUTE_ARCHIVE;
        if (!(sx.stx_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    }
    if ((sx.stx_attributes_mask & STATX_ATTR_COMPRESSED) && (sx.stx_attributes & STATX_ATTR_COMPRESSED))
        a |= FILE_ATTRIBUTE_COMPRESSED;
    info.attributes = a ? a : FILE_ATTRIBUTE_NORMAL;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

}  // namespace

bool StatPath(const std::string& path, FileInfo& info, int& err) {
    struct statx sx{};
    if (statx(AT_FDCWD, path.c_str(), 0, kStatxMask, &sx) != 0 &&
        statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) != 0) {
        err = errno;
        return false;
    }
    FillInfo(sx, info);
    return true;
}

bool StatFd(int fd, FileInfo& info, int& err) {
    struct statx sx{};
    if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &sx) != 0) {
        err = errno;
        return false;
    }
    FillInfo(sx, info);
    return true;
}

bool ParentExists(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return true;
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    struct stat st{};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD PathError(const std::string& path, int err) {
    if (err == ENOENT) return ParentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (err == ENOTDIR || err == ELOOP) return ERROR_PATH_NOT_FOUND;
    return ErrorFromErrno(err);
}

DWORD ExpandFileAccess(DWORD access) {
    DWORD m = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) m |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) m |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) m |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) m |= FILE_ALL_ACCESS;
    return m;
}

uint32_t ShareAccessBits(DWORD m) {
    uint32_t bits = 0;
    if (m & (FILE_READ_DATA | FILE_EXECUTE)) bits |= 1;
    if (m & (FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= 2;
    if (m & DELETE) bits |= 4;
    return bits;
}

bool CheckFileName(const char* path) {
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (std::strncmp(path, "\\\\?\\", 4) == 0) path += 4;
    if (std::strpbrk(path, "*?<>|\"")) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

DeleteReservation::~DeleteReservation() {
    if (id_ >= 0) core::ShareRelease(id_);
}

DWORD DeleteReservation::Acquire(const FileInfo& info) {
    return core::ShareAcquire(info.dev, info.ino, 4, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, id_);
}

}  // namespace pal
