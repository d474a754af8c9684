#include "pal/eventlog/sources.h"

#include <strings.h>

#include <vector>

#include "pal/eventlog/eventlog.h"
#include "pal/registry/registry.h"

namespace pal::eventlog {

namespace {

constexpr const char* kStandardLogs[] = {"Application", "Security", "System"};

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string KeyPath(const std::string& log, const std::string& source = "") {
    std::string path = std::string(kEventLogKey) + "\\" + log;
    if (!source.empty()) path += "\\" + source;
    return path;
}

class Key {
public:
    explicit Key(const std::string& path) {
        error_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_);
        if (error_ != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }
    // Why the key is not open: ERROR_FILE_NOT_FOUND when it does not exist, another code
    // when the registry could not be read.
    LONG error() const { return error_; }

private:
    HKEY key_ = nullptr;
    LONG error_ = ERROR_SUCCESS;
};

bool Missing(LONG error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The subkeys of the EventLog key: the logs that exist, spelled as stored. 0, or the
// registry's error when they cannot be read.
LONG RegisteredLogs(std::vector<std::string>& logs) {
    Key root(kEventLogKey);
    if (!root) return Missing(root.error()) ? ERROR_SUCCESS : root.error();
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        const LONG e = RegEnumKeyExA(root.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (e != ERROR_SUCCESS) return e;
        logs.emplace_back(name, size);
    }
}

}  // namespace

std::string ExistingLog(const std::string& name) {
    for (const char* log : kStandardLogs)
        if (SameName(name, log)) return log;
    if (name.empty() || name.find('\\') != std::string::npos) return "";
    std::vector<std::string> logs;
    RegisteredLogs(logs);
    for (const auto& log : logs)
        if (SameName(name, log)) return log;
    return "";
}

LONG LogOfSource(const std::string& source, std::string& log) {
    log = "Application";
    if (source.empty() || source.find('\\') != std::string::npos) return ERROR_SUCCESS;
    std::vector<std::string> order(std::begin(kStandardLogs), std::end(kStandardLogs));
    std::vector<std::string> logs;
    if (LONG e = RegisteredLogs(logs)) return e;
    for (const auto& l : logs) {
        bool standard = false;
        for (const char* s : kStandardLogs) standard = standard || SameName(l, s);
        if (!standard) order.push_back(l);
    }
    for (const auto& l : order) {
        Key key(KeyPath(l, source));
        if (key) {
            log = l;
            return ERROR_SUCCESS;
        }
        // Unreadable is not unregistered: the record must not go to the wrong log.
        if (!Missing(key.error())) return key.error();
    }
    return ERROR_SUCCESS;
}

DWORD LogMaxSize(const std::string& log) {
    Key key(KeyPath(log));
    if (key) {
        DWORD type = 0, value = 0, size = sizeof value;
        if (RegQueryValueExA(key.get(), "MaxSize", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof value && value != 0)
            return value;
    }
    return kDefaultMaxSize;
}

std::string SourceValue(const std::string& log, const std::string& source, const char* valueName) {
    Key key(KeyPath(log, source));
    if (!key) return "";
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0)
        return "";
    std::string value(size, '\0');
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) !=
        ERROR_SUCCESS)
        return "";
    value.resize(size);
    if (auto nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
    return value;
}

}  // namespace pal::eventlog
