// Message texts of records from the message files registered for their source.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "pal/eventlog/message.h"
#include "pal/eventlog/record_text.h"
#include "pal/eventlog/tests/eventlog_test_util.h"
#include "pal/file/path.h"

namespace {

using namespace evtest;
namespace fs = std::filesystem;

const char kEvents[] =
    "MessageIdTypedef=DWORD\n"
    "SeverityNames=(Success=0x0 Informational=0x1 Warning=0x2 Error=0x3)\n"
    "FacilityNames=(Gatherer=0x4)\n"
    "LanguageNames=(English=0x409:MSG00409)\n"
    "MessageId=0x2\nLanguage=English\nHardware\n.\n"  // a category: severity and facility 0
    "MessageId=0x1\nSeverity=Informational\nFacility=Gatherer\nLanguage=English\n"
    "Disk %1 reports %2.\n.\n"
    "MessageId=0x9\nSeverity=Error\nFacility=Gatherer\nLanguage=English\n"
    "Three inserts: %1, %2, %3.\nSecond line.\n.\n";
const char kParameters[] =
    "MessageId=1100\nLanguage=English\nthe cooling fan\n.\n";

void WriteFile(const char* windowsPath, const char* text) {
    fs::path p = pal::MapPath(windowsPath);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

pal::eventlog::RecordMessage TextsOf(const char* log, DWORD number) {
    HANDLE h = OpenEventLogA(nullptr, log);
    Read r = ReadLog(h, kSeekFwd, number, 0x10000);
    CloseEventLog(h);
    pal::eventlog::RecordView v;
    EXPECT_TRUE(pal::eventlog::ParseRecord(r.buffer.data(), r.bytes, v));
    return pal::eventlog::FormatRecordTexts(log, v);
}

class Messages : public testing::Test {
protected:
    void SetUp() override {
        WriteFile("C:\\WINDOWS\\system32\\gatherer.mc", kEvents);
        WriteFile("C:\\Program Files\\Vq\\params.mc", kParameters);
        AddSource("Mordane", "Gatherer");
        // The registry names DLLs; the message source beside each is what loads.
        SetSourceText("Mordane", "Gatherer", "EventMessageFile",
                      "%SystemRoot%\\system32\\missing.dll; %SystemRoot%\\system32\\gatherer.dll");
        SetSourceText("Mordane", "Gatherer", "ParameterMessageFile", "%ProgramFiles%\\Vq\\params.dll");
        SetSourceText("Mordane", "Gatherer", "CategoryMessageFile", "%SystemRoot%\\system32\\gatherer.dll");
        HANDLE log = OpenEventLogA(nullptr, "Mordane");
        ClearEventLogA(log, nullptr);
        CloseEventLog(log);
        src_ = RegisterEventSourceA(nullptr, "Gatherer");
    }
    void TearDown() override { DeregisterEventSource(src_); }
    HANDLE src_ = nullptr;
};

TEST_F(Messages, InsertsAndParameterStringsFillTheMessage) {
    ASSERT_TRUE(Write(src_, 0x40040001, {"C:", "%%1100"}, {}, EVENTLOG_INFORMATION_TYPE, 2));
    pal::eventlog::RecordMessage m = TextsOf("Mordane", 1);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.text, "Disk C: reports the cooling fan.");
    EXPECT_EQ(m.category, "Hardware");

    // Also through the Win32-shaped entry point the tool and the agent use.
    HANDLE h = OpenEventLogA(nullptr, "Mordane");
    Read r = ReadLog(h, kSeekFwd, 1, 0x10000);
    CloseEventLog(h);
    EXPECT_EQ(pal::eventlog::FormatRecordMessage("Mordane", reinterpret_cast<EVENTLOGRECORD*>(r.buffer.data())),
              "Disk C: reports the cooling fan.");

    // "%%NNNN" inside a longer string is replaced in the finished text.
    ASSERT_TRUE(Write(src_, 0x40040001, {"D: (%%1100)", "nothing"}));
    EXPECT_EQ(TextsOf("Mordane", 2).text, "Disk D: (the cooling fan) reports nothing.");
}

TEST_F(Messages, MissingInsertsStayVisibleAndLineBreaksAreKept) {
    ASSERT_TRUE(Write(src_, 0xC0040009, {"one"}));
    pal::eventlog::RecordMessage m = TextsOf("Mordane", 1);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.text, "Three inserts: one, %2, %3.\r\nSecond line.");
    EXPECT_EQ(m.category, "");
}

TEST_F(Messages, UnknownIdsAndSourcesFallBackToTheStrings) {
    ASSERT_TRUE(Write(src_, 0x40040077, {"a", "%%9999"}));
    pal::eventlog::RecordMessage m = TextsOf("Mordane", 1);
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.text,
              "The description for event 119 (0x40040077) from source \"Gatherer\" cannot be found. "
              "The record's strings: \"a\" \"%%9999\".");

    HANDLE other = RegisterEventSourceA(nullptr, "NoFiles");
    ASSERT_TRUE(Write(other, 1, {}));
    DeregisterEventSource(other);
    HANDLE app = OpenEventLogA(nullptr, "Application");
    DWORD newest = Oldest(app) + Count(app) - 1;
    CloseEventLog(app);
    EXPECT_FALSE(TextsOf("Application", newest).found);
}

TEST(RecordText, TextAndJsonShowEveryFieldSafely) {
    pal::eventlog::RecordFields f;
    f.recordNumber = 42;
    f.timeGenerated = 0;
    f.timeWritten = 3600;
    f.eventId = 0x8004000C;
    f.eventType = EVENTLOG_WARNING_TYPE;
    f.category = 5;
    f.source = "Src\"q";
    f.computer = "PC";
    uint8_t sid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    f.sid = sid;
    f.sidLength = sizeof sid;
    f.strings = {"tab\there", "\x82\xa0"};  // a Shift-JIS character: not UTF-8
    uint8_t data[2] = {0xAB, 0x01};
    f.data = data;
    f.dataLength = 2;
    std::vector<uint8_t> image = pal::eventlog::BuildRecord(f);
    pal::eventlog::RecordView v;
    ASSERT_TRUE(pal::eventlog::ParseRecord(image.data(), image.size(), v));
    pal::eventlog::RecordShow show;
    show.texts.text = "line 1\r\nline 2";
    show.user = "NT AUTHORITY\\SYSTEM";
    show.biasMinutes = -540;  // UTC+9

    std::string json = pal::eventlog::RecordAsJson(v, show);
    EXPECT_EQ(json,
              "{\"number\":42,\"time_generated\":\"1970-01-01 09:00:00\",\"time_written\":\"1970-01-01 10:00:00\","
              "\"time_generated_utc\":0,\"time_written_utc\":3600,\"source\":\"Src\\\"q\",\"type\":\"warning\","
              "\"type_value\":2,\"category\":5,\"category_text\":\"\",\"event_id\":\"0x8004000C\","
              "\"event_number\":12,\"user\":\"NT AUTHORITY\\\\SYSTEM\",\"sid\":\"S-1-5-18\",\"computer\":\"PC\","
              "\"message\":\"line 1\\r\\nline 2\",\"message_found\":false,"
              "\"strings\":[\"tab\\there\",\"\\u0082\\u00a0\"],\"data\":\"ab01\"}");

    std::string text = pal::eventlog::RecordAsText(v, show);
    EXPECT_NE(text.find("Event ID:  0x8004000C (event 12)\n"), std::string::npos) << text;
    // CR LF, how message texts end their lines, is a plain line break.
    EXPECT_NE(text.find("Message:   line 1\n           line 2\n"), std::string::npos) << text;
}

TEST(RecordText, UsersAreNamedWhenTheSidIsKnown) {
    auto userOf = [](std::vector<uint8_t> sid) {
        pal::eventlog::RecordFields f;
        f.sid = sid.data();
        f.sidLength = static_cast<DWORD>(sid.size());
        std::vector<uint8_t> image = pal::eventlog::BuildRecord(f);
        pal::eventlog::RecordView v;
        EXPECT_TRUE(pal::eventlog::ParseRecord(image.data(), image.size(), v));
        return pal::eventlog::UserText(v);
    };
    EXPECT_EQ(userOf({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}), "NT AUTHORITY\\SYSTEM");
    // S-1-5-21-1-2-3-999 names nobody here: its string form stands in.
    EXPECT_EQ(userOf({1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0xE7, 3, 0, 0}),
              "S-1-5-21-1-2-3-999");
    EXPECT_EQ(userOf({}), "");
}

}  // namespace
