// The loader keeps a table of the HMODULEs it handed out (and how many loads each
// carries), so a stale or foreign value is refused instead of reaching dlsym or dlinfo.
// The table's lock is never held across a dl* call: a library's constructor may call back
// into LoadLibrary or GetProcAddress while the system loader holds its own lock.
#include "pal/module/module.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pal/error/error.h"
#include "pal/file/path.h"
#include "pal/module/message_table.h"
#include "pal/module/search.h"

namespace {

struct ModuleTable {
    std::mutex mutex;
    std::map<void*, unsigned> loads;  // handle -> LoadLibrary calls not yet freed
    void* main = nullptr;
};

ModuleTable& Modules() {
    static ModuleTable* table = [] {
        auto* t = new ModuleTable();  // outlives static destructors that free libraries
        t->main = dlopen(nullptr, RTLD_NOW);
        t->loads[t->main] = 0;
        return t;
    }();
    return *table;
}

bool IsKnown(HMODULE h) {
    ModuleTable& t = Modules();
    std::lock_guard<std::mutex> g(t.mutex);
    return t.loads.count(h) != 0;
}

// Records a module that this layer reports without owning a load of it.
void Remember(HMODULE h) {
    ModuleTable& t = Modules();
    std::lock_guard<std::mutex> g(t.mutex);
    t.loads.emplace(h, 0);
}

HMODULE Fail(DWORD err) {
    SetLastError(err);
    return nullptr;
}

DWORD Open(const std::string& nameOrPath, HMODULE& out) {
    void* h = dlopen(nameOrPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return ERROR_MOD_NOT_FOUND;
    ModuleTable& t = Modules();
    std::lock_guard<std::mutex> g(t.mutex);
    t.loads[h]++;
    out = h;
    return 0;
}

// Loads a file the search found. A file that is no shared object of this machine is the
// system's "bad image"; a good one that will not load lacks its dependencies.
DWORD LoadFoundFile(const std::string& path, HMODULE& out) {
    if (!pal::module::IsSharedObjectForThisMachine(path)) return ERROR_BAD_EXE_FORMAT;
    return Open(path, out);
}

// A module opened only for its resources (LOAD_LIBRARY_AS_DATAFILE): a shared object of
// this machine loads as usual; any other file must be a message-text module.
DWORD LoadDataFile(const std::string& path, HMODULE& out) {
    if (pal::module::IsSharedObjectForThisMachine(path)) return Open(path, out);
    return pal::module::LoadMessageModule(path, out);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// The files a data-file load looks for in each directory: for "x.dll" (or "x") first the
// message source "x.mc", then the file as named, then the shared-object names. A message
// file named in the registry as a DLL thus finds the source installed beside it.
std::vector<std::string> DataFileNames(const char* name, const pal::module::LibraryName& parsed) {
    std::string file = name;
    size_t slash = file.find_last_of("\\/");
    if (slash != std::string::npos) file.erase(0, slash + 1);
    else if (file.size() >= 2 && file[1] == ':') file.erase(0, 2);
    std::vector<std::string> names;
    if (EndsWithNoCase(file, ".dll")) {
        names.push_back(file.substr(0, file.size() - 4) + ".mc");
        names.push_back(file);
    } else if (!file.empty() && file.back() == '.') {
        names.push_back(file.substr(0, file.size() - 1));  // a trailing dot: no extension
    } else if (file.find('.') == std::string::npos) {
        names.push_back(file + ".mc");
        names.push_back(file + ".dll");
    } else {
        names.push_back(file);
    }
    for (const auto& f : parsed.files)
        if (std::find(names.begin(), names.end(), f) == names.end()) names.push_back(f);
    return names;
}

// The directories a data-file load searches: the module search, then (for a bare name)
// the system directory and the Windows directory, where message files are installed.
std::vector<std::string> DataFileDirectories(const pal::module::LibraryName& parsed) {
    std::vector<std::string> dirs = pal::module::SearchDirectories(parsed);
    if (parsed.dir.empty()) {
        dirs.push_back(pal::MapPath("C:\\WINDOWS\\system32"));
        dirs.push_back(pal::MapPath("C:\\WINDOWS"));
    }
    return dirs;
}

DWORD Load(const char* name, bool dataFile, HMODULE& out) {
    pal::module::LibraryName parsed = pal::module::ParseLibraryName(name);
    if (dataFile) {
        std::vector<std::string> files = DataFileNames(name, parsed);
        for (const auto& dir : DataFileDirectories(parsed)) {
            std::string path = pal::module::FindInDirectory(dir, files);
            if (!path.empty()) return LoadDataFile(path, out);
        }
    } else {
        for (const auto& dir : pal::module::SearchDirectories(parsed)) {
            std::string path = pal::module::FindInDirectory(dir, parsed.files);
            if (!path.empty()) return LoadFoundFile(path, out);
        }
    }
    for (const auto& system : parsed.system)
        if (Open(system, out) == 0) return 0;
    return ERROR_MOD_NOT_FOUND;
}

link_map* LinkMapOf(HMODULE h) {
    link_map* map = nullptr;
    return dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 ? map : nullptr;
}

std::string ExecutablePath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash ? slash : 1);
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

struct LoadedSearch {
    const pal::module::LibraryName* name;
    std::string found;
};

int MatchLoaded(dl_phdr_info* info, size_t, void* ctx) {
    auto* s = static_cast<LoadedSearch*>(ctx);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    std::string path = info->dlpi_name;
    size_t slash = path.rfind('/');
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    for (const auto& want : s->name->files) {
        if (!pal::module::SameFileName(file, want)) continue;
        if (!s->name->dir.empty() && RealPath(DirectoryOf(path)) != RealPath(s->name->dir)) continue;
        s->found = path;
        return 1;
    }
    return 0;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (!lpLibFileName || hFile) return Fail(ERROR_INVALID_PARAMETER);
    if (!*lpLibFileName) return Fail(ERROR_MOD_NOT_FOUND);
    bool dataFile =
        dwFlags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HMODULE h = nullptr;
    DWORD err = Load(lpLibFileName, dataFile, h);
    return err ? Fail(err) : h;
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (pal::module::FreeMessageModule(hLibModule)) return TRUE;
    ModuleTable& t = Modules();
    {
        std::lock_guard<std::mutex> g(t.mutex);
        auto it = t.loads.find(hLibModule);
        if (it == t.loads.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // A module this layer did not load (the program, a dependency) stays where it is.
        if (it->second == 0) return TRUE;
        if (--it->second == 0) t.loads.erase(it);
    }
    dlclose(hLibModule);
    return TRUE;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule) hModule = Modules().main;
    if (!IsKnown(hModule)) return reinterpret_cast<FARPROC>(Fail(ERROR_MOD_NOT_FOUND));
    // Ordinals (a name pointer below 64 KiB) have no counterpart in a shared object.
    if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF)
        return reinterpret_cast<FARPROC>(Fail(ERROR_PROC_NOT_FOUND));
    void* sym = dlsym(hModule, lpProcName);
    if (!sym) return reinterpret_cast<FARPROC>(Fail(ERROR_PROC_NOT_FOUND));
    if (hModule != Modules().main) {
        // dlsym also searches the module's dependencies; the system's exports do not.
        Dl_info info{};
        link_map* owner = nullptr;
        if (!dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) || owner != LinkMapOf(hModule))
            return reinterpret_cast<FARPROC>(Fail(ERROR_PROC_NOT_FOUND));
    }
    return reinterpret_cast<FARPROC>(sym);
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return Modules().main;
    if (!*lpModuleName) return Fail(ERROR_MOD_NOT_FOUND);
    pal::module::LibraryName parsed = pal::module::ParseLibraryName(lpModuleName);
    LoadedSearch search{&parsed, {}};
    dl_iterate_phdr(MatchLoaded, &search);
    if (search.found.empty()) return Fail(ERROR_MOD_NOT_FOUND);
    // The handle of a loaded object, without keeping the reference taken to get it.
    void* h = dlopen(search.found.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return Fail(ERROR_MOD_NOT_FOUND);
    dlclose(h);
    Remember(h);
    return h;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    std::string path;
    if (!hModule || hModule == Modules().main) {
        path = ExecutablePath();
    } else {
        if (!IsKnown(hModule)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        link_map* map = LinkMapOf(hModule);
        path = map && map->l_name && *map->l_name ? map->l_name : ExecutablePath();
    }
    if (path.empty()) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        std::memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}
