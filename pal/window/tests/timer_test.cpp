// Timers: firing, timer functions, KillTimer, coalescing of WM_TIMER for a slow reader,
// and timers that end with their window.
#include <gtest/gtest.h>

#include "pal/window/tests/window_test_util.h"

using namespace wtest;

namespace {

size_t CountTimers(const std::vector<MSG>& msgs, HWND h, UINT_PTR id) {
    size_t n = 0;
    for (const MSG& m : msgs)
        if (m.message == WM_TIMER && m.hwnd == h && m.wParam == id) ++n;
    return n;
}

TEST(Timer, WindowTimerFiresUntilKilled) {
    OnFreshThread([] {
        ScopedClass c("TtFire");
        HWND h = MakeWindow("TtFire");
        ASSERT_EQ(SetTimer(h, 7, 20, nullptr), 7u);
        for (int i = 0; i < 3; ++i) {
            MSG m;
            ASSERT_TRUE(WaitFor(WM_TIMER, m));
            EXPECT_EQ(m.hwnd, h);
            EXPECT_EQ(m.wParam, 7u);
            t_seen.clear();
            DispatchMessageA(&m);
            ASSERT_EQ(t_seen.size(), 1u);
            EXPECT_EQ(t_seen[0].msg, WM_TIMER);
        }
        EXPECT_TRUE(KillTimer(h, 7));
        EXPECT_FALSE(KillTimer(h, 7));
        Collect(50);  // what was queued before the kill
        EXPECT_EQ(CountTimers(Collect(300), h, 7), 0u);
        DestroyWindow(h);
    });
}

TEST(Timer, ASlowReaderFindsOneTimerMessageWaitingNotABacklog) {
    OnFreshThread([] {
        ScopedClass c("TtCoalesce");
        HWND h = MakeWindow("TtCoalesce");
        ASSERT_NE(SetTimer(h, 1, USER_TIMER_MINIMUM, nullptr), 0u);
        ASSERT_NE(SetTimer(h, 2, USER_TIMER_MINIMUM, nullptr), 0u);
        Sleep(400);  // some 40 periods without reading
        size_t one = 0, two = 0;
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message != WM_TIMER) continue;
            one += m.wParam == 1;
            two += m.wParam == 2;
        }
        EXPECT_EQ(one, 1u);
        EXPECT_EQ(two, 1u);
        // Taken out, the timer posts again.
        ASSERT_TRUE(WaitFor(WM_TIMER, m));
        DestroyWindow(h);  // kills both
        Collect(50);
        EXPECT_EQ(CountTimers(Collect(300), h, 1), 0u);
    });
}

thread_local int t_calls = 0;
thread_local UINT_PTR t_calledId = 0;
void CALLBACK CountCall(HWND, UINT msg, UINT_PTR id, DWORD) {
    EXPECT_EQ(msg, WM_TIMER);
    ++t_calls;
    t_calledId = id;
}

TEST(Timer, ThreadTimersGetAnIdAndRunTheirFunctionInDispatch) {
    OnFreshThread([] {
        UINT_PTR id = SetTimer(nullptr, 0, 20, &CountCall);
        ASSERT_NE(id, 0u);
        UINT_PTR other = SetTimer(nullptr, 0, 20, nullptr);
        EXPECT_NE(other, id);
        EXPECT_EQ(SetTimer(nullptr, id, 30, &CountCall), id);  // replaces its own timer
        MSG m;
        do {
            ASSERT_TRUE(WaitFor(WM_TIMER, m));
        } while (m.wParam != id);
        EXPECT_EQ(m.hwnd, nullptr);
        DispatchMessageA(&m);
        EXPECT_EQ(t_calls, 1);
        EXPECT_EQ(t_calledId, id);
        EXPECT_TRUE(KillTimer(nullptr, id));
        EXPECT_TRUE(KillTimer(nullptr, other));
        // Another thread does not own them.
        BOOL killed = TRUE;
        UINT_PTR mine = SetTimer(nullptr, 0, 1000, nullptr);
        OnFreshThread([&] { killed = KillTimer(nullptr, mine); });
        EXPECT_FALSE(killed);
        EXPECT_TRUE(KillTimer(nullptr, mine));
    });
}

TEST(Timer, TimersOfAnEndedThreadStop) {
    // A thread timer whose thread ended must not keep the timer thread posting; a new
    // timer afterwards still works.
    OnFreshThread([] { EXPECT_NE(SetTimer(nullptr, 0, 10, nullptr), 0u); });
    OnFreshThread([] {
        ScopedClass c("TtAfter");
        HWND h = MakeWindow("TtAfter");
        ASSERT_NE(SetTimer(h, 5, 10, nullptr), 0u);
        MSG m;
        EXPECT_TRUE(WaitFor(WM_TIMER, m));
        DestroyWindow(h);
    });
}

}  // namespace
