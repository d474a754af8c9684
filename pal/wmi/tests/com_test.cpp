// COM start-up bookkeeping, per thread.
#include <gtest/gtest.h>

#include <thread>

#include "pal/windows.h"

namespace {

TEST(ComTest, CountsAndModelPerThread) {
    EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_TRUE(FAILED(RPC_E_CHANGED_MODE));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));

    // Another thread starts afresh and may choose the other model.
    std::thread([] {
        EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
        CoUninitialize();
    }).join();

    // The changed-mode refusal was not counted: two calls balance the two successes.
    CoUninitialize();
    EXPECT_TRUE(pal::wmi::ComInitializedOnThread());
    CoUninitialize();
    EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
    CoUninitialize();  // one too many: harmless

    // Once fully uninitialised, the thread may pick the other model.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
}

TEST(ComTest, InvalidArguments) {
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
    EXPECT_FALSE(pal::wmi::ComInitializedOnThread());
}

}  // namespace
