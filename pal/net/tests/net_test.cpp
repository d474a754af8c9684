// InternetGetConnectedState with the simulated provider and the sysfs provider on fake trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "pal/core/root.h"
#include "pal/device/device.h"
#include "pal/windows.h"

namespace {

namespace fs = std::filesystem;

// Result, flags and last error of one call, as "TRUE 2 0".
std::string Call() {
    DWORD flags = 0xDEADBEEF;
    SetLastError(12345);
    BOOL ok = InternetGetConnectedState(&flags, 0);
    return std::string(ok ? "TRUE " : "FALSE ") + std::to_string(flags) + " " + std::to_string(GetLastError());
}

class NetTest : public testing::Test {
protected:
    void SetUp() override {
        sysfs_ = pal::core::RootDir() + "/sysfs-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(sysfs_);
    }
    void TearDown() override {
        pal::device::RemoveDeviceConfig("wininet");
        fs::remove_all(sysfs_);
    }

    void WriteConf(const std::string& text) {
        pal::core::MakeDirs(pal::core::RootDir() + "/devices");
        std::ofstream(pal::net::ConnectionConfigPath(), std::ios::trunc) << text;
    }
    void UseSysfs() { WriteConf("provider = linux\nsysfs_root = " + sysfs_ + "\n"); }
    // One interface; an empty attribute is left out (as a down interface's unreadable carrier).
    void Interface(const std::string& name, const std::string& type, const std::string& operstate,
                   const std::string& carrier) {
        const std::string dir = sysfs_ + "/class/net/" + name;
        fs::create_directories(dir);
        if (!type.empty()) std::ofstream(dir + "/type") << type << "\n";
        std::ofstream(dir + "/operstate") << operstate << "\n";
        if (!carrier.empty()) std::ofstream(dir + "/carrier") << carrier << "\n";
    }

    std::string sysfs_;
};

TEST_F(NetTest, SimulatedStateFollowsTheFileAtEveryCall) {
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(true));
    EXPECT_EQ(Call(), "TRUE 2 0");
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(false));
    EXPECT_EQ(Call(), "FALSE 0 0");
    ASSERT_TRUE(pal::net::WriteSimulatedConnection(true));
    EXPECT_EQ(Call(), "TRUE 2 0");

    // Flags are optional; the reserved word does not matter.
    EXPECT_TRUE(InternetGetConnectedState(nullptr, 0));
    EXPECT_TRUE(InternetGetConnectedState(nullptr, 77));

    // The file alone means simulated, and connected is the default.
    WriteConf("connected = 0\n");
    EXPECT_EQ(Call(), "FALSE 0 0");
    WriteConf("provider = simulated\n");
    EXPECT_EQ(Call(), "TRUE 2 0");
}

TEST_F(NetTest, InjectedFaultAndMalformedFiles) {
    WriteConf("provider = simulated\nconnected = 1\nfail = 1\n");
    EXPECT_EQ(Call(), "FALSE 0 1");
    WriteConf("provider = simulated\nconnected = 1\nfail = 1231\n");
    EXPECT_EQ(Call(), "FALSE 0 1231");
    WriteConf("provider = simulated\nconnected = 1\nfail = 0\n");
    EXPECT_EQ(Call(), "TRUE 2 0");

    // Malformed: not connected, ERROR_GEN_FAILURE.
    for (const char* text : {"connected = yes\n", "connected = 2\n", "provider = simulated\nconnected\n",
                             "provider = wifi\n", "fail = -1\n", "provider = linux\nsysfs_root =\n"}) {
        WriteConf(text);
        EXPECT_EQ(Call(), "FALSE 0 31") << text;
    }
}

TEST_F(NetTest, SysfsInterfaces) {
    UseSysfs();
    EXPECT_EQ(Call(), "FALSE 0 0") << "missing tree";

    Interface("lo", "772", "unknown", "1");
    EXPECT_EQ(Call(), "FALSE 0 0") << "loopback only";

    Interface("eth0", "1", "down", "");
    EXPECT_EQ(Call(), "FALSE 0 0") << "eth0 down";
    Interface("eth0", "1", "up", "0");
    EXPECT_EQ(Call(), "FALSE 0 0") << "eth0 up without carrier";
    Interface("eth0", "1", "up", "1");
    EXPECT_EQ(Call(), "TRUE 2 0") << "eth0 up with carrier";
    Interface("eth0", "1", "dormant", "1");
    EXPECT_EQ(Call(), "FALSE 0 0") << "eth0 dormant";

    // A tunnel that does not track its state; a loopback known only by its name.
    Interface("tun0", "65534", "unknown", "1");
    EXPECT_EQ(Call(), "TRUE 2 0");
    fs::remove_all(sysfs_ + "/class/net/tun0");
    fs::remove_all(sysfs_ + "/class/net/eth0");
    fs::remove_all(sysfs_ + "/class/net/lo");
    Interface("lo", "", "unknown", "1");
    EXPECT_EQ(Call(), "FALSE 0 0");
}

TEST_F(NetTest, FaultAppliesToTheLinuxProviderToo) {
    Interface("eth0", "1", "up", "1");
    WriteConf("provider = linux\nsysfs_root = " + sysfs_ + "\nfail = 1\n");
    EXPECT_EQ(Call(), "FALSE 0 1");
}

}  // namespace
