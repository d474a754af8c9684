// Operations on names: delete, move, copy, directories, attributes, the temp path.
// Delete and move reserve the file in the sharing table with delete access first, as
// Windows opens the file to delete or rename it: a file held open without
// FILE_SHARE_DELETE cannot be deleted or renamed.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "pal/core/region.h"
#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/file/file_info.h"
#include "pal/file/path.h"

#ifndef ERROR_NOT_SAME_DEVICE
#define ERROR_NOT_SAME_DEVICE 17L
#endif

using namespace pal;

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL FailErrno(const std::string& path, int err) { return Fail(PathError(path, err)); }

// The last component of a Win32 or Linux path, as spelled by the caller.
std::string LastComponent(const char* path) {
    std::string p = path;
    while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
    size_t cut = p.find_last_of("\\/");
    if (cut == std::string::npos) cut = (p.size() >= 2 && p[1] == ':') ? 1 : std::string::npos;
    return cut == std::string::npos ? p : p.substr(cut + 1);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

class ShareEntry {
public:
    ~ShareEntry() {
        if (id_ >= 0) core::ShareRelease(id_);
    }
    DWORD Acquire(const FileInfo& info, uint32_t access, uint32_t share) {
        return core::ShareAcquire(info.dev, info.ino, access, share, id_);
    }

private:
    int32_t id_ = -1;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool CopyData(int in, int out) {
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
        break;  // not between these files: copy by hand
    }
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += w;
        }
    }
}

}  // namespace

BOOL DeleteFileA(LPCSTR name) {
    if (!name || !*name) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(name)) return FALSE;
    const std::string path = MapPath(name);
    FileInfo info;
    int err = 0;
    if (!StatPath(path, info, err)) return FailErrno(path, err);
    if (info.directory || (info.attributes & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
    DeleteReservation reservation;
    if (DWORD e = reservation.Acquire(info)) return Fail(e);
    if (unlink(path.c_str()) != 0) return FailErrno(path, errno);
    return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED); }

BOOL MoveFileExA(LPCSTR fromName, LPCSTR toName, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return Fail(ERROR_NOT_SUPPORTED);  // no reboot-time renames here
    if (!fromName || !toName || !*fromName || !*toName) return Fail(ERROR_INVALID_PARAMETER);
    if (!CheckFileName(fromName) || !CheckFileName(toName)) return FALSE;
    const std::string from = MapPath(fromName);
    std::string to = MapPath(toName);
    FileInfo src;
    int err = 0;
    if (!StatPath(from, src, err)) return FailErrno(from, err);
    if (to == from) {
        // The names differ at most in case: rename to the caller's spelling.
        to = DirectoryOf(from) + "/" + LastComponent(toName);
        if (to == from) return TRUE;
    }
    DeleteReservation srcReservation;
    if (DWORD e = srcReservation.Acquire(src)) return Fail(e);

    FileInfo dst;
    int rc;
    if (StatPath(to, dst, err)) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
        if (dst.directory || src.directory || (dst.attributes & FILE_ATTRIBUTE_READONLY))
            return Fail(ERROR_ACCESS_DENIED);
        DeleteReservation dstReservation;
        if (DWORD e = dstReservation.Acquire(dst)) return Fail(e);
        rc = rename(from.c_str(), to.c_str());
    } else {
        rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // File systems without RENAME_NOREPLACE: the check above has to do.
            rc = rename(from.c_str(), to.c_str());
        }
        if (rc != 0 && errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
    }
    if (rc != 0) {
        const int e = errno;
        if (e == EXDEV) {
            if (!(flags & MOVEFILE_COPY_ALLOWED) || src.directory) return Fail(ERROR_NOT_SAME_DEVICE);
            if (!CopyFileA(fromName, toName, !(flags & MOVEFILE_REPLACE_EXISTING))) return FALSE;
            return DeleteFileA(fromName);
        }
        if (e == ENOENT || e == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);  // the source exists
        return Fail(ErrorFromErrno(e));
    }
    if (flags & MOVEFILE_WRITE_THROUGH) SyncDirectory(DirectoryOf(to));
    return TRUE;
}

BOOL CopyFileA(LPCSTR fromName, LPCSTR toName, BOOL failIfExists) {
    if (!fromName || !toName || !*fromName || !*toName) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(fromName) || !CheckFileName(toName)) return FALSE;
    const std::string from = MapPath(fromName);
    const std::string to = MapPath(toName);

    Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return FailErrno(from, errno);
    struct stat st{};
    FileInfo src;
    int err = 0;
    if (fstat(in.get(), &st) != 0 || !StatFd(in.get(), src, err)) return Fail(ErrorFromErrno(errno));
    if (src.directory) return Fail(ERROR_ACCESS_DENIED);
    // The source is read with every sharing allowed, so a file another handle is
    // writing (as the logs are) can still be copied.
    ShareEntry srcShare;
    if (DWORD e = srcShare.Acquire(src, 1, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return Fail(e);

    FileInfo dst;
    if (StatPath(to, dst, err)) {
        if (failIfExists) return Fail(ERROR_FILE_EXISTS);
        if (dst.directory || (dst.attributes & FILE_ATTRIBUTE_READONLY)) return Fail(ERROR_ACCESS_DENIED);
    }
    Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0), 0666));
    if (out.get() < 0) return errno == EEXIST ? Fail(ERROR_FILE_EXISTS) : FailErrno(to, errno);
    if (!StatFd(out.get(), dst, err)) return Fail(ErrorFromErrno(err));
    ShareEntry dstShare;
    if (DWORD e = dstShare.Acquire(dst, 2 | 4, 0)) return Fail(e);  // the source itself, or held open
    if (ftruncate(out.get(), 0) != 0 || !CopyData(in.get(), out.get())) {
        const DWORD e = ErrorFromErrno(errno);
        unlink(to.c_str());  // no partial copy stays behind
        return Fail(e);
    }
    // The copy keeps the source's last write time and read-only state.
    const timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    futimens(out.get(), times);
    fchmod(out.get(), st.st_mode & 07777);
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    if (!name || !*name) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(name)) return FALSE;
    const std::string path = MapPath(name);
    if (mkdir(path.c_str(), 0777) != 0) {
        if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
        if (errno == ENOENT || errno == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
        return Fail(ErrorFromErrno(errno));
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR name) {
    if (!name || !*name) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(name)) return FALSE;
    const std::string path = MapPath(name);
    FileInfo info;
    int err = 0;
    if (!StatPath(path, info, err)) return FailErrno(path, err);
    if (!info.directory) return Fail(ERROR_DIRECTORY);
    DeleteReservation reservation;
    if (DWORD e = reservation.Acquire(info)) return Fail(e);
    if (rmdir(path.c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) return Fail(ERROR_DIR_NOT_EMPTY);
        if (errno == ENOTDIR) return Fail(ERROR_DIRECTORY);
        return FailErrno(path, errno);
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!CheckFileName(name)) return INVALID_FILE_ATTRIBUTES;
    const std::string path = MapPath(name);
    FileInfo info;
    int err = 0;
    if (!StatPath(path, info, err)) {
        SetLastError(PathError(path, err));
        return INVALID_FILE_ATTRIBUTES;
    }
    return info.attributes;
}

BOOL GetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID out) {
    if (level != GetFileExInfoStandard || !out) return Fail(ERROR_INVALID_PARAMETER);
    if (!name || !*name) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(name)) return FALSE;
    const std::string path = MapPath(name);
    FileInfo info;
    int err = 0;
    if (!StatPath(path, info, err)) return FailErrno(path, err);
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(out);
    data->dwFileAttributes = info.attributes;
    data->ftCreationTime = info.creation;
    data->ftLastAccessTime = info.access;
    data->ftLastWriteTime = info.write;
    data->nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(info.size);
    return TRUE;
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
    if (!name || !*name) return Fail(ERROR_PATH_NOT_FOUND);
    if (!CheckFileName(name)) return FALSE;
    const std::string path = MapPath(name);
    FileInfo info;
    int err = 0;
    if (!StatPath(path, info, err)) return FailErrno(path, err);
    // Only READONLY has a Linux counterpart (the write permission bits); the archive,
    // hidden and other flags are accepted and not kept.
    if (info.directory) return TRUE;
    const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (info.mode & 07555) : ((info.mode & 07777) | S_IWUSR);
    if (chmod(path.c_str(), mode) != 0) return FailErrno(path, errno);
    return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    // Temporary files stay inside the machine root, like everything the suite writes.
    static const char kTemp[] = "C:\\WINDOWS\\TEMP\\";
    core::MakeDirs(MapPath(kTemp));
    const DWORD length = sizeof kTemp - 1;
    if (!buffer || size <= length) return length + 1;
    std::memcpy(buffer, kTemp, sizeof kTemp);
    return length;
}
