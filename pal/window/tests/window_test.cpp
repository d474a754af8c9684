// Window classes, windows, dispatch, destruction and stale handles.
#include <gtest/gtest.h>
#include <unistd.h>

#include "pal/window/tests/window_test_util.h"

using namespace wtest;

namespace {

std::vector<UINT> Messages(HWND h) {
    std::vector<UINT> out;
    for (const Seen& s : t_seen)
        if (h == nullptr || s.hwnd == h) out.push_back(s.msg);
    return out;
}

TEST(WindowClass, RegistersOnceByNameIgnoringCaseAndResolvesAtoms) {
    OnFreshThread([] {
        ScopedClass c("WtClassA");
        ASSERT_GE(c.atom, 0xC000);
        WNDCLASSEXA again{};
        again.cbSize = sizeof again;
        again.lpszClassName = "wtclassa";
        EXPECT_EQ(RegisterClassExA(&again), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

        WNDCLASSEXA bad{};
        bad.cbSize = 12;  // not the structure's size
        bad.lpszClassName = "WtOther";
        EXPECT_EQ(RegisterClassExA(&bad), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

        EXPECT_EQ(MakeWindow("NoSuchClass"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));

        HWND byAtom = MakeWindow(MAKEINTATOM(c.atom));
        ASSERT_NE(byAtom, nullptr);
        EXPECT_EQ(FindWindowA("WTCLASSA", "TITLE"), byAtom);
        EXPECT_FALSE(UnregisterClassA("WtClassA", nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
        EXPECT_TRUE(DestroyWindow(byAtom));
        EXPECT_TRUE(UnregisterClassA("WtClassA", nullptr));
        EXPECT_FALSE(UnregisterClassA("WtClassA", nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
        c.atom = 0;

        WNDCLASSA plain{};
        plain.lpfnWndProc = RecordingProc;
        plain.lpszClassName = "WtPlain";
        EXPECT_NE(RegisterClassA(&plain), 0);
        EXPECT_TRUE(UnregisterClassA("WtPlain", nullptr));
    });
}

LRESULT CALLBACK RefuseNcCreate(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    RecordingProc(h, m, wp, lp);
    return m == WM_NCCREATE ? FALSE : DefWindowProcA(h, m, wp, lp);
}

LRESULT CALLBACK RefuseCreate(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    RecordingProc(h, m, wp, lp);
    return m == WM_CREATE ? -1 : DefWindowProcA(h, m, wp, lp);
}

TEST(Window, CreationSendsTheCreateStructAndARefusalFails) {
    OnFreshThread([] {
        static int param;
        static CREATESTRUCTA seen;
        struct Capture {
            static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
                if (m == WM_CREATE) seen = *reinterpret_cast<CREATESTRUCTA*>(lp);
                return RecordingProc(h, m, wp, lp);
            }
        };
        ScopedClass c("WtCreate", Capture::Proc);
        HWND h = CreateWindowExA(WS_EX_TOOLWINDOW, "WtCreate", "CheckTitle", WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                 CW_USEDEFAULT, 200, 150, nullptr, nullptr, nullptr, &param);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(Messages(h), (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
        EXPECT_EQ(seen.lpCreateParams, &param);
        EXPECT_EQ(seen.cx, 200);
        EXPECT_EQ(seen.cy, 150);
        EXPECT_STREQ(seen.lpszName, "CheckTitle");
        EXPECT_EQ(seen.style, static_cast<LONG>(WS_SYSMENU | WS_MINIMIZEBOX));
        EXPECT_EQ(seen.dwExStyle, static_cast<DWORD>(WS_EX_TOOLWINDOW));
        EXPECT_FALSE(IsWindowVisible(h));  // created hidden
        EXPECT_TRUE(DestroyWindow(h));

        for (WNDPROC proc : {RefuseNcCreate, RefuseCreate}) {
            t_seen.clear();
            ScopedClass r("WtRefuse", proc);
            EXPECT_EQ(MakeWindow("WtRefuse"), nullptr);
            ASSERT_FALSE(t_seen.empty());
            EXPECT_FALSE(IsWindow(t_seen[0].hwnd));
            EXPECT_EQ(t_seen.back().msg, WM_NCDESTROY);
            EXPECT_EQ(FindWindowA("WtRefuse", nullptr), nullptr);
        }
    });
}

TEST(Window, DestroyNotifiesParentAndChildrenInOrderOnTheOwningThreadOnly) {
    OnFreshThread([] {
        ScopedClass c("WtTree");
        HWND parent = MakeWindow("WtTree");
        HWND child = MakeWindow("WtTree", parent, WS_CHILD);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(MakeWindow("WtTree", nullptr, WS_CHILD), nullptr);  // a child needs a parent
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TLW_WITH_WSCHILD));

        DWORD error = 0;
        BOOL destroyed = TRUE;
        OnFreshThread([&] {
            destroyed = DestroyWindow(parent);
            error = GetLastError();
        });
        EXPECT_FALSE(destroyed);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_TRUE(IsWindow(parent));

        t_seen.clear();
        ASSERT_TRUE(DestroyWindow(parent));
        std::vector<std::pair<HWND, UINT>> order;
        for (const Seen& s : t_seen) order.push_back({s.hwnd, s.msg});
        EXPECT_EQ(order, (std::vector<std::pair<HWND, UINT>>{
                             {parent, WM_DESTROY}, {child, WM_DESTROY}, {child, WM_NCDESTROY}, {parent, WM_NCDESTROY}}));
        EXPECT_FALSE(IsWindow(parent));
        EXPECT_FALSE(IsWindow(child));
    });
}

TEST(Window, StaleAndForeignHandlesFailCleanlyAndAreNeverReused) {
    OnFreshThread([] {
        ScopedClass c("WtStale");
        HWND first = MakeWindow("WtStale");
        ASSERT_NE(first, nullptr);
        // The process id sits above the low 32 bits: a truncated handle would lose it.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(first) >> 32, static_cast<uintptr_t>(getpid()));
        ASSERT_TRUE(DestroyWindow(first));
        HWND second = MakeWindow("WtStale");
        EXPECT_NE(second, first);

        for (HWND h : {first, reinterpret_cast<HWND>(uintptr_t{0x12345678}), HWND_MESSAGE}) {
            EXPECT_FALSE(IsWindow(h));
            SetLastError(0);
            EXPECT_FALSE(PostMessageA(h, WM_USER, 0, 0));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
            EXPECT_EQ(SendMessageA(h, WM_USER, 0, 0), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
            EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
            EXPECT_FALSE(DestroyWindow(h));
            EXPECT_FALSE(ShowWindow(h, SW_SHOW));
            EXPECT_EQ(SetTimer(h, 1, 100, nullptr), 0u);
        }
        // A message queued for a window that is then destroyed reaches nobody.
        ASSERT_TRUE(PostMessageA(second, WM_USER + 5, 0, 0));
        ASSERT_TRUE(DestroyWindow(second));
        t_seen.clear();
        MSG m;
        ASSERT_TRUE(WaitFor(WM_USER + 5, m));
        EXPECT_EQ(DispatchMessageA(&m), 0);
        EXPECT_TRUE(t_seen.empty());
    });
}

TEST(Window, PostedAndSentMessagesReachTheProcedureOnTheOwningThread) {
    OnFreshThread([] {
        ScopedClass c("WtPost");
        HWND h = MakeWindow("WtPost");
        const LPARAM big = static_cast<LPARAM>(0x1122334455667788LL);
        ASSERT_TRUE(PostMessageA(h, WM_USER + 1, 42, big));
        MSG m;
        ASSERT_TRUE(WaitFor(WM_USER + 1, m));
        EXPECT_EQ(m.hwnd, h);
        t_seen.clear();
        TranslateMessage(&m);
        DispatchMessageA(&m);
        ASSERT_EQ(t_seen.size(), 1u);
        EXPECT_EQ(t_seen[0].wp, 42u);
        EXPECT_EQ(t_seen[0].lp, big);

        // Same thread: a direct call with the procedure's result.
        struct Answer {
            static LRESULT CALLBACK Proc(HWND hh, UINT mm, WPARAM wp, LPARAM lp) {
                return mm == WM_USER + 2 ? static_cast<LRESULT>(wp * 2) : DefWindowProcA(hh, mm, wp, lp);
            }
        };
        SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Answer::Proc));
        EXPECT_EQ(SendMessageA(h, WM_USER + 2, 21, 0), 42);

        // Another thread of the process can post, but not send.
        LRESULT sent = 1;
        DWORD error = 0;
        OnFreshThread([&] {
            EXPECT_TRUE(PostMessageA(h, WM_USER + 3, 0, 0));
            sent = SendMessageA(h, WM_USER + 2, 1, 0);
            error = GetLastError();
        });
        EXPECT_EQ(sent, 0);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD));
        EXPECT_TRUE(WaitFor(WM_USER + 3, m));

        // NULL posts a thread message to the caller.
        ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 4, 0, 0));
        ASSERT_TRUE(WaitFor(WM_USER + 4, m));
        EXPECT_EQ(m.hwnd, nullptr);
        DestroyWindow(h);
    });
}

TEST(Window, BroadcastReachesTopLevelWindowsOfEveryThreadOnly) {
    OnFreshThread([] {
        ScopedClass c("WtCast");
        HWND top = MakeWindow("WtCast");
        HWND child = MakeWindow("WtCast", top, WS_CHILD);
        HWND messageOnly = MakeWindow("WtCast", HWND_MESSAGE);
        ASSERT_NE(messageOnly, nullptr);

        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HWND other = nullptr;
        bool otherGot = false;
        std::function<void()> body = [&] {
            other = MakeWindow("WtCast");
            SetEvent(ready);
            MSG m;
            otherGot = WaitFor(WM_USER + 9, m) && m.hwnd == other;
            SetEvent(done);
        };
        HANDLE thread = CreateThread(nullptr, 0, RunFunction, &body, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(ready, kLong), WAIT_OBJECT_0);

        ASSERT_TRUE(PostMessageA(HWND_BROADCAST, WM_USER + 9, 0, 0));
        std::vector<MSG> got = Collect(300);
        ASSERT_EQ(WaitForSingleObject(done, kLong), WAIT_OBJECT_0);
        EXPECT_TRUE(otherGot);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].hwnd, top);

        WaitForSingleObject(thread, kLong);
        EXPECT_FALSE(IsWindow(other));  // its thread ended
        for (HANDLE x : {thread, ready, done}) CloseHandle(x);
        DestroyWindow(top);
        DestroyWindow(messageOnly);
        EXPECT_FALSE(IsWindow(child));
    });
}

TEST(Window, LongValuesCarryPointersIntactAndRejectBadIndices) {
    OnFreshThread([] {
        ScopedClass c("WtLong", RecordingProc, 16);
        HWND h = MakeWindow("WtLong");
        const LONG_PTR pointer = static_cast<LONG_PTR>(0x7F00DEADBEEF1234LL);
        EXPECT_EQ(SetWindowLongPtrA(h, GWLP_USERDATA, pointer), 0);
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(GetWindowLongPtrA(h, GWLP_USERDATA), pointer);
        EXPECT_EQ(SetWindowLongPtrA(h, 8, pointer), 0);
        EXPECT_EQ(GetWindowLongPtrA(h, 8), pointer);
        EXPECT_EQ(GetWindowLongPtrA(h, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&RecordingProc));
        EXPECT_EQ(GetWindowLongPtrA(h, 12), 0);  // would run past the 16 extra bytes
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
        EXPECT_EQ(GetWindowLongPtrA(h, -100), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));

        EXPECT_FALSE(ShowWindow(h, SW_SHOW));
        EXPECT_TRUE(IsWindowVisible(h));
        EXPECT_TRUE(ShowWindow(h, SW_HIDE));
        EXPECT_FALSE(IsWindowVisible(h));
        EXPECT_TRUE(UpdateWindow(h));
        DWORD pid = 0;
        EXPECT_EQ(GetWindowThreadProcessId(h, &pid), GetCurrentThreadId());
        EXPECT_EQ(pid, static_cast<DWORD>(getpid()));
        DestroyWindow(h);
    });
}

void CALLBACK NeverCalled(HWND, UINT, UINT_PTR, DWORD) { ADD_FAILURE() << "a forged timer function was called"; }

TEST(Window, AForgedTimerMessageGoesToTheProcedureNotToItsAddress) {
    OnFreshThread([] {
        ScopedClass c("WtForge");
        HWND h = MakeWindow("WtForge");
        ASSERT_TRUE(PostMessageA(h, WM_TIMER, 3, reinterpret_cast<LPARAM>(&NeverCalled)));
        MSG m;
        ASSERT_TRUE(WaitFor(WM_TIMER, m));
        t_seen.clear();
        DispatchMessageA(&m);
        ASSERT_EQ(t_seen.size(), 1u);
        EXPECT_EQ(t_seen[0].msg, WM_TIMER);
        DestroyWindow(h);
    });
}

TEST(Window, PlaceholdersAndMessageBoxes) {
    EXPECT_NE(GetStockObject(LTGRAY_BRUSH), nullptr);
    EXPECT_NE(GetStockObject(LTGRAY_BRUSH), GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(GetStockObject(9), nullptr);
    EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_NE(LoadCursorA(nullptr, IDC_ARROW), nullptr);
    EXPECT_EQ(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));

    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "text ", "caption", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "q", "c", MB_YESNO), IDYES);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MessageBox [caption] text \n"), std::string::npos) << err;
}

}  // namespace
