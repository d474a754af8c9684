// taskctrl: the task controller stand-in. Runs as the service "taskctrl" (SIGTERM or
// "vqsc stop taskctrl" stops it): serves the job pipe of the framework processes and its
// control pipe, and keeps a journal of every record. See docs/taskctrl.md.
#include <mutex>

#include "pal/windows.h"
#include "standins/taskctrl/config.h"
#include "standins/taskctrl/controller.h"
#include "standins/taskctrl/journal.h"
#include "standins/standin_service.h"
#include "standins/taskctrl/log.h"

namespace {

constexpr char kServiceName[] = "taskctrl";

standin::ServiceFrame g_service("taskctrl");

void WINAPI ServiceMain(DWORD, LPSTR*) {
    if (!g_service.Begin(kServiceName, 10000)) return;
    taskctrl::Config config = taskctrl::ReadConfig();
    taskctrl::Journal journal;
    if (!journal.Open(config.journalPath, config.journalSize))
        taskctrl::Log("cannot open the journal %s; running without it", config.journalPath.c_str());
    {
        taskctrl::Controller controller(config, journal, g_service.stop);
        DWORD error = controller.Start();
        if (error != 0) {
            g_service.exitCode = error;
        } else {
            journal.Write("start " + config.jobPipe);
            g_service.Report(SERVICE_RUNNING);
            taskctrl::Log("running: pipe %s, control %s, journal %s", config.jobPipe.c_str(),
                          config.controlPipe.c_str(), config.journalPath.c_str());
            controller.Run();
            g_service.Report(SERVICE_STOP_PENDING, 10000);
            journal.Write("stop");
        }
    }
    journal.Close();
    taskctrl::Log(g_service.exitCode == NO_ERROR ? "stopped" : "not started (error %lu)",
                  static_cast<unsigned long>(g_service.exitCode));
    g_service.End();
}

}  // namespace

int main() {
    return g_service.Dispatch(kServiceName, ServiceMain);
}
