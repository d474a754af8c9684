// Events, mutexes, semaphores and waits within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"
#include <unistd.h>

namespace {

std::string Unique(const char* base) {
    static int n = 0;
    return std::string(base) + "_" + std::to_string(getpid()) + "_" + std::to_string(++n);
}

TEST(Event, AutoResetSetWithoutWaiterStaysPendingOnce) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(e);
    SetEvent(e);  // a second set of a set event adds nothing
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    ResetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 10), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST(Event, SetWakesABlockedWaiter) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{12345};
    std::thread t([&] { result = WaitForSingleObject(e, 10000); });
    Sleep(20);
    SetEvent(e);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST(Event, NamedCreateOrOpenAndOpenMissing) {
    std::string name = Unique("ev");
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, name.c_str());  // existing: arguments ignored
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // manual reset, as created

    HANDLE c = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, (name + "x").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // The same name as another kind of object.
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(c);
    // Last handle closed: the name is gone.
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Event, GlobalPrefixNamesTheSameObject) {
    std::string name = Unique("pref");
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, ("Global\\" + name).c_str());
    HANDLE b = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
    EXPECT_NE(b, nullptr);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Mutex, ReentrantForOwnerAndRefusedToOthers) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // second level
    std::atomic<DWORD> other{0};
    std::atomic<DWORD> otherErr{0};
    std::thread t([&] {
        other = WaitForSingleObject(m, 0);
        otherErr = ReleaseMutex(m) ? 0 : GetLastError();
    });
    t.join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(otherErr.load(), static_cast<DWORD>(ERROR_NOT_OWNER));
    // The failed release changed nothing: still held twice by this thread.
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread t2([&] { other = WaitForSingleObject(m, 0); });
    t2.join();
    EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(m);
}

TEST(Mutex, InitialOwnershipOnlyWhenCreated) {
    std::string name = Unique("mx");
    HANDLE a = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(a, nullptr);
    std::atomic<DWORD> err{0};
    std::atomic<bool> released{true};
    std::thread t([&] {
        HANDLE b = CreateMutexA(nullptr, TRUE, name.c_str());
        err = GetLastError();
        released = ReleaseMutex(b) != FALSE;  // not the owner: the creator kept it
        CloseHandle(b);
    });
    t.join();
    EXPECT_EQ(err.load(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(released.load());
    EXPECT_TRUE(ReleaseMutex(a));
    CloseHandle(a);
}

TEST(Mutex, ThreadExitAbandonsOwnedMutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread t([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); });
    t.join();
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED_0);
    // Abandonment is reported once; the new owner holds it normally.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(Mutex, WaiterBlockedOnOwnerGetsAbandonedWhenOwnerThreadEnds) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(finish, INFINITE);
    });
    WaitForSingleObject(taken, INFINITE);
    std::atomic<DWORD> result{0};
    std::thread waiter([&] {
        result = WaitForSingleObject(m, 10000);
        ReleaseMutex(m);
    });
    Sleep(20);
    SetEvent(finish);
    owner.join();
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_ABANDONED_0);
    for (HANDLE h : {m, taken, finish}) CloseHandle(h);
}

TEST(Wait, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
    std::vector<HANDLE> ev;
    for (int i = 0; i < 3; ++i) ev.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    SetEvent(ev[2]);
    SetEvent(ev[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, ev.data(), FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(ev[2], 0), WAIT_OBJECT_0);  // untouched by the first wait
    EXPECT_EQ(WaitForMultipleObjects(3, ev.data(), FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    for (HANDLE h : ev) CloseHandle(h);
}

TEST(Wait, MutexAfterSignalledEventIsNotTaken) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE both[2] = {e, m};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(ReleaseMutex(m));  // the mutex was not acquired
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(e);
    CloseHandle(m);
}

TEST(Wait, SixtyFourHandlesMixedNamedAndUnnamed) {
    std::vector<HANDLE> h;
    for (int i = 0; i < 64; ++i)
        h.push_back(CreateEventA(nullptr, FALSE, FALSE, i % 2 ? Unique("w64").c_str() : nullptr));
    std::atomic<DWORD> result{0};
    std::thread t([&] { result = WaitForMultipleObjects(64, h.data(), FALSE, 10000); });
    Sleep(20);
    SetEvent(h[63]);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 63);
    SetEvent(h[40]);
    SetEvent(h[5]);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), FALSE, 0), WAIT_OBJECT_0 + 5);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), FALSE, 0), WAIT_OBJECT_0 + 40);

    std::vector<HANDLE> tooMany(h);
    tooMany.push_back(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(65, tooMany.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (HANDLE x : h) CloseHandle(x);
}

TEST(Wait, WaitAllTakesEverythingAtOnce) {
    HANDLE a = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE both[2] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // not consumed by the failed wait-all
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Wait, FailuresReportTheLastError) {
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7ff0), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 30), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(0, &e, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(e);
}

TEST(Wait, ClosingTheHandleDuringAWaitIsSafe) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    std::atomic<DWORD> result{0};
    std::thread t([&] { result = WaitForSingleObject(e, 10000); });
    Sleep(20);
    EXPECT_TRUE(CloseHandle(e));  // the waiter still holds the object
    SetEvent(dup);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(dup);
}

TEST(Semaphore, CountsAndRefusesTooManyPosts) {
    HANDLE s = CreateSemaphoreA(nullptr, 1, 2, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    LONG prev = -1;
    EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
    EXPECT_EQ(prev, 0);
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
    CloseHandle(s);
}

TEST(CriticalSection, ReentrantAndExclusive) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    std::atomic<BOOL> other{TRUE};
    std::thread t([&] { other = TryEnterCriticalSection(&cs); });
    t.join();
    EXPECT_FALSE(other.load());
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread t2([&] {
        other = TryEnterCriticalSection(&cs);
        if (other) LeaveCriticalSection(&cs);
    });
    t2.join();
    EXPECT_TRUE(other.load());
    DeleteCriticalSection(&cs);
}

TEST(Wait, ManyThreadsHandAMutexAroundWithoutLosingCounts) {
    HANDLE m = CreateMutexA(nullptr, FALSE, Unique("count").c_str());
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
                ++counter;
                ReleaseMutex(m);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 2000);
    CloseHandle(m);
}

}  // namespace
