#include "pal/device/conf_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/file/device_hook.h"
#include "pal/file/io_object.h"
#include "pal/file/whole_file.h"

namespace pal::device {

namespace {

// Anything larger is not a hand-written configuration.
constexpr size_t kMaxConfSize = 64 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

std::string StripComment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '#') continue;
        if (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1]))) return std::string(line.substr(0, i));
    }
    return std::string(line);
}

// Whole file, or an errno.
int ReadWholeFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    text.clear();
    char buf[4096];
    int err = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxConfSize) {
            err = EFBIG;
            break;
        }
    }
    close(fd);
    return err;
}

// The common fault keys, checked at open and at every request.
DWORD CommonKeys(const ConfValues& values, DWORD& failOpen, DWORD& failRequest, DWORD& replyLimit) {
    ConfReader r(values);
    failOpen = static_cast<DWORD>(r.Integer("fail_open", 0, 0xFFFFFFFFll, 0));
    failRequest = static_cast<DWORD>(r.Integer("fail_request", 0, 0xFFFFFFFFll, 0));
    replyLimit = static_cast<DWORD>(r.Integer("reply_bytes", 0, 0xFFFFFFFFll, 0xFFFFFFFFll));
    return r.ok() ? 0 : ERROR_GEN_FAILURE;
}

class ConfDeviceObject : public IoObject {
public:
    ConfDeviceObject(std::string path, std::shared_ptr<const ConfDriver> driver)
        : path_(std::move(path)), driver_(std::move(driver)) {}

    BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                   OVERLAPPED* overlapped) override {
        DWORD bytes = 0;
        DWORD error = Serve(code, in, inSize, out, outSize, bytes);
        *returned = bytes;
        CompleteOverlapped(overlapped, error, bytes);
        SetLastError(error);
        return error == 0 ? TRUE : FALSE;
    }

private:
    DWORD Serve(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& bytes) const {
        // The device stopped working when its configuration went away or went bad.
        ConfValues values;
        if (LoadConf(path_, values) != 0) return ERROR_GEN_FAILURE;
        DWORD failOpen = 0, failRequest = 0, limit = 0;
        if (CommonKeys(values, failOpen, failRequest, limit) != 0) return ERROR_GEN_FAILURE;
        if (failRequest != 0) return failRequest;
        if (DWORD e = driver_->Check(values)) return e;
        Reply reply;
        if (DWORD e = driver_->Request(values, code, in, inSize, out, outSize, reply)) return e;
        const DWORD n = std::min({reply.size, outSize, limit});
        if (n == 0) return 0;
        if (!out) return ERROR_INVALID_PARAMETER;
        auto* dst = static_cast<uint8_t*>(out);
        const size_t copied = std::min<size_t>(n, reply.data.size());
        if (copied) memcpy(dst, reply.data.data(), copied);
        if (n > copied) memset(dst + copied, 0, n - copied);
        bytes = n;
        return 0;
    }

    const std::string path_;
    const std::shared_ptr<const ConfDriver> driver_;
};

std::shared_ptr<IoObject> OpenConfDevice(const std::string& name, const std::shared_ptr<const ConfDriver>& driver,
                                         DWORD& error) {
    const std::string path = ConfigPath(name);
    ConfValues values;
    error = LoadConf(path, values);
    if (error != 0) return nullptr;
    DWORD failOpen = 0, failRequest = 0, limit = 0;
    error = CommonKeys(values, failOpen, failRequest, limit);
    if (error == 0 && failOpen != 0) error = failOpen;
    if (error == 0) error = driver->Check(values);
    if (error != 0) return nullptr;
    return std::make_shared<ConfDeviceObject>(path, driver);
}

}  // namespace

bool ParseConfText(std::string_view text, ConfValues& values) {
    values.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string line = StripComment(text.substr(pos, end - pos));
        pos = end + 1;
        std::string_view t = Trim(line);
        if (t.empty()) continue;
        const size_t eq = t.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = Trim(t.substr(0, eq));
        if (key.empty()) return false;
        values[Lower(key)] = std::string(Trim(t.substr(eq + 1)));
    }
    return true;
}

DWORD LoadConf(const std::string& path, ConfValues& values) {
    std::string text;
    const int err = ReadWholeFile(path, text);
    if (err == ENOENT || err == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    if (err == EACCES || err == EPERM) return ERROR_ACCESS_DENIED;
    if (err != 0) return ERROR_GEN_FAILURE;
    return ParseConfText(text, values) ? 0 : ERROR_GEN_FAILURE;
}

bool ParseInteger(std::string_view text, int64_t lo, int64_t hi, int64_t& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return false;
    }
    if (text.empty() || text.front() == '+') return false;
    int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
    value = v;
    return true;
}

const std::string* ConfReader::Find(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

int64_t ConfReader::Integer(const std::string& key, int64_t lo, int64_t hi, int64_t fallback) {
    const std::string* text = Find(key);
    if (!text) return fallback;
    int64_t v = 0;
    if (ParseInteger(*text, lo, hi, v)) return v;
    ok_ = false;
    return fallback;
}

void RegisterConfDevice(const std::string& name, std::shared_ptr<const ConfDriver> driver) {
    RegisterDeviceOpener(name, [driver](const DeviceOpenRequest& request, DWORD& error) {
        return OpenConfDevice(request.name, driver, error);
    });
}

std::string ConfigPath(const std::string& device) { return core::RootDir() + "/devices/" + Lower(device) + ".conf"; }

bool WriteDeviceConfig(const std::string& device, const ConfValues& values) {
    const std::string path = ConfigPath(device);
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!core::MakeDirs(dir)) return false;
    std::string text;
    for (const auto& [key, value] : values) text += key + " = " + value + "\n";

    return ReplaceFileAtomically(path, text);
}

bool RemoveDeviceConfig(const std::string& device) {
    return unlink(ConfigPath(device).c_str()) == 0 || errno == ENOENT;
}

bool ReadAttribute(const std::string& path, std::string& value) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[128];
    ssize_t n;
    do n = read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) return false;
    std::string_view text(buf, static_cast<size_t>(n));
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    value.assign(text);
    return true;
}

}  // namespace pal::device
