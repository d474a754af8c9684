// The control socket's format and the client side of it.
#include "pal/service/wire.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "pal/core/root.h"

namespace pal::service {

namespace detail {

std::string Key(const std::string& name) {
    std::string k = name;
    for (auto& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 256 || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    return true;
}

std::string ServicesDir() {
    std::string dir = pal::core::StateDir() + "/services";
    pal::core::MakeDirs(dir);
    return dir;
}

std::string LockPath(const std::string& name) { return ServicesDir() + "/" + Key(name) + ".lock"; }

void MakeAddress(const std::string& path, sockaddr_un& addr, socklen_t& len) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, path.data(), path.size());
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        return;
    }
    // FNV-1a of the whole path: the same on both ends, and distinct per machine root.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : path) h = (h ^ c) * 1099511628211ull;
    char name[64];
    int n = std::snprintf(name, sizeof name, "vq.service.%016llx", static_cast<unsigned long long>(h));
    std::memcpy(addr.sun_path + 1, name, static_cast<size_t>(n));
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

const char* ControlWord(DWORD control) {
    switch (control) {
    case kQuery: return "query";
    case SERVICE_CONTROL_STOP: return "stop";
    case SERVICE_CONTROL_PAUSE: return "pause";
    case SERVICE_CONTROL_CONTINUE: return "continue";
    case SERVICE_CONTROL_INTERROGATE: return "interrogate";
    default: return nullptr;
    }
}

std::string EncodeReply(DWORD error, const SERVICE_STATUS& s, pid_t pid) {
    std::ostringstream o;
    o << error << ' ' << s.dwServiceType << ' ' << s.dwCurrentState << ' ' << s.dwControlsAccepted << ' '
      << s.dwWin32ExitCode << ' ' << s.dwServiceSpecificExitCode << ' ' << s.dwCheckPoint << ' ' << s.dwWaitHint
      << ' ' << pid << '\n';
    return o.str();
}

bool ParseReply(const std::string& line, DWORD& error, SERVICE_STATUS& s, pid_t& pid) {
    unsigned long v[9];
    const char* p = line.c_str();
    for (auto& x : v) {
        char* end = nullptr;
        while (*p == ' ') ++p;
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        errno = 0;
        x = std::strtoul(p, &end, 10);
        if (errno != 0 || x > 0xFFFFFFFFul) return false;
        p = end;
    }
    while (*p == ' ' || *p == '\n' || *p == '\r') ++p;
    if (*p) return false;
    error = static_cast<DWORD>(v[0]);
    s = {static_cast<DWORD>(v[1]), static_cast<DWORD>(v[2]), static_cast<DWORD>(v[3]), static_cast<DWORD>(v[4]),
         static_cast<DWORD>(v[5]), static_cast<DWORD>(v[6]), static_cast<DWORD>(v[7])};
    pid = static_cast<pid_t>(v[8]);
    return true;
}

}  // namespace detail

std::string ControlSocketPath(const std::string& name) { return detail::ServicesDir() + "/" + detail::Key(name) + ".sock"; }

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

bool SendControl(const std::string& name, DWORD control, SERVICE_STATUS& status, DWORD& error, pid_t* pid,
                 int timeoutMs) {
    status = {};
    if (pid) *pid = 0;
    const char* word = detail::ControlWord(control);
    if (!detail::ValidName(name)) {
        error = ERROR_INVALID_NAME;
        return false;
    }
    if (!word) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    Fd s{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) {
        error = ErrorFromErrno(errno);
        return false;
    }
    sockaddr_un addr;
    socklen_t len;
    detail::MakeAddress(ControlSocketPath(name), addr, len);
    int rc;
    while ((rc = connect(s.fd, reinterpret_cast<sockaddr*>(&addr), len)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        // No socket, or one left by a process that is gone: nobody serves this name.
        error = (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) ? ERROR_SERVICE_NOT_ACTIVE
                                                                              : ErrorFromErrno(errno);
        return false;
    }
    std::string request = std::string(word) + "\n";
    if (send(s.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        error = ERROR_SERVICE_NOT_ACTIVE;
        return false;
    }
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ERROR_SERVICE_REQUEST_TIMEOUT;
            return false;
        }
        pollfd p{s.fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) continue;
        char buf[256];
        ssize_t got = n > 0 ? read(s.fd, buf, sizeof buf) : -1;
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || line.size() > 1024) {
            // The process went away before it answered.
            error = ERROR_SERVICE_NOT_ACTIVE;
            return false;
        }
        line.append(buf, static_cast<size_t>(got));
    }
    pid_t servicePid = 0;
    if (!detail::ParseReply(line.substr(0, line.find('\n')), error, status, servicePid)) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    if (pid) *pid = servicePid;
    return error == NO_ERROR;
}

const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
    }
}

std::string ControlsAcceptedText(DWORD accepted) {
    std::string t = (accepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE";
    t += (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? ", PAUSABLE" : ", NOT_PAUSABLE";
    t += (accepted & SERVICE_ACCEPT_SHUTDOWN) ? ", ACCEPTS_SHUTDOWN" : ", IGNORES_SHUTDOWN";
    return t;
}

bool ControlFromName(const std::string& word, DWORD& control) {
    for (DWORD c : {kQuery, SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                    SERVICE_CONTROL_INTERROGATE}) {
        if (detail::Key(word) == detail::ControlWord(c)) {
            control = c;
            return true;
        }
    }
    return false;
}

}  // namespace pal::service
