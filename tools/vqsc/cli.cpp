#include "tools/vqsc/cli.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace vqsc {

namespace {

const char kUsage[] =
    "usage: vqsc query|stop|pause|continue|interrogate NAME\n"
    "       vqsc stop NAME --wait SECONDS\n"
    "Sends the control to the service NAME of this machine root ($VQ_ROOT) and prints\n"
    "its status. With --wait, stop also waits until the service's process has ended.\n";

std::string Hex(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

std::string TypeText(DWORD type) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", type);
    std::string t = buf;
    switch (type & ~SERVICE_INTERACTIVE_PROCESS) {
    case SERVICE_WIN32_OWN_PROCESS: t += "  WIN32_OWN_PROCESS"; break;
    case SERVICE_WIN32_SHARE_PROCESS: t += "  WIN32_SHARE_PROCESS"; break;
    default: t += "  UNKNOWN"; break;
    }
    if (type & SERVICE_INTERACTIVE_PROCESS) t += " (interactive)";
    return t;
}

bool ProcessGone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    // A zombie has ended; only its parent's wait is missing.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

int Fail(FILE* err, const std::string& name, DWORD error) {
    std::fprintf(err, "vqsc: %s: %s\n", name.c_str(), ErrorText(error).c_str());
    return 1;
}

}  // namespace

std::string FormatStatus(const std::string& name, const SERVICE_STATUS& s, pid_t pid) {
    std::string o = "SERVICE_NAME: " + name + "\n";
    o += "        TYPE               : " + TypeText(s.dwServiceType) + "\n";
    o += "        STATE              : " + std::to_string(s.dwCurrentState) + "  " +
         pal::service::StateName(s.dwCurrentState) + "\n";
    o += "                                (" + pal::service::ControlsAcceptedText(s.dwControlsAccepted) + ")\n";
    o += "        WIN32_EXIT_CODE    : " + std::to_string(s.dwWin32ExitCode) + "  (" + Hex(s.dwWin32ExitCode) + ")\n";
    o += "        SERVICE_EXIT_CODE  : " + std::to_string(s.dwServiceSpecificExitCode) + "  (" +
         Hex(s.dwServiceSpecificExitCode) + ")\n";
    o += "        CHECKPOINT         : " + Hex(s.dwCheckPoint) + "\n";
    o += "        WAIT_HINT          : " + Hex(s.dwWaitHint) + "\n";
    if (pid > 0) o += "        PID                : " + std::to_string(pid) + "\n";
    return o;
}

std::string ErrorText(DWORD error) {
    std::string text = pal::SystemMessageText(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    if (text.empty()) text = "error";
    // Lower-case the first word unless it is an abbreviation ("ACL", "ID").
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        !std::isupper(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text + " (" + std::to_string(error) + ")";
}

bool WaitForExit(pid_t pid, int timeoutMs) {
    if (pid <= 0) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        // Readable once the process has ended, whoever its parent is.
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            int n = poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (n < 0 && errno == EINTR) continue;
            close(fd);
            return n > 0;
        }
    }
    if (errno == ESRCH) return true;
    while (!ProcessGone(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

int Run(int argc, char** argv, FILE* out, FILE* err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, out);
        return 0;
    }
    auto usage = [&](const std::string& why) {
        std::fprintf(err, "vqsc: %s\n%s", why.c_str(), kUsage);
        return 2;
    };
    if (args.empty()) return usage("no command");
    DWORD control;
    if (!pal::service::ControlFromName(args[0], control)) return usage("unknown command '" + args[0] + "'");
    std::string name;
    int waitSeconds = -1;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--wait") {
            if (control != SERVICE_CONTROL_STOP) return usage("--wait goes with stop only");
            if (i + 1 >= args.size()) return usage("--wait needs a number of seconds");
            char* end = nullptr;
            long v = std::strtol(args[i + 1].c_str(), &end, 10);
            if (*end || end == args[i + 1].c_str() || v < 0 || v > 86400) return usage("bad --wait '" + args[i + 1] + "'");
            waitSeconds = static_cast<int>(v);
            ++i;
        } else if (name.empty() && !args[i].empty() && args[i][0] != '-') {
            name = args[i];
        } else {
            return usage("unexpected '" + args[i] + "'");
        }
    }
    if (name.empty()) return usage("no service name");

    SERVICE_STATUS status;
    DWORD error = NO_ERROR;
    pid_t pid = 0;
    bool ok = pal::service::SendControl(name, control, status, error, &pid);
    // Waiting for a service that is already on its way out is what the caller wants.
    bool stopping = error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                    (status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
    if (!ok && !(waitSeconds >= 0 && stopping)) return Fail(err, name, error);
    std::fputs(FormatStatus(name, status, pid).c_str(), out);
    std::fflush(out);
    if (waitSeconds >= 0 && !WaitForExit(pid, waitSeconds * 1000)) {
        std::fprintf(err, "vqsc: %s: the process %d has not ended within %d seconds (%d)\n", name.c_str(),
                     static_cast<int>(pid), waitSeconds, static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT));
        return 1;
    }
    return 0;
}

}  // namespace vqsc
