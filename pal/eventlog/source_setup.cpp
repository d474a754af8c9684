#include "pal/eventlog/source_setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "pal/eventlog/eventlog.h"
#include "pal/file/path.h"
#include "pal/file/whole_file.h"
#include "pal/registry/registry.h"

namespace pal::eventlog {

bool RegisterSourceIfMissing(const std::string& log, const std::string& source, const char* messageFile) {
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + log + "\\" + source;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = true;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "EventMessageFile", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        ok = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(messageFile),
                            static_cast<DWORD>(std::strlen(messageFile) + 1)) == ERROR_SUCCESS;
    if (RegQueryValueExA(key, "TypesSupported", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        ok = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof types) == ERROR_SUCCESS &&
             ok;
    }
    RegCloseKey(key);
    return ok;
}

bool InstallMessageModuleIfMissing(const char* windowsPath, const std::string& text) {
    std::string path = pal::MapPath(windowsPath);
    if (path.empty()) return false;
    struct stat st{};
    if (stat(path.c_str(), &st) == 0) return true;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // A private name and link(): two processes starting at once never see half a module,
    // and the second one's link fails harmlessly.
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, text.data(), text.size());
    ok = close(fd) == 0 && ok;
    if (ok && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
    unlink(tmp.c_str());
    return ok;
}

}  // namespace pal::eventlog
