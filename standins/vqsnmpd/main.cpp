// vqsnmpd: the SNMP service host. Runs as the service "SNMP" (SIGTERM or "vqsc stop SNMP"
// stops it); loads the extension agents and trap destinations from the registry at start
// and sends every trap the agents hand out. See docs/snmp-host.md.
#include <cstdlib>
#include <mutex>

#include "pal/windows.h"
#include "standins/vqsnmpd/config.h"
#include "standins/vqsnmpd/host.h"
#include "standins/standin_service.h"
#include "standins/vqsnmpd/log.h"
#include "standins/vqsnmpd/sender.h"

namespace {

constexpr char kServiceName[] = "SNMP";
constexpr DWORD kStartWaitHint = 30000;

standin::ServiceFrame g_service("vqsnmpd");

void WINAPI ServiceMain(DWORD, LPSTR*) {
    if (!g_service.Begin(kServiceName, kStartWaitHint)) return;
    vqsnmpd::Config config = vqsnmpd::ReadConfig();
    config.engineBoots = vqsnmpd::NextEngineBoots();
    for (const std::string& problem : config.problems) vqsnmpd::Log("configuration: %s", problem.c_str());
    {
        vqsnmpd::Sender sender;
        vqsnmpd::Host host;
        size_t sessions = sender.Open(config);
        g_service.Report(SERVICE_START_PENDING, kStartWaitHint);
        size_t agents = host.Load(config.agents);
        g_service.Report(SERVICE_RUNNING);
        vqsnmpd::Log("running: %zu agent(s), %zu destination(s)", agents, sessions);
        if (!host.Run(g_service.stop, sender)) g_service.exitCode = ERROR_GEN_FAILURE;
        g_service.Report(SERVICE_STOP_PENDING, 10000);
        host.Close();
        sender.Close();
    }
    vqsnmpd::Log("stopped");
    g_service.End();
}

}  // namespace

int main() {
    // net-snmp would otherwise load (and complain about) MIB files the host never uses.
    // Set before any thread runs: setenv is not safe alongside other threads.
    setenv("MIBS", "", 1);
    return g_service.Dispatch(kServiceName, ServiceMain);
}
