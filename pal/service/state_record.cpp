// Service state records in the System log. Readers (vqevent, the agent, the tray monitor)
// find their text through the source's EventMessageFile, so the source and its module are
// put in place on first use, like the built-in registrations of the platform.
#include "pal/service/state_record.h"

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/source_setup.h"
#include "pal/service/service.h"

namespace pal::service::detail {

namespace {

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
    pal::eventlog::RegisterSourceIfMissing("System", kScmSource, kModuleName);
    pal::eventlog::InstallMessageModuleIfMissing(kModuleFile, kModuleText);
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
