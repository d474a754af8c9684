#include "pal/core/root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace pal::core {

namespace {

std::string DefaultRoot() {
    if (geteuid() == 0) return "/var/lib/vq";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/vq";
}

std::string ComputeRoot() {
    const char* env = std::getenv("VQ_ROOT");
    std::string root = (env && *env) ? env : DefaultRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    MakeDirs(root);
    return root;
}

}  // namespace

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty()) continue;
        if (mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const std::string& RootDir() {
    static const std::string root = ComputeRoot();
    return root;
}

const std::string& StateDir() {
    static const std::string dir = [] {
        std::string d = RootDir() + "/.vq";
        MakeDirs(d);
        return d;
    }();
    return dir;
}

}  // namespace pal::core
