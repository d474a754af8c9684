#include "pal/env/env.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "pal/error/error.h"

extern char** environ;

namespace pal::env {

namespace {

struct Default {
    const char* name;
    const char* value;
    bool linuxPathsIgnored;  // a Linux value that is a Linux path does not count
};

const Default kDefaults[] = {
    {"SystemRoot", "C:\\WINDOWS", false},
    {"windir", "C:\\WINDOWS", false},
    {"SystemDrive", "C:", false},
    {"ProgramFiles", "C:\\Program Files", false},
    {"TEMP", "C:\\WINDOWS\\TEMP", true},
    {"TMP", "C:\\WINDOWS\\TEMP", true},
};

struct State {
    std::mutex mutex;
    std::set<std::string> hidden;  // upper-cased names of deleted defaults
};

State& Env() {
    static State* state = new State();
    return *state;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

const Default* DefaultOf(std::string_view name) {
    for (const auto& d : kDefaults)
        if (name.size() == std::strlen(d.name) && strncasecmp(name.data(), d.name, name.size()) == 0) return &d;
    return nullptr;
}

// The spelling under which the Linux environment holds name: exact first, else the first
// entry that matches ignoring case. Call with the mutex held.
const char* FindEntry(std::string_view name, std::string* spelling) {
    std::string exact(name);
    if (const char* v = std::getenv(exact.c_str())) {
        if (spelling) *spelling = exact;
        return v;
    }
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || static_cast<size_t>(eq - *e) != name.size()) continue;
        if (strncasecmp(*e, name.data(), name.size()) != 0) continue;
        if (spelling) spelling->assign(*e, name.size());
        return eq + 1;
    }
    return nullptr;
}

bool LookupLocked(std::string_view name, std::string& value) {
    if (name.empty() || name.find('=') != std::string_view::npos) return false;
    const Default* d = DefaultOf(name);
    if (const char* v = FindEntry(name, nullptr)) {
        if (!(d && d->linuxPathsIgnored && v[0] == '/')) {
            value = v;
            return true;
        }
    }
    if (!d || Env().hidden.count(Upper(name))) return false;
    value = d->value;
    return true;
}

std::string ExpandLocked(std::string_view src) {
    std::string out;
    size_t i = 0;
    while (i < src.size()) {
        if (src[i] != '%') {
            out += src[i++];
            continue;
        }
        size_t close = src.find('%', i + 1);
        if (close == std::string_view::npos) {
            out.append(src.substr(i));
            break;
        }
        std::string value;
        if (LookupLocked(src.substr(i + 1, close - i - 1), value)) {
            out += value;
            i = close + 1;
        } else {
            // Not defined: "%NAME" stays, and the closing '%' is looked at afresh.
            out.append(src.substr(i, close - i));
            i = close;
        }
    }
    return out;
}

}  // namespace

bool Lookup(std::string_view name, std::string& value) {
    std::lock_guard<std::mutex> g(Env().mutex);
    return LookupLocked(name, value);
}

std::string Expand(std::string_view text) {
    std::lock_guard<std::mutex> g(Env().mutex);
    return ExpandLocked(text);
}

}  // namespace pal::env

DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    if (!lpSrc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string out = pal::env::Expand(lpSrc);
    DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (!lpDst || nSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return needed;
    }
    std::memcpy(lpDst, out.c_str(), needed);
    return needed;
}

DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    std::string value;
    if (!lpName || !pal::env::Lookup(lpName, value)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (!lpBuffer || value.size() + 1 > nSize) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(lpBuffer, value.c_str(), value.size() + 1);
    if (value.empty()) SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(value.size());
}

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (!lpName || !*lpName || std::strchr(lpName, '=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& env = pal::env::Env();
    std::lock_guard<std::mutex> g(env.mutex);
    std::string name = lpName;
    if (!lpValue) {
        // Every spelling goes: Windows holds one variable per name, Linux may hold several.
        std::string spelling;
        while (pal::env::FindEntry(name, &spelling)) unsetenv(spelling.c_str());
        if (pal::env::DefaultOf(name)) env.hidden.insert(pal::env::Upper(name));
        return TRUE;
    }
    std::string spelling;
    if (!pal::env::FindEntry(name, &spelling)) spelling = name;
    if (setenv(spelling.c_str(), lpValue, 1) != 0) {
        pal::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    env.hidden.erase(pal::env::Upper(name));
    return TRUE;
}
