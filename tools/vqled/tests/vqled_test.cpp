// vqled draws what the display library last showed, and follows changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

#include "outside/ledpanel/ledpanel.h"
#include "pal/core/root.h"
#include "tests/support/child_process.h"
#include "tools/vqled/draw.h"

namespace {

void WriteConf(const std::string& text) {
    std::filesystem::create_directories(pal::core::RootDir() + "/devices");
    std::ofstream(ledpanel::ConfPath()) << text;
}

void Show(DWORD code) {
    LONG h = LedPanelOpen("7SEG");
    ASSERT_GE(h, 0);
    ASSERT_EQ(LedPanelShow(h, code), 0);
    ASSERT_EQ(LedPanelClose(h), 0);
}

TEST(VqledDraw, DigitsRightAlignedBlankAndOverflow) {
    EXPECT_EQ(vqled::Draw({4, 1234u}),
              "     _   _     \n"
              "  |  _|  _| |_|\n"
              "  | |_   _|   |\n");
    EXPECT_EQ(vqled::Draw({3, 0u}),
              "         _ \n"
              "        | |\n"
              "        |_|\n");
    EXPECT_EQ(vqled::Draw({2, std::nullopt}), "       \n       \n       \n");
    // 5678 on three cells: a minus, then the lowest two digits (never a plausible 678).
    EXPECT_EQ(vqled::Draw({3, 5678u}),
              "     _   _ \n"
              " _    | |_|\n"
              "      | |_|\n");
}

TEST(VqledDraw, StateParsing) {
    auto s = vqled::ParseState("digits = 4\ncode = 4294967295\n");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->digits, 4);
    EXPECT_EQ(*s->code, 4294967295u);
    EXPECT_FALSE(vqled::ParseState("digits = 4\n"));
    EXPECT_FALSE(vqled::ParseState("digits = 4\ncode = 4294967296\n"));
    EXPECT_FALSE(vqled::ParseState("digits = 11\ncode = 1\n"));
    EXPECT_FALSE(vqled::ParseState("digits = 4\ncode = -1\n"));
}

TEST(Vqled, DrawsTheLibrarysStateAndFollowsChanges) {
    auto none = vqtest::RunProgram(VQ_TOOL_BIN, {});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no display"), std::string::npos);

    WriteConf("digits = 2\n");
    auto blank = vqtest::RunProgram(VQ_TOOL_BIN, {});
    EXPECT_EQ(blank.status, 0);
    EXPECT_EQ(blank.out, "       \n       \n       \n");

    Show(7);
    auto seven = vqtest::RunProgram(VQ_TOOL_BIN, {});
    EXPECT_EQ(seven.out, "     _ \n      |\n      |\n");

    // Follow: the first drawing, then the new one after the next show. RunProgram ends
    // the program at its time-out and returns what it wrote.
    std::thread shower([] {
        usleep(1500 * 1000);
        Show(42);
    });
    auto followed = vqtest::RunProgram(VQ_TOOL_BIN, {"--follow"}, 4000);
    shower.join();
    EXPECT_NE(followed.out.find("     _ \n      |\n      |\n"), std::string::npos) << followed.out;
    EXPECT_NE(followed.out.find("\n     _ \n|_|  _|\n  | |_ \n"), std::string::npos) << followed.out;

    EXPECT_EQ(vqtest::RunProgram(VQ_TOOL_BIN, {"--bogus"}).status, 2);
}

}  // namespace
