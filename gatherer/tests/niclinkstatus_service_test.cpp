// The link status monitor inside the real service process: a cable pulled and plugged
// while the service runs gives one record, and a stop in the middle of a counting window
// ends the process.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "gatherer/niclinkstatus.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "pal/device/device.h"
#include "tests/support/child_process.h"

using namespace mordane;
using namespace gtest_util;

namespace {

// Waits for a trace text written after the trace had the size from.
bool WaitForTrace(const std::string& text, size_t from, int seconds = 30) {
    return WaitFor([&] { return TraceText().find(text, from) != std::string::npos; }, seconds);
}

void Link(bool up) { SetIfTable({{"if.1.index", "3"}, {"if.1.up", up ? "1" : "0"}}); }

class NicLinkStatusService : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRegistry();
        RemoveMonitorKey("NICStatus");
        InstallRegistry();
        Link(true);
    }
    void TearDown() override {
        pal::device::RemoveDeviceConfig("iftable");
        RemoveIni();
    }
};

}  // namespace

TEST_F(NicLinkStatusService, LinkLostTwiceGivesOneRecordThenTheServiceStops) {
    WriteIni("[NICStatus]\nINTERVAL=1\nLIMIT=2\nTimes=600\n[CpuSensor]\nINTERVAL=600\n");
    const size_t before = CountRecords(MSG_NIC_LINK_STATUS);
    const size_t traceStart = TraceText().size();
    vqtest::ChildProcess service("mordane_service", {"0"});
    ASSERT_TRUE(WaitForTrace("beyond 2 of times in 10 minutes", traceStart));
    // Each state is held for more than two polls, so every change is seen.
    for (int i = 0; i < 2; ++i) {
        Sleep(2500);
        Link(false);
        Sleep(2500);
        Link(true);
    }
    for (int i = 0; i < 100 && CountRecords(MSG_NIC_LINK_STATUS) == before; ++i) Sleep(100);
    Sleep(2500);  // no second record follows
    std::vector<Record> nic;
    for (const auto& r : ReadLog()) {
        if (r.id == MSG_NIC_LINK_STATUS) nic.push_back(r);
    }
    ASSERT_EQ(nic.size(), before + 1);
    EXPECT_EQ(nic.back().type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(nic.back().Value(), 3);

    ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] { return Exited(service.pid()); }, 60));
    EXPECT_EQ(service.Wait(), 0);
    EXPECT_NE(TraceText().find("NicLinkStatus\tListening End.", traceStart), std::string::npos);
}

TEST_F(NicLinkStatusService, AStopInTheMiddleOfAWindowEndsTheProcess) {
    // Defaults: a ten-minute window that has just begun when the stop comes.
    const size_t before = CountRecords(MSG_NIC_LINK_STATUS);
    const size_t traceStart = TraceText().size();
    vqtest::ChildProcess service("mordane_service", {"0"});
    ASSERT_TRUE(WaitForTrace("beyond 5 of times in 10 minutes", traceStart));
    ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
    ASSERT_TRUE(WaitFor([&] { return Exited(service.pid()); }, 60)) << "a thread of the monitor outlived the stop";
    EXPECT_EQ(service.Wait(), 0);
    EXPECT_EQ(CountRecords(MSG_NIC_LINK_STATUS), before);
}
