// The copy loop with a fake journal: what lands in the System log, how sources are
// registered, and where a new run resumes.
#include <gtest/gtest.h>

#include <set>

#include "pal/eventlog/sources.h"
#include "pal/module/module.h"
#include "standins/vqjournal/copier.h"
#include "standins/vqjournal/entry.h"
#include "standins/vqjournal/event_sink.h"
#include "standins/vqjournal/tests/test_util.h"

namespace vqjournal_test {
namespace {

constexpr const char* kSystemSources = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";

class CopierTest : public testing::Test {
protected:
    void SetUp() override {
        ResetState();
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        journal_.stopWhenDrained = stop_;
    }
    void TearDown() override {
        CloseHandle(stop_);
        ResetState();
    }

    // One run of the service over the fake: start, copy until the fake is drained.
    std::string RunOnce(const vqjournal::Config& config = {}) {
        ResetEvent(stop_);
        vqjournal::EventSink sink;
        vqjournal::Copier copier(config, journal_, sink, stop_);
        std::string where, reason;
        EXPECT_TRUE(copier.Start(where, reason)) << reason;
        copier.Run();
        return where;
    }

    void AddNumbered(int from, int to, const char* priority = "3") {
        for (int i = from; i <= to; ++i)
            journal_.Add({{"MESSAGE", "entry " + std::to_string(i)}, {"PRIORITY", priority}, {"_COMM", "app"}});
    }

    // The messages of the copied records, in log order.
    static std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Record& r : JournalRecords()) out.push_back(r.strings.empty() ? "" : r.strings[0]);
        return out;
    }
    static std::vector<std::string> Numbered(int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i <= to; ++i) out.push_back("entry " + std::to_string(i));
        return out;
    }

    FakeJournal journal_;
    HANDLE stop_ = nullptr;
};

TEST_F(CopierTest, RecordsCarrySourceTypeMessageAndCursor) {
    journal_.Add({{"MESSAGE", "Accepted publickey for root"}, {"PRIORITY", "4"}, {"_SYSTEMD_UNIT", "ssh.service"},
                  {"SYSLOG_IDENTIFIER", "sshd"}});
    journal_.Add({{"MESSAGE", "disk %1 failed at %%1234 (100%)"}, {"PRIORITY", "2"}, {"SYSLOG_IDENTIFIER", "smartd"}});
    journal_.Add({{"MESSAGE", std::string("bin\0ary\xFE", 8)}, {"PRIORITY", "0"}});
    journal_.Add({{"MESSAGE", "not copied"}, {"PRIORITY", "6"}, {"_SYSTEMD_UNIT", "ssh.service"}});
    vqjournal::Config config;
    SetString(vqjournal::kParametersKey, "Cursor", "");  // from the head
    RunOnce(config);

    std::vector<Record> records = JournalRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].source, "ssh.service");
    EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(records[0].eventId, vqjournal::kEventWarning);
    EXPECT_TRUE(records[0].messageFound);
    EXPECT_EQ(records[0].message, "Accepted publickey for root");
    EXPECT_EQ(records[0].data, "vqjournal-cursor:c1");

    // Insertion strings are not formatted again: the message shows as written.
    EXPECT_EQ(records[1].source, "smartd");
    EXPECT_EQ(records[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[1].eventId, vqjournal::kEventError);
    EXPECT_EQ(records[1].message, "disk %1 failed at %%1234 (100%)");

    EXPECT_EQ(records[2].source, "journal");
    EXPECT_EQ(records[2].message, "bin\\x00ary\\xFE");
    EXPECT_EQ(records[2].data, "vqjournal-cursor:c3");

    // Every source is registered under System with the module, which is installed.
    for (const char* s : {"ssh.service", "smartd", "journal"}) {
        std::string log;
        ASSERT_EQ(pal::eventlog::LogOfSource(s, log), 0);
        EXPECT_EQ(log, "System") << s;
        EXPECT_EQ(GetString((std::string(kSystemSources) + s).c_str(), "EventMessageFile"), vqjournal::kModuleName);
    }
    HMODULE module = LoadLibraryExA(vqjournal::kModuleFile, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
}

TEST_F(CopierTest, LongMessageIsCutAndStillFormats) {
    std::string big(100000, 'x');
    journal_.Add({{"MESSAGE", big}, {"PRIORITY", "1"}});
    journal_.Add({{"MESSAGE", std::string(70000, '\0')}, {"PRIORITY", "1"}});
    SetString(vqjournal::kParametersKey, "Cursor", "");
    RunOnce();
    std::vector<Record> records = JournalRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, big.substr(0, vqjournal::kMaxMessageBytes) + "...");
    EXPECT_EQ(records[1].message.size(), vqjournal::kMaxMessageBytes + 3);
    EXPECT_EQ(records[1].message.substr(0, 8), "\\x00\\x00");
}

TEST_F(CopierTest, ExistingRegistrationsAreKept) {
    std::string own = std::string(kSystemSources) + "ssh.service";
    SetString(own.c_str(), "EventMessageFile", "%SystemRoot%\\System32\\custom.dll", REG_EXPAND_SZ);
    SetDword(own.c_str(), "TypesSupported", 1);
    std::string half = std::string(kSystemSources) + "cron";  // a key without values
    SetDword(half.c_str(), "CategoryCount", 3);
    // A name that Application holds would route the record there.
    SetString("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\myapp", "EventMessageFile", "x.dll");

    journal_.Add({{"MESSAGE", "a"}, {"PRIORITY", "3"}, {"_SYSTEMD_UNIT", "ssh.service"}});
    journal_.Add({{"MESSAGE", "b"}, {"PRIORITY", "3"}, {"SYSLOG_IDENTIFIER", "cron"}});
    journal_.Add({{"MESSAGE", "c"}, {"PRIORITY", "3"}, {"SYSLOG_IDENTIFIER", "myapp"}});
    SetString(vqjournal::kParametersKey, "Cursor", "");
    RunOnce();

    EXPECT_EQ(GetString(own.c_str(), "EventMessageFile"), "%SystemRoot%\\System32\\custom.dll");
    EXPECT_EQ(GetString(half.c_str(), "EventMessageFile"), vqjournal::kModuleName);
    EXPECT_EQ(GetString("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\myapp", "EventMessageFile"),
              "x.dll");
    std::vector<Record> records = JournalRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].source, "ssh.service");
    EXPECT_EQ(records[1].source, "cron");
    EXPECT_EQ(records[2].source, "myapp (journal)");
    EXPECT_EQ(records[2].message, "c");
    EXPECT_TRUE(ReadLog("Application").empty());

    // A module an administrator changed is not overwritten.
    EXPECT_TRUE(vqjournal::InstallModule());
}

TEST_F(CopierTest, FirstRunStartsAtTheTailAndKeepsThatPosition) {
    AddNumbered(1, 3);
    EXPECT_EQ(RunOnce(), "at the journal's tail");
    EXPECT_TRUE(JournalRecords().empty());
    EXPECT_EQ(GetString(vqjournal::kParametersKey, "Cursor"), "c3");
    // Entries that came while it was down are copied by the next run.
    AddNumbered(4, 5);
    EXPECT_EQ(RunOnce(), "after the saved cursor");
    EXPECT_EQ(Messages(), Numbered(4, 5));
}

TEST_F(CopierTest, EmptyJournalAtFirstRunMeansTheHead) {
    RunOnce();
    bool present = false;
    EXPECT_EQ(GetString(vqjournal::kParametersKey, "Cursor", &present), "");
    EXPECT_TRUE(present);
    AddNumbered(1, 2);
    EXPECT_EQ(RunOnce(), "at the journal's head (saved position)");
    EXPECT_EQ(Messages(), Numbered(1, 2));
}

TEST_F(CopierTest, ResumesAfterTheNewestRecordWithoutLossOrRepeat) {
    SetString(vqjournal::kParametersKey, "Cursor", "");
    AddNumbered(1, 4);
    RunOnce();
    // The registry lags behind (a run killed before it saved): the log's record wins.
    SetString(vqjournal::kParametersKey, "Cursor", "c1");
    AddNumbered(5, 6);
    EXPECT_EQ(RunOnce(), "after the System log's newest copied entry");
    EXPECT_EQ(Messages(), Numbered(1, 6));

    // Entries that were filtered out after the last copied one are not copied again
    // either, and a record of another source on top does not confuse the search.
    AddNumbered(7, 8, "6");
    RunOnce();
    HANDLE other = RegisterEventSourceA(nullptr, "Other");
    std::string fake = "vqjournal-cursor:c1";
    LPCSTR s[1] = {"x"};
    ReportEventA(other, EVENTLOG_INFORMATION_TYPE, 0, 1000, nullptr, 1, static_cast<DWORD>(fake.size()), s,
                 fake.data());
    DeregisterEventSource(other);
    AddNumbered(9, 9);
    RunOnce();
    std::vector<std::string> expected = Numbered(1, 6);
    expected.push_back("entry 9");
    EXPECT_EQ(Messages(), expected);
}

TEST_F(CopierTest, ClearedLogFallsBackToTheSavedCursor) {
    SetString(vqjournal::kParametersKey, "Cursor", "");
    AddNumbered(1, 3);
    RunOnce();
    EXPECT_EQ(GetString(vqjournal::kParametersKey, "Cursor"), "c3");
    ClearLog();
    AddNumbered(4, 4);
    EXPECT_EQ(RunOnce(), "after the saved cursor");
    EXPECT_EQ(Messages(), Numbered(4, 4));
}

TEST_F(CopierTest, UnusableCursorStartsAtTheTail) {
    SetString(vqjournal::kParametersKey, "Cursor", "gone");
    AddNumbered(1, 2);
    EXPECT_EQ(RunOnce(), "at the journal's tail");
    EXPECT_EQ(GetString(vqjournal::kParametersKey, "Cursor"), "c2");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(CopierTest, ReadErrorsResumeAfterTheLastEntry) {
    SetString(vqjournal::kParametersKey, "Cursor", "");
    AddNumbered(1, 2);
    RunOnce();
    AddNumbered(3, 5);
    journal_.failNext = 2;
    RunOnce();
    EXPECT_EQ(Messages(), Numbered(1, 5));
}

}  // namespace
}  // namespace vqjournal_test

