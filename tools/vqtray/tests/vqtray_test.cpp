// vqtray against icons and menus of this process: what it lists, what it posts, what it
// refuses, and the program itself reaching this process's window from outside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pal/windows.h"
#include "tests/support/child_process.h"
#include "tools/vqtray/cli.h"

namespace {

struct Result {
    int code;
    std::string out, err;
};

std::string Slurp(FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
}

Result Tool(std::vector<std::string> args) {
    args.insert(args.begin(), "vqtray");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    int code = vqtray::Run(static_cast<int>(args.size()), argv.data(), out, err);
    return {code, Slurp(out), Slurp(err)};
}

LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcA(h, m, w, l); }

// A window with an icon, removed again at the end of each test.
class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = "VqtrayTestWindow";
        RegisterClassExA(&wc);  // already registered after the first test: that is fine
        hwnd_ = CreateWindowExA(0, "VqtrayTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(hwnd_, nullptr);
    }
    void TearDown() override {
        Shell_NotifyIconA(NIM_DELETE, &nid_);
        pal::shell::CloseOpenMenu(Pid());
        DestroyWindow(hwnd_);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    void AddIcon(const char* tip, UINT flags = NIF_MESSAGE | NIF_ICON | NIF_TIP) {
        nid_ = {};
        nid_.cbSize = sizeof nid_;
        nid_.hWnd = hwnd_;
        nid_.uID = 3;
        nid_.uFlags = flags;
        nid_.uCallbackMessage = WM_USER + 7;
        nid_.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        std::snprintf(nid_.szTip, sizeof nid_.szTip, "%s", tip);
        ASSERT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid_));
    }
    void OpenMenu() {
        HMENU popup = CreatePopupMenu();
        ASSERT_TRUE(AppendMenuA(popup, MF_STRING, 57665, "\xB1\xCC\xDF\x82\xCC\x8F\x49\x97\xB9(&X)"));
        ASSERT_TRUE(AppendMenuA(popup, MF_STRING, 12, "Second"));
        ASSERT_TRUE(TrackPopupMenu(popup, TPM_RIGHTBUTTON, 0, 0, 0, hwnd_, nullptr));
        DestroyMenu(popup);
    }
    // The messages waiting for the window, as "message wparam lparam".
    std::vector<std::string> Queued(int waitMs = 0) {
        std::vector<std::string> got;
        MSG msg;
        for (int waited = 0;; waited += 10) {
            while (PeekMessageA(&msg, hwnd_, 0, 0, PM_REMOVE))
                got.push_back(std::to_string(msg.message) + " " + std::to_string(msg.wParam) + " " +
                              std::to_string(msg.lParam));
            if (!got.empty() || waited >= waitMs) return got;
            usleep(10 * 1000);
        }
    }
    static DWORD Pid() { return static_cast<DWORD>(getpid()); }
    static std::string PidText() { return std::to_string(getpid()); }

    HWND hwnd_ = nullptr;
    NOTIFYICONDATAA nid_{};
};

TEST(VqtrayUsage, MalformedCommandsPrintTheUsageAndExit2) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"bogus"}, {"list", "extra"}, {"restart", "now"}, {"click"}, {"click", "0"}, {"click", "12a"},
             {"click", "-1"}, {"click", "99999999999"}, {"choose", "1"}, {"choose", "1", "0"},
             {"choose", "1", "65536"}, {"choose", "x", "1"}}) {
        Result r = Tool(args);
        EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(r.err.rfind("usage: vqtray list\n", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Tray, ListShowsIconsWithTheirOpenMenuInUtf8) {
    EXPECT_EQ(Tool({"list"}).out, "");
    AddIcon("Quillon");
    char hwnd[32];
    std::snprintf(hwnd, sizeof hwnd, "0x%016llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd_)));
    Result r = Tool({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, PidText() + "\t" + hwnd + "\t3\t0x0407\tQuillon\n");
    OpenMenu();
    // The menu's code page 932 text reaches the terminal as UTF-8.
    EXPECT_EQ(Tool({"list"}).out, PidText() + "\t" + hwnd + "\t3\t0x0407\tQuillon\n" +
                                     "\tmenu 1: \xEF\xBD\xB1\xEF\xBE\x8C\xEF\xBE\x9F\xE3\x81\xAE\xE7\xB5\x82\xE4"
                                     "\xBA\x86(&X)\n\tmenu 2: Second\n");
}

TEST_F(Tray, ClickPostsTheRightButtonPressAndRelease) {
    Result none = Tool({"click", PidText()});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.err.find("has no icon with a callback message"), std::string::npos) << none.err;

    AddIcon("NoCallback", NIF_ICON | NIF_TIP);
    EXPECT_EQ(Tool({"click", PidText()}).code, 1) << "an icon without a callback message cannot be clicked";
    EXPECT_TRUE(Queued().empty());
    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &nid_));

    AddIcon("Quillon");
    EXPECT_EQ(Tool({"click", PidText()}).code, 0);
    const std::string callback = std::to_string(WM_USER + 7) + " 3 ";
    EXPECT_EQ(Queued(), (std::vector<std::string>{callback + std::to_string(WM_RBUTTONDOWN),
                                                  callback + std::to_string(WM_RBUTTONUP)}));
}

TEST_F(Tray, ChooseSendsTheItemsCommandAndClosesTheMenu) {
    Result none = Tool({"choose", PidText(), "1"});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.err.find("has no menu open"), std::string::npos) << none.err;

    OpenMenu();
    Result beyond = Tool({"choose", PidText(), "3"});
    EXPECT_EQ(beyond.code, 1);
    EXPECT_NE(beyond.err.find("the menu has 2 item(s)"), std::string::npos) << beyond.err;
    pal::shell::OpenMenu menu;
    EXPECT_TRUE(pal::shell::ReadOpenMenu(Pid(), menu)) << "a refused choice leaves the menu open";

    EXPECT_EQ(Tool({"choose", PidText(), "2"}).code, 0);
    EXPECT_EQ(Queued(), (std::vector<std::string>{std::to_string(WM_COMMAND) + " 12 0"}));
    EXPECT_FALSE(pal::shell::ReadOpenMenu(Pid(), menu));
    EXPECT_EQ(Tool({"choose", PidText(), "1"}).code, 1) << "the menu closed with the choice";
}

TEST_F(Tray, RestartForgetsTheIconsAndBroadcastsTaskbarCreated) {
    AddIcon("Quillon");
    ASSERT_EQ(pal::shell::ListIcons().size(), 1u);
    EXPECT_EQ(Tool({"restart"}).code, 0);
    EXPECT_TRUE(pal::shell::ListIcons().empty());
    const UINT created = RegisterWindowMessageA("TaskbarCreated");
    EXPECT_EQ(Queued(), (std::vector<std::string>{std::to_string(created) + " 0 0"}));
    // The icon's owner adds it again, as quillon does on the broadcast.
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &nid_));
    EXPECT_EQ(pal::shell::ListIcons().size(), 1u);
}

TEST_F(Tray, TheProgramReachesThisProcesssWindowFromOutside) {
    AddIcon("Quillon");
    vqtest::ProgramResult listed = vqtest::RunProgram(VQ_TOOL_BIN, {"list"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(PidText() + "\t"), std::string::npos) << listed.out;
    ASSERT_EQ(vqtest::RunProgram(VQ_TOOL_BIN, {"click", PidText()}).status, 0);
    std::vector<std::string> got = Queued(5000);
    if (got.size() < 2) {
        auto more = Queued(5000);
        got.insert(got.end(), more.begin(), more.end());
    }
    const std::string callback = std::to_string(WM_USER + 7) + " 3 ";
    EXPECT_EQ(got, (std::vector<std::string>{callback + std::to_string(WM_RBUTTONDOWN),
                                             callback + std::to_string(WM_RBUTTONUP)}));
}

}  // namespace
