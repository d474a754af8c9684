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
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The subkeys of the EventLog key: the logs that exist, spelled as stored.
std::vector<std::string> RegisteredLogs() {
    std::vector<std::string> logs;
    Key root(kEventLogKey);
    if (!root) return logs;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(root.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        logs.emplace_back(name, size);
    }
    return logs;
}

}  // namespace

std::string ExistingLog(const std::string& name) {
    for (const char* log : kStandardLogs)
        if (SameName(name, log)) return log;
    if (name.empty() || name.find('\\') != std::string::npos) return "";
    for (const auto& log : RegisteredLogs())
        if (SameName(name, log)) return log;
    return "";
}

std::string LogOfSource(const std::string& source) {
    if (!source.empty() && source.find('\\') == std::string::npos) {
        std::vector<std::string> order(std::begin(kStandardLogs), std::end(kStandardLogs));
        for (const auto& log : RegisteredLogs()) {
            bool standard = false;
            for (const char* s : kStandardLogs) standard = standard || SameName(log, s);
            if (!standard) order.push_back(log);
        }
        for (const auto& log : order)
            if (Key(KeyPath(log, source))) return log;
    }
    return "Application";
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
