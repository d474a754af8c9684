// The RTC device monitor in the real service process: a change made while the terminal
// was off is reported at start, a change made while the service runs is only absorbed
// into the registry, and the next start has nothing left to report.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "gatherer/rtcdevice.h"
#include "gatherer/tests/gatherer_test_util.h"

extern char** environ;

using namespace mordane;
using namespace gtest_util;

namespace {

constexpr const char* kHddKey = "RtcSensor\\HDDBootErrorLog";

// SIGTERM, then the exit code (128 + signal when killed; SIGKILL after 30 s).
int StopService(pid_t pid) {
    kill(pid, SIGTERM);
    return WaitExit(pid, 30000);
}

std::vector<Record> HddRecords() { return RecordsOf(MSG_HDD_BOOT_ERROR); }

}  // namespace

TEST(RtcDeviceService, ReportsAtStartAbsorbsWhileRunningAndStopsOnSigterm) {
    InstallRegistry();
    WriteIni("[RtcSensor]\nINTERVAL=1\n");
    SetRegDword(kHddKey, "HDDegreeRecode", 3);
    SetRtc({{"machine_type", "2"}, {"cmos.169", "4"}, {"cmos.173", "1"}});

    pid_t pid = StartGatherer();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([] { return !HddRecords().empty(); }));
    auto first = HddRecords();
    EXPECT_EQ(first[0].data, (std::vector<BYTE>{4, 0, 0, 0, 1}));
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 4);

    // While it runs: the copy follows, the log does not.
    SetRtc({{"machine_type", "2"}, {"cmos.169", "5"}});
    EXPECT_TRUE(WaitFor([] { return RegDword(kHddKey, "HDDegreeRecode") == 5; }));
    EXPECT_EQ(StopService(pid), 0);
    EXPECT_EQ(HddRecords().size(), 1u);
    EXPECT_NE(TraceText().find("Listening End."), std::string::npos);

    // The next start finds the copy current.
    pid = StartGatherer();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([] { return TraceText().find("RTCDevicelistening") != TraceText().rfind("RTCDevicelistening"); }));
    EXPECT_EQ(StopService(pid), 0);
    EXPECT_EQ(HddRecords().size(), 1u);
}
