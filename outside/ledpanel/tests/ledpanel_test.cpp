// The display as quillon drives it: open "7SEG", show, close, with the configuration
// file deciding presence, size and failures, and the state file read back whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "outside/ledpanel/ledpanel.h"
#include "pal/core/root.h"
#include "pal/windows.h"

namespace {

void WriteConf(const std::string& text) {
    std::filesystem::create_directories(pal::core::RootDir() + "/devices");
    std::ofstream(ledpanel::ConfPath()) << text;
}

std::string State() {
    std::ifstream in(ledpanel::StatePath());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class LedPanel : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(ledpanel::ConfPath());
        std::filesystem::remove(ledpanel::StatePath());
    }
};

TEST_F(LedPanel, AbsentOrMisconfiguredDisplayDoesNotOpen) {
    EXPECT_EQ(LedPanelOpen("7SEG"), -1);  // no configuration at all
    WriteConf("digits = 0\n");
    EXPECT_EQ(LedPanelOpen("7SEG"), -1);
    WriteConf("digits = four\n");
    EXPECT_EQ(LedPanelOpen("7SEG"), -1);
    WriteConf("digits = 4\nfail_open = 1\n");
    EXPECT_EQ(LedPanelOpen("7SEG"), -1);
    WriteConf("digits = 4\n");
    EXPECT_EQ(LedPanelOpen("LCD"), -1);
    EXPECT_EQ(LedPanelOpen(nullptr), -1);
    LONG h = LedPanelOpen("7SEG");
    EXPECT_GE(h, 0);
    EXPECT_EQ(LedPanelClose(h), 0);
}

TEST_F(LedPanel, ShowWritesTheStateAndRefusesCodesThatDoNotFit) {
    WriteConf("digits = 4\n");
    LONG h = LedPanelOpen("7SEG");
    ASSERT_GE(h, 0);
    EXPECT_EQ(LedPanelShow(h, 9999), 0);
    EXPECT_EQ(State(), "digits = 4\ncode = 9999\n");
    // Five digits on a four-digit display would show another number: refused, state kept.
    EXPECT_NE(LedPanelShow(h, 10000), 0);
    EXPECT_EQ(State(), "digits = 4\ncode = 9999\n");
    WriteConf("digits = 10\n");
    EXPECT_EQ(LedPanelShow(h, 4294967295u), 0);
    EXPECT_EQ(State(), "digits = 10\ncode = 4294967295\n");
    EXPECT_EQ(LedPanelClose(h), 0);
    // A closed handle (or one never handed out) does nothing.
    EXPECT_NE(LedPanelShow(h, 1), 0);
    EXPECT_NE(LedPanelClose(h), 0);
    EXPECT_NE(LedPanelShow(12345, 1), 0);
    EXPECT_EQ(State(), "digits = 10\ncode = 4294967295\n");
}

TEST_F(LedPanel, ConfiguredFailuresAndUnpluggingBetweenCalls) {
    WriteConf("digits = 4\nfail_show = 31\nfail_close = 5\n");
    LONG h = LedPanelOpen("7SEG");
    ASSERT_GE(h, 0);
    EXPECT_EQ(LedPanelShow(h, 7), 31);
    EXPECT_FALSE(std::filesystem::exists(ledpanel::StatePath()));
    EXPECT_EQ(LedPanelClose(h), 5);
    EXPECT_NE(LedPanelClose(h), 0) << "a failed close still gives the handle back";

    WriteConf("digits = 4\n");
    h = LedPanelOpen("7SEG");
    std::filesystem::remove(ledpanel::ConfPath());
    EXPECT_NE(LedPanelShow(h, 7), 0);
    EXPECT_NE(LedPanelClose(h), 0);
}

TEST_F(LedPanel, HandlesAreIndependentAndNeverReused) {
    WriteConf("digits = 6\n");
    LONG a = LedPanelOpen("7SEG");
    LONG b = LedPanelOpen("7SEG");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(LedPanelClose(a), 0);
    EXPECT_EQ(LedPanelShow(b, 42), 0);
    LONG c = LedPanelOpen("7SEG");
    EXPECT_NE(c, a);
    EXPECT_EQ(LedPanelClose(b), 0);
    EXPECT_EQ(LedPanelClose(c), 0);
}

TEST_F(LedPanel, ConcurrentShowsLeaveOneWholeState) {
    WriteConf("digits = 8\n");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                LONG h = LedPanelOpen("7SEG");
                EXPECT_EQ(LedPanelShow(h, static_cast<DWORD>(t * 1000 + i)), 0);
                EXPECT_EQ(LedPanelClose(h), 0);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        std::string s = State();
        if (!s.empty()) {
            EXPECT_EQ(s.rfind("digits = 8\ncode = ", 0), 0u) << s;
        }
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(State().back(), '\n');
    // No temporary file is left behind.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(pal::core::RootDir() + "/ledpanel")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

}  // namespace
