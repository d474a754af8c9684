#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"

namespace {

struct Probe : pal::KernelObject {
    explicit Probe(std::atomic<int>& d) : destroyed(d) {}
    ~Probe() override { ++destroyed; }
    std::atomic<int>& destroyed;
};

TEST(HandleTable, ObjectLivesUntilItsLastUserLetsGo) {
    std::atomic<int> destroyed{0};
    HANDLE h = pal::InsertHandle(std::make_shared<Probe>(destroyed));
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto user = pal::LookupHandle(h);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(pal::LookupHandle(h), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    user.reset();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(HandleTable, BadHandlesAreRefused) {
    std::atomic<int> destroyed{0};
    HANDLE h = pal::InsertHandle(std::make_shared<Probe>(destroyed));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));  // twice
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(3)));  // not a handle value
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));           // pseudo-handles close trivially
}

TEST(HandleTable, DuplicateSharesTheObjectAndCanCloseTheSource) {
    std::atomic<int> destroyed{0};
    HANDLE h = pal::InsertHandle(std::make_shared<Probe>(destroyed));
    HANDLE d1 = nullptr, d2 = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &d1, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_NE(d1, h);
    EXPECT_EQ(pal::LookupHandle(d1), pal::LookupHandle(h));
    size_t open = pal::HandleCount();
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), d1, GetCurrentProcess(), &d2, 0, FALSE,
                                DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(pal::HandleCount(), open);  // one closed, one made
    EXPECT_EQ(pal::LookupHandle(d2), pal::LookupHandle(h));
    CloseHandle(h);
    EXPECT_EQ(destroyed.load(), 0);
    CloseHandle(d2);
    EXPECT_EQ(destroyed.load(), 1);
    HANDLE none = nullptr;
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &none, 0, FALSE, 0));
}

TEST(HandleTable, ConcurrentInsertAndCloseKeepCountsRight) {
    size_t before = pal::HandleCount();
    std::atomic<int> destroyed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) CloseHandle(pal::InsertHandle(std::make_shared<Probe>(destroyed)));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(destroyed.load(), 4000);
    EXPECT_EQ(pal::HandleCount(), before);
}

TEST(HandleTable, CurrentThreadPseudoHandleDuplicatesToAWaitableHandle) {
    HANDLE real = nullptr;
    std::thread t([&] {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &real, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    });
    t.join();
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(WaitForSingleObject(real, 1000), WAIT_OBJECT_0);  // that thread has ended
    CloseHandle(real);
}

}  // namespace
