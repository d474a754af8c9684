#include "pal/file/path.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <mutex>
#include <vector>

#include "pal/core/root.h"

namespace pal {

namespace {

// The entry of dir whose name equals name ignoring case; exact spelling wins.
std::string MatchComponent(const std::string& dir, const std::string& name, bool& found) {
    struct stat st{};
    std::string exact = dir + "/" + name;
    if (lstat(exact.c_str(), &st) == 0) {
        found = true;
        return name;
    }
    found = false;
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return name;
    std::string match = name;
    while (dirent* e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0) {
            match = e->d_name;
            found = true;
            break;
        }
    }
    closedir(d);
    return match;
}

// The drive's directory under the machine root. C:, the system drive, always exists: it
// is made on first use. Another drive exists when its directory does; mapping a path never
// makes one, so a command that only looks at "Q:\..." changes nothing.
std::string DriveDir(char letter) {
    static std::mutex mutex;
    static bool madeC = false;
    letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    std::string dir = core::RootDir() + "/drive_" + letter;
    if (letter == 'c') {
        std::lock_guard<std::mutex> lock(mutex);
        if (!madeC) madeC = core::MakeDirs(dir);
    }
    return dir;
}

// The file system drops trailing dots and blanks of a component ("name. " is "name").
std::string TrimComponent(std::string c) {
    if (c == "." || c == "..") return c;
    while (!c.empty() && (c.back() == '.' || c.back() == ' ')) c.pop_back();
    return c;
}

}  // namespace

bool IsDevicePath(const char* path, std::string& name, std::string* server) {
    if (!path || path[0] != '\\' || path[1] != '\\') return false;
    const std::string p = path;
    if (p.rfind("\\\\.\\", 0) == 0) {
        name = p.substr(4);
        if (server) *server = ".";
        return true;
    }
    // "\\SERVER\PIPE\..." (other UNC paths stay file paths; "\\?\" is the long-path prefix).
    const size_t slash = p.find('\\', 2);
    if (slash == std::string::npos || slash == 2 || p.compare(2, slash - 2, "?") == 0) return false;
    if (p.size() < slash + 6 || strncasecmp(p.c_str() + slash + 1, "PIPE\\", 5) != 0) return false;
    name = p.substr(slash + 1);
    if (server) *server = p.substr(2, slash - 2);
    return true;
}

std::string MapPath(const char* path) {
    if (!path || !*path) return "";
    std::string p = path;
    if (p.rfind("\\\\?\\", 0) == 0) p.erase(0, 4);  // long-path prefix
    std::string base;
    size_t start = 0;
    if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        base = DriveDir(p[0]);
        start = 2;
    } else if (p[0] == '\\') {
        base = DriveDir('c');
    } else if (p[0] == '/') {
        base = "";
    } else {
        char cwd[4096];
        base = getcwd(cwd, sizeof cwd) ? cwd : ".";
        if (base == "/") base = "";
    }

    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = start; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '\\' || p[i] == '/') {
            if (start == 2 || p[0] == '\\') cur = TrimComponent(cur);
            if (cur == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!cur.empty() && cur != ".") {
                parts.push_back(cur);
            }
            cur.clear();
        } else {
            cur += p[i];
        }
    }
    std::string out = base;
    bool exists = true;
    for (const auto& part : parts) {
        if (exists) {
            bool found = false;
            out += "/" + MatchComponent(out, part, found);
            exists = found;
        } else {
            out += "/" + part;
        }
    }
    if (out.empty()) out = "/";
    return out;
}

}  // namespace pal
