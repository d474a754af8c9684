// The USB disconnect monitor in the real service process: the start record with the
// stored count, records and DisconCount for removals announced through devices/usb.conf
// while it runs, and "vqsc stop Mordane" ending the process (message loop included)
// within the grace period.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "gatherer/tests/gatherer_test_util.h"
#include "gatherer/usbcheck.h"
#include "tests/support/child_process.h"

extern char** environ;

using namespace mordane;
using namespace gtest_util;

namespace {

constexpr const char* kKey = "USBDisconnected";

std::vector<LONG> UsbCounts() {
    std::vector<LONG> out;
    for (const Record& r : ReadLog())
        if (r.id == MSG_USB_DISCONNECTED) out.push_back(r.Value());
    return out;
}

}  // namespace

TEST(UsbCheckService, CountsRemovalsWhileRunningAndStopsThroughTheServiceManager) {
    InstallRegistry();
    SetRegDword(kKey, "DisconCount", 7);
    SetUsb({{"removals", "0"}});

    setenv("VQ_MORDANE_GRACE_MS", "2000", 1);
    char* argv[] = {const_cast<char*>(VQ_MORDANE_BIN), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, VQ_MORDANE_BIN, nullptr, nullptr, argv, environ), 0);
    unsetenv("VQ_MORDANE_GRACE_MS");

    ASSERT_TRUE(WaitFor([] { return !UsbCounts().empty(); }));
    EXPECT_EQ(UsbCounts()[0], 7);

    // The window (and with it the source's baseline) comes shortly after the start
    // record; a rise made before then is absorbed. So raise the counter one step at a
    // time until a removal is counted: from then on every step is one record.
    int removals = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            SetUsb({{"removals", std::to_string(++removals)}});
            return WaitFor([] { return UsbCounts().size() >= 2; }, 2);
        },
        60));
    SetUsb({{"removals", std::to_string(removals + 2)}});  // two at once
    ASSERT_TRUE(WaitFor([] { return UsbCounts().size() == 4 && RegDword(kKey, "DisconCount") == 10; }));
    EXPECT_EQ(UsbCounts(), (std::vector<LONG>{7, 8, 9, 10}));

    vqtest::ProgramResult stop = vqtest::RunProgram(VQ_VQSC_BIN, {"stop", "Mordane"}, 30000);
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    int status = -1;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the service did not end after the stop";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(TraceText().find("\tUSB\tUSB listening enable:1"), std::string::npos);
    EXPECT_NE(TraceText().find("\tUSB\tListening End."), std::string::npos);
    EXPECT_EQ(RegDword(kKey, "DisconCount"), 10);
}
