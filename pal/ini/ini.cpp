#include "pal/ini/ini.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "pal/error/error.h"
#include "pal/file/path.h"
#include "pal/ini/ini_file.h"

namespace {

// An open ini file with a whole-file advisory lock, closed (and unlocked) on scope exit.
class LockedFile {
public:
    LockedFile(const std::string& path, bool write) {
        fd_ = open(path.c_str(), write ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (flock(fd_, write ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) close(fd_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int error() const { return error_; }

    bool Read(std::string& data) {
        data.clear();
        char buf[8192];
        for (;;) {
            ssize_t n = pread(fd_, buf, sizeof buf, static_cast<off_t>(data.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            data.append(buf, static_cast<size_t>(n));
        }
    }

    bool Write(const std::string& data) {
        if (ftruncate(fd_, 0) != 0) return false;
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
    int error_ = 0;
};

// Reads and parses the file; false when it cannot be opened.
bool Load(LPCSTR fileName, pal::ini::IniFile& ini) {
    std::string path = pal::ini::IniFilePath(fileName);
    if (path.empty()) return false;
    LockedFile f(path, false);
    std::string data;
    if (!f.ok() || !f.Read(data)) return false;
    ini = pal::ini::IniFile::Parse(data);
    return true;
}

DWORD CopyValue(std::string_view value, LPSTR buf, DWORD size) {
    value = value.substr(0, std::min(value.find('\0'), value.size()));
    size_t n = std::min<size_t>(value.size(), size - 1);
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return static_cast<DWORD>(n);
}

// Names each followed by a NUL, and one more NUL at the end; a list that does not fit is
// cut so that it still ends in two NULs, and the result is then size - 2.
DWORD CopyList(const std::vector<std::string>& names, LPSTR buf, DWORD size) {
    if (size < 2) {
        buf[0] = '\0';
        return 0;
    }
    size_t pos = 0;
    for (const auto& full : names) {
        std::string_view name(full.c_str());  // up to a NUL, as the system's strings are
        if (pos + name.size() + 2 > size) {
            size_t room = size - 2 > pos ? size - 2 - pos : 0;
            std::memcpy(buf + pos, name.data(), std::min(room, name.size()));
            buf[size - 2] = '\0';
            buf[size - 1] = '\0';
            return size - 2;
        }
        std::memcpy(buf + pos, name.data(), name.size());
        pos += name.size();
        buf[pos++] = '\0';
    }
    buf[pos] = '\0';
    if (pos == 0 && size > 1) buf[1] = '\0';
    return static_cast<DWORD>(pos);
}

DWORD CopyDefault(LPCSTR def, LPSTR buf, DWORD size) {
    std::string_view d = def ? def : "";
    while (!d.empty() && d.back() == ' ') d.remove_suffix(1);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyValue(d, buf, size);
}

}  // namespace

namespace pal::ini {

std::string IniFilePath(LPCSTR fileName) {
    std::string name = fileName ? fileName : "win.ini";
    if (name.empty()) return "";
    bool hasDirectory = name.find_first_of("\\/") != std::string::npos || (name.size() >= 2 && name[1] == ':');
    if (!hasDirectory) name = "C:\\WINDOWS\\" + name;
    return MapPath(name.c_str());
}

ProfileNumber ParseProfileNumber(const char* p) {
    ProfileNumber n;
    while (*p && static_cast<unsigned char>(*p) <= ' ') ++p;
    if (*p == '+' || *p == '-') n.negative = *p++ == '-';
    unsigned base = 10;
    if (p[0] == '0' && p[1] == 'x') {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] == 'o') {
        base = 8;
        p += 2;
    } else if (p[0] == '0' && p[1] == 'b') {
        base = 2;
        p += 2;
    }
    uint64_t value = 0;
    for (;; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = static_cast<unsigned>(*p - '0');
        else if (*p >= 'a' && *p <= 'f')
            d = static_cast<unsigned>(*p - 'a' + 10);
        else if (*p >= 'A' && *p <= 'F')
            d = static_cast<unsigned>(*p - 'A' + 10);
        else
            break;
        if (d >= base) break;
        value = value * base + d;
        if (value > 0xFFFFFFFFu) n.beyond32 = true;
        value &= 0xFFFFFFFFu;
    }
    n.magnitude = static_cast<uint32_t>(value);
    return n;
}

INT ParseProfileInt(const char* p) {
    const ProfileNumber n = ParseProfileNumber(p);
    return static_cast<INT>(n.negative ? 0u - n.magnitude : n.magnitude);
}

}  // namespace pal::ini

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName) {
    if (!lpReturnedString || nSize == 0) return 0;
    pal::ini::IniFile ini;
    if (!Load(lpFileName, ini)) {
        if (!lpAppName) {
            CopyList({}, lpReturnedString, nSize);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        return CopyDefault(lpDefault, lpReturnedString, nSize);
    }
    if (!lpAppName) return CopyList(ini.SectionNames(), lpReturnedString, nSize);
    if (!lpKeyName) {
        std::vector<std::string> keys = ini.KeyNames(lpAppName);
        if (keys.empty()) return CopyDefault(lpDefault, lpReturnedString, nSize);
        return CopyList(keys, lpReturnedString, nSize);
    }
    const std::string* value = *lpKeyName ? ini.Find(lpAppName, lpKeyName) : nullptr;
    if (!value) return CopyDefault(lpDefault, lpReturnedString, nSize);
    return CopyValue(pal::ini::StripQuotes(*value), lpReturnedString, nSize);
}

UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName) {
    char buf[30];
    if (GetPrivateProfileStringA(lpAppName, lpKeyName, "", buf, sizeof buf, lpFileName) == 0)
        return static_cast<UINT>(nDefault);
    return static_cast<UINT>(pal::ini::ParseProfileInt(buf));
}

BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName) {
    if (!lpAppName) {
        if (!lpKeyName && !lpString) return TRUE;  // a request to flush the (absent) cache
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = pal::ini::IniFilePath(lpFileName);
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    bool deleting = !lpKeyName || !lpString;
    struct stat st{};
    if (deleting && stat(path.c_str(), &st) != 0) return TRUE;  // nothing to delete from
    LockedFile f(path, true);
    if (!f.ok()) {
        SetLastError(f.error() == ENOENT ? ERROR_PATH_NOT_FOUND : pal::ErrorFromErrno(f.error()));
        return FALSE;
    }
    std::string data;
    if (!f.Read(data)) {
        pal::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    pal::ini::IniFile ini = pal::ini::IniFile::Parse(data);
    bool changed = true;
    if (!lpKeyName)
        changed = ini.DeleteSection(lpAppName);
    else if (!lpString)
        changed = ini.DeleteKey(lpAppName, lpKeyName);
    else
        ini.Set(lpAppName, lpKeyName, lpString);
    if (changed && !f.Write(ini.Serialize())) {
        pal::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}
