// taskctrl: the task controller stand-in. Runs as the service "taskctrl" (SIGTERM or
// "vqsc stop taskctrl" stops it): serves the job pipe of the framework processes and its
// control pipe, and keeps a journal of every record. See docs/taskctrl.md.
#include <mutex>

#include "pal/windows.h"
#include "standins/taskctrl/config.h"
#include "standins/taskctrl/controller.h"
#include "standins/taskctrl/journal.h"
#include "standins/taskctrl/log.h"

namespace {

constexpr char kServiceName[] = "taskctrl";

std::mutex g_statusLock;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stop = nullptr;
DWORD g_exitCode = NO_ERROR;

void Report(DWORD state, DWORD waitHint = 0) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWin32ExitCode = state == SERVICE_STOPPED ? g_exitCode : NO_ERROR;
    g_status.dwCheckPoint = (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
                                ? g_status.dwCheckPoint + 1
                                : 0;
    g_status.dwWaitHint = waitHint;
    if (!SetServiceStatus(g_statusHandle, &g_status))
        taskctrl::Log("SetServiceStatus failed (error %lu)", static_cast<unsigned long>(GetLastError()));
}

void WINAPI Handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING, 10000);
        SetEvent(g_stop);
        return;
    }
    DWORD state;
    {
        std::lock_guard<std::mutex> lock(g_statusLock);
        state = g_status.dwCurrentState;
    }
    Report(state);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerA(kServiceName, Handler);
    if (g_statusHandle == nullptr) {
        g_exitCode = GetLastError();
        taskctrl::Log("RegisterServiceCtrlHandler failed (error %lu)", static_cast<unsigned long>(g_exitCode));
        return;
    }
    Report(SERVICE_START_PENDING, 10000);
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_stop == nullptr) {
        g_exitCode = GetLastError();
        taskctrl::Log("cannot create the stop event (error %lu)", static_cast<unsigned long>(g_exitCode));
        Report(SERVICE_STOPPED);
        return;
    }
    taskctrl::Config config = taskctrl::ReadConfig();
    taskctrl::Journal journal;
    if (!journal.Open(config.journalPath, config.journalSize))
        taskctrl::Log("cannot open the journal %s; running without it", config.journalPath.c_str());
    {
        taskctrl::Controller controller(config, journal, g_stop);
        DWORD error = controller.Start();
        if (error != 0) {
            g_exitCode = error;
        } else {
            journal.Write("start " + config.jobPipe);
            Report(SERVICE_RUNNING);
            taskctrl::Log("running: pipe %s, control %s, journal %s", config.jobPipe.c_str(),
                          config.controlPipe.c_str(), config.journalPath.c_str());
            controller.Run();
            Report(SERVICE_STOP_PENDING, 10000);
            journal.Write("stop");
        }
    }
    journal.Close();
    CloseHandle(g_stop);
    taskctrl::Log(g_exitCode == NO_ERROR ? "stopped" : "not started (error %lu)",
                  static_cast<unsigned long>(g_exitCode));
    Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING)
            taskctrl::Log("already running on this machine root (error %lu)", static_cast<unsigned long>(error));
        else
            taskctrl::Log("the service dispatcher failed (error %lu)", static_cast<unsigned long>(error));
        return 1;
    }
    return g_exitCode == NO_ERROR ? 0 : 1;
}
