// Service state records in the System log. Readers (vqevent, the agent, the tray monitor)
// find their text through the source's EventMessageFile, so the source and its module are
// put in place on first use, like the built-in registrations of the platform.
#include "pal/service/state_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "pal/eventlog/eventlog.h"
#include "pal/file/path.h"
#include "pal/registry/registry.h"
#include "pal/service/service.h"

namespace pal::service::detail {

namespace {

constexpr const char* kSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\Service Control Manager";
constexpr const char* kModuleFile = "C:\\WINDOWS\\system32\\vqscm.mc";
constexpr const char* kModuleName = "%SystemRoot%\\System32\\vqscm.dll";

const char kModuleText[] =
    ";// Message texts of the event source \"Service Control Manager\": the records the\n"
    ";// service layer writes to the System log when a service changes state.\n"
    ";// Installed as %SystemRoot%\\System32\\vqscm.mc on first use; the source's\n"
    ";// EventMessageFile names %SystemRoot%\\System32\\vqscm.dll, which resolves to it.\n"
    "\n"
    "MessageIdTypedef=DWORD\n"
    "\n"
    "LanguageNames=(English=0x409:MSG00409)\n"
    "\n"
    "MessageId=7036\n"
    "Severity=Informational\n"
    "SymbolicName=EVENT_SERVICE_STATUS_SUCCESS\n"
    "Language=English\n"
    "The %1 service entered the %2 state.\n"
    ".\n";

// Writes the module when no file is there; a file an administrator changed stays.
bool InstallModule() {
    std::string path = pal::MapPath(kModuleFile);
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
    size_t len = sizeof kModuleText - 1;
    bool ok = write(fd, kModuleText, len) == static_cast<ssize_t>(len);
    ok = close(fd) == 0 && ok;
    if (ok && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
    unlink(tmp.c_str());
    return ok;
}

bool RegisterSource() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return true;
    }
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return false;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    bool ok = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kModuleName),
                             static_cast<DWORD>(std::strlen(kModuleName) + 1)) == ERROR_SUCCESS &&
              RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                             sizeof types) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

}  // namespace

const char* StateWord(DWORD state) {
    switch (state) {
        case SERVICE_RUNNING: return "running";
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_PAUSED: return "paused";
        default: return nullptr;
    }
}

const char* ScmMessageModule() { return kModuleText; }

bool WriteStateRecord(const std::string& service, DWORD state) {
    const char* word = StateWord(state);
    if (!word) return false;
    DWORD savedError = GetLastError();  // the caller's last error is not ours to change
    RegisterSource();
    InstallModule();
    bool ok = false;
    HANDLE h = RegisterEventSourceA(nullptr, kScmSource);
    if (h) {
        LPCSTR strings[2] = {service.c_str(), word};
        ok = ReportEventA(h, EVENTLOG_INFORMATION_TYPE, 0, kStateChangeEvent, nullptr, 2, 0, strings, nullptr);
        DeregisterEventSource(h);
    }
    SetLastError(savedError);
    return ok;
}

}  // namespace pal::service::detail
