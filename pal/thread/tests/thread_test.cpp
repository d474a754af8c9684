#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>

#include "pal/error/error.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

namespace {

std::atomic<int> g_ran{0};

DWORD WINAPI Count(LPVOID param) {
    ++g_ran;
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(param));
}

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
    g_ran = 0;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, Count, reinterpret_cast<LPVOID>(7), CREATE_SUSPENDED, &id);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(GetThreadId(h), id);
    EXPECT_EQ(WaitForSingleObject(h, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(g_ran.load(), 0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(h), 1u);
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(g_ran.load(), 1);
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(ResumeThread(h), 0u);
    CloseHandle(h);
}

DWORD WINAPI ReportId(LPVOID param) {
    *static_cast<DWORD*>(param) = GetCurrentThreadId();
    return 0;
}

// Without a request for its id a suspended thread is not started before its resume, yet
// behaves the same to its creator; one never resumed leaves nothing behind on close.
TEST(Thread, SuspendedThreadWithoutIdStartsOnResume) {
    DWORD seen = 0;
    HANDLE h = CreateThread(nullptr, 0, ReportId, &seen, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetThreadId(h), 0u);
    EXPECT_EQ(WaitForSingleObject(h, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(h), 1u);
    ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_NE(seen, 0u);
    EXPECT_EQ(GetThreadId(h), seen);
    EXPECT_EQ(ResumeThread(h), 0u);
    CloseHandle(h);

    seen = 0;
    HANDLE never = CreateThread(nullptr, 0, ReportId, &seen, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(never, nullptr);
    CloseHandle(never);
    Sleep(20);
    EXPECT_EQ(seen, 0u);

    // Not suspended and no id asked for: it runs at once, and its id is there when asked.
    h = CreateThread(nullptr, 0, ReportId, &seen, 0, nullptr);
    ASSERT_NE(h, nullptr);
    const DWORD id = GetThreadId(h);
    ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(id, seen);
    CloseHandle(h);
}

DWORD WINAPI Exits(LPVOID) {
    ExitThread(42);
}

TEST(Thread, ExitThreadSetsTheExitCode) {
    HANDLE h = CreateThread(nullptr, 0, Exits, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 42u);
    CloseHandle(h);
}

struct OwnArgs {
    HANDLE mutex;
};

DWORD WINAPI TakeAndEnd(LPVOID p) {
    return WaitForSingleObject(static_cast<OwnArgs*>(p)->mutex, 0);
}

TEST(Thread, HandleIsSignalledOnlyAfterOwnedMutexesAreAbandoned) {
    OwnArgs args{CreateMutexA(nullptr, FALSE, nullptr)};
    HANDLE h = CreateThread(nullptr, 0, TakeAndEnd, &args, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(args.mutex, 0), WAIT_ABANDONED_0);
    ReleaseMutex(args.mutex);
    CloseHandle(args.mutex);
    CloseHandle(h);
}

TEST(Thread, IdsAreThirtyTwoBitAndDistinct) {
    DWORD a = 0, b = 0;
    HANDLE ha = CreateThread(nullptr, 0, Count, nullptr, CREATE_SUSPENDED, &a);
    HANDLE hb = CreateThread(nullptr, 0, Count, nullptr, CREATE_SUSPENDED, &b);
    EXPECT_NE(a, b);
    EXPECT_NE(a, GetCurrentThreadId());
    ResumeThread(ha);
    ResumeThread(hb);
    HANDLE both[2] = {ha, hb};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
    CloseHandle(ha);
    CloseHandle(hb);
}

TEST(Time, TickCountWrapsAt32Bits) {
    setenv("VQ_TICK_OFFSET", "0", 1);
    ULONGLONG base = GetTickCount64();
    // Put the wrap a second ahead of now.
    setenv("VQ_TICK_OFFSET", std::to_string(0x100000000ull - (base % 0x100000000ull) - 1000).c_str(), 1);
    DWORD before = GetTickCount();
    EXPECT_GT(before, 0xFFFFF000u);
    Sleep(1100);
    DWORD after = GetTickCount();
    EXPECT_LT(after, 5000u);
    EXPECT_GE(static_cast<DWORD>(after - before), 1000u);  // unsigned difference survives the wrap
    unsetenv("VQ_TICK_OFFSET");
}

TEST(Time, ConfiguredBiasDrivesLocalTimeAndZoneInformation) {
    setenv("VQ_TZ_BIAS", "-540", 1);  // UTC+9
    TIME_ZONE_INFORMATION tzi;
    GetTimeZoneInformation(&tzi);
    EXPECT_EQ(tzi.Bias, -540);
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    int minutesUtc = utc.wHour * 60 + utc.wMinute;
    int minutesLocal = local.wHour * 60 + local.wMinute;
    int diff = ((minutesLocal - minutesUtc) % 1440 + 1440) % 1440;
    EXPECT_TRUE(diff == 540 || diff == 541) << diff;  // a minute may turn between the calls
    unsetenv("VQ_TZ_BIAS");
}

TEST(Time, SystemTimeFieldsAreInRange) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    EXPECT_GE(st.wYear, 2024);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LE(st.wDayOfWeek, 6);
    EXPECT_LE(st.wMilliseconds, 999);
}

TEST(ComputerName, CutToFifteenUpperCaseAndSizedLikeTheSystem) {
    setenv("VQ_COMPUTERNAME", "pos-terminal-0042-east", 1);
    char buf[32];
    DWORD size = sizeof buf;
    ASSERT_TRUE(GetComputerNameA(buf, &size));
    EXPECT_STREQ(buf, "POS-TERMINAL-00");
    EXPECT_EQ(size, 15u);
    char small[4];
    size = sizeof small;
    EXPECT_FALSE(GetComputerNameA(small, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 16u);
    unsetenv("VQ_COMPUTERNAME");
}

}  // namespace
