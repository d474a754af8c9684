// The RTC driver's Linux sources (see rtc_linux.h).
#include "pal/device/rtc_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <limits>
#include <string_view>
#include <vector>

#include "pal/device/conf_device.h"
#include "pal/error/error.h"
#include "pal/file/whole_file.h"

namespace pal::device {

namespace {

constexpr int64_t kCountMax = std::numeric_limits<int64_t>::max();

bool ReadCount(const std::string& path, uint64_t& value) {
    std::string text;
    int64_t v = 0;
    if (!ReadAttribute(path, text) || !ParseInteger(text, 0, kCountMax, v)) return false;
    value = static_cast<uint64_t>(v);
    return true;
}

bool IsControllerName(const char* name) {
    if (std::string_view(name).substr(0, 2) != "mc" || name[2] == '\0') return false;
    for (const char* p = name + 2; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

std::vector<std::string> Controllers(const std::string& root) {
    std::vector<std::string> dirs;
    DIR* d = opendir(root.c_str());
    if (!d) return dirs;
    while (dirent* e = readdir(d)) {
        if (IsControllerName(e->d_name)) dirs.push_back(root + "/" + e->d_name);
    }
    closedir(d);
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    const uint64_t max = static_cast<uint64_t>(kCountMax);
    return a > max - std::min(b, max) ? max : a + b;
}

// The carried totals of one counter: the sum of earlier boots (or of earlier counter
// resets) and the count last seen in the current one.
struct Carried {
    uint64_t base = 0;
    uint64_t last = 0;
};

struct ErrorState {
    std::string bootId;
    Carried ecc;
    Carried memory;
};

// 0, or ERROR_INVALID_DATA. A missing file is a fresh state.
DWORD LoadState(const std::string& path, ErrorState& state) {
    ConfValues values;
    const DWORD e = LoadConf(path, values);
    if (e == ERROR_FILE_NOT_FOUND) return 0;
    if (e != 0) return ERROR_INVALID_DATA;
    ConfReader r(values);
    if (const std::string* id = r.Find("boot_id")) state.bootId = *id;
    state.ecc.base = static_cast<uint64_t>(r.Integer("ecc.base", 0, kCountMax, 0));
    state.ecc.last = static_cast<uint64_t>(r.Integer("ecc.last", 0, kCountMax, 0));
    state.memory.base = static_cast<uint64_t>(r.Integer("memory.base", 0, kCountMax, 0));
    state.memory.last = static_cast<uint64_t>(r.Integer("memory.last", 0, kCountMax, 0));
    return r.ok() ? 0 : ERROR_INVALID_DATA;
}

// Replaces the state file atomically (temporary file, fsync, rename).
bool SaveState(const std::string& path, const ErrorState& s) {
    const std::string text = "# RTC driver: error counts carried across reboots\nboot_id = " + s.bootId +
                             "\necc.base = " + std::to_string(s.ecc.base) + "\necc.last = " +
                             std::to_string(s.ecc.last) + "\nmemory.base = " + std::to_string(s.memory.base) +
                             "\nmemory.last = " + std::to_string(s.memory.last) + "\n";
    return ReplaceFileAtomically(path, text);
}

// Folds a new raw count into a carried counter.
void Advance(Carried& c, uint64_t raw) {
    if (raw < c.last) c.base = SaturatingAdd(c.base, c.last);  // the counters were reset
    c.last = raw;
}

uint8_t Capped(const Carried& c) { return static_cast<uint8_t>(std::min<uint64_t>(SaturatingAdd(c.base, c.last), 255)); }

// Holds an exclusive lock on "<state>.lock" for the read-modify-write of the state, so two
// processes reading the driver at once cannot both fold the same boot in.
class StateLock {
public:
    explicit StateLock(const std::string& stateFile) {
        fd_ = open((stateFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StateLock() {
        if (fd_ >= 0) close(fd_);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace

DWORD ReadRtcNvmem(const std::string& nvmemPath, unsigned index, uint8_t& value) {
    if (index < kRtcNvmemFirstIndex || index > 255) return ERROR_INVALID_PARAMETER;
    int fd = open(nvmemPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
        if (errno == ENOENT || errno == ENOTDIR || errno == ENODEV || errno == ENXIO) return ERROR_NOT_READY;
        return kRtcErrorIoDevice;
    }
    uint8_t b = 0;
    ssize_t n;
    do n = pread(fd, &b, 1, static_cast<off_t>(index - kRtcNvmemFirstIndex));
    while (n < 0 && errno == EINTR);
    close(fd);
    // 0 bytes: past the end of the device (no second bank); the kernel says EIO for that too.
    if (n != 1) return kRtcErrorIoDevice;
    value = b;
    return 0;
}

bool HasEdacControllers(const std::string& root) { return !Controllers(root).empty(); }

DWORD ReadEdacTotals(const std::string& root, EdacTotals& totals) {
    const std::vector<std::string> mcs = Controllers(root);
    if (mcs.empty()) return ERROR_NOT_SUPPORTED;
    EdacTotals sum;
    for (const std::string& mc : mcs) {
        uint64_t ce = 0, ue = 0;
        if (!ReadCount(mc + "/ce_count", ce) || !ReadCount(mc + "/ue_count", ue)) return kRtcErrorIoDevice;
        sum.corrected = SaturatingAdd(sum.corrected, ce);
        sum.uncorrected = SaturatingAdd(sum.uncorrected, ue);
    }
    totals = sum;
    return 0;
}

DWORD ReadPersistentErrorCounts(const std::string& edacRoot, const std::string& bootIdPath,
                                const std::string& stateFile, RtcErrorCounts& counts) {
    EdacTotals raw;
    if (DWORD e = ReadEdacTotals(edacRoot, raw)) return e;
    std::string bootText;
    if (!ReadAttribute(bootIdPath, bootText) || bootText.empty()) return ERROR_NOT_READY;
    const std::string bootId(bootText);

    StateLock lock(stateFile);
    if (!lock.ok()) return ERROR_WRITE_FAULT;
    ErrorState state;
    if (DWORD e = LoadState(stateFile, state)) return e;
    ErrorState next = state;
    if (next.bootId != bootId) {
        // A new boot: EDAC counts from 0 again, the firmware would have kept counting.
        for (Carried* c : {&next.ecc, &next.memory}) {
            c->base = SaturatingAdd(c->base, c->last);
            c->last = 0;
        }
        next.bootId = bootId;
    }
    Advance(next.ecc, raw.corrected);
    Advance(next.memory, raw.uncorrected);
    const bool changed = next.bootId != state.bootId || next.ecc.base != state.ecc.base ||
                         next.ecc.last != state.ecc.last || next.memory.base != state.memory.base ||
                         next.memory.last != state.memory.last;
    // Not kept means a later reboot would forget this boot's errors: a failed read, not a
    // count that is quietly too low afterwards.
    if (changed && !SaveState(stateFile, next)) return ERROR_WRITE_FAULT;
    counts.ecc = Capped(next.ecc);
    counts.memory = Capped(next.memory);
    return 0;
}

}  // namespace pal::device
