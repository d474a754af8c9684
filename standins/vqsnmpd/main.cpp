// vqsnmpd: the SNMP service host. Runs as the service "SNMP" (SIGTERM or "vqsc stop SNMP"
// stops it); loads the extension agents and trap destinations from the registry at start
// and sends every trap the agents hand out. See docs/snmp-host.md.
#include <cstdlib>
#include <mutex>

#include "pal/windows.h"
#include "standins/vqsnmpd/config.h"
#include "standins/vqsnmpd/host.h"
#include "standins/vqsnmpd/log.h"
#include "standins/vqsnmpd/sender.h"

namespace {

constexpr char kServiceName[] = "SNMP";
constexpr DWORD kStartWaitHint = 30000;

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
        vqsnmpd::Log("SetServiceStatus failed (error %lu)", static_cast<unsigned long>(GetLastError()));
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
        vqsnmpd::Log("RegisterServiceCtrlHandler failed (error %lu)", static_cast<unsigned long>(GetLastError()));
        g_exitCode = GetLastError();
        return;
    }
    Report(SERVICE_START_PENDING, kStartWaitHint);
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_stop == nullptr) {
        g_exitCode = GetLastError();
        vqsnmpd::Log("cannot create the stop event (error %lu)", static_cast<unsigned long>(g_exitCode));
        Report(SERVICE_STOPPED);
        return;
    }
    vqsnmpd::Config config = vqsnmpd::ReadConfig();
    config.engineBoots = vqsnmpd::NextEngineBoots();
    for (const std::string& problem : config.problems) vqsnmpd::Log("configuration: %s", problem.c_str());
    {
        vqsnmpd::Sender sender;
        vqsnmpd::Host host;
        size_t sessions = sender.Open(config);
        Report(SERVICE_START_PENDING, kStartWaitHint);
        size_t agents = host.Load(config.agents);
        Report(SERVICE_RUNNING);
        vqsnmpd::Log("running: %zu agent(s), %zu destination(s)", agents, sessions);
        if (!host.Run(g_stop, sender)) g_exitCode = ERROR_GEN_FAILURE;
        Report(SERVICE_STOP_PENDING, 10000);
        host.Close();
        sender.Close();
    }
    CloseHandle(g_stop);
    vqsnmpd::Log("stopped");
    Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    // net-snmp would otherwise load (and complain about) MIB files the host never uses.
    // Set before any thread runs: setenv is not safe alongside other threads.
    setenv("MIBS", "", 1);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        vqsnmpd::Log("the service dispatcher failed (error %lu)", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return g_exitCode == NO_ERROR ? 0 : 1;
}
