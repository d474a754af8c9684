// Reading the settings (see config.h).
#include "standins/vqjournal/config.h"

#include <cstring>

#include "pal/windows.h"

namespace vqjournal {

namespace {

constexpr const char* kCursorValue = "Cursor";

class Key {
public:
    Key(const char* path, REGSAM access) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The value's raw bytes and type; false when absent.
bool ReadRaw(HKEY key, const char* name, DWORD& type, std::string& data) {
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.assign(size, '\0');
    if (size > 0 && RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
                        ERROR_SUCCESS)
        return false;
    data.resize(size);
    return true;
}

// A REG_MULTI_SZ as its non-empty strings; a REG_SZ counts as a list of one.
bool ReadList(HKEY key, const char* name, std::vector<std::string>& out, std::vector<std::string>& problems) {
    DWORD type = 0;
    std::string data;
    if (!ReadRaw(key, name, type, data)) return false;
    if (type != REG_MULTI_SZ && type != REG_SZ && type != REG_EXPAND_SZ) {
        problems.push_back(std::string(name) + " is not REG_MULTI_SZ; ignored");
        return false;
    }
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (end > start) out.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool ReadText(HKEY key, const char* name, std::string& out) {
    DWORD type = 0;
    std::string data;
    if (!ReadRaw(key, name, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    size_t nul = data.find('\0');
    out = nul == std::string::npos ? data : data.substr(0, nul);
    return true;
}

}  // namespace

Config ReadConfig() {
    Config config;
    Key key(kParametersKey, KEY_READ);
    if (!key.get()) return config;
    ReadList(key.get(), "Units", config.units, config.problems);
    ReadList(key.get(), "Identifiers", config.identifiers, config.problems);
    DWORD type = 0;
    std::string data;
    if (ReadRaw(key.get(), "MaxPriority", type, data)) {
        if (type != REG_DWORD || data.size() != sizeof(DWORD)) {
            config.problems.push_back("MaxPriority is not a REG_DWORD; the default 4 applies");
        } else {
            DWORD value = 0;
            std::memcpy(&value, data.data(), sizeof value);
            if (value > 7) {
                config.problems.push_back("MaxPriority " + std::to_string(value) + " is above 7; 7 applies");
                value = 7;
            }
            config.maxPriority = value;
        }
    }
    if (ReadRaw(key.get(), "Directory", type, data) && !ReadText(key.get(), "Directory", config.directory))
        config.problems.push_back("Directory is not REG_SZ; the local journal is read");
    return config;
}

std::optional<std::string> ReadSavedCursor() {
    Key key(kParametersKey, KEY_READ);
    std::string cursor;
    if (!key.get() || !ReadText(key.get(), kCursorValue, cursor)) return std::nullopt;
    return cursor;
}

bool SaveCursor(const std::string& cursor) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, kCursorValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(cursor.c_str()),
                             static_cast<DWORD>(cursor.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

}  // namespace vqjournal
