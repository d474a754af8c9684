#include "standins/taskctrl/config.h"

#include <cstdlib>

#include "pal/core/root.h"
#include "pal/windows.h"

namespace taskctrl {

namespace {

// A string value without its terminators; false when absent or not a string.
bool ReadString(const char* keyPath, const char* name, std::string& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              (type == REG_SZ || type == REG_EXPAND_SZ);
    std::string data(size, '\0');
    if (ok && size > 0)
        ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
             ERROR_SUCCESS;
    RegCloseKey(key);
    if (!ok) return false;
    data.resize(size);
    while (!data.empty() && data.back() == '\0') data.pop_back();
    out = data;
    return true;
}

// A number given as REG_DWORD or as decimal text; false when absent or malformed.
bool ReadNumber(const char* keyPath, const char* name, unsigned long& out) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, value = 0, size = sizeof value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) {
        out = value;
        return true;
    }
    std::string text;
    if (!ReadString(keyPath, name, text) || text.empty()) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (*end != '\0') return false;
    out = v;
    return true;
}

}  // namespace

std::string JobPipeName() {
    std::string name;
    if (!ReadString(kSystemKey, "PIPE_NAME", name) || name.empty()) name = "taskctrl";
    return "\\\\.\\PIPE\\" + name;
}

Config ReadConfig() {
    Config c;
    std::string name;
    if (ReadString(kSystemKey, "PIPE_NAME", name) && !name.empty()) c.pipeName = name;
    c.jobPipe = "\\\\.\\PIPE\\" + c.pipeName;
    c.controlPipe = c.jobPipe + ".ctl";
    unsigned long v = 0;
    // Floors keep a mistyped value from making the controller useless.
    if (ReadNumber(kOwnKey, "QUEUE_LIMIT", v)) c.queueLimit = v < 1 ? 1 : v;
    if (ReadNumber(kOwnKey, "QUEUE_WAIT", v)) c.queueWaitMs = v > 600000 ? 600000 : v;
    if (ReadNumber(kOwnKey, "JOURNAL_SIZE", v)) c.journalSize = v < 4096 ? 4096 : v;
    c.journalPath = pal::core::RootDir() + "/taskctrl/journal.log";
    return c;
}

}  // namespace taskctrl
