// Byte-range locks between handles of this process and against a child process, and
// their effect on ReadFile/WriteFile.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pal/file/tests/file_test_util.h"
#include "tests/support/child_process.h"

using namespace filetest;

namespace {

// Locks [args[1], args[1] + args[2]) of args[0] exclusively and holds it until killed.
VQ_CHILD(file_lock_range) {
    HANDLE h = Open(args.at(0), kReadWrite, kShareAll, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE || !LockFile(h, std::stoul(args.at(1)), 0, std::stoul(args.at(2)), 0)) {
        vqtest::Tell("error " + std::to_string(GetLastError()));
        return 1;
    }
    vqtest::Tell("ready");
    for (;;) pause();
}

class LockFileTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = InDir("locked.bin");
        WriteText(path_, std::string(200, 'x'));
        a_ = Open(path_, kReadWrite, kShareAll, OPEN_EXISTING);
        b_ = Open(path_, kReadWrite, kShareAll, OPEN_EXISTING);
        ASSERT_NE(a_, INVALID_HANDLE_VALUE);
        ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(a_);
        CloseHandle(b_);
    }

    // LockFileEx without waiting; returns 0 or the error.
    static DWORD Try(HANDLE h, uint64_t offset, uint64_t length, bool exclusive) {
        OVERLAPPED ov = At(offset);
        DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        if (LockFileEx(h, flags, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &ov)) return 0;
        return GetLastError();
    }
    static DWORD Unlock(HANDLE h, uint64_t offset, uint64_t length) {
        return UnlockFile(h, static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32),
                          static_cast<DWORD>(length), static_cast<DWORD>(length >> 32))
                   ? 0
                   : GetLastError();
    }
    static DWORD ReadAt(HANDLE h, uint64_t offset) {
        char c;
        DWORD n;
        OVERLAPPED ov = At(offset);
        return ReadFile(h, &c, 1, &n, &ov) ? 0 : GetLastError();
    }
    static DWORD WriteAt(HANDLE h, uint64_t offset) {
        DWORD n;
        OVERLAPPED ov = At(offset);
        return WriteFile(h, "w", 1, &n, &ov) ? 0 : GetLastError();
    }

    std::string path_;
    HANDLE a_ = INVALID_HANDLE_VALUE;
    HANDLE b_ = INVALID_HANDLE_VALUE;
};

TEST_F(LockFileTest, ExclusiveLockKeepsOtherHandlesOut) {
    ASSERT_TRUE(LockFile(a_, 0, 0, 100, 0));
    EXPECT_FALSE(LockFile(b_, 50, 0, 10, 0));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(Try(b_, 99, 5, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(Try(b_, 100, 10, true), 0u);  // adjacent range is free

    // Locks are mandatory for I/O through other handles, not for the owner.
    EXPECT_EQ(ReadAt(b_, 10), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(WriteAt(b_, 99), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(ReadAt(a_, 10), 0u);
    EXPECT_EQ(WriteAt(a_, 10), 0u);
    EXPECT_EQ(ReadAt(b_, 150), 0u);

    EXPECT_EQ(Unlock(a_, 0, 100), 0u);
    EXPECT_EQ(Try(b_, 50, 10, true), 0u);
    EXPECT_EQ(ReadAt(a_, 55), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
}

TEST_F(LockFileTest, SharedLocksCoexistAndDenyWritingToAll) {
    EXPECT_EQ(Try(a_, 0, 10, false), 0u);
    EXPECT_EQ(Try(b_, 5, 10, false), 0u);
    EXPECT_EQ(Try(b_, 0, 10, true), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(ReadAt(b_, 0), 0u);
    EXPECT_EQ(WriteAt(a_, 0), static_cast<DWORD>(ERROR_LOCK_VIOLATION));  // even the locker
    EXPECT_EQ(WriteAt(b_, 12), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(WriteAt(a_, 20), 0u);
}

TEST_F(LockFileTest, OwnLocksFollowWin32Rules) {
    ASSERT_EQ(Try(a_, 0, 10, true), 0u);
    // An exclusive lock may not overlap even this handle's own locks; a shared one may.
    EXPECT_EQ(Try(a_, 5, 10, true), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(Try(a_, 5, 10, false), 0u);
    // Dropping the shared lock keeps the exclusive one whole.
    EXPECT_EQ(Unlock(a_, 5, 10), 0u);
    EXPECT_EQ(Try(b_, 9, 1, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(Try(b_, 10, 5, true), 0u);
    EXPECT_EQ(Unlock(b_, 10, 5), 0u);

    // Dropping the exclusive lock leaves the overlapping shared lock's part shared.
    EXPECT_EQ(Try(a_, 5, 10, false), 0u);
    EXPECT_EQ(Unlock(a_, 0, 10), 0u);
    EXPECT_EQ(Try(b_, 0, 5, true), 0u);
    EXPECT_EQ(Try(b_, 6, 1, false), 0u);
    EXPECT_EQ(Try(b_, 7, 1, true), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
}

TEST_F(LockFileTest, UnlockNeedsAnExactRangeOfThisHandle) {
    ASSERT_TRUE(LockFile(a_, 0, 0, 100, 0));
    EXPECT_EQ(Unlock(a_, 10, 10), static_cast<DWORD>(ERROR_NOT_LOCKED));
    EXPECT_EQ(Unlock(a_, 0, 50), static_cast<DWORD>(ERROR_NOT_LOCKED));
    EXPECT_EQ(Unlock(a_, 100, 100), static_cast<DWORD>(ERROR_NOT_LOCKED));
    EXPECT_EQ(Unlock(b_, 0, 100), static_cast<DWORD>(ERROR_NOT_LOCKED));
    OVERLAPPED ov = At(0);
    EXPECT_TRUE(UnlockFileEx(a_, 0, 100, 0, &ov));
    EXPECT_EQ(Unlock(a_, 0, 100), static_cast<DWORD>(ERROR_NOT_LOCKED));
}

TEST_F(LockFileTest, WholeRangesAndClosingHandles) {
    // The customary "whole file" lock: every bit of the length set.
    ASSERT_TRUE(LockFile(a_, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF));
    EXPECT_EQ(Try(b_, 1ull << 40, 1, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(Try(b_, 0xFFFFFFFFFFFFFF00ull, 16, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    CloseHandle(a_);
    a_ = Open(path_, kReadWrite, kShareAll, OPEN_EXISTING);
    EXPECT_EQ(Try(b_, 1ull << 40, 1, true), 0u);  // closing released it
}

TEST_F(LockFileTest, WaitingLockIsGrantedOnUnlock) {
    ASSERT_TRUE(LockFile(a_, 0, 0, 10, 0));
    std::atomic<bool> granted{false};
    std::thread waiter([&] {
        OVERLAPPED ov = At(5);
        if (LockFileEx(b_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) granted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(granted.load());
    EXPECT_EQ(Unlock(a_, 0, 10), 0u);
    waiter.join();
    EXPECT_TRUE(granted.load());
    EXPECT_EQ(Try(a_, 5, 1, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
}

TEST_F(LockFileTest, ChildProcessLockConflictsUntilKilled) {
    vqtest::ChildProcess child("file_lock_range", {path_, "10", "10"});
    ASSERT_TRUE(child.Expect("ready"));
    EXPECT_EQ(Try(a_, 15, 1, false), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(Try(a_, 0, 10, true), 0u);
    EXPECT_EQ(ReadAt(b_, 19), static_cast<DWORD>(ERROR_LOCK_VIOLATION));
    child.Kill(SIGKILL);
    child.Wait();
    EXPECT_EQ(Try(b_, 10, 10, true), 0u);
}

}  // namespace
