// CreateFile and the handle functions that act on a disk file's identity rather than
// its data: pointer, size, end of file, times, information.
//
// Opening: the Linux file is opened read-write whenever the caller's access allows it
// and Linux permits it (OFD locks of both kinds need a description open for both; the
// handle's own access mask still decides what ReadFile and WriteFile may do). The
// create-or-open dispositions try an open of the existing file first and fall back to
// an exclusive create, so "existed" is exact even when processes race. Sharing is
// checked against the machine-wide sharing table before anything changes the file, so a
// refused CREATE_ALWAYS leaves the file as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/file/device_hook.h"
#include "pal/file/file_info.h"
#include "pal/file/file_object.h"
#include "pal/file/file_time.h"
#include "pal/file/path.h"

namespace pal {

namespace {

HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE OpenDevice(const std::string& name, const std::string& server, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
    DeviceOpener opener = FindDeviceOpener(name);
    if (!opener) return FailHandle(ERROR_FILE_NOT_FOUND);
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::shared_ptr<IoObject> object =
        opener(DeviceOpenRequest{name, access, share, disposition, flags, server}, error);
    if (!object) return FailHandle(error ? error : ERROR_FILE_NOT_FOUND);
    SetLastError(NO_ERROR);
    return InsertHandle(std::move(object));
}

bool RetryNarrower(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ETXTBSY; }

struct Opened {
    int fd = -1;
    bool existed = false;
};

// Opens path for the disposition; -1 in fd with errno set on failure.
Opened OpenForDisposition(const std::string& path, DWORD disposition, DWORD mask, DWORD flags) {
    const bool wantRead = (mask & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    const bool wantWrite = (mask & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    const int base = O_CLOEXEC | O_NOCTTY | ((flags & FILE_FLAG_WRITE_THROUGH) ? O_DSYNC : 0);
    const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    auto tryOpen = [&](int extra) {
        int fd = open(path.c_str(), base | O_RDWR | extra, mode);
        if (fd >= 0 || !RetryNarrower(errno) || (wantRead && wantWrite)) return fd;
        return open(path.c_str(), base | (wantWrite ? O_WRONLY : O_RDONLY) | extra, mode);
    };

    Opened r;
    switch (disposition) {
    case CREATE_NEW: r.fd = tryOpen(O_CREAT | O_EXCL); break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        r.fd = tryOpen(0);
        r.existed = true;
        break;
    default:  // CREATE_ALWAYS, OPEN_ALWAYS
        for (int attempt = 0; attempt < 100; ++attempt) {
            r.fd = tryOpen(0);
            if (r.fd >= 0) {
                r.existed = true;
                break;
            }
            if (errno != ENOENT) break;
            r.fd = tryOpen(O_CREAT | O_EXCL);
            if (r.fd >= 0 || errno != EEXIST) break;  // EEXIST: someone created it meanwhile
        }
        break;
    }
    if (r.fd < 0 && errno == EISDIR && (flags & FILE_FLAG_BACKUP_SEMANTICS) &&
        (disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS)) {
        // Directories open only for their attributes, times and locks of the name.
        r.fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        r.existed = true;
    }
    return r;
}

DWORD OpenError(const std::string& path, int err) {
    switch (err) {
    case EEXIST: return ERROR_FILE_EXISTS;
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return PathError(path, err);
    }
}

}  // namespace

}  // namespace pal

using namespace pal;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
    if (!name || !*name) return FailHandle(ERROR_PATH_NOT_FOUND);
    std::string device, server;
    if (IsDevicePath(name, device, &server)) return OpenDevice(device, server, access, share, disposition, flags);
    if (!CheckFileName(name)) return INVALID_HANDLE_VALUE;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return FailHandle(ERROR_INVALID_PARAMETER);

    DWORD mask = ExpandFileAccess(access);
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) mask |= DELETE;
    if (disposition == TRUNCATE_EXISTING && !(mask & FILE_WRITE_DATA)) return FailHandle(ERROR_INVALID_PARAMETER);

    const std::string path = MapPath(name);
    Opened opened = OpenForDisposition(path, disposition, mask, flags);
    if (opened.fd < 0) return FailHandle(OpenError(path, errno));
    const int fd = opened.fd;
    auto fail = [fd](DWORD error) {
        close(fd);
        return FailHandle(error);
    };

    FileInfo info;
    int err = 0;
    if (!StatFd(fd, info, err)) return fail(ErrorFromErrno(err));
    if (info.directory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) return fail(ERROR_ACCESS_DENIED);
    const bool truncating = opened.existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    const bool writes = (mask & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 || truncating;
    if (opened.existed && !info.directory && writes && (info.attributes & FILE_ATTRIBUTE_READONLY))
        return fail(ERROR_ACCESS_DENIED);

    // Opens without data or delete access (attributes only) take no part in sharing.
    int32_t shareId = -1;
    const uint32_t accessBits = ShareAccessBits(mask);
    if (accessBits) {
        if (DWORD e = core::ShareAcquire(info.dev, info.ino, accessBits,
                                         share & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), shareId))
            return fail(e);
    }

    if (truncating && ftruncate(fd, 0) != 0 && truncate(path.c_str(), 0) != 0) {
        const DWORD e = ErrorFromErrno(errno);
        core::ShareRelease(shareId);
        return fail(e);
    }
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (flags & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);

    HANDLE h = InsertHandle(std::make_shared<FileObject>(fd, path, mask, flags, shareId, info.directory));
    const bool reportExisting = opened.existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return h;
}

DWORD SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method) {
    auto file = LookupHandleAs<FileObject>(h);
    if (!file) return INVALID_SET_FILE_POINTER;
    const int64_t d = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                          static_cast<DWORD>(distance))
                                   : static_cast<int64_t>(distance);
    // Without a high part the caller can only be told a 32-bit position.
    const uint64_t limit = distanceHigh ? std::numeric_limits<int64_t>::max() : 0xFFFFFFFFull;
    uint64_t pos = 0;
    if (!file->Seek(d, method, limit, pos)) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
    if (static_cast<DWORD>(pos) == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
    return static_cast<DWORD>(pos);
}

BOOL SetFilePointerEx(HANDLE h, LARGE_INTEGER distance, PLARGE_INTEGER newPosition, DWORD method) {
    auto file = LookupHandleAs<FileObject>(h);
    if (!file) return FALSE;
    uint64_t pos = 0;
    if (!file->Seek(distance.QuadPart, method, std::numeric_limits<int64_t>::max(), pos)) return FALSE;
    if (newPosition) newPosition->QuadPart = static_cast<LONGLONG>(pos);
    return TRUE;
}

BOOL SetEndOfFile(HANDLE h) {
    auto file = LookupHandleAs<FileObject>(h);
    return file ? file->SetEnd() : FALSE;
}

namespace {

bool StatHandle(HANDLE h, FileInfo& info) {
    auto file = LookupHandleAs<FileObject>(h);
    if (!file) return false;
    int err = 0;
    if (!StatFd(file->fd(), info, err)) {
        SetLastErrorFromErrno(err);
        return false;
    }
    return true;
}

}  // namespace

DWORD GetFileSize(HANDLE h, LPDWORD sizeHigh) {
    FileInfo info;
    if (!StatHandle(h, info)) return INVALID_FILE_SIZE;
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(info.size >> 32);
    if (static_cast<DWORD>(info.size) == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return static_cast<DWORD>(info.size);
}

BOOL GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    FileInfo info;
    if (!StatHandle(h, info)) return FALSE;
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size->QuadPart = static_cast<LONGLONG>(info.size);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION out) {
    FileInfo info;
    if (!StatHandle(h, info)) return FALSE;
    if (!out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    out->dwFileAttributes = info.attributes;
    out->ftCreationTime = info.creation;
    out->ftLastAccessTime = info.access;
    out->ftLastWriteTime = info.write;
    out->dwVolumeSerialNumber = static_cast<DWORD>(info.dev ^ (info.dev >> 32));
    out->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    out->nFileSizeLow = static_cast<DWORD>(info.size);
    out->nNumberOfLinks = info.links;
    out->nFileIndexHigh = static_cast<DWORD>(info.ino >> 32);
    out->nFileIndexLow = static_cast<DWORD>(info.ino);
    return TRUE;
}

BOOL GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite) {
    FileInfo info;
    if (!StatHandle(h, info)) return FALSE;
    if (creation) *creation = info.creation;
    if (lastAccess) *lastAccess = info.access;
    if (lastWrite) *lastWrite = info.write;
    return TRUE;
}

BOOL SetFileTime(HANDLE h, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    auto file = LookupHandleAs<FileObject>(h);
    if (!file) return FALSE;
    if (!file->CanWriteAttributes()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A null, zero or all-ones time leaves that time alone. Linux keeps no settable
    // creation time, so that one is accepted and dropped.
    auto convert = [](const FILETIME* ft) {
        timespec ts{};
        const uint64_t ticks = ft ? TicksOf(*ft) : 0;
        if (ticks == 0 || ticks == ~0ull) {
            ts.tv_nsec = UTIME_OMIT;
            return ts;
        }
        return UnixFromFileTime(*ft);
    };
    const timespec times[2] = {convert(lastAccess), convert(lastWrite)};
    if (futimens(file->fd(), times) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}
