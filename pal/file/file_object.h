// The object behind a file handle: one Linux open file description (so OFD range locks
// belong to this handle alone, as Win32 locks belong to one file object), the handle's
// own file pointer, its access rights, its entry in the cross-process sharing table, and
// the ranges it holds locked.
#pragma once

#include <time.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pal/file/io_object.h"

namespace pal {

class FileObject : public IoObject {
public:
    // Takes ownership of fd and of the sharing-table entry shareId (-1 for none).
    // access is the expanded access mask (see ExpandFileAccess).
    FileObject(int fd, std::string path, DWORD access, DWORD flags, int32_t shareId, bool directory);
    ~FileObject() override;
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    DWORD access() const { return access_; }
    DWORD flags() const { return flags_; }
    bool CanRead() const { return (access_ & FILE_READ_DATA) != 0; }
    bool CanWrite() const { return (access_ & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; }
    bool CanWriteAttributes() const { return (access_ & FILE_WRITE_ATTRIBUTES) != 0; }

    BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped) override;
    BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* overlapped) override;
    BOOL Flush() override;
    // How many flushes of this process reached the disk (fsync); for tests.
    static uint64_t SyncsIssued();
    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                   OVERLAPPED* overlapped) override;
    DWORD FileType() const override { return FILE_TYPE_DISK; }

    // Moves the file pointer; limit is the largest position the caller can report.
    // Fails with ERROR_NEGATIVE_SEEK before the start, ERROR_INVALID_PARAMETER past limit.
    BOOL Seek(int64_t distance, DWORD method, uint64_t limit, uint64_t& newPosition);
    // Cuts or extends the file at the file pointer.
    BOOL SetEnd();

    // Range locks with Win32 rules: an exclusive lock may overlap no lock at all, a
    // shared one no other handle's exclusive lock; an unlock names exactly a range this
    // handle locked (else ERROR_NOT_LOCKED).
    BOOL Lock(uint64_t offset, uint64_t length, bool exclusive, bool failImmediately);
    BOOL Unlock(uint64_t offset, uint64_t length);

private:
    struct LockRange {
        uint64_t offset;
        uint64_t length;
        bool exclusive;
    };

    // Whether locks forbid this handle reading (or writing) the range: Win32 locks are
    // mandatory, Linux ones advisory, so I/O asks before it touches the file.
    bool IoBlocked(uint64_t offset, uint64_t length, bool write);
    BOOL DoRead(void* buffer, DWORD size, uint64_t offset, DWORD& done);
    BOOL DoWrite(const void* buffer, DWORD size, uint64_t offset, DWORD& done);
    BOOL PwriteAll(const void* buffer, DWORD size, uint64_t offset, DWORD& done);
    // Sets the kernel lock state over [begin, end) to what locks_ asks for (only ever
    // lowers it, so it cannot conflict).
    void ApplyLocks(uint64_t begin, uint64_t end);
    // The file's change time, or false when it cannot be read.
    bool ChangeTime(timespec& ctime) const;

    bool WriteThrough() const { return (flags_ & FILE_FLAG_WRITE_THROUGH) != 0; }

    const int fd_;
    const std::string path_;
    const DWORD access_;
    const DWORD flags_;
    const int32_t shareId_;
    const bool directory_;

    std::mutex posMutex_;  // serialises pointer I/O, as Windows does on a synchronous handle
    uint64_t position_ = 0;
    // A write-through handle's writes are on disk when they return, so a flush has work
    // only when the file changed in some other way since it was last known to be on disk:
    // a cut through this handle, or any change through another handle or a mapping, seen
    // as a change time other than the one taken then. Guarded by posMutex_.
    bool onDisk_ = false;
    timespec onDiskCtime_{};

    std::mutex lockOpMutex_;    // one lock or unlock at a time (held while a lock waits)
    std::mutex locksMutex_;     // guards locks_ for readers that must not wait on a lock
    std::vector<LockRange> locks_;
};

}  // namespace pal
