#include "pal/eventlog/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pal/error/error.h"
#include "pal/eventlog/eventlog.h"
#include "pal/file/path.h"
#include "pal/file/whole_file.h"

namespace pal::eventlog {

namespace {

void Append(std::vector<uint8_t>& out, std::initializer_list<DWORD> values) {
    for (DWORD v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
}

}  // namespace

std::vector<uint8_t> BackupImage(const std::vector<std::vector<uint8_t>>& records, DWORD nextNumber, DWORD maxSize) {
    DWORD oldest = 0;
    size_t body = 0;
    for (const auto& r : records) body += r.size();
    if (!records.empty() && records.front().size() >= 12) std::memcpy(&oldest, records.front().data() + 8, 4);
    const DWORD endOffset = static_cast<DWORD>(kBackupHeaderSize + body);

    std::vector<uint8_t> out;
    out.reserve(endOffset + kBackupEofSize);
    Append(out, {kBackupHeaderSize, ELF_LOG_SIGNATURE, 1, 1, kBackupHeaderSize, endOffset, nextNumber, oldest, maxSize,
                 0, 0, kBackupHeaderSize});
    for (const auto& r : records) out.insert(out.end(), r.begin(), r.end());
    Append(out, {kBackupEofSize, 0x11111111, 0x22222222, 0x33333333, 0x44444444, kBackupHeaderSize, endOffset,
                 nextNumber, oldest, kBackupEofSize});
    return out;
}

namespace {

// The image written and flushed to disk; false with the errno in err.
bool WriteAndSync(int fd, const std::vector<uint8_t>& image, int& err) {
    if (pal::WriteAll(fd, image.data(), image.size()) && fsync(fd) == 0) return true;
    err = errno;
    return false;
}

void SyncDirectory(const std::string& dir) {
    int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    fsync(d);
    close(d);
}

}  // namespace

// The backup appears under its name only when it is complete and on disk: it is written
// to an unnamed file (or, where the file system has none, a temporary name) and linked
// into place. A process killed at any moment leaves no backup or a whole one, never a
// partial file that would block the retry.
DWORD WriteBackup(const std::string& path, const std::vector<std::vector<uint8_t>>& records, DWORD nextNumber,
                  DWORD maxSize) {
    const std::string linuxPath = MapPath(path.c_str());
    if (linuxPath.empty()) return ERROR_INVALID_PARAMETER;
    if (access(linuxPath.c_str(), F_OK) == 0) return ERROR_ALREADY_EXISTS;
    const size_t slash = linuxPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : linuxPath.substr(0, slash);

    std::string temp;  // empty while the file has no name
    int fd = open(dir.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return ErrorFromErrno(errno);
        temp = linuxPath + ".partial-" + std::to_string(getpid());
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return ErrorFromErrno(errno);
    }
    const std::vector<uint8_t> image = BackupImage(records, nextNumber, maxSize);
    int err = 0;
    if (WriteAndSync(fd, image, err)) {
        // link, not rename: a backup that appeared meanwhile is never replaced.
        const std::string from = temp.empty() ? "/proc/self/fd/" + std::to_string(fd) : temp;
        if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, linuxPath.c_str(), temp.empty() ? AT_SYMLINK_FOLLOW : 0) != 0)
            err = errno;
    }
    close(fd);
    if (!temp.empty()) unlink(temp.c_str());
    if (err) return err == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(err);
    SyncDirectory(dir);
    return 0;
}

}  // namespace pal::eventlog
