// The watch job: start and stop requests, the settings read at start, and the bookmarks
// over first starts, cleared, wrapped and empty logs, polls and network outages. The
// gatherer's ECC records carry a sequence number as data and an SMS filter hands them to
// the provider, so its journal tells exactly which records were examined.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "agent/tests/watch_test_util.h"

namespace {

using namespace agenttest;

class WatchJobTest : public WatchTest {
protected:
    void SetUp() override {
        WatchTest::SetUp();
        InstallOids();
        SetDword(kFilterInfKey, "WATCH_INTERVAL", 1);
    }

    static void WriteEcc(DWORD first, DWORD last) {
        for (DWORD n = first; n <= last; ++n) {
            std::vector<BYTE> data(4);
            std::memcpy(data.data(), &n, 4);
            ASSERT_TRUE(Report("Mordane", "Mordane", 0xC0040009, EVENTLOG_ERROR_TYPE, data));
        }
    }
    static std::string Examined(DWORD first, DWORD last) {
        std::string out;
        for (DWORD n = first; n <= last; ++n) out += "SetEccErrorCounts " + std::to_string(n) + "\n";
        return out;
    }
    static void StoreBookmarks(DWORD apl, DWORD sec, DWORD sys, DWORD shi) {
        SetDword(kFilterInfKey, "APLLOG_REC_NO", apl);
        SetDword(kFilterInfKey, "SECLOG_REC_NO", sec);
        SetDword(kFilterInfKey, "SYSLOG_REC_NO", sys);
        SetDword(kFilterInfKey, "SHILOG_REC_NO", shi);
    }
    static long long Stored(const char* name) { return ReadDword(kFilterInfKey, name); }

    CFwsystemFweventlogFwwatch& Started() {
        CFwsystemFweventlogFwwatch& job = NewJob();
        EXPECT_EQ(job.Initialize(), 0);
        job.GetMatchFilterList();
        return job;
    }

    // Process on its own thread until Stop; WaitFor gives each condition 60 s.
    class Running {
    public:
        Running(CFwsystemFweventlogFwwatch& job, CVQBThdMsgApp& app) : app_(app) {
            thread_ = std::thread([this, &job] {
                result_ = job.Process();
                ended_ = true;
            });
        }
        ~Running() {
            if (thread_.joinable()) Stop();
        }
        bool WaitFor(const std::function<bool()>& condition) {
            for (int waited = 0; waited < 60000 && !ended_; waited += 20) {
                if (condition()) return true;
                Sleep(20);
            }
            return condition();
        }
        long Stop() {
            app_.SetWatchEvent();
            thread_.join();
            return result_;
        }

    private:
        CVQBThdMsgApp& app_;
        std::thread thread_;
        std::atomic<long> result_{-2};
        std::atomic<bool> ended_{false};
    };
};

TEST_F(WatchJobTest, FirstStartSkipsOldRecordsThenFollows) {
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(true));
    AddFilter({.name = "Ecc", .logType = "mordane", .sendType = "SMS"});
    WriteEcc(1, 3);
    CFwsystemFweventlogFwwatch& job = NewJob();
    ASSERT_EQ(job.Initialize(), 0);
    {
        Running run(job, *app_);
        ASSERT_TRUE(run.WaitFor([] { return Stored("SHILOG_REC_NO") == 4; }));
        EXPECT_EQ(Stored("APLLOG_REC_NO"), 1);  // empty logs: newest 0
        EXPECT_EQ(Stored("SECLOG_REC_NO"), 1);
        EXPECT_EQ(Stored("SYSLOG_REC_NO"), 1);
        EXPECT_EQ(Journal(), "");

        WriteEcc(4, 5);
        ASSERT_TRUE(run.WaitFor([] { return Stored("SHILOG_REC_NO") == 6; }));
        EXPECT_EQ(Journal(), Examined(4, 5));
        EXPECT_EQ(run.Stop(), 0);
    }
    EXPECT_EQ(job.Finalize(), 0);
    EXPECT_EQ(app_->GetWatchEvent(), nullptr);
    EXPECT_EQ(Stored("SHILOG_REC_NO"), 6);
    const std::string trace = Trace();
    EXPECT_EQ(CountOf(trace, "\tBrisvel\tBrisvel Startup\n"), 1u) << trace;
    EXPECT_EQ(CountOf(trace, "\tBrisvel\tBrisvel End\n"), 1u) << trace;
}

TEST_F(WatchJobTest, LogThatNoFilterNamesOnlyFollowsItsNewest) {
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(true));
    AddFilter({.name = "Everything", .logType = "ALL", .sendType = "SMS"});
    AddFilter({.name = "Sys", .logType = "System", .sendType = "SMS"});
    StoreBookmarks(1, 1, 1, 1);
    WriteEcc(1, 3);
    CFwsystemFweventlogFwwatch& job = NewJob();
    ASSERT_EQ(job.Initialize(), 0);
    {
        Running run(job, *app_);
        ASSERT_TRUE(run.WaitFor([] { return Stored("SHILOG_REC_NO") == 4; }));
    }
    job.Finalize();
    EXPECT_EQ(Journal(), "");
}

TEST_F(WatchJobTest, NetworkOutageKeepsBookmarksUntilItEnds) {
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(false));
    AddFilter({.name = "Ecc", .logType = "Mordane", .sendType = "SMS"});
    StoreBookmarks(1, 1, 1, 1);
    CFwsystemFweventlogFwwatch& job = NewJob();
    ASSERT_EQ(job.Initialize(), 0);
    {
        Running run(job, *app_);
        ASSERT_TRUE(run.WaitFor([this] { return Trace().find(">> Nic Link down Begin.") != std::string::npos; }));
        WriteEcc(1, 2);
        Sleep(2500);  // some polls while the network is away
        EXPECT_EQ(Journal(), "");
        EXPECT_EQ(Stored("SHILOG_REC_NO"), 1);

        ASSERT_TRUE(pal::net::WriteSimulatedConnection(true));
        ASSERT_TRUE(run.WaitFor([] { return Stored("SHILOG_REC_NO") == 3; }));
    }
    job.Finalize();
    EXPECT_EQ(Journal(), Examined(1, 2));
    const std::string trace = Trace();
    EXPECT_EQ(CountOf(trace, "\tTrap delay LinkDown\t>> Nic Link down Begin.\n"), 1u) << trace;
    EXPECT_EQ(CountOf(trace, "\tTrap delay LinkDown\t<< Nic Link down End.\n"), 1u) << trace;
}

TEST_F(WatchJobTest, WithoutFilterListTheWatchRefuses) {
    CFwsystemFweventlogFwwatch& job = NewJob();
    ASSERT_EQ(job.Initialize(), 0);
    EXPECT_EQ(job.Process(), -1);
    const auto lines = LinesOf("CFwsystemFweventlogFwwatch::Process");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Filter string is not set.");
    EXPECT_EQ(lines[0].eventCode, 0);
    job.Finalize();
}

TEST_F(WatchJobTest, ClearedAndEmptyLogs) {
    AddFilter({.name = "Ecc", .logType = "Mordane", .sendType = "SMS"});
    CFwsystemFweventlogFwwatch& job = Started();
    // Empty: newest is 0, so bookmark 1 has nothing new.
    DWORD bookmark = 1;
    EXPECT_EQ(job.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 1u);

    WriteEcc(1, 5);
    bookmark = 6;
    EXPECT_EQ(job.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 6u);
    // Cleared: numbering starts again, and so does the bookmark.
    ClearLog("Mordane");
    EXPECT_EQ(job.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 1u);
    bookmark = 6;
    WriteEcc(101, 102);
    EXPECT_EQ(job.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 3u);
    EXPECT_EQ(Journal(), Examined(101, 102));
}

TEST_F(WatchJobTest, WrappedLogResumesAtItsOldestRecord) {
    SetDword(std::string(kEventLogKey) + "\\Mordane", "MaxSize", 1024);
    AddFilter({.name = "Ecc", .logType = "Mordane", .sendType = "SMS"});
    WriteEcc(1, 40);
    HANDLE log = OpenEventLogA(nullptr, "Mordane");
    DWORD oldest = 0, count = 0;
    GetOldestEventLogRecord(log, &oldest);
    GetNumberOfEventLogRecords(log, &count);
    CloseEventLog(log);
    ASSERT_GT(oldest, 2u);
    ASSERT_EQ(oldest + count - 1, 40u);

    DWORD bookmark = 2;
    EXPECT_EQ(Started().CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 41u);
    EXPECT_EQ(Journal(), Examined(oldest, 40));
    EXPECT_TRUE(LinesOf("CFwsystemFweventlogFwwatch::CheckEventLog").empty());
}

TEST_F(WatchJobTest, WithNoOutputRecordsArePassedOver) {
    AddFilter({.name = "Ecc", .logType = "Mordane", .sendType = "SMS"});
    SetDword(kFilterInfKey, "WRITE_APLLOG", 0);
    SetDword(kFilterInfKey, "SEND_TRAP", 0);
    WriteEcc(1, 3);
    DWORD bookmark = 1;
    CFwsystemFweventlogFwwatch& quiet = Started();
    EXPECT_EQ(quiet.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(bookmark, 4u);
    EXPECT_EQ(Journal(), "");
    quiet.Finalize();

    // Either output alone examines them.
    SetDword(kFilterInfKey, "SEND_TRAP", 1);
    bookmark = 1;
    CFwsystemFweventlogFwwatch& traps = Started();
    EXPECT_EQ(traps.CheckEventLog("Mordane", bookmark, 1), 1);
    EXPECT_EQ(Journal(), Examined(1, 3));
    EXPECT_TRUE(LinesOf("CFwsystemFweventlogFwwatch::DoFilter").empty());
    traps.Finalize();
}

TEST_F(WatchJobTest, StopRequestSetsTheEventAndWritesNothing) {
    ASSERT_EQ(app_->CreateWatchEvent(), 1);
    HANDLE running = app_->GetWatchEvent();
    for (const char* request : {"#BEGIN\n#START=0\n#END", "#BEGIN\n#END"}) {
        ResetEvent(running);
        CFwsystemFweventlogFwwatch& job = NewJob(request);
        EXPECT_EQ(job.Initialize(), 0);
        EXPECT_EQ(WaitForSingleObject(running, 0), WAIT_OBJECT_0) << request;
        EXPECT_EQ(job.Process(), 0);
        EXPECT_EQ(job.Finalize(), 0);
        EXPECT_EQ(app_->GetWatchEvent(), running);  // the watch closes it itself
    }
    for (const char* name : {"APLLOG_REC_NO", "SECLOG_REC_NO", "SYSLOG_REC_NO", "SHILOG_REC_NO"})
        EXPECT_EQ(Stored(name), -1) << name;
}

TEST_F(WatchJobTest, SecondStartLeavesTheRunningWatchAlone) {
    StoreBookmarks(2, 3, 4, 5);
    ASSERT_EQ(app_->CreateWatchEvent(), 1);
    HANDLE running = app_->GetWatchEvent();
    CFwsystemFweventlogFwwatch& job = NewJob();
    EXPECT_EQ(job.Initialize(), -1);
    EXPECT_EQ(job.Finalize(), 0);
    const auto lines = LinesOf("CFwsystemFweventlogFwwatch::Initialize");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Watch thread is already running.");
    EXPECT_EQ(lines[0].eventCode, 7000);
    EXPECT_EQ(app_->GetWatchEvent(), running);
    EXPECT_EQ(WaitForSingleObject(running, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Stored("SHILOG_REC_NO"), 5);
}

TEST_F(WatchJobTest, MissingTrapOidRefusesAndKeepsTheBookmarks) {
    StoreBookmarks(11, 12, 13, 14);
    DeleteValue(kOidKey, "TIME");
    EXPECT_EQ(NewJob().Initialize(), -1);
    EXPECT_EQ(job_->Finalize(), 0);
    auto lines = LinesOf("CFwsystemFweventlogFwwatch::GetTrapOid");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "TIME_OID get error");
    EXPECT_EQ(lines[0].eventCode, 2500);
    EXPECT_EQ(Stored("APLLOG_REC_NO"), 11);
    EXPECT_EQ(Stored("SECLOG_REC_NO"), 12);
    EXPECT_EQ(Stored("SYSLOG_REC_NO"), 13);
    EXPECT_EQ(Stored("SHILOG_REC_NO"), 14);
    EXPECT_EQ(app_->GetWatchEvent(), nullptr);  // the next start may run

    // Without any OID only the first is reported.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kOidKey);
    log().Start();
    EXPECT_EQ(NewJob().Initialize(), -1);
    job_->Finalize();
    lines = LinesOf("CFwsystemFweventlogFwwatch::GetTrapOid");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "DATE_OID get error");
    EXPECT_EQ(Stored("SHILOG_REC_NO"), 14);
}

TEST_F(WatchJobTest, IntervalInMilliseconds) {
    // -1: no value. No wait is below a second, none overflows or means "forever".
    const std::pair<long long, DWORD> cases[] = {{-1, 300000},
                                                 {0, 1000},
                                                 {300, 300000},
                                                 {4294967, 4294967000u},
                                                 {4294968, 0xFFFFFFFEu},
                                                 {0xFFFFFFFFll, 0xFFFFFFFEu}};
    for (const auto& [seconds, ms] : cases) {
        if (seconds < 0)
            DeleteValue(kFilterInfKey, "WATCH_INTERVAL");
        else
            SetDword(kFilterInfKey, "WATCH_INTERVAL", static_cast<DWORD>(seconds));
        CFwsystemFweventlogFwwatch& job = NewJob();
        ASSERT_EQ(job.Initialize(), 0) << seconds;
        EXPECT_EQ(job.GetInterval(), ms) << seconds;
        job.Finalize();
    }
}

}  // namespace
