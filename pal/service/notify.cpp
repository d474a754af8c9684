// sd_notify without libsystemd: one datagram of newline-separated assignments.
#include "pal/service/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace pal::service::detail {

namespace {

bool Pending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

std::string StateText(DWORD state) {
    std::string t = StateName(state);
    for (auto& c : t) c = c == '_' ? ' ' : static_cast<char>(c + ('a' - 'A') * (c >= 'A' && c <= 'Z'));
    return t;
}

}  // namespace

std::string NotifyMessage(const std::string& name, const SERVICE_STATUS& s, bool firstRunning, bool firstStopping) {
    std::string m;
    if (firstRunning) m += "READY=1\n";
    if (firstStopping) m += "STOPPING=1\n";
    m += "STATUS=" + name + ": " + StateText(s.dwCurrentState);
    if (Pending(s.dwCurrentState) && s.dwCheckPoint) m += " (checkpoint " + std::to_string(s.dwCheckPoint) + ")";
    if (s.dwCurrentState == SERVICE_STOPPED && s.dwWin32ExitCode) {
        m += " (exit code " + std::to_string(s.dwWin32ExitCode);
        if (s.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
            m += ", service code " + std::to_string(s.dwServiceSpecificExitCode);
        m += ")";
    }
    m += "\n";
    // The manager's start and stop time-outs follow the service's own estimate.
    if (Pending(s.dwCurrentState) && s.dwWaitHint)
        m += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<unsigned long long>(s.dwWaitHint) * 1000) + "\n";
    return m;
}

bool Notify(const std::string& message) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !*path) return false;
    size_t n = std::strlen(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if ((path[0] != '/' && path[0] != '@') || n >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path, n);
    if (path[0] == '@') addr.sun_path[0] = '\0';
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (path[0] == '/' ? 1 : 0));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len) ==
              static_cast<ssize_t>(message.size());
    close(fd);
    return ok;
}

}  // namespace pal::service::detail
