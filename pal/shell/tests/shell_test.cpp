// Notification icons in the tray store, the injected add failures, popup menus recorded
// for a tool, and posts that cross to windows of another process of the machine root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pal/core/root.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcA(h, m, w, l); }

HWND MakeWindow() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = "ShellTestWindow";
        registered = RegisterClassExA(&wc) != 0;
    }
    return CreateWindowExA(0, "ShellTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

NOTIFYICONDATAA Icon(HWND hwnd, const char* tip) {
    NOTIFYICONDATAA nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = 0;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_USER + 1;
    nid.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    std::snprintf(nid.szTip, sizeof nid.szTip, "%s", tip);
    return nid;
}

void WriteTrayConf(const std::string& text) {
    std::filesystem::create_directories(pal::core::RootDir() + "/devices");
    std::ofstream(pal::core::RootDir() + "/devices/tray.conf") << text;
}

TEST(NotifyIcon, AddModifyDeleteAsTheStoreShowsThem) {
    HWND hwnd = MakeWindow();
    ASSERT_NE(hwnd, nullptr);
    NOTIFYICONDATAA nid = Icon(hwnd, "First");
    ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    auto icons = pal::shell::ListIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].pid, static_cast<DWORD>(getpid()));
    EXPECT_EQ(icons[0].hwnd, hwnd);
    EXPECT_EQ(icons[0].callback, WM_USER + 1);
    EXPECT_EQ(icons[0].tip, "First");

    // Modify changes only what its flags name; a tip with a line break stays one field.
    NOTIFYICONDATAA change{};
    change.cbSize = sizeof change;
    change.hWnd = hwnd;
    change.uFlags = NIF_TIP;
    std::snprintf(change.szTip, sizeof change.szTip, "two\nlines");
    ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &change));
    icons = pal::shell::ListIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].tip, "two\nlines");
    EXPECT_EQ(icons[0].callback, WM_USER + 1);

    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid));
    EXPECT_TRUE(pal::shell::ListIcons().empty());
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &nid));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &nid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // Only live windows of this process own icons.
    DestroyWindow(hwnd);
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    nid.cbSize = 20;
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(NotifyIcon, ConfiguredAddFailuresCountDownAndRestartWithANewFile) {
    HWND hwnd = MakeWindow();
    NOTIFYICONDATAA nid = Icon(hwnd, "Counted");
    WriteTrayConf("fail_add = 1460\nfail_add_times = 2\n");
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
        EXPECT_EQ(GetLastError(), 1460u);
    }
    ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid));
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid));

    WriteTrayConf("fail_add = 5\nfail_add_times = 1\n# rewritten\n");
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid));
    // Modify and delete never fail by configuration.
    WriteTrayConf("fail_add = 1460\n");
    EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &nid));
    EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &nid)) << "without a count every add fails";
    std::filesystem::remove(pal::core::RootDir() + "/devices/tray.conf");
    DestroyWindow(hwnd);
}

TEST(PopupMenu, TrackRecordsTheItemsForATool) {
    HWND hwnd = MakeWindow();
    HMENU bar = CreatePopupMenu();
    HMENU popup = CreatePopupMenu();
    ASSERT_TRUE(AppendMenuA(popup, MF_STRING, 57665, "\xB1\xCC\xDF(&X)"));
    ASSERT_TRUE(AppendMenuA(popup, MF_SEPARATOR, 0, nullptr));
    ASSERT_TRUE(AppendMenuA(popup, MF_STRING, 7, "Other"));
    ASSERT_TRUE(AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), "File"));
    EXPECT_FALSE(AppendMenuA(bar, MF_POPUP, 12345, "Bogus"));
    ASSERT_EQ(GetSubMenu(bar, 0), popup);
    EXPECT_EQ(GetMenuItemCount(popup), 3);

    pal::shell::OpenMenu menu;
    EXPECT_FALSE(pal::shell::ReadOpenMenu(static_cast<DWORD>(getpid()), menu));
    ASSERT_TRUE(TrackPopupMenu(GetSubMenu(bar, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, 0, 0, 0, hwnd, nullptr));
    ASSERT_TRUE(pal::shell::ReadOpenMenu(static_cast<DWORD>(getpid()), menu));
    EXPECT_EQ(menu.owner, hwnd);
    ASSERT_EQ(menu.items.size(), 2u);  // the separator is not a choice
    EXPECT_EQ(menu.items[0].id, 57665u);
    EXPECT_EQ(menu.items[0].text, "\xB1\xCC\xDF(&X)");
    EXPECT_EQ(menu.items[1].text, "Other");
    pal::shell::CloseOpenMenu(static_cast<DWORD>(getpid()));
    EXPECT_FALSE(pal::shell::ReadOpenMenu(static_cast<DWORD>(getpid()), menu));

    ASSERT_TRUE(DestroyMenu(bar));
    EXPECT_EQ(GetMenuItemCount(popup), -1) << "submenus go with their menu";
    DestroyWindow(hwnd);
}

// A window in a child process that reports every message it gets until WM_CLOSE.
VQ_CHILD(ReportingWindow) {
    HWND hwnd = MakeWindow();
    char line[64];
    std::snprintf(line, sizeof line, "hwnd %llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
    vqtest::Tell(line);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        std::snprintf(line, sizeof line, "msg %x %llx %lld", msg.message, static_cast<unsigned long long>(msg.wParam),
                      static_cast<long long>(msg.lParam));
        vqtest::Tell(line);
        if (msg.message == WM_CLOSE) {
            DestroyWindow(hwnd);
            vqtest::Tell("closed");
            // Without windows the process takes no posts any more.
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            }
        }
        DispatchMessageA(&msg);
    }
    return 0;
}

HWND ReadHandle(vqtest::ChildProcess& child) {
    std::string line = child.ReadLine();
    if (line.rfind("hwnd ", 0) != 0) return nullptr;
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(line.substr(5), nullptr, 16)));
}

TEST(CrossProcessPost, PostsAndBroadcastsReachAnotherProcesssWindows) {
    vqtest::ChildProcess child("ReportingWindow");
    HWND remote = ReadHandle(child);
    ASSERT_NE(remote, nullptr);
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(remote, &pid), 0u) << "not a window of this process";

    // Full 64-bit parameters arrive whole.
    ASSERT_TRUE(PostMessageA(remote, WM_USER + 5, 0x123456789ull, -2));
    EXPECT_TRUE(child.Expect("msg 405 123456789 -2"));

    // Parameters that would be pointers into this process do not cross.
    EXPECT_FALSE(PostMessageA(remote, WM_DEVICECHANGE, 0x8004, 0x1000));
    EXPECT_EQ(GetLastError(), 1159u);

    // A registered message broadcast here reaches the other process's top-level windows.
    UINT created = RegisterWindowMessageA("TaskbarCreated");
    ASSERT_TRUE(PostMessageA(HWND_BROADCAST, created, 0, 0));
    char expected[32];
    std::snprintf(expected, sizeof expected, "msg %x 0 0", created);
    EXPECT_TRUE(child.Expect(expected));

    // A handle of a window that is gone: the post is sent but nobody takes it.
    ASSERT_TRUE(PostMessageA(remote, WM_CLOSE, 0, 0));
    EXPECT_TRUE(child.Expect("closed"));
    // Once the process has no window its socket is gone: posts fail as to a stale window.
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        refused = !PostMessageA(remote, WM_USER, 0, 0);
        if (!refused) Sleep(50);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    child.Kill();
    child.Wait();
}

TEST(CrossProcessPost, ProcessWithoutWindowsAndDeadProcesses) {
    // A handle naming a process that has no socket at all.
    HWND nobody = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7FFFFFF0ull << 32 | 4));
    EXPECT_FALSE(PostMessageA(nobody, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // A child killed while it had a window leaves its socket name; the next post removes it.
    vqtest::ChildProcess child("ReportingWindow");
    HWND remote = ReadHandle(child);
    ASSERT_NE(remote, nullptr);
    const std::string socketPath = pal::core::StateDir() + "/windows/" + std::to_string(child.pid());
    EXPECT_TRUE(std::filesystem::exists(socketPath));
    child.Kill();
    child.Wait();
    EXPECT_FALSE(PostMessageA(remote, WM_USER, 0, 0));
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    // A broadcast with nobody else around still succeeds.
    EXPECT_TRUE(PostMessageA(HWND_BROADCAST, WM_USER + 9, 0, 0));
}

}  // namespace
