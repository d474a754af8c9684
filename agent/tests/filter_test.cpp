// The filters: which registry filters load, which record the first matching filter
// takes, the two application-log lines of a match, and records whose offsets and lengths
// cannot be trusted.
#include <gtest/gtest.h>

#include "agent/tests/watch_test_util.h"

namespace {

using namespace agenttest;

constexpr char kDoFilter[] = "CFwsystemFweventlogFwwatch::DoFilter";

class FilterTest : public WatchTest {
protected:
    CFwsystemFweventlogFwwatch& Load() {
        CFwsystemFweventlogFwwatch& job = NewJob();
        EXPECT_EQ(job.GetMatchFilterList(), 1);
        return job;
    }
    // An exact-size copy, so a read past the record's end is a read past the heap block.
    static void Run(CFwsystemFweventlogFwwatch& job, const char* logName, const std::vector<BYTE>& record) {
        std::vector<BYTE> exact(record);
        job.DoFilter(logName, exact.data(), exact.size());
    }
    // True when a lone filter takes the record (it writes its two lines).
    bool Matches(const Filter& filter, const char* logName, const RecordSpec& record) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentKey);
        AddFilter(filter);
        CFwsystemFweventlogFwwatch& job = Load();
        EXPECT_EQ(job.Filters().size(), 1u);
        log().Start();
        Run(job, logName, BuildRecord(record));
        return LinesOf(kDoFilter).size() == 2;
    }
};

TEST_F(FilterTest, LoadDropsIncompleteFilters) {
    const std::string base = std::string(kFilterKey) + "\\";
    AddFilter({.name = "NoType", .eventType = 0});
    SetText(kFilterListKey, "F_Missing", "Missing");
    AddFilter({.name = "EmptyLog", .logType = ""});
    SetText(base + "EmptyLog", "LOG_TYPE", "");
    AddFilter({.name = "NoLog", .logType = ""});
    AddFilter({.name = "TrapNoOid", .sendType = "ElogTrap"});
    AddFilter({.name = "DataNoOid", .sendType = "DataTrap"});
    SetText(base + "DataNoOid", "ENTERPRISE_OID", "");
    AddFilter({.name = "LowerTrap", .logType = "mordane", .sendType = "elogtrap"});
    AddFilter({.name = "Data",
               .eventId = 9,
               .eventType = 4,
               .logType = "System",
               .source = "Src",
               .sendType = "DataTrap",
               .enterpriseOid = ".1.3.6.1.4.1.6203.9",
               .messageString = "note"});
    SetText(base + "Data", "DATAOID", ".1.3.6.1.4.1.6203.9.1");
    SetDword(base + "Data", "SPECIFIC_TRAP_ID", 7);

    const auto& filters = Load().Filters();
    ASSERT_EQ(filters.size(), 2u);
    // A trap type in other case is a log-only filter: no OID needed.
    EXPECT_STREQ(filters[0].LOG_TYPE, "mordane");
    EXPECT_EQ(filters[0].SENDTYPE, "elogtrap");
    EXPECT_EQ(filters[0].SPECIFIC_TRAP_ID, 1);
    const EVENT_FILTER& data = filters[1];
    EXPECT_EQ(data.EVENT_ID, 9u);
    EXPECT_EQ(data.EVENT_TYPE, 4u);
    EXPECT_EQ(data.SOURCE_NAME, "Src");
    EXPECT_EQ(data.ENTERPRISE_OID, ".1.3.6.1.4.1.6203.9");
    EXPECT_EQ(data.DATAOID, ".1.3.6.1.4.1.6203.9.1");
    EXPECT_EQ(data.SPECIFIC_TRAP_ID, 7);
    EXPECT_EQ(data.MESSAGE_STRING, "note");

    const auto lines = LinesOf("CFwsystemFweventlogFwwatch::GetMatchFilterInf");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "ENTERPRISE_OID is not set. FilterName=TrapNoOid");
    EXPECT_EQ(lines[0].eventCode, 7000);
    EXPECT_EQ(lines[1].message, "ENTERPRISE_OID is not set. FilterName=DataNoOid");
}

// The free text is kept up to 255 characters; a longer one must be cut, not lost. Fails
// now: it is read into a 256-byte buffer, the data store refuses a value that does not
// fit, and MESSAGE_STRING ends up empty.
TEST_F(FilterTest, LongMessageStringIsCut) {
    AddFilter({.name = "Long", .messageString = std::string(300, 'm')});
    const auto& filters = Load().Filters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].MESSAGE_STRING, std::string(255, 'm'));
}

TEST_F(FilterTest, MatchRules) {
    const RecordSpec warning{.eventId = 0x80040001, .type = EVENTLOG_WARNING_TYPE};
    const RecordSpec info{.eventId = 0x40040001, .type = EVENTLOG_INFORMATION_TYPE};
    const RecordSpec zero{.eventId = 0, .type = EVENTLOG_ERROR_TYPE};
    const RecordSpec other{.eventId = 1, .source = "Other"};

    // The event number is the low 16 bits; 0 matches nothing, all ones everything.
    EXPECT_FALSE(Matches({.name = "f", .eventId = 0x80040001}, "Mordane", warning));
    EXPECT_TRUE(Matches({.name = "f", .eventId = 1}, "Mordane", warning));
    EXPECT_FALSE(Matches({.name = "f", .eventId = 0}, "Mordane", zero));
    EXPECT_TRUE(Matches({.name = "f", .eventId = 0xFFFFFFFFu}, "Mordane", zero));

    // Types are compared for equality, not as a mask.
    EXPECT_FALSE(Matches({.name = "f", .eventType = 6}, "Mordane", warning));
    EXPECT_FALSE(Matches({.name = "f", .eventType = 6}, "Mordane", info));
    EXPECT_TRUE(Matches({.name = "f", .eventType = 2}, "Mordane", warning));

    // Source: "ALL" in any case, empty, or the exact name.
    EXPECT_TRUE(Matches({.name = "f", .source = "all"}, "Mordane", other));
    EXPECT_TRUE(Matches({.name = "f"}, "Mordane", other));
    EXPECT_TRUE(Matches({.name = "f", .source = "Mordane"}, "Mordane", warning));
    EXPECT_FALSE(Matches({.name = "f", .source = "mordane"}, "Mordane", warning));

    // Log: its name or "ALL", in any case.
    EXPECT_TRUE(Matches({.name = "f", .logType = "mordane"}, "Mordane", warning));
    EXPECT_TRUE(Matches({.name = "f", .logType = "all"}, "Security", warning));
    EXPECT_FALSE(Matches({.name = "f", .logType = "System"}, "Mordane", warning));
}

TEST_F(FilterTest, FirstMatchingFilterActsAlone) {
    const RecordSpec ecc{.eventId = 0xC0040009, .type = EVENTLOG_ERROR_TYPE, .data = {5, 0, 0, 0}};
    AddFilter({.name = "Sms", .logType = "Mordane", .source = "Mordane", .sendType = "SMS"});
    AddFilter({.name = "LogOnly"});
    Run(Load(), "Mordane", BuildRecord(ecc));
    EXPECT_EQ(Journal(), "SetEccErrorCounts 5\n");
    EXPECT_EQ(LinesOf(kDoFilter).size(), 2u);

    // The other way round the log-only filter takes the record.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentKey);
    std::remove(JournalPath().c_str());
    AddFilter({.name = "LogOnly"});
    AddFilter({.name = "Sms", .logType = "Mordane", .source = "Mordane", .sendType = "SMS"});
    log().Start();
    Run(Load(), "Mordane", BuildRecord(ecc));
    EXPECT_EQ(Journal(), "");
    EXPECT_EQ(LinesOf(kDoFilter).size(), 2u);

    // Without the application log only the action runs.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kAgentKey);
    AddFilter({.name = "Sms", .sendType = "SMS"});
    CFwsystemFweventlogFwwatch& quiet = Load();
    quiet.SetWriteAplLog(0);
    log().Start();
    Run(quiet, "Mordane", BuildRecord({.eventId = 0xC0040009, .data = {3}}));
    EXPECT_EQ(Journal(), "SetEccErrorCounts 3\n");
    EXPECT_TRUE(LinesOf(kDoFilter).empty());
}

TEST_F(FilterTest, MatchedRecordWritesTwoLines) {
    ScopedEnv tz("VQ_TZ_BIAS", "-540");
    AddFilter({.name = "All"});
    CFwsystemFweventlogFwwatch& job = Load();
    const RecordSpec r{.eventId = 0x80040001, .type = EVENTLOG_WARNING_TYPE, .strings = {"a", "b"}};
    Run(job, "Mordane", BuildRecord(r));
    auto lines = LinesOf(kDoFilter);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "[Mordane EVENTLOG] (Warning)a;b;");
    EXPECT_EQ(lines[1].message,
              "[Mordane EVENTLOG INFO] (SourceName)Mordane (EventID)1(2147745793) 1970/01/01 09:00:00 "
              "%1=\"a\" %2=\"b\" ");
    for (const auto& l : lines) {
        EXPECT_EQ(l.eventCode, 8000);
        EXPECT_EQ(l.errorCode, 0x80040001u);
    }
    const std::pair<const char*, const char*> labels[] = {{"Application", "[APL EVENTLOG] "},
                                                          {"security", "[SECURITY EVENTLOG] "},
                                                          {"System", "[SYSTEM EVENTLOG] "},
                                                          {"Elsewhere", "[ EVENTLOG] "}};
    for (const auto& [logName, label] : labels) {
        log().Start();
        Run(job, logName, BuildRecord(r));
        lines = LinesOf(kDoFilter);
        ASSERT_EQ(lines.size(), 2u) << logName;
        EXPECT_EQ(lines[0].message.rfind(label, 0), 0u) << lines[0].message;
    }
}

TEST_F(FilterTest, LongLinesAreCutAt138) {
    ScopedEnv tz("VQ_TZ_BIAS", "0");
    AddFilter({.name = "All"});
    const std::string q(300, 'q');
    Run(Load(), "System", BuildRecord({.eventId = 70000, .strings = {q}}));
    const auto lines = LinesOf(kDoFilter);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, ("[SYSTEM EVENTLOG] (Information)" + q).substr(0, 138));
    EXPECT_EQ(lines[1].message,
              ("[SYSTEM EVENTLOG INFO] (SourceName)Mordane (EventID)4464(70000) 1970/01/01 00:00:00 %1=\"" + q)
                  .substr(0, 138));
}

// Records as any program may have written them: no offset, length or count is trusted.
TEST_F(FilterTest, MalformedRecordsStayInsideTheirBytes) {
    AddFilter({.name = "Sms", .sendType = "SMS"});
    CFwsystemFweventlogFwwatch& job = Load();
    const std::vector<BYTE> good =
        BuildRecord({.eventId = 0x4004000C, .strings = {"first", "second"}, .data = {0x10, 0x20}});

    Run(job, "Mordane", std::vector<BYTE>(good.begin(), good.begin() + 55));
    EXPECT_TRUE(log().Lines().empty());

    // A header alone, its offsets pointing into itself, its length far beyond its bytes.
    std::vector<BYTE> header(good.begin(), good.begin() + sizeof(EVENTLOGRECORD));
    HeaderOf(header).StringOffset = 0;
    HeaderOf(header).DataOffset = 8;
    HeaderOf(header).Length = 0xFFFFFFFFu;
    Run(job, "Mordane", header);

    // Offsets and lengths beyond the record, and sums that would wrap.
    for (DWORD bad : {DWORD{0xFFFFFFFFu}, DWORD{0xFFFFFFF0u}, static_cast<DWORD>(good.size())}) {
        std::vector<BYTE> r = good;
        HeaderOf(r).StringOffset = HeaderOf(r).UserSidOffset = bad;
        HeaderOf(r).UserSidLength = 16;
        Run(job, "Mordane", r);
        r = good;
        HeaderOf(r).UserSidOffset = HeaderOf(r).DataOffset;
        HeaderOf(r).DataLength = HeaderOf(r).UserSidLength = bad;
        Run(job, "Mordane", r);
    }
    // A SID whose sub-authority count claims more than its length.
    Run(job, "Mordane", BuildRecord({.eventId = 1, .sid = {1, 5, 0, 0, 0, 0, 0, 5}}));

    // More strings declared than present, the last one cut off by the record's end.
    std::vector<BYTE> cut = good;
    HeaderOf(cut).NumStrings = 5;
    cut.resize(HeaderOf(cut).StringOffset + std::strlen("first") + 1 + std::strlen("seco"));
    HeaderOf(cut).Length = static_cast<DWORD>(cut.size());
    log().Start();
    Run(job, "Mordane", cut);
    auto lines = LinesOf(kDoFilter);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "[Mordane EVENTLOG] (Information)first;seco;");
    EXPECT_NE(lines[1].message.find("%1=\"first\" %2=\"seco\" "), std::string::npos) << lines[1].message;

    // A source name that runs to the end.
    std::vector<BYTE> source(good.begin(), good.begin() + sizeof(EVENTLOGRECORD) + 4);
    HeaderOf(source).Length = static_cast<DWORD>(source.size());
    log().Start();
    Run(job, "Mordane", source);
    lines = LinesOf(kDoFilter);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].message.find("(SourceName)Mord "), std::string::npos) << lines[1].message;

    // Data that does not fit is no data: the provider gets a zero, never stray bytes.
    std::remove(JournalPath().c_str());
    std::vector<BYTE> data = good;
    HeaderOf(data).DataLength = 40;
    Run(job, "Mordane", data);
    Run(job, "Mordane", good);
    EXPECT_EQ(Journal(), "SetExcessiveCaseTemperature 0\nSetExcessiveCaseTemperature 8208\n");
}

// A user SID shorter than a SID's fixed part. Fails under AddressSanitizer now: the SID is
// copied with its own length (1 byte) and handed to IsValidSid, which reads the second
// byte (the sub-authority count) before any length is compared.
TEST_F(FilterTest, OneByteSidIsNotReadBeyond) {
    AddFilter({.name = "All"});
    Run(Load(), "Mordane", BuildRecord({.eventId = 1, .sid = {1}}));
    EXPECT_EQ(LinesOf(kDoFilter).size(), 2u);
}

}  // namespace
