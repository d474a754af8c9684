// GetIfTable with the simulated provider and the sysfs provider on fake trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/device/device.h"
#include "pal/windows.h"

namespace {

namespace fs = std::filesystem;

struct Table {
    DWORD error = 0;
    std::vector<MIB_IFROW> rows;

    // "index:type:status" per row, for short comparisons.
    std::string Summary() const {
        std::string s;
        for (const MIB_IFROW& r : rows) {
            if (!s.empty()) s += " ";
            s += std::to_string(r.dwIndex) + ":" + std::to_string(r.dwType) + ":" + std::to_string(r.dwOperStatus);
        }
        return s;
    }
};

// The usual two calls: ask for the size, then read with a buffer of that size.
Table Read(BOOL order = TRUE) {
    Table t;
    ULONG size = 0;
    t.error = GetIfTable(nullptr, &size, order);
    if (t.error != ERROR_INSUFFICIENT_BUFFER) return t;
    std::vector<BYTE> buf(size + 16, 0xCC);
    auto* table = reinterpret_cast<PMIB_IFTABLE>(buf.data());
    t.error = GetIfTable(table, &size, order);
    if (t.error == NO_ERROR) t.rows.assign(table->table, table->table + table->dwNumEntries);
    return t;
}

class IfTableTest : public testing::Test {
protected:
    void SetUp() override {
        sysfs_ = pal::core::RootDir() + "/sysfs-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(sysfs_);
    }
    void TearDown() override {
        pal::device::RemoveDeviceConfig("iftable");
        fs::remove_all(sysfs_);
    }

    void WriteConf(const std::string& text) {
        pal::core::MakeDirs(pal::core::RootDir() + "/devices");
        std::ofstream(pal::iphlp::IfTableConfigPath(), std::ios::trunc) << text;
    }
    void UseSysfs(const std::string& extra = "") {
        WriteConf("provider = sysfs\nsysfs_root = " + sysfs_ + "\n" + extra);
    }
    std::string Dir(const std::string& name) { return sysfs_ + "/class/net/" + name; }
    void Attr(const std::string& name, const std::string& attr, const std::string& value) {
        fs::create_directories(fs::path(Dir(name) + "/" + attr).parent_path());
        std::ofstream(Dir(name) + "/" + attr, std::ios::trunc) << value << "\n";
    }
    // An interface with the attributes a running one has; carrier "" leaves the file out
    // (a down interface's carrier cannot be read).
    void Interface(const std::string& name, int index, const std::string& arphrd, const std::string& flags,
                   const std::string& operstate, const std::string& carrier, bool physical = true) {
        Attr(name, "ifindex", std::to_string(index));
        Attr(name, "type", arphrd);
        Attr(name, "flags", flags);
        Attr(name, "operstate", operstate);
        if (!carrier.empty()) Attr(name, "carrier", carrier);
        if (physical) fs::create_directories(Dir(name) + "/device");
    }

    std::string sysfs_;
};

TEST_F(IfTableTest, SimulatedRowsFollowTheFileAtEveryCall) {
    ASSERT_TRUE(pal::iphlp::WriteSimulatedIfTable({{7, MIB_IF_TYPE_ETHERNET, true}, {3, MIB_IF_TYPE_ETHERNET, false}}));
    EXPECT_EQ(Read().Summary(), "3:6:0 7:6:5");
    EXPECT_EQ(Read(FALSE).Summary(), "7:6:5 3:6:0") << "unsorted: the file's order";

    ASSERT_TRUE(pal::iphlp::WriteSimulatedIfTable({{7, MIB_IF_TYPE_ETHERNET, false}, {3, MIB_IF_TYPE_ETHERNET, true}}));
    Table t = Read();
    EXPECT_EQ(t.Summary(), "3:6:5 7:6:0");
    EXPECT_EQ(t.rows[0].dwAdminStatus, MIB_IF_ADMIN_STATUS_UP);
    EXPECT_EQ(t.rows[0].dwPhysAddrLen, 6u);
    EXPECT_EQ(t.rows[0].bPhysAddr[5], 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.rows[0].bDescr)), "sim3");
    EXPECT_EQ(t.rows[0].dwDescrLen, 5u);

    // Defaults: index = <n>, Ethernet, up; a file without a provider is simulated; rows
    // are ordered by <n> as a number, not as text.
    WriteConf("if.10.up = 0\nif.2.type = 24\nif.1.index = 40\n");
    EXPECT_EQ(Read(FALSE).Summary(), "40:6:5 2:24:5 10:6:0");
    WriteConf("provider = simulated\n");
    Table empty = Read();
    EXPECT_EQ(empty.error, NO_ERROR);
    EXPECT_TRUE(empty.rows.empty());
}

TEST_F(IfTableTest, SizeQueryBufferChecksAndInjectedFaults) {
    ASSERT_TRUE(pal::iphlp::WriteSimulatedIfTable({{1}, {2}}));
    EXPECT_EQ(GetIfTable(nullptr, nullptr, TRUE), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ULONG size = 0;
    EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, SIZEOF_IFTABLE(2));
    // One byte short: the size again, and nothing written.
    std::vector<BYTE> buf(SIZEOF_IFTABLE(2), 0xCC);
    size = static_cast<ULONG>(buf.size() - 1);
    EXPECT_EQ(GetIfTable(reinterpret_cast<PMIB_IFTABLE>(buf.data()), &size, TRUE),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, SIZEOF_IFTABLE(2));
    EXPECT_EQ(buf[0], 0xCC);
    // A null table with a large size still only answers the size.
    size = 1 << 20;
    EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, SIZEOF_IFTABLE(2));

    WriteConf("if.1.up = 1\nfail_size = 8\n");
    size = 0;
    EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), 8u);
    EXPECT_EQ(size, 0u) << "a failed size query leaves the size alone";
    std::vector<BYTE> big(SIZEOF_IFTABLE(4));
    size = static_cast<ULONG>(big.size());
    EXPECT_EQ(GetIfTable(reinterpret_cast<PMIB_IFTABLE>(big.data()), &size, TRUE), NO_ERROR)
        << "fail_size spares a read with room enough";

    WriteConf("if.1.up = 1\nfail_read = 1117\n");
    EXPECT_EQ(Read().error, 1117u);
    size = 0;
    EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(IfTableTest, MalformedFilesFailEveryCall) {
    for (const char* text : {"if.1.up = 2\n", "if.1.up = yes\n", "if.x.up = 1\n", "if.1.upp = 0\n", "if.1 = 1\n",
                             "if.1.index = 0\n", "if.0.up = 1\n", "if.1.index = 5\nif.2.index = 5\n",
                             "if.1.type = -1\n", "provider = netlink\n", "provider = sysfs\nsysfs_root =\n",
                             "fail_read = -1\n", "short_flaps = 2\n", "if.1.up\n"}) {
        WriteConf(text);
        ULONG size = 0;
        EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_GEN_FAILURE)) << text;
    }
}

TEST_F(IfTableTest, SysfsTypesStatusesAndDetails) {
    UseSysfs();
    Table t = Read();
    EXPECT_EQ(t.error, NO_ERROR) << "missing tree: no interfaces";
    EXPECT_TRUE(t.rows.empty());

    Interface("lo", 1, "772", "0x9", "unknown", "1", false);
    Interface("eth1", 3, "1", "0x1003", "down", "0");           // cable out
    Interface("eth0", 2, "1", "0x1003", "up", "1");             // cable in
    Interface("eth2", 4, "1", "0x1002", "down", "");            // administratively down
    Interface("wlan0", 5, "1", "0x1003", "up", "1");
    fs::create_directories(Dir("wlan0") + "/phy80211");
    Interface("br0", 6, "1", "0x1003", "up", "1", false);       // a bridge: no device behind it
    Interface("tun0", 7, "65534", "0x1091", "unknown", "1", false);
    Interface("eth3", 8, "1", "0x1003", "dormant", "1");
    Interface("eth4", 9, "1", "0x1003", "unknown", "1");        // no state tracking
    fs::create_directories(Dir("gone"));                        // vanished: no ifindex
    EXPECT_EQ(Read().Summary(), "1:24:5 2:6:5 3:6:0 4:6:0 5:71:5 6:1:5 7:1:5 8:6:0 9:6:5");

    Attr("eth0", "mtu", "9000");
    Attr("eth0", "speed", "1000");
    Attr("eth0", "address", "00:1b:21:0a:0b:0c");
    Attr("eth0", "statistics/rx_bytes", "4294967297");  // wraps like a 32-bit counter
    Attr("eth0", "statistics/rx_packets", "100");
    Attr("eth0", "statistics/multicast", "30");
    Attr("eth0", "statistics/tx_errors", "4");
    Attr("eth1", "speed", "-1");
    t = Read();
    const MIB_IFROW& eth0 = t.rows[1];
    EXPECT_EQ(std::wstring(eth0.wszName), L"eth0");
    EXPECT_EQ(eth0.dwMtu, 9000u);
    EXPECT_EQ(eth0.dwSpeed, 1000000000u);
    EXPECT_EQ(eth0.dwPhysAddrLen, 6u);
    EXPECT_EQ(eth0.bPhysAddr[0], 0x00);
    EXPECT_EQ(eth0.bPhysAddr[5], 0x0c);
    EXPECT_EQ(eth0.dwInOctets, 1u);
    EXPECT_EQ(eth0.dwInUcastPkts, 70u);
    EXPECT_EQ(eth0.dwInNUcastPkts, 30u);
    EXPECT_EQ(eth0.dwOutErrors, 4u);
    EXPECT_EQ(t.rows[2].dwSpeed, 0u) << "unknown speed";
    EXPECT_EQ(t.rows[3].dwAdminStatus, MIB_IF_ADMIN_STATUS_DOWN);

    // Plugging the cable in shows at the next call.
    Attr("eth1", "operstate", "up");
    Attr("eth1", "carrier", "1");
    EXPECT_EQ(Read().rows[2].dwOperStatus, MIB_IF_OPER_STATUS_OPERATIONAL);
}

TEST_F(IfTableTest, ShortFlapsShowAsOneDownReadWhenAskedFor) {
    Interface("eth0", 2, "1", "0x1003", "up", "1");
    Attr("eth0", "carrier_down_count", "4");
    UseSysfs();
    EXPECT_EQ(Read().Summary(), "2:6:5");
    Attr("eth0", "carrier_down_count", "5");
    EXPECT_EQ(Read().Summary(), "2:6:5") << "off by default";

    UseSysfs("short_flaps = 1\n");
    EXPECT_EQ(Read().Summary(), "2:6:5") << "the first read only learns the counter";
    Attr("eth0", "carrier_down_count", "7");  // two flaps between reads
    EXPECT_EQ(Read().Summary(), "2:6:0");
    EXPECT_EQ(Read().Summary(), "2:6:5");
    // A size query does not use up a flap.
    Attr("eth0", "carrier_down_count", "8");
    ULONG size = 0;
    EXPECT_EQ(GetIfTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Read().Summary(), "2:6:0");
    EXPECT_EQ(Read().Summary(), "2:6:5");
}

}  // namespace
