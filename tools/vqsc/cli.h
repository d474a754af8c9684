// vqsc: query, stop, pause, continue and interrogate a service over its control socket.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "pal/service/service.h"

namespace vqsc {

// Runs one command line; returns the exit status (0 done, 1 failed, 2 bad usage).
int Run(int argc, char** argv, FILE* out, FILE* err);

// The status block `vqsc query` prints.
std::string FormatStatus(const std::string& name, const SERVICE_STATUS& status, pid_t pid);

// "the service has not been started (1062)": the system text, as a clause.
std::string ErrorText(DWORD error);

// Waits until the process has ended (a zombie counts as ended); false after timeoutMs.
bool WaitForExit(pid_t pid, int timeoutMs);

}  // namespace vqsc
