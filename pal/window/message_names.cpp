// RegisterWindowMessageA: one table per machine root, shared by its processes, in the
// file $VQ_ROOT/.vq/window_messages: one name per line, line n (from 0) is message
// 0xC000 + n. Readers and writers hold an flock on the file, so two processes that
// register the same new name at once get the same line. A writer killed mid-line leaves
// a line without its break; the next writer ends it first, so the fragment takes a number
// nobody was given and every reader counts lines alike. Ids once handed out never change,
// so each process caches what it has looked up.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/file/whole_file.h"
#include "pal/window/window.h"

namespace {

constexpr UINT kFirst = 0xC000;
constexpr UINT kCount = 0x4000;
constexpr size_t kMaxName = 255;

std::string Lower(const char* s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool ReadAll(int fd, std::string& out) {
    out.clear();
    char buf[4096];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
}

// The id of key (lower-cased) in the shared file, adding it when missing; 0 with the last
// error set on failure.
UINT LookUpShared(const std::string& key) {
    const std::string path = pal::core::StateDir() + "/window_messages";
    Fd f;
    f.fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (f.fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    while (flock(f.fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return 0;
        }
    }
    std::string text;
    if (!ReadAll(f.fd, text)) {
        SetLastError(ERROR_READ_FAULT);
        return 0;
    }
    UINT index = 0;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++index) {
        if (Lower(text.substr(start, nl - start).c_str()) == key) return kFirst + index;
    }
    std::string add = (start < text.size() ? "\n" : "") + key + "\n";
    if (start < text.size()) ++index;  // the fragment's line
    if (index >= kCount) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!pal::WriteAll(f.fd, add.data(), add.size())) {
        SetLastError(ERROR_WRITE_FAULT);
        return 0;
    }
    return kFirst + index;  // the lock goes with the descriptor
}

}  // namespace

UINT RegisterWindowMessageA(LPCSTR name) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > kMaxName || std::strchr(name, '\n') ||
        std::strchr(name, '\r')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static std::mutex mutex;
    static auto* cache = new std::unordered_map<std::string, UINT>();
    std::string key = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache->find(key);
    if (it != cache->end()) return it->second;
    UINT id = LookUpShared(key);
    if (id != 0) (*cache)[key] = id;
    return id;
}
