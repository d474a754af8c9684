#include "pal/pipe/names.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pal/core/root.h"
#include "pal/file/path.h"
#include "pal/thread/thread.h"

namespace pal::pipe {

namespace {

constexpr size_t kMaxFileName = 200;  // leaves room for the suffix under NAME_MAX

std::string Escape(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        c = static_cast<unsigned char>(std::tolower(c));
        if (std::isalnum(c) || c == '_' || c == '-' || (c == '.' && !out.empty())) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string Hashed(const std::string& name) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the lower-case name
    for (unsigned char c : name) {
        h ^= static_cast<unsigned char>(std::tolower(c));
        h *= 1099511628211ull;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%%h%016llx", static_cast<unsigned long long>(h));
    return buf;
}

const std::string& PipeDir() {
    static const std::string dir = [] {
        std::string d = core::StateDir() + "/pipes";
        core::MakeDirs(d);
        return d;
    }();
    return dir;
}

int AtPath(int fd, const std::string& path, bool bind) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    auto call = [&](const std::string& p) {
        std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
        auto* a = reinterpret_cast<sockaddr*>(&addr);
        return bind ? ::bind(fd, a, sizeof addr) : ::connect(fd, a, sizeof addr);
    };
    if (path.size() < sizeof addr.sun_path) return call(path);
    // Too long for an address: go through an open descriptor of the directory.
    const size_t slash = path.rfind('/');
    int dir = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    const std::string shortPath = "/proc/self/fd/" + std::to_string(dir) + path.substr(slash);
    int r = -1;
    if (shortPath.size() < sizeof addr.sun_path)
        r = call(shortPath);
    else
        errno = ENAMETOOLONG;
    const int err = errno;
    close(dir);
    errno = err;
    return r;
}

}  // namespace

bool SplitPipePath(const char* path, std::string& server, std::string& name) {
    std::string device;
    if (!IsDevicePath(path, device, &server)) return false;
    if (device.size() <= 5 || strncasecmp(device.c_str(), "PIPE\\", 5) != 0) return false;
    name = device.substr(5);
    return true;
}

bool IsLocalServer(const std::string& server) {
    if (server == ".") return true;
    char me[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof me;
    return GetComputerNameA(me, &size) && strcasecmp(me, server.c_str()) == 0;
}

PipeFiles FilesOf(const std::string& name) {
    const std::string& dir = PipeDir();
    std::string base = Escape(name);
    if (base.size() > kMaxFileName || dir.size() + 1 + base.size() + 5 >= sizeof(sockaddr_un{}.sun_path))
        base = Hashed(name);
    return {dir + "/" + base + ".sock", dir + "/" + base + ".lock"};
}

int ConnectPath(int fd, const std::string& path) { return AtPath(fd, path, false); }

int BindPath(int fd, const std::string& path) { return AtPath(fd, path, true); }

}  // namespace pal::pipe
