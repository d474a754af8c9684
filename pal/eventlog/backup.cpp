#include "pal/eventlog/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pal/error/error.h"
#include "pal/eventlog/eventlog.h"
#include "pal/file/path.h"

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

DWORD WriteBackup(const std::string& path, const std::vector<std::vector<uint8_t>>& records, DWORD nextNumber,
                  DWORD maxSize) {
    const std::string linuxPath = MapPath(path.c_str());
    if (linuxPath.empty()) return ERROR_INVALID_PARAMETER;
    int fd = open(linuxPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno);
    const std::vector<uint8_t> image = BackupImage(records, nextNumber, maxSize);
    size_t done = 0;
    int err = 0;
    while (done < image.size()) {
        ssize_t n = write(fd, image.data() + done, image.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && fsync(fd) != 0) err = errno;
    close(fd);
    if (err) {
        unlink(linuxPath.c_str());
        return ErrorFromErrno(err);
    }
    return 0;
}

}  // namespace pal::eventlog
