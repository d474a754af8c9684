// Named objects shared between real processes, including holders killed with SIGKILL.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"
#include "tests/support/child_process.h"

namespace {

std::string Unique(const char* base) {
    static int n = 0;
    return std::string(base) + "_" + std::to_string(getpid()) + "_" + std::to_string(++n);
}

VQ_CHILD(hold_mutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    if (WaitForSingleObject(m, 5000) != WAIT_OBJECT_0) return 1;
    vqtest::Tell("held");
    Sleep(INFINITE);
    return 0;
}

// A thread takes the mutex and ends; the process lives on.
VQ_CHILD(thread_takes_mutex_and_ends) {
    HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    std::thread t([&] { WaitForSingleObject(m, 5000); });
    t.join();
    vqtest::Tell("done");
    Sleep(INFINITE);
    return 0;
}

VQ_CHILD(wait_event) {
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, args.at(0).c_str());
    if (!e) return 2;
    vqtest::Tell("waiting");
    DWORD r = WaitForSingleObject(e, static_cast<DWORD>(std::stoul(args.at(1))));
    vqtest::Tell(r == WAIT_OBJECT_0 ? "got" : "timeout");
    return 0;
}

VQ_CHILD(create_objects) {
    CreateEventA(nullptr, TRUE, FALSE, args.at(0).c_str());
    CreateMutexA(nullptr, TRUE, args.at(1).c_str());
    vqtest::Tell("ready");
    Sleep(INFINITE);
    return 0;
}

VQ_CHILD(open_and_report) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, args.at(0).c_str());
    vqtest::Tell(GetLastError() == ERROR_ALREADY_EXISTS ? "existed" : "created");
    SetEvent(e);
    CloseHandle(e);
    return 0;
}

// Keeps a handle to the named mutex, so it outlives its holders, until killed.
VQ_CHILD(keep_mutex) {
    if (!CreateMutexA(nullptr, FALSE, args.at(0).c_str())) return 1;
    vqtest::Tell("kept");
    Sleep(INFINITE);
    return 0;
}

// Opens and closes the named mutex over and over, without ever waiting for it.
VQ_CHILD(churn_mutex) {
    vqtest::Tell("churning");
    for (;;) {
        HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
        if (!m) return 1;
        CloseHandle(m);
    }
}

// The next user after a holder: reports how it got the mutex.
VQ_CHILD(use_mutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, args.at(0).c_str());
    vqtest::Tell("waiting");
    DWORD w = m ? WaitForSingleObject(m, 10000) : WAIT_FAILED;
    vqtest::Tell(w == WAIT_ABANDONED_0 ? "abandoned" : w == WAIT_OBJECT_0 ? "free" : "failed");
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED_0) ReleaseMutex(m);
    return 0;
}

TEST(NamedAcrossProcesses, KilledHolderAbandonsMutexKeptOpenByOthers) {
    // As services do: keepers hold the name, one more process keeps opening and closing it,
    // and each holder is killed while owning it; every next user must be told.
    std::string name = Unique("keptmx");
    vqtest::ChildProcess keeper("keep_mutex", {name});
    ASSERT_TRUE(keeper.Expect("kept"));
    vqtest::ChildProcess churn("churn_mutex", {name});
    ASSERT_TRUE(churn.Expect("churning"));
    int free = 0;
    for (int round = 0; round < 40; ++round) {
        vqtest::ChildProcess holder("hold_mutex", {name});
        ASSERT_TRUE(holder.Expect("held")) << "round " << round;
        holder.Kill(SIGKILL);
        holder.Wait();
        vqtest::ChildProcess user("use_mutex", {name});
        ASSERT_TRUE(user.Expect("waiting")) << "round " << round;
        std::string got = user.ReadLine(15000);
        EXPECT_NE(got, "failed") << "round " << round;
        if (got == "free") ++free;
        user.Wait();
    }
    EXPECT_EQ(free, 0);
    churn.Kill(SIGKILL);
    churn.Wait();
    keeper.Kill(SIGKILL);
    keeper.Wait();
}

TEST(NamedAcrossProcesses, OnlyOneOfTwoWaitingProcessesIsToldOfTheAbandonment) {
    std::string name = Unique("onemx");
    vqtest::ChildProcess keeper("keep_mutex", {name});
    ASSERT_TRUE(keeper.Expect("kept"));
    vqtest::ChildProcess holder("hold_mutex", {name});
    ASSERT_TRUE(holder.Expect("held"));
    vqtest::ChildProcess a("use_mutex", {name});
    vqtest::ChildProcess b("use_mutex", {name});
    ASSERT_TRUE(a.Expect("waiting"));
    ASSERT_TRUE(b.Expect("waiting"));
    Sleep(50);  // let both block first, so that they contend for the one wake
    holder.Kill(SIGKILL);
    holder.Wait();
    std::string ra = a.ReadLine(15000);
    std::string rb = b.ReadLine(15000);
    EXPECT_EQ((ra == "abandoned") + (rb == "abandoned"), 1) << ra << " / " << rb;
    EXPECT_EQ((ra == "free") + (rb == "free"), 1) << ra << " / " << rb;
    a.Wait();
    b.Wait();
    keeper.Kill(SIGKILL);
    keeper.Wait();
}

TEST(NamedAcrossProcesses, KilledHolderAbandonsMutexToBlockedWaiter) {
    std::string name = Unique("kmx");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    vqtest::ChildProcess child("hold_mutex", {name});
    ASSERT_TRUE(child.Expect("held"));
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    std::atomic<DWORD> result{0};
    std::thread waiter([&] { result = WaitForSingleObject(m, 10000); });
    Sleep(50);  // let the waiter block first: its wake must come from the owner's death
    child.Kill(SIGKILL);
    child.Wait();
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_ABANDONED_0);
    CloseHandle(m);
}

TEST(NamedAcrossProcesses, KilledHolderAbandonsMutexToLaterWaiter) {
    std::string name = Unique("kmx2");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    vqtest::ChildProcess child("hold_mutex", {name});
    ASSERT_TRUE(child.Expect("held"));
    child.Kill(SIGKILL);
    child.Wait();
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST(NamedAcrossProcesses, ThreadEndingInLiveProcessAbandonsMutex) {
    std::string name = Unique("tmx");
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    vqtest::ChildProcess child("thread_takes_mutex_and_ends", {name});
    ASSERT_TRUE(child.Expect("done"));
    EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED_0);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST(NamedAcrossProcesses, AutoResetSetOnceReleasesExactlyOneOfTwoProcesses) {
    std::string name = Unique("auto");
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    vqtest::ChildProcess a("wait_event", {name, "1500"});
    vqtest::ChildProcess b("wait_event", {name, "1500"});
    ASSERT_TRUE(a.Expect("waiting"));
    ASSERT_TRUE(b.Expect("waiting"));
    Sleep(100);
    SetEvent(e);
    std::string ra = a.ReadLine(5000);
    std::string rb = b.ReadLine(5000);
    EXPECT_EQ((ra == "got") + (rb == "got"), 1) << ra << " / " << rb;
    EXPECT_EQ((ra == "timeout") + (rb == "timeout"), 1) << ra << " / " << rb;
    CloseHandle(e);
}

TEST(NamedAcrossProcesses, ManualResetReleasesEveryWaitingProcess) {
    std::string name = Unique("manual");
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    vqtest::ChildProcess a("wait_event", {name, "5000"});
    vqtest::ChildProcess b("wait_event", {name, "5000"});
    ASSERT_TRUE(a.Expect("waiting"));
    ASSERT_TRUE(b.Expect("waiting"));
    SetEvent(e);
    EXPECT_EQ(a.ReadLine(5000), "got");
    EXPECT_EQ(b.ReadLine(5000), "got");
    CloseHandle(e);
}

TEST(NamedAcrossProcesses, SetThatNobodyConsumedStaysPendingForALaterProcess) {
    std::string name = Unique("pending");
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    SetEvent(e);
    vqtest::ChildProcess a("wait_event", {name, "0"});
    ASSERT_TRUE(a.Expect("waiting"));
    EXPECT_EQ(a.ReadLine(5000), "got");
    vqtest::ChildProcess b("wait_event", {name, "0"});
    ASSERT_TRUE(b.Expect("waiting"));
    EXPECT_EQ(b.ReadLine(5000), "timeout");
    CloseHandle(e);
}

TEST(NamedAcrossProcesses, NamesVanishWhenTheirHolderIsKilled) {
    std::string ev = Unique("gone_ev");
    std::string mx = Unique("gone_mx");
    vqtest::ChildProcess child("create_objects", {ev, mx});
    ASSERT_TRUE(child.Expect("ready"));
    HANDLE probe = OpenEventA(SYNCHRONIZE, FALSE, ev.c_str());
    ASSERT_NE(probe, nullptr);
    CloseHandle(probe);
    child.Kill(SIGKILL);
    child.Wait();
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, ev.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, mx.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Created anew, the mutex is fresh: owned by its creator, not abandoned.
    HANDLE m = CreateMutexA(nullptr, TRUE, mx.c_str());
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(NamedAcrossProcesses, NameSurvivesWhileAnotherProcessHoldsIt) {
    std::string name = Unique("shared");
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    vqtest::ChildProcess child("open_and_report", {name});
    EXPECT_EQ(child.ReadLine(5000), "existed");
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);  // the child's set reached us
    CloseHandle(e);
}

TEST(NamedAcrossProcesses, WaitAnyMixesNamedAndUnnamedObjects) {
    std::string name = Unique("mixed");
    HANDLE local = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE named = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    HANDLE both[2] = {local, named};
    std::atomic<DWORD> result{0};
    std::thread waiter([&] { result = WaitForMultipleObjects(2, both, FALSE, 10000); });
    vqtest::ChildProcess child("open_and_report", {name});
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    child.Wait();
    CloseHandle(local);
    CloseHandle(named);
}

}  // namespace
