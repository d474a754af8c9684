#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"
#include "tests/support/child_process.h"

namespace {

const DWORD kLong = 30000;  // generous: the machine is shared

DWORD WINAPI RunFunction(LPVOID p) {
    (*static_cast<std::function<void()>*>(p))();
    return 0;
}

HANDLE Start(std::function<void()>* body, DWORD* id = nullptr, DWORD flags = 0) {
    return CreateThread(nullptr, 0, RunFunction, body, flags, id);
}

// Runs a test body on a thread of its own: the queue it makes ends with it, so nothing
// is left for the next test.
void OnFreshThread(std::function<void()> body) {
    HANDLE h = Start(&body);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 120000), WAIT_OBJECT_0);
    CloseHandle(h);
}

void MakeQueue() {
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
}

void Drain() {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST(MessageQueue, PostedMessagesArriveInOrderWithTheirParameters) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        for (int k = 1; k <= 3; ++k)
            ASSERT_TRUE(PostThreadMessageA(self, WM_USER + k, static_cast<WPARAM>(k), static_cast<LPARAM>(-k)));
        for (int k = 1; k <= 3; ++k) {
            MSG m{};
            ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
            EXPECT_EQ(m.message, static_cast<UINT>(WM_USER + k));
            EXPECT_EQ(m.hwnd, nullptr);
            EXPECT_EQ(m.wParam, static_cast<WPARAM>(k));
            EXPECT_EQ(m.lParam, static_cast<LPARAM>(-k));
        }
        MSG m;
        EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    });
}

TEST(MessageQueue, FiltersAndRemoveFlagTakeOnlyWhatTheyAskFor) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        for (UINT msg : {WM_USER + 1, WM_APP + 1, WM_USER + 2, WM_TIMER}) PostThreadMessageA(self, msg, msg, 0);
        MSG m{};
        ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_APP, WM_APP + 10, PM_NOREMOVE));
        EXPECT_EQ(m.message, WM_APP + 1);
        ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
        EXPECT_EQ(m.message, WM_APP + 1);
        EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
        ASSERT_GT(GetMessageA(&m, nullptr, WM_USER + 2, WM_USER + 2), 0);
        EXPECT_EQ(m.message, WM_USER + 2);
        // A range whose low end is above its high end takes nothing.
        EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_USER + 5, WM_USER + 1, PM_REMOVE));
        // Kinds other than posted messages leave them where they are.
        EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT));
        ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE | PM_QS_POSTMESSAGE));
        EXPECT_EQ(m.message, WM_USER + 1);
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, WM_TIMER);
        EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    });
}

TEST(MessageQueue, QuitComesAfterPostedMessagesAndPassesEveryFilter) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        MSG m{};
        PostThreadMessageA(self, WM_USER + 1, 0, 0);
        PostQuitMessage(7);
        PostThreadMessageA(self, WM_USER + 2, 0, 0);
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, WM_USER + 1);
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, WM_USER + 2);
        EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, WM_QUIT);
        EXPECT_EQ(m.wParam, 7u);
        EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

        PostQuitMessage(-3);
        ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
        EXPECT_EQ(m.message, WM_QUIT);
        EXPECT_EQ(GetMessageA(&m, nullptr, WM_USER, WM_USER), 0);
        EXPECT_EQ(static_cast<int>(m.wParam), -3);

        // A posted WM_QUIT keeps its place in the line and ignores the filter too.
        PostThreadMessageA(self, WM_QUIT, 5, 0);
        PostThreadMessageA(self, WM_USER + 3, 0, 0);
        EXPECT_EQ(GetMessageA(&m, nullptr, WM_USER + 3, WM_USER + 3), 0);
        EXPECT_EQ(m.wParam, 5u);
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, WM_USER + 3);
    });
}

TEST(MessageQueue, QuitPostedFromAnotherThreadEndsItsLoop) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int handled = 0;
    WPARAM code = 0;
    std::function<void()> loop = [&] {
        MakeQueue();
        SetEvent(ready);
        MSG m;
        BOOL r;
        while ((r = GetMessageA(&m, nullptr, 0, 0)) > 0) ++handled;
        EXPECT_EQ(r, 0);
        code = m.wParam;
    };
    DWORD id = 0;
    HANDLE h = Start(&loop, &id);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), WAIT_OBJECT_0);
    PostThreadMessageA(id, WM_USER, 0, 0);
    PostThreadMessageA(id, WM_USER, 0, 0);
    ASSERT_TRUE(PostThreadMessageA(id, WM_QUIT, 9, 0));
    ASSERT_EQ(WaitForSingleObject(h, kLong), WAIT_OBJECT_0);
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(handled, 2);
    CloseHandle(h);
    CloseHandle(ready);
}

TEST(MessageQueue, PostsFailBeforeTheQueueExistsAndAfterTheThreadEnded) {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::function<void()> body = [&] {
        MakeQueue();
        SetEvent(ready);
        WaitForSingleObject(go, kLong);  // ends with what was posted still queued
    };
    DWORD id = 0;
    HANDLE h = Start(&body, &id, CREATE_SUSPENDED);
    ASSERT_NE(h, nullptr);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    ResumeThread(h);
    ASSERT_EQ(WaitForSingleObject(ready, kLong), WAIT_OBJECT_0);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(PostThreadMessageA(id, WM_USER, 0, 0));
    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(h, kLong), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    CloseHandle(h);
    CloseHandle(go);
    CloseHandle(ready);
}

TEST(MessageQueue, TenThousandMessagesFitAndTheNextPostFails) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        for (int k = 0; k < 10000; ++k) ASSERT_TRUE(PostThreadMessageA(self, WM_USER, 0, k));
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageA(self, WM_USER, 0, 10000));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
        MSG m;
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.lParam, 0);
        EXPECT_TRUE(PostThreadMessageA(self, WM_USER, 0, 10000));
        // The quit request is not a queued message: it gets through a full queue.
        PostQuitMessage(1);
        LPARAM expected = 1;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) EXPECT_EQ(m.lParam, expected++);
        EXPECT_EQ(expected, 10001);
    });
}

TEST(MessageQueue, EightSendersReachOneReaderInTheirOwnOrder) {
    OnFreshThread([] {
        MakeQueue();
        const DWORD reader = GetCurrentThreadId();
        const int kSenders = 8, kEach = 10000;
        std::vector<std::function<void()>> bodies;
        for (int s = 0; s < kSenders; ++s) {
            bodies.emplace_back([reader, s] {
                for (int k = 0; k < kEach; ++k) {
                    // A full queue is a reason to wait, not to drop.
                    while (!PostThreadMessageA(reader, WM_APP, static_cast<WPARAM>(s), k)) {
                        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
                        Sleep(1);
                    }
                }
            });
        }
        std::vector<HANDLE> senders;
        for (auto& b : bodies) senders.push_back(Start(&b));
        std::vector<LPARAM> next(kSenders, 0);
        for (int n = 0; n < kSenders * kEach; ++n) {
            MSG m;
            ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
            ASSERT_EQ(m.message, WM_APP);
            ASSERT_LT(m.wParam, static_cast<WPARAM>(kSenders));
            ASSERT_EQ(m.lParam, next[m.wParam]) << "sender " << m.wParam;
            ++next[m.wParam];
        }
        EXPECT_EQ(WaitForMultipleObjects(kSenders, senders.data(), TRUE, kLong), WAIT_OBJECT_0);
        for (HANDLE h : senders) CloseHandle(h);
        for (LPARAM n : next) EXPECT_EQ(n, kEach);
        MSG m;
        EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    });
}

TEST(MessageQueue, PointersAndWideValuesCrossThreadsIntact) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        auto text = std::make_unique<std::string>("carried across");
        const WPARAM wide = 0xFFFFFFFF00000001ull;
        const LPARAM negative = -5000000000LL;
        std::function<void()> sender = [&] {
            PostThreadMessageA(self, WM_USER, wide, reinterpret_cast<LPARAM>(text.get()));
            PostThreadMessageA(self, WM_USER + 1, 0, negative);
        };
        HANDLE h = Start(&sender);
        MSG m;
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.wParam, wide);
        EXPECT_EQ(reinterpret_cast<std::string*>(m.lParam), text.get());
        EXPECT_EQ(*reinterpret_cast<std::string*>(m.lParam), "carried across");
        ASSERT_GT(GetMessageA(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.lParam, negative);
        WaitForSingleObject(h, kLong);
        CloseHandle(h);
    });
}

TEST(MessageQueue, MsgWaitWakesForAPostAndForAHandle) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));

        // The other thread acts a little later, so the wait is usually asleep by then.
        std::function<void()> post = [&] {
            Sleep(50);
            PostThreadMessageA(self, WM_USER, 0, 0);
        };
        HANDLE h = Start(&post);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, kLong, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
        WaitForSingleObject(h, kLong);
        CloseHandle(h);
        // Looked at but still queued: the wait still returns for it.
        MSG m;
        ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
        Drain();
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));

        std::function<void()> set = [&] {
            Sleep(50);
            SetEvent(ev);
        };
        h = Start(&set);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, kLong, QS_ALLINPUT), WAIT_OBJECT_0);
        WaitForSingleObject(h, kLong);
        CloseHandle(h);

        // Both ready: the handle comes first and is consumed; the message stays.
        PostThreadMessageA(self, WM_USER, 0, 0);
        SetEvent(ev);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
        // A mask without posted messages does not see it; no handles at all is fine.
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 0, QS_KEY | QS_MOUSE), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0);
        Drain();
        EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), static_cast<DWORD>(WAIT_TIMEOUT));
        PostQuitMessage(0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &ev, 0, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0 + 1);
        Drain();

        SetLastError(0);
        EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, TRUE, 0, QS_ALLINPUT), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        HANDLE many[MAXIMUM_WAIT_OBJECTS];
        for (auto& x : many) x = ev;
        EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
        CloseHandle(ev);
    });
}

TEST(MessageQueue, WaitMessageAndQueueStatusSeeArrivals) {
    OnFreshThread([] {
        MakeQueue();
        DWORD self = GetCurrentThreadId();
        EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);
        std::function<void()> post = [&] {
            Sleep(50);
            PostThreadMessageA(self, WM_USER, 0, 0);
        };
        HANDLE h = Start(&post);
        EXPECT_TRUE(WaitMessage());
        WaitForSingleObject(h, kLong);
        CloseHandle(h);
        // High word: queued now; low word: arrived since the last look.
        EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), static_cast<DWORD>(QS_POSTMESSAGE << 16 | QS_POSTMESSAGE));
        EXPECT_EQ(GetQueueStatus(QS_ALLPOSTMESSAGE), static_cast<DWORD>(QS_ALLPOSTMESSAGE << 16));
        EXPECT_TRUE(WaitMessage());  // returns at once for a message already seen
        Drain();
        EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);
    });
}

VQ_CHILD(print_command_line) {
    LPSTR first = GetCommandLineA();
    LPSTR again = GetCommandLineA();
    vqtest::Tell(first == again ? "stable" : "moved");
    vqtest::Tell(first);
    return 0;
}

TEST(CommandLine, ShowsTheProgramAsStartedAndQuotesArguments) {
    namespace fs = std::filesystem;
    const char* root = getenv("VQ_ROOT");
    ASSERT_NE(root, nullptr);
    fs::path dir = fs::path(root) / "program files";
    fs::create_directories(dir);
    fs::path program = dir / "pal thread test";
    fs::remove(program);
    fs::create_symlink(fs::read_symlink("/proc/self/exe"), program);

    auto r = vqtest::RunProgram(program.string(), {"--vq-child", "print_command_line", "plain", "with space", "",
                                                   "tab\there", "say \"hi\"", "trail\\", "spaced trail\\"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = "\"" + program.string() +
                           "\" --vq-child print_command_line plain \"with space\" \"\" \"tab\there\" "
                           "\"say \\\"hi\\\"\" trail\\ \"spaced trail\\\\\"";
    EXPECT_EQ(r.out, "stable\n" + expected + "\n");

    // How a program finds its own path in it: a leading quote runs to the next one.
    std::string line = r.out.substr(r.out.find('\n') + 1);
    ASSERT_EQ(line[0], '"');
    EXPECT_EQ(line.substr(1, line.find('"', 1) - 1), program.string());
}

}  // namespace
