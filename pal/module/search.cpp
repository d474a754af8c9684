#include "pal/module/search.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "pal/file/path.h"

namespace pal::module {

namespace {

bool EndsWithNoCase(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool IsSharedObjectName(const std::string& file) {
    return (file.size() > 3 && file.compare(file.size() - 3, 3, ".so") == 0) || file.find(".so.") != std::string::npos;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsRegularFile(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash ? slash : 1);
}

// The identity bytes of an ELF header: class, byte order, type and machine.
struct ElfId {
    unsigned char cls = 0, data = 0;
    uint16_t type = 0, machine = 0;
};

bool ReadElfId(const char* path, ElfId& id) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char h[EI_NIDENT + 4] = {};
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0) return false;
    id.cls = h[EI_CLASS];
    id.data = h[EI_DATA];
    // e_type and e_machine follow e_ident in both classes, in the file's byte order.
    auto half = [&](int at) {
        return id.data == ELFDATA2MSB ? static_cast<uint16_t>(h[at] << 8 | h[at + 1])
                                      : static_cast<uint16_t>(h[at + 1] << 8 | h[at]);
    };
    id.type = half(EI_NIDENT);
    id.machine = half(EI_NIDENT + 2);
    return true;
}

}  // namespace

bool SameFileName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

LibraryName ParseLibraryName(const std::string& name) {
    LibraryName out;
    size_t slash = name.find_last_of("\\/");
    std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string dir;
    if (slash != std::string::npos) {
        dir = name.substr(0, slash ? slash : 1);
    } else if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
        dir = name.substr(0, 2);  // "C:x.dll"
        file = name.substr(2);
    }
    if (dir.size() == 2 && dir[1] == ':') dir += "\\";  // the drive's root
    if (!dir.empty()) out.dir = MapPath(dir.c_str());

    if (IsSharedObjectName(file)) {
        out.files = {file};
        out.system = {file};
        return out;
    }
    // The system's rule: no extension means ".dll", a trailing dot means none at all.
    std::string stem = file;
    bool hasExtension = false;
    if (EndsWithNoCase(stem, ".dll")) {
        stem.resize(stem.size() - 4);
        hasExtension = true;
    } else if (!stem.empty() && stem.back() == '.') {
        stem.pop_back();
    } else {
        hasExtension = stem.find('.') != std::string::npos;
    }
    std::string so = "lib" + stem + ".so";
    out.files.push_back(so);
    if (hasExtension && file != so) out.files.push_back(file);
    out.system.push_back(so);
    // Shared objects are conventionally named in lower case; the system search cannot
    // match case-insensitively, so try that spelling too.
    std::string lower = "lib" + Lower(stem) + ".so";
    if (lower != so) out.system.push_back(lower);
    return out;
}

std::vector<std::string> SearchDirectories(const LibraryName& name) {
    std::vector<std::string> dirs;
    if (!name.dir.empty()) dirs.push_back(name.dir);
    if (const char* env = std::getenv("VQ_LIBRARY_PATH")) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            size_t colon = list.find(':', start);
            if (colon == std::string::npos) colon = list.size();
            if (colon > start) dirs.push_back(list.substr(start, colon - start));
            start = colon + 1;
        }
    }
    static const std::string exeDir = ExecutableDir();
    if (!exeDir.empty()) {
        dirs.push_back(exeDir);
        size_t slash = exeDir.rfind('/');
        // The executable's path is a real path, so its lexical parent is ../ on disk.
        if (slash != std::string::npos) dirs.push_back(exeDir.substr(0, slash) + "/lib");
    }
    // Relative directories are taken from the current directory, and reported absolute.
    char cwd[4096];
    for (auto& d : dirs)
        if (d[0] != '/' && getcwd(cwd, sizeof cwd)) d = std::string(cwd) + "/" + d;
    return dirs;
}

std::string FindInDirectory(const std::string& dir, const std::vector<std::string>& files) {
    for (const auto& file : files) {
        std::string exact = dir + "/" + file;
        if (IsRegularFile(exact)) return exact;
        DIR* d = opendir(dir.c_str());
        if (!d) return "";
        std::string match;
        while (dirent* e = readdir(d)) {
            if (SameFileName(e->d_name, file) && IsRegularFile(dir + "/" + e->d_name)) {
                match = dir + "/" + e->d_name;
                break;
            }
        }
        closedir(d);
        if (!match.empty()) return match;
    }
    return "";
}

bool IsSharedObjectForThisMachine(const std::string& path) {
    static const ElfId self = [] {
        ElfId id;
        ReadElfId("/proc/self/exe", id);
        return id;
    }();
    ElfId id;
    if (!ReadElfId(path.c_str(), id)) return false;
    return id.cls == self.cls && id.data == self.data && id.machine == self.machine && id.type == ET_DYN;
}

}  // namespace pal::module
