// The gatherer's service frame (see service.h).
//
// Threads: the dispatcher (main thread, runs the control handler), the service main
// (runs the body), and one thread per monitor. Status reports come from the handler and
// the body, so they are serialised by one lock. The body joins every monitor thread before
// it closes the trace and the stop event they use.
#include "gatherer/service.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "gatherer/biosversion.h"
#include "gatherer/cpusensor.h"
#include "gatherer/niclinkstatus.h"
#include "gatherer/rtcdevice.h"
#include "gatherer/samart.h"
#include "gatherer/serialno.h"
#include "gatherer/usbcheck.h"
#include "outside/dbgtrace/dbgtrace.h"

namespace mordane {

namespace {

struct MonitorStart {
    const char* label;  // thread label of the trace lines
    LPTHREAD_START_ROUTINE routine;
};

// The monitors in their start order; each new monitor is one line here.
const MonitorStart kMonitors[] = {
    {"SerialNo", &MonitorThread<CSerialNo>},
    {"CPUSensor", &MonitorThread<CCpuSensor>},
    {"Smart", &MonitorThread<CSamart>},
    {"NicLinkStatus", &MonitorThread<CNicLinkStatus>},
    {"BIOSversion", &MonitorThread<BIOSversion>},
    {"RTCInfo", &MonitorThread<CRtcDecice>},
    {"UsbCheck", &MonitorThread<CUSBcheck>},
};

constexpr DWORD kStartWaitHint = 3000;
constexpr DWORD kDefaultGraceMs = 10000;

std::mutex g_statusLock;
SERVICE_STATUS_HANDLE g_hStatus = nullptr;
SERVICE_STATUS g_status = {};
DWORD g_dwCheckPoint = 1;
DWORD g_dwRecordedError = 0;
HMODULE g_hInstance = nullptr;

BOOL ReportStatus(DWORD state, DWORD waitHint) {
    BOOL ok;
    {
        std::lock_guard<std::mutex> lock(g_statusLock);
        g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        g_status.dwCurrentState = state;
        g_status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
        g_status.dwWin32ExitCode = state == SERVICE_STOPPED ? g_dwRecordedError : NO_ERROR;
        g_status.dwServiceSpecificExitCode = 0;
        g_status.dwCheckPoint =
            (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : g_dwCheckPoint++;
        g_status.dwWaitHint = waitHint;
        ok = SetServiceStatus(g_hStatus, &g_status);
    }
    if (!ok) ReportServiceFailure("SetServiceStatus");
    return ok;
}

void ServiceBody() {
    ReportStatus(SERVICE_START_PENDING, kStartWaitHint);
    std::vector<HANDLE> threads;
    HANDLE stop = CreateServiceStopEvent();
    if (stop != nullptr && ReportStatus(SERVICE_START_PENDING, kStartWaitHint) &&
        ReportStatus(SERVICE_RUNNING, 0)) {
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        g_hInstance = GetModuleHandleA(nullptr);
        for (const MonitorStart& m : kMonitors) {
            DWORD id = 0;
            HANDLE thread = CreateThread(nullptr, 0, m.routine, const_cast<char*>(m.label), 0, &id);
            if (thread == nullptr) {
                Trace(m.label, "Startup failed.");
                continue;
            }
            threads.push_back(thread);
        }
        WaitForSingleObject(stop, INFINITE);
    }
    Sleep(GracePeriodMs());
    // The monitors use the trace handle and the stop event: they must all have ended
    // before either is closed.
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    DWORD trace = g_dwTraceHandle;
    g_dwTraceHandle = 0;
    CloseLogManager(trace);
    CloseServiceStopEvent();
}

}  // namespace

DWORD GracePeriodMs() {
    const char* text = std::getenv("VQ_MORDANE_GRACE_MS");
    if (text == nullptr || *text == '\0') return kDefaultGraceMs;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > 3600000ul) return kDefaultGraceMs;
    return static_cast<DWORD>(value);
}

void ReportServiceFailure(const char* step) {
    DWORD error = GetLastError();
    {
        std::lock_guard<std::mutex> lock(g_statusLock);
        g_dwRecordedError = error;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s error: %d", kServiceName, static_cast<int>(error));
    LPCSTR strings[2] = {text, step};
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) return;
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        ReportStatus(SERVICE_STOP_PENDING, 0);
        if (HANDLE stop = OpenStopEvent()) {
            SetEvent(stop);
            CloseHandle(stop);
        }
        ReportStatus(SERVICE_STOPPED, 0);
        return;
    }
    DWORD state, waitHint;
    {
        std::lock_guard<std::mutex> lock(g_statusLock);
        state = g_status.dwCurrentState;
        waitHint = g_status.dwWaitHint;
    }
    ReportStatus(state, waitHint);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_hStatus = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
    if (g_hStatus == nullptr) return;
    if (ReportStatus(SERVICE_START_PENDING, kStartWaitHint)) ServiceBody();
    ReportStatus(SERVICE_STOPPED, 0);
}

int RunService() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        ReportServiceFailure("StartServiceCtrlDispatcher failed.");
        return 1;
    }
    std::lock_guard<std::mutex> lock(g_statusLock);
    return g_dwRecordedError == 0 ? 0 : 1;
}

}  // namespace mordane
