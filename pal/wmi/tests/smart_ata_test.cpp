// The ata provider against a fake sysfs tree and a fake SG_IO device that checks each
// ATA PASS-THROUGH command and answers with sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "pal/core/root.h"
#include "pal/wmi/smart_ata.h"
#include "pal/wmi/tests/wmi_test_util.h"

using namespace pal::wmi;
using namespace wmitest;

namespace {

namespace fs = std::filesystem;

struct FakeDisk {
    uint8_t fill = 0;              // data sector bytes; thresholds are fill + 1
    bool refuses16 = false;        // the translation layer knows only the 12-byte form
    bool timesOut = false;         // the command times out
    int openError = 0;             // e.g. EACCES without permission
    bool recoveredSense = false;   // CHECK CONDITION "ATA pass-through information available"
};

class FakeSgIo : public SgIoTransport {
public:
    int Execute(const std::string& path, sg_io_hdr_t& hdr) override {
        std::lock_guard<std::mutex> lock(m);
        auto it = disks.find(path);
        if (it == disks.end()) return ENOENT;
        const FakeDisk& d = it->second;
        if (d.openError) return d.openError;
        const uint8_t* c = hdr.cmdp;
        std::string problem;
        if (hdr.interface_id != 'S' || hdr.dxfer_direction != SG_DXFER_FROM_DEV || hdr.dxfer_len != 512)
            problem = "transfer";
        uint8_t feature = 0;
        if (hdr.cmd_len == 16) {
            if (c[0] != 0x85 || c[1] != 0x08 || c[2] != 0x0E || c[6] != 1 || c[10] != 0x4F || c[12] != 0xC2 ||
                c[14] != 0xB0)
                problem = "cdb16";
            feature = c[4];
        } else if (hdr.cmd_len == 12) {
            if (c[0] != 0xA1 || c[1] != 0x08 || c[2] != 0x0E || c[4] != 1 || c[6] != 0x4F || c[7] != 0xC2 ||
                c[9] != 0xB0)
                problem = "cdb12";
            feature = c[3];
        } else {
            problem = "length";
        }
        if (feature != 0xD0 && feature != 0xD1) problem = "feature";
        if (!problem.empty()) bad.push_back(path + ": " + problem);
        calls.push_back(path + ":" + std::to_string(hdr.cmd_len) + ":" + std::to_string(feature));
        timeouts.push_back(hdr.timeout);
        if (d.timesOut) {
            hdr.host_status = 0x03;  // DID_TIME_OUT
            return 0;
        }
        if (hdr.cmd_len == 16 && d.refuses16) {  // ILLEGAL REQUEST, invalid command operation code
            hdr.status = 0x02;
            hdr.driver_status = 0x08;
            hdr.sbp[0] = 0x70;
            hdr.sbp[2] = 0x05;
            hdr.sbp[12] = 0x20;
            hdr.sb_len_wr = 18;
            return 0;
        }
        std::memset(hdr.dxferp, feature == 0xD0 ? d.fill : d.fill + 1, hdr.dxfer_len);
        if (d.recoveredSense) {
            hdr.status = 0x02;
            hdr.driver_status = 0x08;
            hdr.sbp[0] = 0x72;
            hdr.sbp[1] = 0x01;
            hdr.sbp[2] = 0x00;
            hdr.sbp[3] = 0x1D;
            hdr.sb_len_wr = 8;
        }
        return 0;
    }

    std::mutex m;
    std::map<std::string, FakeDisk> disks;
    std::vector<std::string> calls, bad;
    std::vector<unsigned> timeouts;
};

class SmartAtaTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = pal::core::RootDir() + "/fake-sys";
        fs::remove_all(root_);
        fake_ = std::make_shared<FakeSgIo>();
        previous_ = SetSgIoTransport(fake_);
    }
    void TearDown() override {
        SetSgIoTransport(previous_);
        fs::remove_all(root_);
        WriteSmartConf("");
    }
    void Block(const std::string& name, const std::string& model = "", const char* removable = "0") {
        fs::create_directories(root_ + "/sys/block/" + name + "/device");
        std::ofstream(root_ + "/sys/block/" + name + "/removable") << removable << "\n";
        if (!model.empty()) std::ofstream(root_ + "/sys/block/" + name + "/device/model") << model << "\n";
    }
    std::string Dev(const std::string& name) { return root_ + "/dev/" + name; }

    std::string root_;
    std::shared_ptr<FakeSgIo> fake_;
    std::shared_ptr<SgIoTransport> previous_;
};

TEST_F(SmartAtaTest, DisksAreAtaDisksInNaturalOrder) {
    for (const char* n : {"sdb", "sdaa", "sda", "sdz", "nvme0n1", "loop0", "ram0", "sr0", "dm-0", "md0", "mmcblk0", "sda1"})
        Block(n);
    Block("sdc", "", "1");  // removable: a card reader or stick
    EXPECT_EQ(AtaDiskNames(root_ + "/sys"), (std::vector<std::string>{"sda", "sdb", "sdz", "sdaa"}));
    EXPECT_TRUE(AtaDiskNames(root_ + "/missing").empty());
}

TEST_F(SmartAtaTest, SixteenByteFormFirstTwelveByteFallbackTimeOutAndNoPermission) {
    Block("sda", "WDC WD5000AAKX ");
    Block("sdb");
    Block("sdc");
    Block("sdd");
    Block("sde");
    fake_->disks[Dev("sda")] = FakeDisk{0x11, false, false, 0, false};
    fake_->disks[Dev("sdb")] = FakeDisk{0x22, true, false, 0, false};
    fake_->disks[Dev("sdc")] = FakeDisk{0x33, false, true, 0, false};
    fake_->disks[Dev("sdd")] = FakeDisk{0x44, false, false, EACCES, false};
    fake_->disks[Dev("sde")] = FakeDisk{0x55, false, false, 0, true};
    WriteSmartConf("provider = ata\nsysfs_root = " + root_ + "/sys\ndev_root = " + root_ +
                   "/dev\ncommand_timeout_ms = 4321\n");

    Connection c;
    ASSERT_EQ(c.hr, S_OK);
    std::vector<Drive> d;
    ASSERT_EQ(Query(c.svc, L"MSStorageDriver_ATAPISmartData", d), S_OK);
    ASSERT_EQ(d.size(), 3u);  // sdc timed out, sdd could not be opened
    EXPECT_EQ(d[0].instance, "ATA\\WDC_WD5000AAKX\\sda_0");
    EXPECT_EQ(d[1].instance, "ATA\\Disk\\sdb_0");
    EXPECT_EQ(d[2].instance, "ATA\\Disk\\sde_0");
    EXPECT_EQ(d[0].vendor, std::vector<unsigned char>(512, 0x11));
    EXPECT_EQ(d[1].vendor, std::vector<unsigned char>(512, 0x22));
    EXPECT_EQ(d[2].vendor, std::vector<unsigned char>(512, 0x55));
    {
        std::lock_guard<std::mutex> lock(fake_->m);
        EXPECT_TRUE(fake_->bad.empty()) << fake_->bad[0];
        // One 16-byte command each; the 12-byte form only where the 16-byte one was refused,
        // never after a time-out.
        EXPECT_EQ(fake_->calls, (std::vector<std::string>{Dev("sda") + ":16:208", Dev("sdb") + ":16:208",
                                                          Dev("sdb") + ":12:208", Dev("sdc") + ":16:208",
                                                          Dev("sde") + ":16:208"}));
        for (unsigned t : fake_->timeouts) EXPECT_EQ(t, 4321u);
        fake_->calls.clear();
    }

    ASSERT_EQ(Query(c.svc, L"MSStorageDriver_FailurePredictThresholds", d), S_OK);
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[1].vendor, std::vector<unsigned char>(512, 0x23));
    std::lock_guard<std::mutex> lock(fake_->m);
    EXPECT_EQ(fake_->calls[0], Dev("sda") + ":16:209");
}

}  // namespace
