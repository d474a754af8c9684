// Byte-range locks. Each handle owns one Linux open file description, and OFD locks
// conflict between descriptions (other handles of this process and other processes)
// but never within one, so the kernel does the cross-handle part and is released
// automatically when a handle closes or its process dies. What the kernel cannot do is
// kept here: Win32 locks are a list per handle (overlapping shared locks stay separate,
// an unlock names exactly one locked range, an exclusive lock may not overlap even this
// handle's own locks), while the kernel keeps one merged state per description. After
// each change the kernel state over the affected range is set to the strongest lock of
// the list covering each piece. Win32 locks are also mandatory for ReadFile/WriteFile;
// IoBlocked asks the kernel about other handles' locks before each transfer.
//
// Offsets beyond what off_t can express (Win32 takes any 64-bit range, commonly
// "everything" as offset 0, length ~0) lock to the end of the kernel's range; ranges
// that start there all map onto its last byte.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "pal/error/error.h"
#include "pal/file/file_object.h"

namespace pal {

namespace {

constexpr uint64_t kKernelEnd = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;

uint64_t EndOf(uint64_t offset, uint64_t length) {
    return length > std::numeric_limits<uint64_t>::max() - offset ? std::numeric_limits<uint64_t>::max()
                                                                  : offset + length;
}

bool Overlaps(uint64_t a, uint64_t b, uint64_t c, uint64_t d) { return a < d && c < b; }

// The kernel's form of [begin, end); false for an empty range. Ranges starting beyond
// off_t's reach all share its last byte, so they still conflict (if coarsely).
bool ToFlock(uint64_t begin, uint64_t end, short type, struct flock& fl) {
    if (end <= begin) return false;
    begin = std::min(begin, kKernelEnd - 1);
    fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(begin);
    fl.l_len = end >= kKernelEnd ? 0 : static_cast<off_t>(end - begin);  // 0: to the end
    return true;
}

// 0 or the errno.
int SetKernel(int fd, uint64_t begin, uint64_t end, short type, bool wait) {
    struct flock fl;
    if (!ToFlock(begin, end, type, fl)) return 0;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

DWORD LockError(int err) {
    switch (err) {
    case EAGAIN:
    case EACCES: return ERROR_LOCK_VIOLATION;
    case EBADF: return ERROR_ACCESS_DENIED;  // the description cannot hold that kind of lock
    case ENOLCK: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ErrorFromErrno(err);
    }
}

}  // namespace

bool FileObject::IoBlocked(uint64_t offset, uint64_t length, bool write) {
    if (length == 0) return false;
    const uint64_t end = EndOf(offset, length);
    if (write) {
        // A shared lock denies writes to everyone, the handle that took it included.
        std::lock_guard<std::mutex> g(locksMutex_);
        for (const auto& l : locks_)
            if (!l.exclusive && l.length && Overlaps(offset, end, l.offset, EndOf(l.offset, l.length))) return true;
    }
    struct flock fl;
    if (!ToFlock(offset, end, write ? F_WRLCK : F_RDLCK, fl)) return false;
    if (fcntl(fd_, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

void FileObject::ApplyLocks(uint64_t begin, uint64_t end) {
    std::vector<LockRange> covering;
    std::vector<uint64_t> cuts = {begin, end};
    {
        std::lock_guard<std::mutex> g(locksMutex_);
        for (const auto& l : locks_) {
            const uint64_t e = EndOf(l.offset, l.length);
            if (!l.length || !Overlaps(begin, end, l.offset, e)) continue;
            covering.push_back(l);
            if (l.offset > begin) cuts.push_back(l.offset);
            if (e < end) cuts.push_back(e);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        short type = F_UNLCK;
        for (const auto& l : covering) {
            if (l.offset <= cuts[i] && cuts[i + 1] <= EndOf(l.offset, l.length)) {
                type = l.exclusive ? F_WRLCK : F_RDLCK;
                if (l.exclusive) break;
            }
        }
        SetKernel(fd_, cuts[i], cuts[i + 1], type, false);
    }
}

BOOL FileObject::Lock(uint64_t offset, uint64_t length, bool exclusive, bool failImmediately) {
    std::lock_guard<std::mutex> op(lockOpMutex_);
    const uint64_t end = EndOf(offset, length);
    // Pieces of the range the kernel must lock. locks_ changes only under lockOpMutex_,
    // so reading it here needs no other lock.
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    if (length) {
        if (exclusive) {
            for (const auto& l : locks_) {
                if (l.length && Overlaps(offset, end, l.offset, EndOf(l.offset, l.length))) {
                    SetLastError(ERROR_LOCK_VIOLATION);
                    return FALSE;
                }
            }
            pieces.emplace_back(offset, end);
        } else {
            // Where this handle holds an exclusive lock the kernel keeps the write lock.
            std::vector<std::pair<uint64_t, uint64_t>> held;
            for (const auto& l : locks_)
                if (l.exclusive && l.length) held.emplace_back(l.offset, EndOf(l.offset, l.length));
            std::sort(held.begin(), held.end());
            uint64_t cur = offset;
            for (const auto& [b, e] : held) {
                if (e <= cur || b >= end) continue;
                if (b > cur) pieces.emplace_back(cur, b);
                cur = std::max(cur, e);
            }
            if (cur < end) pieces.emplace_back(cur, end);
        }
    }
    for (const auto& [b, e] : pieces) {
        if (int err = SetKernel(fd_, b, e, exclusive ? F_WRLCK : F_RDLCK, !failImmediately)) {
            ApplyLocks(offset, end);  // undo the pieces already taken
            SetLastError(LockError(err));
            return FALSE;
        }
    }
    std::lock_guard<std::mutex> g(locksMutex_);
    locks_.push_back(LockRange{offset, length, exclusive});
    return TRUE;
}

BOOL FileObject::Unlock(uint64_t offset, uint64_t length) {
    std::lock_guard<std::mutex> op(lockOpMutex_);
    {
        std::lock_guard<std::mutex> g(locksMutex_);
        auto it = std::find_if(locks_.begin(), locks_.end(),
                               [&](const LockRange& l) { return l.offset == offset && l.length == length; });
        if (it == locks_.end()) {
            SetLastError(ERROR_NOT_LOCKED);
            return FALSE;
        }
        locks_.erase(it);
    }
    if (length) ApplyLocks(offset, EndOf(offset, length));
    return TRUE;
}

}  // namespace pal

using pal::FileObject;

namespace {

uint64_t Join(DWORD low, DWORD high) { return (static_cast<uint64_t>(high) << 32) | low; }

}  // namespace

BOOL LockFile(HANDLE h, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow, DWORD lengthHigh) {
    auto file = pal::LookupHandleAs<FileObject>(h);
    return file ? file->Lock(Join(offsetLow, offsetHigh), Join(lengthLow, lengthHigh), true, true) : FALSE;
}

BOOL UnlockFile(HANDLE h, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow, DWORD lengthHigh) {
    auto file = pal::LookupHandleAs<FileObject>(h);
    return file ? file->Unlock(Join(offsetLow, offsetHigh), Join(lengthLow, lengthHigh)) : FALSE;
}

BOOL LockFileEx(HANDLE h, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh, LPOVERLAPPED ov) {
    auto file = pal::LookupHandleAs<FileObject>(h);
    if (!file) return FALSE;
    if (reserved || !ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pal::StartOverlapped(ov);
    BOOL ok = file->Lock(Join(ov->Offset, ov->OffsetHigh), Join(lengthLow, lengthHigh),
                         (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0, (flags & LOCKFILE_FAIL_IMMEDIATELY) != 0);
    pal::CompleteOverlapped(ov, ok ? 0 : GetLastError(), 0);
    return ok;
}

BOOL UnlockFileEx(HANDLE h, DWORD reserved, DWORD lengthLow, DWORD lengthHigh, LPOVERLAPPED ov) {
    auto file = pal::LookupHandleAs<FileObject>(h);
    if (!file) return FALSE;
    if (reserved || !ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pal::StartOverlapped(ov);
    BOOL ok = file->Unlock(Join(ov->Offset, ov->OffsetHigh), Join(lengthLow, lengthHigh));
    pal::CompleteOverlapped(ov, ok ? 0 : GetLastError(), 0);
    return ok;
}
