#include "pal/file/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pal {

namespace {

int Fail(int error, std::string& why, const std::string& path, const std::string& what) {
    why = path + ": " + what;
    return error;
}

}  // namespace

int ReadWholeFile(const std::string& path, size_t limit, std::string& bytes, std::string& why) {
    bytes.clear();
    // O_NONBLOCK: opening a FIFO with no writer must not hang the tool.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        return Fail(e, why, path, e == ENOENT ? "does not exist" : std::string("cannot be opened: ") + std::strerror(e));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0) return Fail(errno, why, path, std::string("cannot be examined: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR, why, path, "is a directory, not a file");
    if (!S_ISREG(st.st_mode)) return Fail(EINVAL, why, path, "is not a regular file (a device, pipe or socket)");
    const std::string tooLarge = "is larger than the limit of " + std::to_string(limit) + " bytes";
    if (static_cast<unsigned long long>(st.st_size) > limit) return Fail(EFBIG, why, path, tooLarge);
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (;;) {
        // One byte of room beyond the limit tells a file that grew past it.
        if (got == bytes.size()) bytes.resize(std::min(limit + 1, got + 65536));
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            bytes.clear();
            return Fail(e, why, path, std::string("cannot be read: ") + std::strerror(e));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
        if (got > limit) {
            bytes.clear();
            return Fail(EFBIG, why, path, tooLarge);
        }
    }
    bytes.resize(got);
    return 0;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    std::string tmp = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/.write.XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    if (ok) saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}

}  // namespace pal
