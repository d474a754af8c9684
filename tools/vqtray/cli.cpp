#include "tools/vqtray/cli.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "pal/registry/codepage.h"
#include "pal/windows.h"

namespace vqtray {

namespace {

const char* const kUsage =
    "usage: vqtray list\n"
    "       vqtray click PID\n"
    "       vqtray choose PID ITEM\n"
    "       vqtray restart\n";

// Programs keep their texts in code page 932; the terminal reads UTF-8.
std::string Printable(const std::string& text) {
    if (pal::reg::ValidUtf8(text)) return text;
    std::string out;
    return pal::reg::Cp932ToUtf8(text, out) ? out : text;
}

bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && *end == '\0' && value <= max && value > 0;
}

int List(FILE* out) {
    for (const auto& icon : pal::shell::ListIcons()) {
        std::fprintf(out, "%lu\t0x%016llx\t%u\t0x%04X\t%s\n", static_cast<unsigned long>(icon.pid),
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(icon.hwnd)), icon.id, icon.callback,
                     Printable(icon.tip).c_str());
        pal::shell::OpenMenu menu;
        if (pal::shell::ReadOpenMenu(icon.pid, menu)) {
            int n = 0;
            for (const auto& item : menu.items)
                std::fprintf(out, "\tmenu %d: %s\n", ++n, Printable(item.text).c_str());
        }
    }
    return 0;
}

int Click(DWORD pid, FILE* err) {
    int clicked = 0;
    for (const auto& icon : pal::shell::ListIcons()) {
        if (icon.pid != pid || !(icon.flags & NIF_MESSAGE)) continue;
        // The taskbar reports a right click as the button's press and then its release.
        if (!PostMessageA(icon.hwnd, icon.callback, icon.id, WM_RBUTTONDOWN) ||
            !PostMessageA(icon.hwnd, icon.callback, icon.id, WM_RBUTTONUP)) {
            std::fprintf(err, "vqtray: cannot post to the icon's window (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            return 1;
        }
        ++clicked;
    }
    if (clicked == 0) {
        std::fprintf(err, "vqtray: process %lu has no icon with a callback message\n", static_cast<unsigned long>(pid));
        return 1;
    }
    return 0;
}

int Choose(DWORD pid, unsigned long item, FILE* err) {
    pal::shell::OpenMenu menu;
    if (!pal::shell::ReadOpenMenu(pid, menu)) {
        std::fprintf(err, "vqtray: process %lu has no menu open\n", static_cast<unsigned long>(pid));
        return 1;
    }
    if (item > menu.items.size()) {
        std::fprintf(err, "vqtray: the menu has %zu item(s)\n", menu.items.size());
        return 1;
    }
    // The menu closes with the choice, whatever becomes of the command.
    pal::shell::CloseOpenMenu(pid);
    const WPARAM command = static_cast<WORD>(menu.items[item - 1].id);
    if (!PostMessageA(menu.owner, WM_COMMAND, command, 0)) {
        std::fprintf(err, "vqtray: cannot post to the menu's window (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}

int Restart(FILE* err) {
    pal::shell::ForgetAllIcons();
    UINT message = RegisterWindowMessageA("TaskbarCreated");
    if (message == 0 || !PostMessageA(HWND_BROADCAST, message, 0, 0)) {
        std::fprintf(err, "vqtray: cannot broadcast TaskbarCreated (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}

}  // namespace

int Run(int argc, char** argv, FILE* out, FILE* err) {
    const std::string verb = argc > 1 ? argv[1] : "";
    unsigned long pid = 0, item = 0;
    if (verb == "list" && argc == 2) return List(out);
    if (verb == "restart" && argc == 2) return Restart(err);
    if (verb == "click" && argc == 3 && ParseNumber(argv[2], 0x7FFFFFFF, pid)) return Click(static_cast<DWORD>(pid), err);
    if (verb == "choose" && argc == 4 && ParseNumber(argv[2], 0x7FFFFFFF, pid) && ParseNumber(argv[3], 0xFFFF, item))
        return Choose(static_cast<DWORD>(pid), item, err);
    std::fputs(kUsage, err);
    return 2;
}

}  // namespace vqtray
