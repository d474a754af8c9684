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

pid_t StartService() {
    setenv("VQ_MORDANE_GRACE_MS", "0", 1);
    char* argv[] = {const_cast<char*>(VQ_MORDANE_BIN), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VQ_MORDANE_BIN, nullptr, nullptr, argv, environ), 0);
    unsetenv("VQ_MORDANE_GRACE_MS");
    return pid;
}

// SIGTERM, then the exit code (128 + signal when killed; SIGKILL after 30 s).
int StopService(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < 30000; waited += 50) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        Sleep(50);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

std::vector<Record> HddRecords() {
    std::vector<Record> out;
    for (auto& r : ReadLog())
        if (r.id == MSG_HDD_BOOT_ERROR) out.push_back(r);
    return out;
}

}  // namespace

TEST(RtcDeviceService, ReportsAtStartAbsorbsWhileRunningAndStopsOnSigterm) {
    InstallRegistry();
    WriteIni("[RtcSensor]\nINTERVAL=1\n");
    SetRegDword(kHddKey, "HDDegreeRecode", 3);
    SetRtc({{"machine_type", "2"}, {"cmos.169", "4"}, {"cmos.173", "1"}});

    pid_t pid = StartService();
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
    pid = StartService();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([] { return TraceText().find("RTCDevicelistening") != TraceText().rfind("RTCDevicelistening"); }));
    EXPECT_EQ(StopService(pid), 0);
    EXPECT_EQ(HddRecords().size(), 1u);
}
