// FindFirstFile/FindNextFile. The search takes a snapshot of the matching directory
// entries when it starts, sorted the way NTFS returns them (ignoring case), with "."
// and ".." first where the pattern finds them (never in a drive's root).
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "pal/core/root.h"
#include "pal/error/error.h"
#include "pal/file/file.h"
#include "pal/file/file_info.h"
#include "pal/file/path.h"
#include "pal/file/wildcard.h"
#include "pal/handle/handle.h"

namespace pal {

namespace {

class FindObject : public KernelObject {
public:
    explicit FindObject(std::vector<WIN32_FIND_DATAA> entries) : entries_(std::move(entries)) {}

    bool Next(WIN32_FIND_DATAA& out) {
        std::lock_guard<std::mutex> g(mutex_);
        if (next_ >= entries_.size()) return false;
        out = entries_[next_++];
        return true;
    }

private:
    std::mutex mutex_;
    std::vector<WIN32_FIND_DATAA> entries_;
    size_t next_ = 0;
};

bool IsDriveRoot(const std::string& dir) {
    const std::string prefix = core::RootDir() + "/drive_";
    return dir.size() == prefix.size() + 1 && dir.compare(0, prefix.size(), prefix) == 0;
}

bool DotName(const char* n) { return std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0; }

bool EntryBefore(const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
    const bool da = DotName(a.cFileName), db = DotName(b.cFileName);
    if (da != db) return da;
    if (da) return std::strlen(a.cFileName) < std::strlen(b.cFileName);
    // NTFS orders by the upper-cased name ("A_B" after "AAB").
    for (const char *p = a.cFileName, *q = b.cFileName;; ++p, ++q) {
        const int x = std::toupper(static_cast<unsigned char>(*p));
        const int y = std::toupper(static_cast<unsigned char>(*q));
        if (x != y) return x < y;
        if (!*p) break;
    }
    return std::strcmp(a.cFileName, b.cFileName) < 0;
}

}  // namespace

}  // namespace pal

using namespace pal;

HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
    if (!name || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Split "dir\pattern" (or "C:pattern") into the directory and the pattern.
    const std::string full = name;
    size_t cut = full.find_last_of("\\/");
    if (cut == std::string::npos && full.size() >= 2 && full[1] == ':') cut = 1;
    const std::string dirPart = cut == std::string::npos ? std::string(1, '.') : full.substr(0, cut + 1);
    const std::string pattern = cut == std::string::npos ? full : full.substr(cut + 1);
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (pattern.find_first_of("<>|\"") != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const std::string dir = MapPath(dirPart.c_str());
    DIR* d = opendir(dir.c_str());
    if (!d) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    const bool root = IsDriveRoot(dir);
    std::vector<WIN32_FIND_DATAA> entries;
    while (dirent* e = readdir(d)) {
        if (root && DotName(e->d_name)) continue;
        if (std::strlen(e->d_name) >= MAX_PATH || !MatchFilePattern(pattern, e->d_name)) continue;
        FileInfo info;
        int err = 0;
        if (!StatPath(dir + "/" + e->d_name, info, err)) continue;  // vanished meanwhile
        WIN32_FIND_DATAA fd{};
        fd.dwFileAttributes = info.attributes;
        fd.ftCreationTime = info.creation;
        fd.ftLastAccessTime = info.access;
        fd.ftLastWriteTime = info.write;
        fd.nFileSizeHigh = static_cast<DWORD>(info.size >> 32);
        fd.nFileSizeLow = static_cast<DWORD>(info.size);
        std::strcpy(fd.cFileName, e->d_name);
        entries.push_back(fd);
    }
    closedir(d);
    if (entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(entries.begin(), entries.end(), EntryBefore);
    auto search = std::make_shared<FindObject>(std::move(entries));
    search->Next(*data);
    SetLastError(NO_ERROR);
    return InsertHandle(std::move(search));
}

BOOL FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    auto search = LookupHandleAs<FindObject>(h);
    if (!search) return FALSE;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!search->Next(*data)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE h) {
    if (!LookupHandleAs<FindObject>(h)) return FALSE;
    return CloseHandle(h);
}
