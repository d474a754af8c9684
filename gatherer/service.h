// The gatherer's service frame: the dispatcher entry, the service main, the control
// handler, the service body that starts the monitors, and the failure record written when
// a service control call fails.
#pragma once

#include "gatherer/monitor.h"

namespace mordane {

// The process entry: runs the dispatcher until the service main returned. Returns the
// process exit status (0, or 1 after a failure of the service control calls).
int RunService();

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

// Writes the service failure record (identifier 0, error type, strings "Mordane error: N"
// and step) after recording the calling thread's last error as the exit code of the next
// stopped report.
void ReportServiceFailure(const char* step);

// How long the service body lets the monitors finish after the stop event: 10000 ms, or
// VQ_MORDANE_GRACE_MS when set (a test setting).
DWORD GracePeriodMs();

// A monitor's thread: construct, Initialize (trace "<label>: Initialize failed." and end
// when it fails), Process, destroy.
template <class TMonitor>
DWORD WINAPI MonitorThread(LPVOID label) {
    TMonitor monitor;
    if (monitor.Initialize() != 0) {
        Trace(static_cast<const char*>(label), "Initialize failed.");
        return 0;
    }
    monitor.Process();
    return 0;
}

}  // namespace mordane
