// vqjournal as a real process on journal files: killed at random moments while entries
// arrive, every selected entry still reaches the System log exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "pal/eventlog/eventlog.h"
#include "standins/vqjournal/config.h"
#include "standins/vqjournal/tests/test_util.h"
#include "tests/support/child_process.h"

// The service in place of the child (stderr joined to stdout, which the parent reads).
VQ_CHILD(exec_vqjournal) {
    dup2(1, 2);
    execl(VQ_VQJOURNAL_BIN, VQ_VQJOURNAL_BIN, static_cast<char*>(nullptr));
    return 127;
}

namespace vqjournal_test {
namespace {

class Service {
public:
    Service() : child_("exec_vqjournal") {}
    ~Service() {
        if (child_.pid() > 0 && !ended_) {
            child_.Kill(SIGKILL);
            child_.Wait();
        }
    }
    // Waits for the "running" line; false (with what it said) when it did not come.
    bool Running(std::string* seen = nullptr, int timeoutMs = 60000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string all;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string line = child_.ReadLine(1000);
            all += line.empty() ? "" : line + "\n";
            if (line.rfind("vqjournal: running", 0) == 0) return true;
        }
        if (seen) *seen = all;
        return false;
    }
    // The signal, then the exit code; one that has not ended within 60 s is killed.
    int Stop(int signal) {
        child_.Kill(signal);
        int code = child_.WaitOrKill(60000);
        ended_ = true;
        return code;
    }
    // Lines it wrote until its end.
    std::string Rest() {
        std::string all;
        for (std::string line; !(line = child_.ReadLine(2000)).empty();) all += line + "\n";
        return all;
    }

private:
    vqtest::ChildProcess child_;
    bool ended_ = false;
};

// Records in the System log (cheap enough to ask often).
DWORD LogCount() {
    HANDLE h = OpenEventLogA(nullptr, "System");
    DWORD n = 0;
    if (h) {
        GetNumberOfEventLogRecords(h, &n);
        CloseEventLog(h);
    }
    return n;
}

std::map<std::string, int> CopiedMessages() {
    std::map<std::string, int> count;
    for (const Record& r : JournalRecords()) ++count[r.strings.empty() ? "" : r.strings[0]];
    return count;
}

bool WaitForCopies(size_t expected, int timeoutMs = 120000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (JournalRecords().size() < expected) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

class ServiceTest : public testing::Test {
protected:
    void SetUp() override {
        if (JournalRemote().empty()) GTEST_SKIP() << "systemd-journal-remote is not installed";
        ResetState();
    }
    void TearDown() override { ResetState(); }
};

TEST_F(ServiceTest, KilledAtRandomMomentsCopiesEveryEntryExactlyOnce) {
    std::string dir = MakeDir("killed");
    SetString(vqjournal::kParametersKey, "Directory", dir);
    SetString(vqjournal::kParametersKey, "Cursor", "");  // the whole journal
    SetDword("SYSTEM\\CurrentControlSet\\Services\\EventLog\\System", "MaxSize", 8 << 20);
    // Entries come in large batches, so most kills land while the service copies.
    // Every fifth entry is info (6) and stays out with the default MaxPriority 4.
    auto entry = [](int i) {
        return ExportEntry(i, {{"MESSAGE", "entry " + std::to_string(i)},
                               {"PRIORITY", i % 5 == 0 ? "6" : (i % 2 ? "3" : "4")},
                               {"SYSLOG_IDENTIFIER", "unit" + std::to_string(i % 3)}});
    };
    constexpr int kFirst = 600, kBatches = 5, kBatch = 300, kTotal = kFirst + kBatches * kBatch;
    std::string initial;
    for (int i = 1; i <= kFirst; ++i) initial += entry(i);
    ASSERT_EQ(AppendJournal(dir, initial), "");

    std::atomic<bool> writing{true};
    std::string writeError;
    std::thread writer([&] {
        int next = kFirst + 1;
        for (int b = 0; b < kBatches && writeError.empty(); ++b) {
            std::string text;
            for (int k = 0; k < kBatch; ++k) text += entry(next++);
            writeError = AppendJournal(dir, text);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        writing = false;
    });

    std::mt19937 random(std::random_device{}());
    int kills = 0;
    while (writing || kills < 8) {
        Service service;
        std::string seen;
        ASSERT_TRUE(service.Running(&seen)) << seen;
        // Killed once it has written a random number of records more (or after a while,
        // when nothing more comes): mostly in the middle of copying.
        DWORD target = LogCount() + 1 + random() % 150;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300 + random() % 300);
        while (LogCount() < target && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(service.Stop(SIGKILL), 128 + SIGKILL);
        ++kills;
    }
    writer.join();
    ASSERT_EQ(writeError, "");

    size_t expected = kTotal - kTotal / 5;
    Service last;
    std::string seen;
    ASSERT_TRUE(last.Running(&seen)) << seen;
    EXPECT_TRUE(WaitForCopies(expected));
    EXPECT_EQ(last.Stop(SIGTERM), 0);
    EXPECT_NE(last.Rest().find("vqjournal: stopped"), std::string::npos);

    std::map<std::string, int> copied = CopiedMessages();
    EXPECT_EQ(copied.size(), expected);
    for (int i = 1; i <= kTotal; ++i) {
        auto it = copied.find("entry " + std::to_string(i));
        int n = it == copied.end() ? 0 : it->second;
        EXPECT_EQ(n, i % 5 == 0 ? 0 : 1) << "entry " << i << " after " << kills << " kills";
    }
    // A clean stop leaves the fallback position at the newest entry read.
    EXPECT_NE(GetString(vqjournal::kParametersKey, "Cursor"), "");
}

TEST_F(ServiceTest, StopsOnSigtermAndResumesFromTheSavedCursorAfterAClear) {
    std::string dir = MakeDir("cleared");
    SetString(vqjournal::kParametersKey, "Directory", dir);
    SetMultiSz(vqjournal::kParametersKey, "Units", {"ssh.service"});
    SetDword(vqjournal::kParametersKey, "MaxPriority", 7);
    ASSERT_EQ(AppendJournal(dir, ExportEntry(1, {{"MESSAGE", "history"}, {"_SYSTEMD_UNIT", "ssh.service"}})), "");
    {
        Service service;
        std::string seen;
        ASSERT_TRUE(service.Running(&seen)) << seen;  // first run: at the tail, history stays out
        ASSERT_EQ(AppendJournal(dir, ExportEntry(2, {{"MESSAGE", "new"}, {"_SYSTEMD_UNIT", "ssh.service"}}) +
                                         ExportEntry(3, {{"MESSAGE", "other"}, {"_SYSTEMD_UNIT", "cron.service"}})),
                  "");
        EXPECT_TRUE(WaitForCopies(1));
        EXPECT_EQ(service.Stop(SIGTERM), 0);
    }
    ClearLog();
    ASSERT_EQ(AppendJournal(dir, ExportEntry(4, {{"MESSAGE", "after clear"}, {"_SYSTEMD_UNIT", "ssh.service"}})), "");
    {
        Service service;
        std::string seen;
        ASSERT_TRUE(service.Running(&seen)) << seen;
        EXPECT_TRUE(WaitForCopies(1));
        EXPECT_EQ(service.Stop(SIGTERM), 0);
    }
    std::vector<Record> records = JournalRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings, std::vector<std::string>{"after clear"});
    EXPECT_EQ(records[0].source, "ssh.service");
    EXPECT_EQ(records[0].message, "after clear");
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
}

TEST_F(ServiceTest, LocalJournalEntryFromSystemdCat) {
    struct stat st{};
    if (stat("/run/systemd/journal/socket", &st) != 0)
        GTEST_SKIP() << "no journal daemon runs here (/run/systemd/journal/socket is missing)";
    std::string name = "vqjournal-test-" + std::to_string(getpid());
    SetMultiSz(vqjournal::kParametersKey, "Identifiers", {name});
    Service service;
    std::string seen;
    ASSERT_TRUE(service.Running(&seen)) << seen;
    vqtest::ProgramResult r =
        vqtest::RunProgram("/bin/sh", {"-c", "echo 'local journal line' | systemd-cat -t \"$0\" -p warning", name});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(WaitForCopies(1, 60000));
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    std::vector<Record> records = JournalRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, name);
    EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(records[0].message, "local journal line");
}

}  // namespace
}  // namespace vqjournal_test
