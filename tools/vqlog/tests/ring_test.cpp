// Recognising records in ring bytes, including the damage a shared ring really shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/vqlog/ring.h"

namespace vqlog {
namespace {

// A main record as the framework lays it out; wider numbers widen the head.
std::string MainRec(const std::string& message, const char* date = "20240315", unsigned id = 7, int event = 0) {
    char head[256];
    std::snprintf(head, sizeof head, "%s,101112,01,01,%-15.15s,%-8.8s,%10u,%09u,%04d-%08x,%-30.30s,2,", date, "PC",
                  "proc", 4242u, id, event, 0u, "F::G");
    char body[160];
    std::snprintf(body, sizeof body, "%-139.139s", message.c_str());
    return std::string(head) + body + "\r\n";
}

std::string ShortHead(const std::string& function = "F::G") {
    char head[128];
    std::snprintf(head, sizeof head, "240315 101112 %-8.8s %10d %04d-%08x  ", "proc", 4242, 12, 0u);
    size_t n = function.size();
    return head + (n ? function + std::string(n < 32 ? 32 - n : n % 8, ' ') : std::string());
}

// The message part of every record found.
std::vector<std::string> Found(Kind kind, const std::vector<Region>& regions) {
    std::vector<std::string> out;
    for (const auto& rec : Scan(kind, regions).records) {
        std::string line = Printable(kind, rec.raw);
        out.push_back(line.substr(kind == Kind::Main ? MainHeadLength(rec.raw) : line.rfind(' ') + 1));
    }
    return out;
}

using Words = std::vector<std::string>;

TEST(MainScan, WholeRecordsOnlyWhateverSurroundsThem) {
    EXPECT_EQ(MainRecordLength(MainRec("a\r\nb")), 256u) << "a line break in the body ends nothing";
    EXPECT_EQ(MainRecordLength(MainRec("x", "20240315", 4294967295u, 65000)), 258u) << "wider fields";
    EXPECT_EQ(MainRecordLength(MainRec("x", "20240230")), 0u) << "30 February";
    EXPECT_EQ(MainRecordLength(MainRec("x").substr(0, 255)), 0u);

    // The torn record at the position, bytes of an unlocked write, a record cut by the
    // region's end, and past the last pass the tail of a wider record of an earlier one.
    std::string wide = MainRec("wide", "20240315", 4294967295u, 65000);
    std::string older =
        MainRec("old\r\nrec").substr(100) + MainRec("3") + "garbage\r\n" + MainRec("4") + wide.substr(wide.size() - 3);
    std::string newer = MainRec("5") + MainRec("6").substr(0, 200);
    ScanResult r = Scan(Kind::Main, {Region{600, older}, Region{10, newer}});
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(Found(Kind::Main, {Region{600, older}, Region{10, newer}}), (Words{"3", "4", "5"}));
    EXPECT_EQ(r.resume, 10 + newer.size());
}

TEST(ShortScan, TornLineIsJoinedOnlyWhenTheHeadsEndIsCertain) {
    std::string before = "ent message\r\n" + ShortHead() + "m3\r\n";  // starts with a torn line
    std::string after = ShortHead() + "m5\r\n";
    auto scan = [&](const std::string& tail, const std::string& rest) {
        return Found(Kind::Short, {Region{300, before + tail}, Region{10, rest + after}});
    };
    EXPECT_EQ(scan(ShortHead(), "m4\r\n"), (Words{"m3", "m4", "m5"})) << "head before the wrap, message behind";
    EXPECT_EQ(scan(ShortHead() + "sage 17", "m4\r\n"), (Words{"m3", "m4", "m5"})) << "leftovers cut off";
    EXPECT_EQ(scan(ShortHead(std::string(35, 'f')), "m4\r\n"), (Words{"m3", "m4", "m5"})) << "3 blanks";
    EXPECT_EQ(scan(ShortHead() + "m4", "\r\n"), (Words{"m3", "m5"})) << "message end unknown";
    EXPECT_EQ(scan(ShortHead(std::string(40, 'f')) + "gx", "m4\r\n"), (Words{"m3", "m5"})) << "name may go on";
    EXPECT_EQ(scan(ShortHead("F::G retry"), "m4\r\n"), (Words{"m3", "m5"})) << "blank in the name";
    EXPECT_EQ(scan(ShortHead(), "").size(), 2u) << "a whole line behind the wrap: the tail is old";

    // Unfinished lines are left for the next read.
    std::string line = ShortHead() + "m1\r\n";
    EXPECT_EQ(Scan(Kind::Short, {Region{10, line + ShortHead()}}).resume, 10 + line.size());
    EXPECT_EQ(Scan(Kind::Short, {Region{300, line + ShortHead()}, Region{10, "m2"}}).resume, 300 + line.size());
}

TEST(Output, OneLinePerRecordAndSinceTimes) {
    std::string raw = MainRec("a\r\nb\x7f\tc");
    raw.resize(254);
    EXPECT_EQ(Printable(Kind::Main, raw), raw.substr(0, 115) + "a\\r\\nb\\x7f\tc");
    EXPECT_EQ(Printable(Kind::Short, ShortHead() + "x\x7fy  "), ShortHead() + "x\\x7fy");
    EXPECT_EQ(Stamp(Kind::Short, ShortHead()), Stamp(Kind::Main, raw));

    std::string s;
    EXPECT_TRUE(ParseTime("2024-03-15 10:11:12", s));
    EXPECT_EQ(s, "20240315101112");
    EXPECT_TRUE(ParseTime("2024-03-15", s));
    EXPECT_EQ(s, "20240315000000");
    EXPECT_TRUE(ParseTime("20240229235959", s));
    for (const char* bad : {"2023-02-29", "2024-13-01", "2024-01-01T10:11:12", "2024-01-01 24:00:00", "20240101", ""})
        EXPECT_FALSE(ParseTime(bad, s)) << bad;
}

}  // namespace
}  // namespace vqlog
