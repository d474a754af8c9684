// What a matched record becomes: its message from the source's message files (or the
// insertion strings), parameter inserts, category, type name and time texts, and the
// provider calls of the gatherer's records, seen in the provider's journal.
#include <gtest/gtest.h>

#include "agent/tests/watch_test_util.h"

namespace {

using namespace agenttest;

const std::string kUnitSourceKey = std::string(kEventLogKey) + "\\Application\\" + kUnitSource;
constexpr DWORD kDiskFull = 0x80070064;     // "Disk %1 is at %2 percent."
constexpr DWORD kFifthInsert = 0x80070065;  // "Value %1, then %5 stays."
constexpr DWORD kTwoLines = 0x80070066;     // "First line%nSecond line"
constexpr DWORD kNotInFile = 0x80070099;

class TrapComposeTest : public WatchTest {
protected:
    void SetUp() override {
        WatchTest::SetUp();
        InstallMessageFile("AgentUnit.mc");
        InstallMessageFile("AgentParams.mc");
        CreateSource("Application", kUnitSource);
    }
    static void RegisterFiles(bool parameters = true) {
        SetText(kUnitSourceKey, "EventMessageFile", "%SystemRoot%\\System32\\AgentUnit.dll");
        if (parameters) SetText(kUnitSourceKey, "ParameterMessageFile", "%SystemRoot%\\System32\\AgentParams.dll");
    }
    std::string Message(DWORD eventId, const std::vector<std::string>& strings, WORD category = 0,
                        std::string* inserts = nullptr, std::string* categoryText = nullptr,
                        const char* source = kUnitSource) {
        const std::vector<BYTE> bytes =
            BuildRecord({.eventId = eventId, .category = category, .source = source, .strings = strings});
        CEventRecordView view(bytes.data(), bytes.size());
        std::string list, cat;
        const std::string text = NewJob().GetEventMessage("Application", view, list, cat);
        if (inserts) *inserts = list;
        if (categoryText) *categoryText = cat;
        return text;
    }
    void Sms(DWORD eventId, const std::vector<BYTE>& data) {
        const std::vector<BYTE> bytes = BuildRecord({.eventId = eventId, .data = data});
        CEventRecordView view(bytes.data(), bytes.size());
        EXPECT_EQ(NewJob().SetSMSMsg(eventId, view), 0);
    }
};

TEST_F(TrapComposeTest, MessageFileGivesTextWithInsertsAndCategory) {
    RegisterFiles();
    std::string inserts, category;
    EXPECT_EQ(Message(kDiskFull, {"C:", "95"}, 2, &inserts, &category), "Disk C: is at 95 percent. ");
    EXPECT_EQ(inserts, "%1=\"C:\" %2=\"95\" ");
    EXPECT_EQ(category, "Storage ");
    Message(kDiskFull, {"C:", "95"}, 9, nullptr, &category);
    EXPECT_EQ(category, "");
    // A message the file lacks falls back to the strings.
    EXPECT_EQ(Message(kNotInFile, {"x", ""}), "x;;");
    EXPECT_EQ(log().Lines().size(), 0u);
}

// A message file is loaded once per log pass and serves every record of it; the next pass
// sees the file as it is then, and a failed load is tried (and logged) again per record.
TEST_F(TrapComposeTest, MessageFilesAreKeptForOneLogPass) {
    RegisterFiles();
    CFwsystemFweventlogFwwatch& job = NewJob();
    auto message = [&job] {
        const std::vector<BYTE> bytes =
            BuildRecord({.eventId = kDiskFull, .category = 2, .source = kUnitSource, .strings = {"C:", "95"}});
        CEventRecordView view(bytes.data(), bytes.size());
        std::string list, category;
        std::string text = job.GetEventMessage("Application", view, list, category);
        return text + "|" + category;
    };
    const std::string file = pal::MapPath("C:\\WINDOWS\\system32\\AgentUnit.mc");
    EXPECT_EQ(message(), "Disk C: is at 95 percent. |Storage ");
    ASSERT_EQ(std::remove(file.c_str()), 0);
    EXPECT_EQ(message(), "Disk C: is at 95 percent. |Storage ");  // the same pass
    EXPECT_EQ(log().Lines().size(), 0u);

    DWORD bookmark = 0;
    ASSERT_EQ(job.CheckEventLog("Application", bookmark, 1), 1);  // a new pass
    EXPECT_EQ(message(), "C:;95;|");
    const size_t failures = LinesOf("CFwsystemFweventlogFwwatch::FormatMessage").size();
    EXPECT_GE(failures, 1u);
    EXPECT_EQ(message(), "C:;95;|");
    EXPECT_EQ(LinesOf("CFwsystemFweventlogFwwatch::FormatMessage").size(), 2 * failures);

    InstallMessageFile("AgentUnit.mc");  // found again at once: failures are not kept
    EXPECT_EQ(message(), "Disk C: is at 95 percent. |Storage ");
}

TEST_F(TrapComposeTest, WithoutMessageFileTheStringsAreJoined) {
    // The source's key exists but names no file: nothing is logged.
    EXPECT_EQ(Message(kDiskFull, {"C:", "95"}), "C:;95;");
    EXPECT_EQ(Message(kDiskFull, {}), "");
    EXPECT_EQ(log().Lines().size(), 0u);

    // Without the key it is logged.
    EXPECT_EQ(Message(kDiskFull, {"only"}, 0, nullptr, nullptr, "NoSuchSource"), "only;");
    const auto lines = LinesOf("CFwsystemFweventlogFwwatch::GetFilePath");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].message, "Registry open error. (Application\\NoSuchSource)");
    EXPECT_EQ(lines[0].eventCode, 2500);
}

TEST_F(TrapComposeTest, ParameterInserts) {
    RegisterFiles();
    std::string inserts;
    EXPECT_EQ(Message(kDiskFull, {"%%1100", "%%abc"}, 0, &inserts), "Disk Read access  is at abc percent. ");
    EXPECT_EQ(inserts, "%1=\"Read access \" %2=\"abc\" ");
    // A number the parameter file lacks keeps the string as it stands.
    EXPECT_EQ(Message(kDiskFull, {"%%1101", "1"}), "Disk %%1101 is at 1 percent. ");
    EXPECT_EQ(log().Lines().size(), 0u);

    // Without a parameter file too, and the failed load of "" is logged once.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUnitSourceKey.c_str());
    RegisterFiles(false);
    EXPECT_EQ(Message(kDiskFull, {"%%1100", "7"}), "Disk %%1100 is at 7 percent. ");
    const auto lines = LinesOf("CFwsystemFweventlogFwwatch::FormatMessage");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "LoadLibraryEx error. ()");
    EXPECT_EQ(lines[0].eventCode, 8000);
}

TEST_F(TrapComposeTest, InsertBeyondTheStringsAndLineBreaks) {
    RegisterFiles();
    EXPECT_EQ(Message(kFifthInsert, {"a", "b"}), "Value a, then %5 stays. ");
    EXPECT_EQ(Message(kFifthInsert, {}), "Value %1, then %5 stays. ");
    EXPECT_EQ(Message(kTwoLines, {}), "First line  Second line ");
    EXPECT_EQ(Message(kNotInFile, {"a\r\nb", "c\nd\re"}), "a  b;c d e;");
}

TEST_F(TrapComposeTest, TypeNamesAndTimes) {
    const std::pair<WORD, const char*> names[] = {{0, "Other"},   {1, "Error"},   {2, "Warning"},
                                                  {3, "Other"},   {4, "Information"}, {8, "Success"},
                                                  {16, "Failure"}, {6, "Other"}};
    for (const auto& [type, name] : names)
        EXPECT_STREQ(CFwsystemFweventlogFwwatch::GetEventTypeName(type), name) << type;

    std::string date, time;
    {
        ScopedEnv tz("VQ_TZ_BIAS", "-540");  // UTC+9
        EXPECT_EQ(CFwsystemFweventlogFwwatch::FormatEventTime(0, date, time), "1970/01/01 09:00:00");
        EXPECT_EQ(date, "1970/01/01");
        EXPECT_EQ(time, "09:00:00");
    }
    {
        ScopedEnv tz("VQ_TZ_BIAS", "300");  // UTC-5: before 1970
        EXPECT_EQ(CFwsystemFweventlogFwwatch::FormatEventTime(0, date, time), "1969/12/31 19:00:00");
        // A time generated after 2038 is unsigned, not negative.
        EXPECT_EQ(CFwsystemFweventlogFwwatch::FormatEventTime(0xFFFFFFFFu, date, time), "2106/02/07 01:28:15");
    }
}

TEST_F(TrapComposeTest, DataSetters) {
    Sms(0xC004000A, {0x02, 0x12, 0x05, 0x07, 0x01});
    EXPECT_EQ(Journal(), "SetHDDBootErrorCounts 2\nSetHDDBootErrorTime 12:5:7\nSetHDDBootErrorTemporary 1\n");
    std::remove(JournalPath().c_str());

    Sms(0xC004000A, {0xFF, 0x99});  // signed bytes; the missing ones read 0
    Sms(0x4004000C, {0x48, 0x01});  // numbers are zero-extended
    Sms(0xC0040009, {0x01, 0x02, 0x03, 0x04, 0x05});
    Sms(0x40040008, {'R', '1', '.', '2', '0'});
    Sms(0x4004000B, {'A', 'B', '1', 0, 'X'});
    Sms(0x4004000B, std::vector<BYTE>(400, 'z'));
    EXPECT_EQ(Journal(),
              "SetHDDBootErrorCounts -1\nSetHDDBootErrorTime 99:0:0\nSetHDDBootErrorTemporary 0\n"
              "SetExcessiveCaseTemperature 328\nSetEccErrorCounts 67305985\nSetBIOSVersion R1.20\n"
              "SetSerialNumber AB1\nSetSerialNumber " +
                  std::string(255, 'z') + "\n");
}

std::vector<BYTE> SmartData(size_t bytes) {
    std::vector<BYTE> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<BYTE>(i);
    return data;
}

// The setter lines of drive 'hdd' with entries first .. first + 5 of SmartData.
std::string SmartLines(int hdd, size_t first, size_t present) {
    std::string out;
    for (size_t e = first; e < first + 6; ++e) {
        out += "SetHDD" + std::to_string(hdd) + "_SMART" + std::to_string(e - first + 1) + " ";
        for (size_t b = 0; e < present && b < 13; ++b) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>((e * 13 + b) & 0xFF));
            out += two;
        }
        out += "\n";
    }
    return out;
}

TEST_F(TrapComposeTest, SmartRecordsByTheGathererList) {
    SetMultiText(kSmartKey, "WATCH_AttributeIDs", {"1", "5", "9", "196", "197", "198"});
    Sms(0x4004000F, SmartData(78));
    EXPECT_EQ(Journal(), SmartLines(1, 0, 6));
    EXPECT_EQ(SmartLines(1, 0, 6).substr(0, 42), "SetHDD1_SMART1 000102030405060708090a0b0c\n");
    std::remove(JournalPath().c_str());
    Sms(0x4004000F, SmartData(156));
    EXPECT_EQ(Journal(), SmartLines(1, 0, 12) + SmartLines(2, 6, 12));
    std::remove(JournalPath().c_str());

    // Two identifiers, three entries and a half: two drives, the missing entries empty.
    SetMultiText(kSmartKey, "WATCH_AttributeIDs", {"1", "5"});
    Sms(0x4004000F, SmartData(45));
    EXPECT_EQ(Journal(), SmartLines(1, 0, 3) + SmartLines(2, 6, 3));
    EXPECT_EQ(Trace().find("CSamart::Initialize"), std::string::npos);
}

TEST_F(TrapComposeTest, SmartRecordWithoutTheGathererListTakesSix) {
    Sms(0x4004000F, SmartData(91));
    EXPECT_NE(Trace().find("\tCSamart::Initialize\t"), std::string::npos) << Trace();
    EXPECT_EQ(Journal(), SmartLines(1, 0, 7) + SmartLines(2, 6, 7));
}

TEST_F(TrapComposeTest, UnknownEventNumberIsTracedAndCallsNothing) {
    Sms(0x40040015, {1, 2, 3, 4});
    Sms(0x40040007, {1, 2, 3, 4});
    EXPECT_EQ(Journal(), "");
    EXPECT_EQ(CountOf(Trace(), "\tCFwsystemFweventlogFwwatch::SetSMSMsg\tEventID not found.\n"), 2u) << Trace();
}

}  // namespace
