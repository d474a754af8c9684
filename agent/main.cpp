// corvane: the agent service "FW NORVIK". The entry routine sets the locale and hands the
// process to the service dispatcher; the service main starts the process core of the
// application object, reports progress, and runs the ordered shutdown; the control
// handler turns service controls into framework messages.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "agent/thdmsgapp.h"
#include "framework/apllog.h"
#include "framework/registory.h"
#include "framework/vqbexception.h"
#include "pal/windows.h"

namespace {

char g_szServiceName[23] = "";
SERVICE_STATUS g_ServiceStatus = {};
SERVICE_STATUS_HANDLE g_hServiceStatus = nullptr;
HANDLE g_hServiceStopEvent = nullptr;
HANDLE g_hMsgThread = nullptr;
DWORD g_dwLastError = 0;
// The handler and the service thread both report; one lock keeps the record whole.
std::recursive_mutex g_StatusLock;

constexpr DWORD kStopWaitMs = 15000;
constexpr DWORD kThreadWaitMs = 2000;

void Log(WORD code, const char* function, const char* text, LONG level) {
    CAplLog::Write(code, 0, 0, function, text, level);
}

void ReportServiceError(const char* text);

BOOL ReportServiceStatus(DWORD state, DWORD win32Exit, DWORD specificExit, DWORD checkPoint, DWORD waitHint) {
    BOOL ok;
    {
        std::lock_guard<std::recursive_mutex> lock(g_StatusLock);
        g_ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        g_ServiceStatus.dwControlsAccepted =
            state == SERVICE_START_PENDING
                ? 0
                : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
        g_ServiceStatus.dwCurrentState = state;
        g_ServiceStatus.dwWin32ExitCode = win32Exit;
        g_ServiceStatus.dwServiceSpecificExitCode = specificExit;
        g_ServiceStatus.dwCheckPoint = checkPoint;
        g_ServiceStatus.dwWaitHint = waitHint;
        ok = SetServiceStatus(g_hServiceStatus, &g_ServiceStatus);
    }
    if (!ok) ReportServiceError("SetServiceStatus");
    return ok;
}

DWORD CurrentState() {
    std::lock_guard<std::recursive_mutex> lock(g_StatusLock);
    return g_ServiceStatus.dwCurrentState;
}

void ReportServiceError(const char* text) {
    g_dwLastError = GetLastError();
    HANDLE source = RegisterEventSourceA(nullptr, g_szServiceName);
    char line[96];
    std::snprintf(line, sizeof line, "%s error: %d", g_szServiceName, static_cast<int>(g_dwLastError));
    if (source) {
        const char* strings[2] = {line, text};
        ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
        DeregisterEventSource(source);
    }
    if (g_hServiceStopEvent) SetEvent(g_hServiceStopEvent);
}

void StopControl() {
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, 1, 3000);
    // Ends the waits that do not read messages (the start-up wait for the SNMP service)
    // at once; the stop message then ends the loop.
    CVQBException::SetStopSignal();
    VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, kStopWaitMs);
    if (g_hServiceStopEvent) SetEvent(g_hServiceStopEvent);
}

void WINAPI service_ctrl(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP: StopControl(); return;
    case SERVICE_CONTROL_SHUTDOWN:
        Log(0, "::service_ctrl", "Received SERVICE_CONTROL_SHUTDOWN", 3);
        StopControl();
        return;
    case SERVICE_CONTROL_PAUSE:
        if (CurrentState() == SERVICE_RUNNING) {
            VQBThdPostMsg(VQBMSG_PROCESS_PAUSE, 0, 0);
            ReportServiceStatus(SERVICE_PAUSED, 0, 0, 0, 0);
        } else {
            ReportServiceStatus(CurrentState(), 0, 0, 0, 0);
        }
        return;
    case SERVICE_CONTROL_CONTINUE:
        if (CurrentState() == SERVICE_PAUSED) VQBThdPostMsg(VQBMSG_PROCESS_CONTINUE, 0, 0);
        ReportServiceStatus(CurrentState() == SERVICE_PAUSED ? SERVICE_RUNNING : CurrentState(), 0, 0, 0, 0);
        return;
    default: {
        // Re-report what is true: a paused service reported as running would refuse its
        // continue and answer every request busy.
        std::lock_guard<std::recursive_mutex> lock(g_StatusLock);
        SetServiceStatus(g_hServiceStatus, &g_ServiceStatus);
        return;
    }
    }
}

void WINAPI service_main(DWORD, LPSTR*) {
    DWORD win32Exit = 0, specificExit = 0;
    CVQBThdMsg* app = nullptr;
    bool registered = false;
    try {
        g_hServiceStatus = RegisterServiceCtrlHandlerA(g_szServiceName, service_ctrl);
        registered = g_hServiceStatus != nullptr;
        if (registered && ReportServiceStatus(SERVICE_START_PENDING, 0, 0, 1, 3000) &&
            (g_hServiceStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr)) != nullptr &&
            ReportServiceStatus(SERVICE_START_PENDING, 0, 0, 2, 10000)) {
            app = CVQBThdMsg::GetVQBThdMsg();
            if (!app) {
                win32Exit = ERROR_SERVICE_SPECIFIC_ERROR;
                specificExit = 1;
                ReportServiceError("Error int ThreadMessageProcedure create.");
            } else if (!(g_hMsgThread = app->Main(&g_hServiceStopEvent))) {
                win32Exit = ERROR_SERVICE_SPECIFIC_ERROR;
                specificExit = 2;
                ReportServiceError("Error int ThreadMessageProcedure Main.");
            } else if (ReportServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0)) {
                WaitForSingleObject(g_hServiceStopEvent, INFINITE);
                ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, 2, 3000);
                Log(0, "::service_main", "Service goes to end.", 3);
                bool ended = false;
                DWORD checkPoint = 3;
                for (; checkPoint <= 7 && !ended; ++checkPoint) {
                    ended = WaitForSingleObject(g_hMsgThread, kThreadWaitMs) == WAIT_OBJECT_0;
                    if (!ended) ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, checkPoint, 3000);
                }
                if (!ended) {
                    Log(7000, "::service_main", "End demand was not completed.", 2);
                    // The object may only go once its threads no longer use it: keep
                    // waiting, and keep telling the service manager so.
                    while (WaitForSingleObject(g_hMsgThread, kThreadWaitMs) != WAIT_OBJECT_0)
                        ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, ++checkPoint, 3000);
                }
            }
        }
        if (registered) ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, 9, 3000);
        if (g_hServiceStopEvent) {
            CloseHandle(g_hServiceStopEvent);
            g_hServiceStopEvent = nullptr;
        }
        if (registered) ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, 10, 5000);
        if (app) {
            app->CloseProc();
            if (registered) ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0, 11, 3000);
            delete app;
            Log(0, "::service_main", "It deleted ThreadMessageProcedureObject", 3);
        }
        if (g_hMsgThread) CloseHandle(g_hMsgThread);
        g_hMsgThread = nullptr;
        if (registered) ReportServiceStatus(SERVICE_STOPPED, win32Exit, specificExit, 1, 0);
        Log(0, "::service_main", "End process", 0);
    } catch (...) {
        HANDLE source = RegisterEventSourceA(nullptr, g_szServiceName);
        if (source) {
            const char* strings[1] = {"exception occures on cleanup."};
            ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
            DeregisterEventSource(source);
        }
        if (registered) ReportServiceStatus(SERVICE_STOPPED, win32Exit, specificExit, 1, 0);
    }
}

void SetLocale() {
    CRegistory key;
    std::string country;
    long value = 0;
    if (key.Open(HKEY_USERS, ".DEFAULT\\Control Panel\\International", KEY_READ | KEY_WRITE) &&
        key.Read("iCountry", country))
        value = std::strtol(country.c_str(), nullptr, 10);
    if (value != 81) return;
    // Linux spells the Japanese locale differently; the first one installed wins.
    for (const char* name : {"Japanese", "ja_JP.SJIS", "ja_JP.UTF-8", "ja_JP.utf8", "ja_JP"})
        if (std::setlocale(LC_ALL, name)) break;
    setenv("TZ", "JST-9", 1);
    tzset();
}

}  // namespace

int main() {
    // The one process object, made before the service starts, as the framework expects.
    CVQBThdMsg* app = new CVQBThdMsgApp();
    SERVICE_TABLE_ENTRYA table[] = {{g_szServiceName, service_main}, {nullptr, nullptr}};
    SetLocale();
    std::snprintf(g_szServiceName, sizeof g_szServiceName, "%s", app->GetServiceName());
    if (!StartServiceCtrlDispatcherA(table)) {
        char text[96];
        std::snprintf(text, sizeof text, "StartServiceCtrlDispatcher failed. %d ", static_cast<int>(GetLastError()));
        ReportServiceError(text);
    }
    Log(0, "::main", "End process", 0);
    // A dispatcher that never ran service_main leaves the object to us.
    if (CVQBThdMsg::GetVQBThdMsg() == app && CVQBThdMsg::m_fRun.load() == VQB_RUN_CONSTRUCTED) delete app;
    CAplLog::Close();
    return 0;
}
