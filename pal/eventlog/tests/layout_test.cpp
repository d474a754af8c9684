// The EVENTLOGRECORD image byte for byte, with the expected bytes laid out by hand here
// rather than by the layer's own builder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>

#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/tests/eventlog_test_util.h"

namespace {

using namespace evtest;

struct Bytes {
    std::vector<uint8_t> b;
    Bytes& dw(DWORD v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& w(WORD v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    Bytes& raw(std::initializer_list<uint8_t> v) {
        b.insert(b.end(), v);
        return *this;
    }
    Bytes& sz(const char* s) {
        b.insert(b.end(), s, s + std::strlen(s) + 1);
        return *this;
    }
};

DWORD DwordAt(const std::vector<uint8_t>& b, size_t at) {
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

class Layout : public testing::Test {
protected:
    void SetUp() override {
        setenv("VQ_COMPUTERNAME", "TESTPC", 1);
        HANDLE log = OpenEventLogA(nullptr, "Application");
        ASSERT_TRUE(ClearEventLogA(log, nullptr));
        CloseEventLog(log);
    }
    void TearDown() override { unsetenv("VQ_COMPUTERNAME"); }

    // Reads record 1 of Application with a buffer of exactly its size.
    std::vector<uint8_t> ReadFirst() {
        HANDLE log = OpenEventLogA(nullptr, "Application");
        DWORD bytes = 0, needed = 0;
        uint8_t probe[56];
        EXPECT_FALSE(ReadEventLogA(log, kSeekFwd, 1, probe, sizeof probe, &bytes, &needed));
        std::vector<uint8_t> rec(needed);
        EXPECT_TRUE(ReadEventLogA(log, kSeekFwd, 1, rec.data(), needed, &bytes, &needed));
        EXPECT_EQ(bytes, rec.size());
        CloseEventLog(log);
        return rec;
    }
};

TEST_F(Layout, FullRecordWithSidStringsAndData) {
    HANDLE src = RegisterEventSourceA(nullptr, "Src");
    ASSERT_NE(src, nullptr);
    // S-1-5-18
    uint8_t sid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    LPCSTR strings[] = {"one", "two words"};
    uint8_t data[] = {0xAA, 0xBB, 0xCC};
    DWORD before = static_cast<DWORD>(time(nullptr));
    ASSERT_TRUE(ReportEventA(src, EVENTLOG_WARNING_TYPE, 7, 0x80040003, sid, 2, sizeof data, strings, data));
    DWORD after = static_cast<DWORD>(time(nullptr));
    DeregisterEventSource(src);

    std::vector<uint8_t> rec = ReadFirst();
    ASSERT_EQ(rec.size(), 104u);
    DWORD generated = DwordAt(rec, 12), written = DwordAt(rec, 16);
    EXPECT_GE(generated, before);
    EXPECT_LE(generated, after);
    EXPECT_GE(written, generated);
    EXPECT_LE(written, after);

    // 56 header, "Src\0" 56-59, "TESTPC\0" 60-66, pad 67, SID 68-79, strings 80-93,
    // data 94-96, pad 97-99, length 100-103.
    Bytes e;
    e.dw(104).dw(0x654C664C).dw(1).dw(generated).dw(written).dw(0x80040003);
    e.w(EVENTLOG_WARNING_TYPE).w(2).w(7).w(0);
    e.dw(0).dw(80).dw(12).dw(68).dw(3).dw(94);
    e.sz("Src").sz("TESTPC").raw({0});
    e.raw({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0});
    e.sz("one").sz("two words");
    e.raw({0xAA, 0xBB, 0xCC}).raw({0, 0, 0});
    e.dw(104);
    EXPECT_EQ(rec, e.b);
}

TEST_F(Layout, BareRecordPointsEveryOffsetAtTheSamePlace) {
    HANDLE src = RegisterEventSourceA(nullptr, "Ab");
    ASSERT_TRUE(ReportEventA(src, EVENTLOG_SUCCESS, 0, 0, nullptr, 0, 0, nullptr, nullptr));
    DeregisterEventSource(src);
    std::vector<uint8_t> rec = ReadFirst();
    ASSERT_EQ(rec.size(), 72u);
    // "Ab\0TESTPC\0" ends at 66, padded to 68; nothing follows but the length.
    Bytes e;
    e.dw(72).dw(0x654C664C).dw(1).dw(DwordAt(rec, 12)).dw(DwordAt(rec, 16)).dw(0);
    e.w(0).w(0).w(0).w(0);
    e.dw(0).dw(68).dw(0).dw(68).dw(0).dw(68);
    e.sz("Ab").sz("TESTPC").raw({0, 0});
    e.dw(72);
    EXPECT_EQ(rec, e.b);
}

TEST(RecordParser, RefusesRecordsThatReachOutsideTheirLength) {
    pal::eventlog::RecordFields f;
    f.source = "S";
    f.computer = "C";
    f.strings = {"a", "b"};
    uint8_t data[4] = {9, 9, 9, 9};
    f.data = data;
    f.dataLength = 4;
    std::vector<uint8_t> rec = pal::eventlog::BuildRecord(f);
    pal::eventlog::RecordView v;
    ASSERT_TRUE(pal::eventlog::ParseRecord(rec.data(), rec.size(), v));
    ASSERT_EQ(v.strings.size(), 2u);
    EXPECT_EQ(v.strings[1], "b");

    auto broken = [&](size_t at, DWORD value) {
        std::vector<uint8_t> b = rec;
        std::memcpy(b.data() + at, &value, 4);
        return !pal::eventlog::ParseRecord(b.data(), b.size(), v);
    };
    // "S\0C\0" 56-59, strings 60-63, data 64-67, length 68-71.
    ASSERT_EQ(rec.size(), 72u);
    EXPECT_TRUE(broken(0, static_cast<DWORD>(rec.size() + 4)));  // length past the buffer
    EXPECT_TRUE(broken(4, 0));                                   // no signature
    EXPECT_TRUE(broken(rec.size() - 4, 12));                     // trailing length differs
    EXPECT_TRUE(broken(52, 0xFFFFFFF0));                         // data offset far outside
    EXPECT_TRUE(broken(48, 5));                                  // data runs into the trailer
    EXPECT_TRUE(broken(48, 0xFFFFFFFF));                         // data length that would wrap
    EXPECT_TRUE(broken(40, 8));                                  // "a\0b\0..." is no SID
    EXPECT_TRUE(broken(36, 0xFFFFFFFF));                         // strings start outside
    EXPECT_TRUE(broken(36, 66));                                 // last string not terminated
    EXPECT_FALSE(pal::eventlog::ParseRecord(rec.data(), rec.size() - 1, v));
}

}  // namespace
