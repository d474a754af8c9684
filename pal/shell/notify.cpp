// Notification icons and popup menus kept in the tray store (see shell.h).
//
// Each icon is one file, $VQ_ROOT/tray/icon.<pid>.<hwnd in hex>.<id>, and an open menu is
// $VQ_ROOT/tray/menu.<pid>; both are written beside their final name and renamed, so a
// tool reads either the old or the new whole file. Texts are stored escaped (\\, \n, \xHH
// for control bytes), so a tip cannot add lines of its own.
//
// tray.conf's fail_add makes NIM_ADD fail with that error; fail_add_times = N limits it
// to the next N adds of the machine root. The adds already failed are counted in
// $VQ_ROOT/.vq/tray_fail_add under an flock, together with the configuration file's
// modification time and size, so writing a new configuration starts the count again.
#include "pal/shell/shell.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"
#include "pal/error/error.h"
#include "pal/file/whole_file.h"
#include "pal/thread/thread.h"

namespace pal::shell {

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
        } else if (text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            out += static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string HandleText(HWND hwnd) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    return buf;
}

HWND ParseHandle(const std::string& text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 16)));
}

std::string IconPath(HWND hwnd, UINT id) {
    return TrayDir() + "/icon." + std::to_string(getpid()) + "." + HandleText(hwnd) + "." + std::to_string(id);
}

std::string MenuPath(DWORD pid) { return TrayDir() + "/menu." + std::to_string(pid); }

bool WriteWhole(const std::string& path, const std::string& text) {
    return core::MakeDirs(TrayDir()) && ReplaceFileAtomically(path, text);
}

// "key=value" lines.
std::map<std::string, std::string> ReadFields(const std::string& path, bool& found) {
    std::map<std::string, std::string> fields;
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

bool ProcessAlive(DWORD pid) { return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

std::string IconText(const TrayIcon& icon) {
    std::ostringstream out;
    out << "pid=" << icon.pid << "\nhwnd=" << HandleText(icon.hwnd) << "\nid=" << icon.id << "\nflags=" << icon.flags
        << "\ncallback=" << icon.callback << "\nicon=" << (icon.hasIcon ? 1 : 0) << "\ntip=" << Escape(icon.tip)
        << "\n";
    return out.str();
}

bool ReadIcon(const std::string& path, TrayIcon& icon) {
    bool found = false;
    auto f = ReadFields(path, found);
    if (!found || !f.count("pid") || !f.count("hwnd")) return false;
    icon.pid = static_cast<DWORD>(std::strtoul(f["pid"].c_str(), nullptr, 10));
    icon.hwnd = ParseHandle(f["hwnd"]);
    icon.id = static_cast<UINT>(std::strtoul(f["id"].c_str(), nullptr, 10));
    icon.flags = static_cast<UINT>(std::strtoul(f["flags"].c_str(), nullptr, 10));
    icon.callback = static_cast<UINT>(std::strtoul(f["callback"].c_str(), nullptr, 10));
    icon.hasIcon = f["icon"] == "1";
    icon.tip = Unescape(f["tip"]);
    return true;
}

// The error a NIM_ADD must fail with now (0: none), consuming one of the limited failures.
DWORD InjectedAddFailure() {
    const std::string confPath = core::RootDir() + "/devices/tray.conf";
    device::ConfValues values;
    if (device::LoadConf(confPath, values) != 0) return 0;
    device::ConfReader r(values);
    const int64_t error = r.Integer("fail_add", 0, 0xFFFFFFFFLL, 0);
    const int64_t times = r.Integer("fail_add_times", 0, INT64_MAX, -1);
    if (!r.ok() || error == 0) return 0;
    if (times < 0) return static_cast<DWORD>(error);
    struct stat st{};
    if (stat(confPath.c_str(), &st) != 0) return 0;
    const std::string stamp = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "." +
                              std::to_string(st.st_size);
    const std::string countPath = core::StateDir() + "/tray_fail_add";
    int fd = open(countPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    DWORD result = 0;
    if (flock(fd, LOCK_EX) == 0) {
        char buf[128] = {};
        ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
        std::string text(buf, n > 0 ? static_cast<size_t>(n) : 0);
        int64_t used = 0;
        size_t blank = text.find(' ');
        if (blank != std::string::npos && text.substr(0, blank) == stamp)
            used = std::strtoll(text.c_str() + blank + 1, nullptr, 10);
        if (used < times) {
            ++used;
            result = static_cast<DWORD>(error);
            std::string out = stamp + " " + std::to_string(used) + "\n";
            if (ftruncate(fd, 0) != 0 || pwrite(fd, out.data(), out.size(), 0) < 0) result = 0;
        }
        flock(fd, LOCK_UN);
    }
    close(fd);
    return result;
}

// Menus: handles index a per-process table.
struct Menu {
    struct Item {
        UINT flags = 0;
        UINT_PTR id = 0;
        std::string text;
        HMENU sub = nullptr;
    };
    std::vector<Item> items;
};

struct Menus {
    std::mutex mutex;
    std::map<uintptr_t, Menu> menus;
    uintptr_t next = 0x10;
    HWND foreground = nullptr;
};

Menus& M() {
    static Menus* menus = new Menus();
    return *menus;
}

void DestroyMenuLocked(Menus& m, HMENU h) {
    auto it = m.menus.find(reinterpret_cast<uintptr_t>(h));
    if (it == m.menus.end()) return;
    std::vector<HMENU> subs;
    for (auto& item : it->second.items)
        if (item.sub) subs.push_back(item.sub);
    m.menus.erase(it);
    for (HMENU s : subs) DestroyMenuLocked(m, s);
}

bool ValidWindowOfThisProcess(HWND hwnd) {
    DWORD pid = 0;
    return IsWindow(hwnd) && GetWindowThreadProcessId(hwnd, &pid) != 0 && pid == static_cast<DWORD>(getpid());
}

}  // namespace

std::string TrayDir() { return core::RootDir() + "/tray"; }

std::vector<TrayIcon> ListIcons() {
    std::vector<TrayIcon> icons;
    DIR* dir = opendir(TrayDir().c_str());
    if (!dir) return icons;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("icon.", 0) == 0 && name.find(".tmp.") == std::string::npos) names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) {
        TrayIcon icon;
        const std::string path = TrayDir() + "/" + name;
        if (!ReadIcon(path, icon)) continue;
        if (!ProcessAlive(icon.pid)) {
            unlink(path.c_str());
            continue;
        }
        icons.push_back(icon);
    }
    std::sort(icons.begin(), icons.end(), [](const TrayIcon& a, const TrayIcon& b) {
        if (a.pid != b.pid) return a.pid < b.pid;
        if (a.hwnd != b.hwnd) return reinterpret_cast<uintptr_t>(a.hwnd) < reinterpret_cast<uintptr_t>(b.hwnd);
        return a.id < b.id;
    });
    return icons;
}

bool ReadOpenMenu(DWORD pid, OpenMenu& menu) {
    std::ifstream in(MenuPath(pid), std::ios::binary);
    if (!in) return false;
    menu = OpenMenu{};
    menu.pid = pid;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("owner=", 0) == 0) {
            menu.owner = ParseHandle(line.substr(6));
        } else if (line.rfind("item=", 0) == 0) {
            size_t tab = line.find('\t');
            MenuItem item;
            item.id = static_cast<UINT_PTR>(std::strtoull(line.substr(5, tab - 5).c_str(), nullptr, 10));
            if (tab != std::string::npos) item.text = Unescape(line.substr(tab + 1));
            menu.items.push_back(item);
        }
    }
    return menu.owner != nullptr;
}

void CloseOpenMenu(DWORD pid) { unlink(MenuPath(pid).c_str()); }

void ForgetAllIcons() {
    DIR* dir = opendir(TrayDir().c_str());
    if (!dir) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("icon.", 0) == 0) names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) unlink((TrayDir() + "/" + name).c_str());
}

}  // namespace pal::shell

using namespace pal::shell;

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
    if (data == nullptr || data->cbSize < NOTIFYICONDATAA_V1_SIZE || data->cbSize > sizeof(NOTIFYICONDATAA) ||
        message > NIM_DELETE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ValidWindowOfThisProcess(data->hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const std::string path = IconPath(data->hWnd, data->uID);
    if (message == NIM_DELETE) {
        if (unlink(path.c_str()) != 0) {
            SetLastError(ERROR_NOT_FOUND);
            return FALSE;
        }
        return TRUE;
    }
    TrayIcon icon;
    const bool exists = ReadIcon(path, icon);
    if (message == NIM_ADD) {
        if (DWORD injected = InjectedAddFailure()) {
            SetLastError(injected);
            return FALSE;
        }
        if (exists) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        icon = TrayIcon{};
        icon.pid = static_cast<DWORD>(getpid());
        icon.hwnd = data->hWnd;
        icon.id = data->uID;
    } else if (!exists) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (data->uFlags & NIF_MESSAGE) icon.callback = data->uCallbackMessage;
    if (data->uFlags & NIF_ICON) icon.hasIcon = data->hIcon != nullptr;
    if (data->uFlags & NIF_TIP) {
        // The first form of the structure has room for 64 bytes of tip only.
        const size_t room = data->cbSize < sizeof(NOTIFYICONDATAA) ? 64 : sizeof data->szTip;
        icon.tip.assign(data->szTip, strnlen(data->szTip, room - 1));
    }
    icon.flags |= data->uFlags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
    if (!WriteWhole(path, IconText(icon))) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

HMENU CreatePopupMenu() {
    Menus& m = M();
    std::lock_guard<std::mutex> lock(m.mutex);
    uintptr_t h = m.next;
    m.next += 0x10;
    m.menus[h] = Menu{};
    return reinterpret_cast<HMENU>(h);
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
    Menus& m = M();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.menus.find(reinterpret_cast<uintptr_t>(menu));
    if (it == m.menus.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((flags & ~(MF_SEPARATOR | MF_POPUP)) != 0 || (!(flags & MF_SEPARATOR) && text == nullptr) ||
        ((flags & MF_POPUP) && !m.menus.count(id))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Menu::Item item;
    item.flags = flags;
    if (flags & MF_POPUP)
        item.sub = reinterpret_cast<HMENU>(id);
    else
        item.id = id;
    if (!(flags & MF_SEPARATOR)) item.text = text;
    it->second.items.push_back(item);
    return TRUE;
}

HMENU GetSubMenu(HMENU menu, int pos) {
    Menus& m = M();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.menus.find(reinterpret_cast<uintptr_t>(menu));
    if (it == m.menus.end() || pos < 0 || static_cast<size_t>(pos) >= it->second.items.size()) return nullptr;
    return it->second.items[static_cast<size_t>(pos)].sub;
}

int GetMenuItemCount(HMENU menu) {
    Menus& m = M();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.menus.find(reinterpret_cast<uintptr_t>(menu));
    if (it == m.menus.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return static_cast<int>(it->second.items.size());
}

BOOL DestroyMenu(HMENU menu) {
    Menus& m = M();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.menus.count(reinterpret_cast<uintptr_t>(menu))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DestroyMenuLocked(m, menu);
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND hwnd, const void*) {
    std::string text;
    {
        Menus& m = M();
        std::lock_guard<std::mutex> lock(m.mutex);
        auto it = m.menus.find(reinterpret_cast<uintptr_t>(menu));
        if (it == m.menus.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        text = "owner=" + [&] {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
            return std::string(buf);
        }() + "\n";
        for (auto& item : it->second.items) {
            if (item.flags & (MF_SEPARATOR | MF_POPUP)) continue;  // nothing to choose there
            text += "item=" + std::to_string(item.id) + "\t" + Escape(item.text) + "\n";
        }
    }
    if (!ValidWindowOfThisProcess(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!WriteWhole(MenuPath(static_cast<DWORD>(getpid())), text)) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return (flags & TPM_RETURNCMD) ? 0 : TRUE;
}

BOOL SetForegroundWindow(HWND hwnd) {
    if (!IsWindow(hwnd)) return FALSE;
    std::lock_guard<std::mutex> lock(M().mutex);
    M().foreground = hwnd;
    return TRUE;
}

HWND GetForegroundWindow() {
    std::lock_guard<std::mutex> lock(M().mutex);
    return M().foreground;
}

BOOL GetCursorPos(LPPOINT point) {
    if (point == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    point->x = point->y = 0;
    return TRUE;
}
