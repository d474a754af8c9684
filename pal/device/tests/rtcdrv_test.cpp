// The RTC memory driver through CreateFile and DeviceIoControl: the simulated provider,
// request checks, and the Linux provider on a fake nvmem and EDAC tree.
#include <filesystem>

#include "pal/device/rtc_linux.h"
#include "pal/device/rtcdrv.h"
#include "pal/device/tests/device_test_util.h"

using namespace devtest;
using pal::device::ConfValues;

namespace {

HANDLE OpenRtc() { return CreateFileA("\\\\.\\RTCDRV", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr); }

// One request on a fresh handle: the result and what came back.
struct RtcAnswer {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD returned = 0;
    std::vector<uint8_t> out;
};

RtcAnswer AskRtc(DWORD code, const void* in, DWORD inSize, DWORD outSize) {
    RtcAnswer a;
    HANDLE h = OpenRtc();
    if (h == INVALID_HANDLE_VALUE) {
        a.error = GetLastError();
        return a;
    }
    a.out.assign(outSize + 4, kUntouched);
    a.ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, a.out.data(), outSize, &a.returned, nullptr);
    a.error = a.ok ? 0 : GetLastError();
    CloseHandle(h);
    return a;
}

RtcAnswer MachineType() { return AskRtc(0xA600000Cu, nullptr, 0, 4); }

// The byte at an index, or -(error) when the read failed.
int Byte(unsigned index) {
    uint8_t in = static_cast<uint8_t>(index);
    RtcAnswer a = AskRtc(0xA6000004u, &in, 1, 1);
    if (!a.ok) return -static_cast<int>(a.error);
    EXPECT_EQ(a.returned, 1u);
    return a.out[0];
}

class RtcTest : public testing::Test {
protected:
    void SetUp() override { std::filesystem::remove_all(pal::core::RootDir() + "/devices"); }
    void TearDown() override { pal::device::RemoveDeviceConfig("RTCDRV"); }
};

TEST_F(RtcTest, SimulatedMachineTypeAndBytes) {
    EXPECT_EQ(MachineType().error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // not installed
    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"cmos.169", "4"}, {"cmos.0", "255"}}));
    EXPECT_EQ(pal::device::RtcConfigPath(), pal::core::RootDir() + "/devices/rtcdrv.conf");
    RtcAnswer type = MachineType();
    ASSERT_TRUE(type.ok) << type.error;
    EXPECT_EQ(type.returned, 4u);
    EXPECT_EQ(std::vector<uint8_t>(type.out.begin(), type.out.begin() + 4), (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(Byte(169), 4);
    EXPECT_EQ(Byte(0), 255);
    EXPECT_EQ(Byte(170), 0);  // not given: 0

    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"machine_type", "1"}, {"cmos.153", "7"}}));
    EXPECT_EQ(MachineType().out[0], 1);
    EXPECT_EQ(Byte(153), 7);
    EXPECT_EQ(Byte(169), 0);  // every read sees the file as it is now
}

TEST_F(RtcTest, RequestChecksAndFaults) {
    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"cmos.20", "9"}}));
    uint8_t index = 20;
    EXPECT_EQ(AskRtc(IOCTL_RTCDRV_GET_MACHINE_TYPE, nullptr, 0, 3).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(AskRtc(IOCTL_RTCDRV_READ_BYTE, nullptr, 0, 1).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AskRtc(IOCTL_RTCDRV_READ_BYTE, &index, 1, 0).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(AskRtc(CTL_CODE(FILE_DEVICE_RTCDRV, 2, METHOD_BUFFERED, FILE_ANY_ACCESS), &index, 1, 4).error,
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    // A larger buffer still gets one byte.
    RtcAnswer wide = AskRtc(IOCTL_RTCDRV_READ_BYTE, &index, 1, 8);
    ASSERT_TRUE(wide.ok);
    EXPECT_EQ(wide.returned, 1u);
    EXPECT_EQ(wide.out[0], 9);
    EXPECT_EQ(wide.out[1], kUntouched);

    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"reply_bytes", "2"}}));
    RtcAnswer cut = MachineType();
    EXPECT_TRUE(cut.ok);
    EXPECT_EQ(cut.returned, 2u);  // a short reply: the caller must notice
    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"fail_request", "1117"}}));
    EXPECT_EQ(Byte(20), -1117);
    ASSERT_TRUE(pal::device::WriteSimulatedRtc({{"fail_open", "21"}}));
    EXPECT_EQ(MachineType().error, 21u);

    for (const char* bad : {"cmos.256 = 1", "cmos.12 = 256", "cmos.x = 1", "cmos.-1 = 0", "machine_type = 256",
                            "provider = port", "state_file =", "cmos.7 = 0x1"}) {
        ASSERT_TRUE(pal::device::WriteDeviceConfig("RTCDRV", {}));
        std::ofstream(pal::device::RtcConfigPath(), std::ios::trunc) << bad << "\n";
        EXPECT_EQ(MachineType().error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << bad;
    }
}

// A fake machine: the rtc-cmos nvmem file and an EDAC tree with two memory controllers.
class RtcLinuxTest : public RtcTest {
protected:
    void SetUp() override {
        RtcTest::SetUp();
        root_ = pal::core::RootDir() + "/fake-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ + "/edac/mc");
        Nvmem(256 - pal::device::kRtcNvmemFirstIndex);
        Controller("mc0", 0, 0);
        Controller("mc1", 0, 0);
        std::filesystem::create_directories(root_ + "/edac/mc/power");  // not a controller
        BootId("11111111-aaaa");
    }
    // An nvmem file of size bytes; the byte of index i is i + 1 (wrapping).
    void Nvmem(size_t size) {
        std::string bytes;
        for (size_t off = 0; off < size; ++off) bytes += static_cast<char>(off + pal::device::kRtcNvmemFirstIndex + 1);
        Put("nvmem", bytes);
    }
    void Controller(const std::string& mc, uint64_t ce, uint64_t ue) {
        std::filesystem::create_directories(root_ + "/edac/mc/" + mc);
        Put("edac/mc/" + mc + "/ce_count", std::to_string(ce) + "\n");
        Put("edac/mc/" + mc + "/ue_count", std::to_string(ue) + "\n");
    }
    void BootId(const std::string& id) { Put("boot_id", id + "\n"); }
    void Put(const std::string& file, const std::string& text) {
        std::ofstream(root_ + "/" + file, std::ios::binary | std::ios::trunc) << text;
    }
    void UseLinux(ConfValues values = {}) {
        values["provider"] = "linux";
        values.emplace("nvmem_path", root_ + "/nvmem");
        values.emplace("edac_root", root_ + "/edac/mc");
        values.emplace("boot_id_path", root_ + "/boot_id");
        values.emplace("state_file", root_ + "/rtc.state");
        ASSERT_TRUE(pal::device::WriteDeviceConfig("RTCDRV", values));
    }
    int Ecc() { return Byte(175); }
    int Memory() { return Byte(174); }

    std::string root_;
};

TEST_F(RtcLinuxTest, RtcMemoryComesFromTheNvmemDeviceWithBothBanks) {
    UseLinux({{"cmos.169", "99"}});  // simulated keys play no part
    EXPECT_EQ(MachineType().out[0], 2);  // EDAC present
    EXPECT_EQ(Byte(14), 15);
    EXPECT_EQ(Byte(127), 128);
    EXPECT_EQ(Byte(128), 129);  // bank 2
    EXPECT_EQ(Byte(169), 170);
    EXPECT_EQ(Byte(255), 0);
    EXPECT_EQ(Byte(13), -static_cast<int>(ERROR_INVALID_PARAMETER));  // a clock register

    Nvmem(128 - pal::device::kRtcNvmemFirstIndex);  // a chipset without the second bank
    EXPECT_EQ(Byte(127), 128);
    EXPECT_EQ(Byte(128), -static_cast<int>(pal::device::kRtcErrorIoDevice));
    std::filesystem::remove(root_ + "/nvmem");
    EXPECT_EQ(Byte(153), -static_cast<int>(ERROR_NOT_READY));
}

TEST_F(RtcLinuxTest, ErrorCountsAreEdacSumsCappedAt255) {
    Controller("mc0", 3, 1);
    Controller("mc1", 4, 0);
    UseLinux();
    EXPECT_EQ(Ecc(), 7);
    EXPECT_EQ(Memory(), 1);
    Controller("mc1", 300, 2);
    EXPECT_EQ(Ecc(), 255);
    EXPECT_EQ(Memory(), 3);
    Put("edac/mc/mc1/ue_count", "lots\n");
    EXPECT_EQ(Memory(), -static_cast<int>(pal::device::kRtcErrorIoDevice));

    // Machine type 1 keeps no counts: 174 and 175 are plain RTC memory.
    UseLinux({{"machine_type", "1"}});
    EXPECT_EQ(Byte(174), 175);
    // No EDAC: type 1 by default; forced type 2 cannot give counts, but the log bytes read.
    std::filesystem::remove_all(root_ + "/edac");
    UseLinux();
    EXPECT_EQ(MachineType().out[0], 1);
    UseLinux({{"machine_type", "2"}});
    EXPECT_EQ(Memory(), -static_cast<int>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Byte(169), 170);
}

TEST_F(RtcLinuxTest, CountsSurviveARebootAndACounterReset) {
    UseLinux();
    Controller("mc0", 2, 1);
    Controller("mc1", 1, 0);
    EXPECT_EQ(Ecc(), 3);
    EXPECT_EQ(Memory(), 1);

    // Reboot: EDAC starts from 0, the firmware's counts would not.
    BootId("22222222-bbbb");
    Controller("mc0", 0, 0);
    Controller("mc1", 0, 0);
    EXPECT_EQ(Ecc(), 3);
    EXPECT_EQ(Memory(), 1);
    Controller("mc0", 2, 0);
    EXPECT_EQ(Ecc(), 5);
    EXPECT_EQ(Ecc(), 5);  // reading again counts nothing twice

    // A reboot where errors came before the first read: still added, not mistaken for the old count.
    BootId("33333333-cccc");
    Controller("mc0", 4, 2);
    EXPECT_EQ(Ecc(), 9);
    EXPECT_EQ(Memory(), 3);

    // The counters reset within one boot (driver reloaded).
    Controller("mc0", 1, 0);
    EXPECT_EQ(Ecc(), 10);
    EXPECT_EQ(Memory(), 3);

    // Far beyond one byte: capped, and the carried total keeps growing underneath.
    BootId("44444444-dddd");
    Controller("mc0", 250, 0);
    EXPECT_EQ(Ecc(), 255);
    BootId("55555555-eeee");
    Controller("mc0", 0, 0);
    EXPECT_EQ(Ecc(), 255);
}

TEST_F(RtcLinuxTest, AStateThatCannotBeTrustedOrKeptFailsTheRead) {
    UseLinux();
    Controller("mc0", 5, 0);
    EXPECT_EQ(Ecc(), 5);
    Put("rtc.state", "ecc.base = many\n");
    EXPECT_EQ(Ecc(), -static_cast<int>(ERROR_INVALID_DATA));  // not quietly restarted from 0
    EXPECT_EQ(Byte(169), 170);                                 // the RTC memory still reads
    std::filesystem::remove(root_ + "/rtc.state");
    UseLinux({{"state_file", root_ + "/no-such-dir/rtc.state"}});
    EXPECT_EQ(Ecc(), -static_cast<int>(ERROR_WRITE_FAULT));
    std::filesystem::remove(root_ + "/boot_id");
    UseLinux();
    EXPECT_EQ(Ecc(), -static_cast<int>(ERROR_NOT_READY));
}

}  // namespace
