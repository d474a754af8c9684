// The firmware monitors in the real service process: one BIOS version record and one
// serial number record per start, and a prompt end on SIGTERM although both monitors only
// wait after their single read.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "gatherer/biosversion.h"
#include "gatherer/serialno.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "pal/ntdll/firmware.h"

extern char** environ;

using namespace mordane;
using namespace gtest_util;

TEST(FirmwareService, WritesTheSerialNumberAndBiosVersionOnceAndStopsOnSigterm) {
    InstallRegistry();
    SetFirmware({{"bios_version", "V3.1"}, {"sys_manufacturer", "Maker"}, {"sys_product", "Model"},
                 {"sys_version", "2"}, {"sys_serial", "TERM-0042"}});
    const size_t before = ReadLog().size();
    pid_t pid = StartGatherer();
    ASSERT_GT(pid, 0);
    bool both = false;
    for (int i = 0; i < 200 && !both; ++i) {
        both = !RecordsOf(MSG_SERIAL_NO).empty() && !RecordsOf(MSG_BIOS_VERSION).empty();
        if (!both) Sleep(100);
    }
    ASSERT_TRUE(both);
    Sleep(500);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    // With no grace period the process ends as soon as every monitor thread has ended.
    EXPECT_EQ(WaitExit(pid, 30000), 0);

    auto serial = RecordsOf(MSG_SERIAL_NO);
    auto bios = RecordsOf(MSG_BIOS_VERSION);
    ASSERT_EQ(serial.size(), 1u);
    ASSERT_EQ(bios.size(), 1u);
    EXPECT_GT(serial[0].number, 0u);
    EXPECT_EQ(std::string(serial[0].data.begin(), serial[0].data.end()), "TERM-0042");
    EXPECT_EQ(std::string(bios[0].data.begin(), bios[0].data.end()), std::string(kBiosSignature) + "V3.1");
    EXPECT_EQ(serial[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_GT(ReadLog().size(), before);
    std::string trace = TraceText();
    EXPECT_NE(trace.find("TERM-0042,is written to EventLog "), std::string::npos);
    EXPECT_NE(trace.find("BIOSversion listening enable:1"), std::string::npos);
    std::remove(pal::ntdll::PhysmemConfigPath().c_str());
}
