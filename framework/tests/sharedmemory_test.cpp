#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/apllog.h"
#include "framework/sharedmemory.h"
#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

struct Record {
    WORD event;
    std::string function;
    std::string message;
};
std::mutex g_lock;
std::vector<Record> g_records;

void Capture(WORD event, DWORD, LONG, const char* function, const char* message) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_records.push_back({event, function ? function : "", message ? message : ""});
}

int CountLogged(const std::string& message) {
    std::lock_guard<std::mutex> guard(g_lock);
    int n = 0;
    for (const auto& r : g_records) n += r.message == message;
    return n;
}

void OpenLog(const char* process) {
    CreateDirectoryA("C:\\shmlog", nullptr);
    CAplLog::SetLog2Info("POS-0001", 1, 1, 3, 0);
    CAplLog::Open(1, process, "C:\\shmlog", 4000000, 0);
    CAplLog::SetWriteHandler(Capture);
}

constexpr DWORD kSize = 256;

std::string Text(const CSharedMemory& shm) {
    std::vector<char> buf(kSize);
    const_cast<CSharedMemory&>(shm).Load(buf.data());
    return std::string(buf.data());
}

void Put(CSharedMemory& shm, const std::string& text) {
    std::vector<char> buf(kSize, 0);
    std::memcpy(buf.data(), text.data(), text.size());
    shm.Save(buf.data());
}

class SharedMemoryTest : public testing::Test {
protected:
    void SetUp() override {
        OpenLog("shmtest");
        std::lock_guard<std::mutex> guard(g_lock);
        g_records.clear();
    }
    void TearDown() override {
        CAplLog::SetWriteHandler(nullptr);
        CAplLog::Close();
    }
};

// args: name, owner. Opens, reports the result and the text, writes its answer.
VQ_CHILD(shm_peer) {
    CSharedMemory shm;
    vqtest::Tell("opening");
    int result = shm.Open(args.at(0).c_str(), kSize, std::stoi(args.at(1)));
    vqtest::Tell("open " + std::to_string(result) + " " + Text(shm));
    Put(shm, "from child");
    if (shm.GetLockCount() > 0) shm.Release();
    vqtest::Tell("done");
    return 0;
}

// args: name. Holds the lock until killed.
VQ_CHILD(shm_holder) {
    CSharedMemory shm;
    shm.Open(args.at(0).c_str(), kSize, 0);
    if (shm.Lock(INFINITE) != 0) return 1;
    vqtest::Tell("locked");
    Sleep(INFINITE);
    return 0;
}

// Runs op on a thread of its own while a child process holds the lock: op must wait for it
// rather than go ahead unlocked. The holder is then killed, which lets op finish.
void WaitsForTheHolder(const char* name, const std::function<void()>& op) {
    vqtest::ChildProcess holder("shm_holder", {name});
    ASSERT_TRUE(holder.Expect("locked"));
    std::atomic<bool> done{false};
    std::thread t([&] {
        op();
        done = true;
    });
    Sleep(300);
    EXPECT_FALSE(done) << "went ahead while another process held the lock";
    holder.Kill(9);
    holder.Wait();
    t.join();
}

TEST_F(SharedMemoryTest, OpenAgainWithoutOwnerLocksAroundLoadAndSave) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("Reopen", kSize, 1), 0);
    ASSERT_EQ(shm.GetLockCount(), 1);
    Put(shm, "first");
    ASSERT_EQ(shm.Open("Reopen", kSize, 0), 0);  // the old block went with the old handles
    EXPECT_EQ(shm.GetLockCount(), 0);

    std::vector<char> loaded(kSize, 'x');
    WaitsForTheHolder("Reopen", [&] { shm.Load(loaded.data()); });
    EXPECT_EQ(std::string(loaded.data()), "");
    EXPECT_EQ(shm.GetLockCount(), 0);

    WaitsForTheHolder("Reopen", [&] { Put(shm, "second"); });
    EXPECT_EQ(CountLogged("It is going to write in, without locking shared memory Reopen."), 1);
    EXPECT_EQ(shm.GetLockCount(), 0);
    EXPECT_EQ(Text(shm), "second");
    EXPECT_EQ(CountLogged("Some thread is completed by the ability of unable to open Mu-rocket textile wide."), 2);
}

TEST_F(SharedMemoryTest, CloseGivesBackTheHoldsOfThatObjectOnly) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("GiveBack", kSize, 1), 0);
    {
        CSharedMemory copy(shm);
        EXPECT_EQ(copy.GetLockCount(), 0);  // the hold is the original's
    }
    auto lockElsewhere = [](DWORD timeout) {
        int result = -2;
        std::thread t([&] {
            CSharedMemory other;
            if (other.Open("GiveBack", kSize, 0) != 183) return;
            result = other.Lock(timeout);
            if (result == 0) other.Release();
        });
        t.join();
        return result;
    };
    EXPECT_EQ(lockElsewhere(50), 258);  // the copy's end left the original's hold alone
    shm.Close();
    EXPECT_EQ(shm.GetLockCount(), 0);
    ASSERT_EQ(shm.Open("GiveBack", kSize, 0), 0);
    EXPECT_EQ(lockElsewhere(5000), 0);  // the hold did not outlive its handle
    EXPECT_EQ(CountLogged("Some thread is completed by the ability of unable to open Mu-rocket textile wide."), 0);
}

TEST_F(SharedMemoryTest, TwoProcessesShareTheBlock) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("TwoProc", kSize, 0), 0);
    Put(shm, "from parent");
    vqtest::ChildProcess child("shm_peer", {"TwoProc", "0"});
    EXPECT_TRUE(child.Expect("open 183 from parent"));
    EXPECT_TRUE(child.Expect("done"));
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(Text(shm), "from child");
}

TEST_F(SharedMemoryTest, OwnerOpenWaitsForTheHolder) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("Owned", kSize, 1), 0);
    EXPECT_EQ(shm.GetLockCount(), 1);
    Put(shm, "parent held");  // holding the lock: no warning
    EXPECT_EQ(CountLogged("It is going to write in, without locking shared memory Owned."), 0);
    vqtest::ChildProcess child("shm_peer", {"Owned", "1"});
    ASSERT_TRUE(child.Expect("opening"));
    EXPECT_EQ(child.ReadLine(300), "");  // still waiting for the mutex
    shm.Release();
    EXPECT_TRUE(child.Expect("open 183 parent held"));
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(SharedMemoryTest, LockTimesOutAndIsTakenOverFromAKilledHolder) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("Abandon", kSize, 0), 0);
    vqtest::ChildProcess child("shm_holder", {"Abandon"});
    ASSERT_TRUE(child.Expect("locked"));
    EXPECT_EQ(shm.Lock(50), 258);
    EXPECT_EQ(shm.GetLockCount(), 0);
    child.Kill(9);
    child.Wait();
    EXPECT_EQ(shm.Lock(5000), 0);
    EXPECT_EQ(shm.GetLockCount(), 1);
    EXPECT_EQ(CountLogged("Some thread is completed by the ability of unable to open Mu-rocket textile wide."), 1);
    shm.Release();
}

TEST_F(SharedMemoryTest, AnyNonZeroOwnerReallyHoldsTheMutex) {
    CSharedMemory first;
    ASSERT_EQ(first.Open("OwnerTwo", kSize, 0), 0);
    std::atomic<bool> opened{false}, done{false};
    std::thread t([&] {
        CSharedMemory second;
        EXPECT_EQ(second.Open("OwnerTwo", kSize, 2), 183);
        EXPECT_EQ(second.GetLockCount(), 1);
        opened = true;
        while (!done) Sleep(1);
        second.Release();
    });
    while (!opened) Sleep(1);
    EXPECT_EQ(first.Lock(50), 258);
    done = true;
    t.join();
    EXPECT_EQ(first.Lock(1000), 0);
    first.Release();
}

TEST_F(SharedMemoryTest, ASmallerExistingBlockIsRefused) {
    CSharedMemory small;
    ASSERT_EQ(small.Open("Sized", 100, 1), 0);
    CSharedMemory big;
    EXPECT_EQ(big.Open("Sized", 200, 1), -1);
    EXPECT_EQ(big.GetView(), nullptr);
    EXPECT_EQ(big.GetLockCount(), 0);
    EXPECT_EQ(CountLogged("Shared memory create error.  Sized"), 1);
    CSharedMemory smaller;
    EXPECT_EQ(smaller.Open("Sized", 50, 0), 183);
    small.Release();
    EXPECT_EQ(big.Open("", 0, 0), -1);
}

TEST_F(SharedMemoryTest, SaveWithoutLockWarnsReleaseBelowZeroIsReset) {
    CSharedMemory shm;
    ASSERT_EQ(shm.Open("Warn", kSize, 0), 0);
    Put(shm, "data");
    EXPECT_EQ(CountLogged("It is going to write in, without locking shared memory Warn."), 1);
    EXPECT_EQ(Text(shm), "data");
    EXPECT_EQ(shm.GetLockCount(), 0);
    shm.Release();
    EXPECT_EQ(CountLogged("It has published more releases than a lock by shared memory Warn."), 1);
    EXPECT_EQ(shm.GetLockCount(), 0);

    // A copy works on after the original is gone.
    CSharedMemory* original = new CSharedMemory(shm);
    CSharedMemory copy;
    copy = *original;
    delete original;
    EXPECT_EQ(Text(copy), "data");
    EXPECT_EQ(copy.Lock(0), 0);
    copy.Release();
}

}  // namespace
