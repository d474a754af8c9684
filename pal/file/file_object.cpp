#include "pal/file/file_object.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "pal/core/region.h"
#include "pal/error/error.h"

namespace pal {

namespace {

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

uint64_t OffsetOf(const OVERLAPPED* ov) { return (static_cast<uint64_t>(ov->OffsetHigh) << 32) | ov->Offset; }

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

std::atomic<uint64_t> g_syncs{0};

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

FileObject::FileObject(int fd, std::string path, DWORD access, DWORD flags, int32_t shareId, bool directory)
    : fd_(fd), path_(std::move(path)), access_(access), flags_(flags), shareId_(shareId), directory_(directory) {}

FileObject::~FileObject() {
    if (flags_ & FILE_FLAG_DELETE_ON_CLOSE) {
        if (directory_)
            rmdir(path_.c_str());
        else
            unlink(path_.c_str());
    }
    close(fd_);  // drops every OFD lock this handle held
    if (shareId_ >= 0) core::ShareRelease(shareId_);
}

BOOL FileObject::DoRead(void* buffer, DWORD size, uint64_t offset, DWORD& done) {
    done = 0;
    if (size == 0 || offset >= kMaxOffset) return TRUE;
    if (IoBlocked(offset, size, false)) return Fail(ERROR_LOCK_VIOLATION);
    auto* p = static_cast<char*>(buffer);
    while (done < size) {
        ssize_t r = pread(fd_, p + done, size - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno(errno);
            return FALSE;
        }
        if (r == 0) break;
        done += static_cast<DWORD>(r);
    }
    return TRUE;
}

bool FileObject::ChangeTime(timespec& ctime) const {
    struct stat st{};
    if (fstat(fd_, &st) != 0) return false;
    ctime = st.st_ctim;
    return true;
}

BOOL FileObject::DoWrite(const void* buffer, DWORD size, uint64_t offset, DWORD& done) {
    done = 0;
    if (size == 0) return TRUE;  // a null write changes nothing, not even the size
    if (offset >= kMaxOffset || size > kMaxOffset - offset) return Fail(ERROR_INVALID_PARAMETER);
    if (IoBlocked(offset, size, true)) return Fail(ERROR_LOCK_VIOLATION);
    // Still on disk after this write only if nobody changed the file since it last was.
    timespec before{};
    if (onDisk_ && !(ChangeTime(before) && SameTime(before, onDiskCtime_))) onDisk_ = false;
    const BOOL ok = PwriteAll(buffer, size, offset, done);
    if (!ok || !onDisk_ || !ChangeTime(onDiskCtime_)) onDisk_ = false;
    return ok;
}

BOOL FileObject::PwriteAll(const void* buffer, DWORD size, uint64_t offset, DWORD& done) {
    auto* p = static_cast<const char*>(buffer);
    while (done < size) {
        ssize_t r = pwrite(fd_, p + done, size - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno(errno);
            return FALSE;
        }
        done += static_cast<DWORD>(r);
    }
    return TRUE;
}

BOOL FileObject::Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
    if (done) *done = 0;
    if (directory_) return Fail(ERROR_INVALID_FUNCTION);
    if (!CanRead()) return Fail(ERROR_ACCESS_DENIED);
    DWORD n = 0;
    if (ov) {
        StartOverlapped(ov);
        const uint64_t offset = OffsetOf(ov);
        BOOL ok;
        {
            std::lock_guard<std::mutex> g(posMutex_);
            ok = DoRead(buffer, size, offset, n);
            // Positioned reads report the end of file; pointer reads just return 0 bytes.
            if (ok && n == 0 && size > 0) ok = Fail(ERROR_HANDLE_EOF);
            // A synchronous handle's pointer follows positioned I/O too.
            if (ok && !(flags_ & FILE_FLAG_OVERLAPPED)) position_ = offset + n;
        }
        CompleteOverlapped(ov, ok ? 0 : GetLastError(), n);
        if (done) *done = n;
        return ok;
    }
    std::lock_guard<std::mutex> g(posMutex_);
    BOOL ok = DoRead(buffer, size, position_, n);
    position_ += n;
    if (done) *done = n;
    return ok;
}

BOOL FileObject::Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
    if (done) *done = 0;
    if (directory_) return Fail(ERROR_INVALID_FUNCTION);
    if (!CanWrite()) return Fail(ERROR_ACCESS_DENIED);
    // Append-only handles, and the all-ones offset, write at the end of the file.
    const bool appendOnly = !(access_ & FILE_WRITE_DATA);
    auto endOfFile = [this](uint64_t& end) {
        struct stat st{};
        if (fstat(fd_, &st) != 0) return false;
        end = static_cast<uint64_t>(st.st_size);
        return true;
    };
    DWORD n = 0;
    std::lock_guard<std::mutex> g(posMutex_);
    uint64_t offset = ov ? OffsetOf(ov) : position_;
    if (ov) StartOverlapped(ov);
    BOOL ok = TRUE;
    if ((appendOnly || (ov && ov->Offset == 0xFFFFFFFFu && ov->OffsetHigh == 0xFFFFFFFFu)) && !endOfFile(offset))
        ok = Fail(SetLastErrorFromErrno(errno));
    if (ok) ok = DoWrite(buffer, size, offset, n);
    if (!ov || !(flags_ & FILE_FLAG_OVERLAPPED)) {
        if (ok || !ov) position_ = offset + n;
    }
    if (ov) CompleteOverlapped(ov, ok ? 0 : GetLastError(), n);
    if (done) *done = n;
    return ok;
}

uint64_t FileObject::SyncsIssued() { return g_syncs.load(std::memory_order_relaxed); }

BOOL FileObject::Flush() {
    if (!CanWrite()) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> g(posMutex_);
    timespec before{}, after{};
    const bool known = WriteThrough() && ChangeTime(before);
    if (known && onDisk_ && SameTime(before, onDiskCtime_)) return TRUE;  // nothing left to write out
    onDisk_ = false;
    g_syncs.fetch_add(1, std::memory_order_relaxed);
    if (fsync(fd_) != 0 && errno != EINVAL) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    // A change made while fsync ran may not be on disk: then the next flush syncs again.
    if (known && ChangeTime(after) && SameTime(before, after)) {
        onDisk_ = true;
        onDiskCtime_ = after;
    }
    return TRUE;
}

BOOL FileObject::IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                           OVERLAPPED* ov) {
    *returned = 0;
    BOOL ok = TRUE;
    StartOverlapped(ov);
    switch (code) {
    case FSCTL_SET_COMPRESSION: {
        USHORT format = 0;
        if (!in || inSize < sizeof format) {
            ok = Fail(ERROR_INVALID_PARAMETER);
            break;
        }
        std::memcpy(&format, in, sizeof format);
        if (format > COMPRESSION_FORMAT_LZNT1) {
            ok = Fail(ERROR_INVALID_PARAMETER);
            break;
        }
        if (!CanWrite() && !CanWriteAttributes()) {
            ok = Fail(ERROR_ACCESS_DENIED);
            break;
        }
        // Compression only saves space: callers treat a refusal as an error although
        // nothing is lost. So where the file system has no compression (ext4, tmpfs,
        // xfs answer ENOTTY, EOPNOTSUPP or EINVAL, or keep the flag without acting on
        // it) the request still succeeds; btrfs really compresses.
        int attr = 0;
        if (ioctl(fd_, FS_IOC_GETFLAGS, &attr) == 0) {
            int want = format == COMPRESSION_FORMAT_NONE ? (attr & ~FS_COMPR_FL) : (attr | FS_COMPR_FL);
            if (want != attr) (void)ioctl(fd_, FS_IOC_SETFLAGS, &want);
        }
        break;
    }
    case FSCTL_GET_COMPRESSION: {
        if (!out || outSize < sizeof(USHORT)) {
            ok = Fail(ERROR_INSUFFICIENT_BUFFER);
            break;
        }
        int attr = 0;
        USHORT format = COMPRESSION_FORMAT_NONE;
        if (ioctl(fd_, FS_IOC_GETFLAGS, &attr) == 0 && (attr & FS_COMPR_FL)) format = COMPRESSION_FORMAT_LZNT1;
        std::memcpy(out, &format, sizeof format);
        *returned = sizeof format;
        break;
    }
    default:
        ok = Fail(ERROR_INVALID_FUNCTION);
        break;
    }
    CompleteOverlapped(ov, ok ? 0 : GetLastError(), *returned);
    return ok;
}

BOOL FileObject::Seek(int64_t distance, DWORD method, uint64_t limit, uint64_t& newPosition) {
    std::lock_guard<std::mutex> g(posMutex_);
    __int128 base;
    switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = position_; break;
    case FILE_END: {
        struct stat st{};
        if (fstat(fd_, &st) != 0) {
            SetLastErrorFromErrno(errno);
            return FALSE;
        }
        base = st.st_size;
        break;
    }
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    const __int128 target = base + distance;
    if (target < 0) return Fail(ERROR_NEGATIVE_SEEK);
    if (target > static_cast<__int128>(limit) || target > static_cast<__int128>(kMaxOffset))
        return Fail(ERROR_INVALID_PARAMETER);
    position_ = static_cast<uint64_t>(target);
    newPosition = position_;
    return TRUE;
}

BOOL FileObject::SetEnd() {
    if (directory_) return Fail(ERROR_INVALID_FUNCTION);
    if (!CanWrite()) return Fail(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> g(posMutex_);
    onDisk_ = false;  // a cut is not written through
    if (ftruncate(fd_, static_cast<off_t>(position_)) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

}  // namespace pal
