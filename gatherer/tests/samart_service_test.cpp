// The SMART monitor in the real service process: two simulated drives give a record of
// two 78-byte parts at each poll until "vqsc stop Mordane"; a WMI connection that fails
// ends only this monitor.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "gatherer/cpusensor.h"
#include "gatherer/samart.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "tests/support/child_process.h"

using namespace mordane;
using namespace gtest_util;

namespace {

const char kTwoDrives[] =
    "provider = simulated\n"
    "drives = 2\n"
    "drive1.attr.1 = 11 100 100 0\n"
    "drive1.attr.5 = 51 100 100 0\n"
    "drive1.attr.9 = 50 97 97 23101\n"
    "drive1.thresh.5 = 36\n"
    "drive2.attr.5 = 51 90 90 12\n"
    "drive2.attr.197 = 18 100 100 3\n"
    "drive2.thresh.5 = 10\n";

}  // namespace

TEST(SamartService, TwoDrivesGiveTwoPartsPerRecordUntilVqscStop) {
    InstallRegistry();
    WriteIni("[SMART]\nINTERVAL=1\n");
    SetSmart(kTwoDrives);
    vqtest::ChildProcess service("mordane_service");
    ASSERT_TRUE(WaitFor([] { return CountRecords(MSG_SMART_ATTRIBUTES) >= 2; }));

    const vqtest::ProgramResult stop = vqtest::RunProgram(VQ_VQSC_BIN, {"stop", "Mordane"}, 30000);
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    ASSERT_TRUE(WaitFor([&] { return Exited(service.pid()); }, 60)) << "the monitor outlived the stop";
    EXPECT_EQ(service.Wait(), 0);

    for (const auto& r : ReadLog()) {
        if (r.id != MSG_SMART_ATTRIBUTES) continue;
        EXPECT_EQ(r.type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(r.strings, (std::vector<std::string>{"1,5,9,196,197,198,"}));
        ASSERT_EQ(r.data.size(), 2u * 78u);
        EXPECT_EQ(r.data[13], 5);            // drive 1, slot 2: attribute 5 ...
        EXPECT_EQ(r.data[13 + 12], 36);      // ... with its threshold
        EXPECT_EQ(r.data[78 + 13 + 5], 12);  // drive 2: raw value of 5
        EXPECT_EQ(r.data[78 + 13 + 12], 10);
        EXPECT_EQ(r.data[78 + 4 * 13], 197);
    }
    const std::string trace = TraceText();
    EXPECT_NE(trace.find("SMART\tSMART listening enable:1,AttributeIDs:1,5,9,196,197,198,"), std::string::npos);
    EXPECT_NE(trace.find("SMART\tListening End."), std::string::npos);
}

TEST(SamartService, AFailedConnectionEndsOnlyTheSmartMonitor) {
    InstallRegistry();
    WriteIni("[SMART]\nINTERVAL=1\n[CpuSensor]\nINTERVAL=1\n");
    SetSensor({{"case_temperature", "29"}});
    SetSmart("fail_connect = 1\n");
    vqtest::ChildProcess service("mordane_service");
    ASSERT_TRUE(WaitFor([] { return CountRecords(MSG_CASE_TEMPERATURE) >= 2; }));
    EXPECT_EQ(CountRecords(MSG_SMART_ATTRIBUTES), 0u);
    const std::string trace = TraceText();
    EXPECT_NE(trace.find("CSamart::initWMI\tConnectServer failed."), std::string::npos) << trace;
    EXPECT_NE(trace.find("CSamart::Initialize\tinitSmart failed."), std::string::npos);
    EXPECT_NE(trace.find("Smart\tInitialize failed."), std::string::npos);
    ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] { return Exited(service.pid()); }, 60));
    EXPECT_EQ(service.Wait(), 0);
}
