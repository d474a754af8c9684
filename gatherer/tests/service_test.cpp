// The gatherer as a real service process: records read back through the event-log API,
// status through vqsc, SIGTERM and the grace period.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "gatherer/cpusensor.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "tests/support/child_process.h"

extern char** environ;

using namespace mordane;
using namespace gtest_util;
using Clock = std::chrono::steady_clock;

namespace {

std::string Vqsc(const std::vector<std::string>& args, int* status = nullptr) {
    vqtest::ProgramResult r = vqtest::RunProgram(VQ_VQSC_BIN, args, 30000);
    if (status) *status = r.status;
    return r.out + r.err;
}

std::string Query() { return Vqsc({"query", "Mordane"}); }

bool StateIs(const std::string& query, const char* state) {
    return query.find(state) != std::string::npos;
}

class Gatherer {
public:
    explicit Gatherer(const char* graceMs) {
        setenv("VQ_MORDANE_GRACE_MS", graceMs, 1);
        char* argv[] = {const_cast<char*>(VQ_MORDANE_BIN), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, VQ_MORDANE_BIN, nullptr, nullptr, argv, environ), 0);
        unsetenv("VQ_MORDANE_GRACE_MS");
    }
    ~Gatherer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    pid_t pid() const { return pid_; }
    bool Alive() {
        if (pid_ <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == 0) return true;
        pid_ = -1;
        exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    int Wait() {
        if (pid_ > 0) {
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exit_;
    }

private:
    pid_t pid_ = -1;
    int exit_ = -1;
};

// Waits until the log holds a record with the identifier; true when it came.
bool WaitForRecord(DWORD id, size_t count = 1, int seconds = 20) {
    for (int i = 0; i < seconds * 10; ++i) {
        size_t n = 0;
        for (const auto& r : ReadLog()) n += r.id == id;
        if (n >= count) return true;
        Sleep(100);
    }
    return false;
}

bool WaitForState(const char* state, int seconds = 10) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (StateIs(Query(), state)) return true;
        Sleep(100);
    }
    return false;
}

}  // namespace

TEST(GathererService, ReportsOverTemperatureUntilSigtermThenEndsAfterTheGracePeriod) {
    InstallRegistry();
    WriteIni("[CpuSensor]\nINTERVAL=1\n");
    SetSensor({{"cpu_temperature", "88"}, {"case_temperature", "33"}});

    Gatherer g("3000");
    ASSERT_TRUE(WaitForRecord(0x80040001u)) << Query();
    ASSERT_TRUE(WaitForState("RUNNING")) << Query();

    // Another process's event of the old well-known name does not stop the monitors.
    HANDLE named = CreateEventA(nullptr, TRUE, TRUE, "EndListen");
    ASSERT_NE(named, nullptr);
    size_t before = ReadLog().size();
    ASSERT_TRUE(WaitForRecord(MSG_CASE_TEMPERATURE, 3));
    EXPECT_GT(ReadLog().size(), before);
    CloseHandle(named);

    auto records = ReadLog();
    // The USB monitor's start record comes whenever its thread gets to it.
    std::erase_if(records, [](const auto& r) { return r.id == 0x4004000Eu; });
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].id, 0x80040001u);
    EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(records[0].Value(), 88);
    EXPECT_EQ(records[1].id, MSG_CASE_TEMPERATURE);
    EXPECT_EQ(records[1].Value(), 33);

    auto stopAsked = Clock::now();
    ASSERT_EQ(kill(g.pid(), SIGTERM), 0);
    ASSERT_TRUE(WaitForState("STOPPED", 2)) << Query();  // reported stopped at once ...
    EXPECT_TRUE(g.Alive());                               // ... while the grace period runs
    EXPECT_EQ(g.Wait(), 0);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAsked).count();
    EXPECT_GE(took, 2500);
    std::string trace = TraceText();
    EXPECT_NE(trace.find("Listening End."), std::string::npos);
    // The monitor ended before the trace was closed: its last line is there.
    EXPECT_LT(trace.find("Listening End."), trace.size());
}

TEST(GathererService, StopsThroughTheServiceControlToolAndRunsWithDefaults) {
    // No ini file, no subkeys: the defaults (a 300 s interval), so exactly one first poll.
    SetSensor({{"case_temperature", "29"}});
    Gatherer g("0");
    ASSERT_TRUE(WaitForRecord(MSG_CASE_TEMPERATURE));
    ASSERT_TRUE(WaitForState("RUNNING"));
    int status = -1;
    std::string out = Vqsc({"stop", "Mordane"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(g.Wait(), 0);
    // No "Mordane" log registered: the default log. The USB monitor's start record is there too.
    size_t polls = 0;
    for (const auto& r : ReadLog("Application")) polls += r.id == MSG_CASE_TEMPERATURE;
    EXPECT_EQ(polls, 1u);
    EXPECT_NE(TraceText().find("Open Registry failed while getting ini config file path."), std::string::npos);
    // After the process has gone the tool says the service is not running.
    out = Vqsc({"query", "Mordane"}, &status);
    EXPECT_NE(status, 0) << out;
}

TEST(GathererService, AFailedStatusReportWritesTheFailureRecordAndBecomesTheExitCode) {
    InstallRegistry();
    SetSensor({});
    setenv("VQ_SERVICE_FAIL_STATUS", "4", 1);  // the running report
    Gatherer g("0");
    unsetenv("VQ_SERVICE_FAIL_STATUS");
    EXPECT_EQ(g.Wait(), 1);
    auto records = ReadLog();
    ASSERT_EQ(records.size(), 1u);  // no monitor started
    EXPECT_EQ(records[0].id, 0u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].strings, (std::vector<std::string>{"Mordane error: 13", "SetServiceStatus"}));
}

TEST(GathererService, ASecondInstanceFailsItsDispatcherWithARecord) {
    InstallRegistry();
    SetSensor({});
    Gatherer first("0");
    ASSERT_TRUE(WaitForState("RUNNING"));
    Gatherer second("0");
    EXPECT_EQ(second.Wait(), 1);
    bool found = false;
    for (const auto& r : ReadLog()) {
        if (r.id == 0 && r.strings == std::vector<std::string>{"Mordane error: 1056", "StartServiceCtrlDispatcher failed."})
            found = true;
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(StateIs(Query(), "RUNNING"));  // the first one is untouched
    kill(first.pid(), SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
}

// Every monitor on its simulated source at once: each reports or listens, and a stop
// through the service control tool ends them all within the grace period.
TEST(GathererService, AllSevenMonitorsRunAndStopThroughTheServiceControlTool) {
    InstallRegistry();
    WriteIni("[CpuSensor]\nINTERVAL=1\n[SMART]\nWATCH=1\nINTERVAL=1\nWATCH_AttributeIDs=1 5 9 196 197 198\n"
             "[USBDisconnected]\nWATCH=1\n[NICStatus]\nWATCH=1\nINTERVAL=1\nLIMIT=5\nTimes=600\n");
    SetSensor({{"cpu_temperature", "88"}});
    SetFirmware({{"bios_version", "V3.1"}, {"sys_manufacturer", "Maker"}, {"sys_serial", "TERM-0042"}});
    SetRtc({{"machine_type", "2"}});
    SetIfTable({{"if.1.index", "3"}, {"if.1.up", "1"}});
    SetSmart("provider = simulated\ndrives = 2\ndrive1.attr.9 = 50 97 97 23101\ndrive2.attr.5 = 51 90 90 12\n");
    SetUsb({{"removals", "0"}});

    Gatherer g("2000");
    const char* listening[] = {"SerialNo listening enable:1", "CPU sensor listening start", "SMART listening enable:1",
                               "NicStatus\tlistening enable:1", "BIOSversion listening enable:1", "RTCDevicelistening",
                               "USB listening enable:1"};
    bool all = false;
    for (int i = 0; i < 300 && !all; ++i) {
        const std::string trace = TraceText();
        all = true;
        for (const char* line : listening) all = all && trace.find(line) != std::string::npos;
        if (!all) Sleep(100);
    }
    const std::string trace = TraceText();
    for (const char* line : listening) EXPECT_NE(trace.find(line), std::string::npos) << line;
    ASSERT_TRUE(all) << trace;
    for (DWORD id : {0x4004000Bu, 0x80040001u, 0x4004000Fu, 0x40040008u, 0x4004000Eu})
        EXPECT_TRUE(WaitForRecord(id)) << std::hex << id;
    ASSERT_TRUE(WaitForState("RUNNING"));

    const auto stopAsked = Clock::now();
    int status = -1;
    const std::string out = Vqsc({"stop", "Mordane"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(g.Wait(), 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAsked).count();
    EXPECT_LT(took, 2000 + 8000) << "the monitors outlived the grace period";
    const std::string end = TraceText();
    for (const char* line : {"CPUSensor\tListening End.", "SMART\tListening End.", "NicLinkStatus\tListening End.",
                             "RTC\tListening End.", "USB\tListening End."})
        EXPECT_NE(end.find(line), std::string::npos) << line;
}
