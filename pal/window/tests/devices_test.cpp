// Device-change broadcasts: the simulated counters of devices/usb.conf, the uevent source
// through a test socket, the kernel-only check on a real netlink socket, the listener's
// life, and the uevent parser.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "pal/core/root.h"
#include "pal/device/device.h"
#include "pal/window/devices.h"
#include "pal/window/tests/window_test_util.h"

using namespace wtest;
using pal::window::ParseUevent;
using pal::window::UsbChange;

namespace {

void SetUsb(const pal::device::ConfValues& values) { ASSERT_TRUE(pal::device::WriteDeviceConfig("usb", values)); }

// The WM_DEVICECHANGE messages (their wParams) that come to the calling thread within ms.
std::vector<WPARAM> DeviceChanges(HWND h, DWORD ms) {
    std::vector<WPARAM> out;
    for (const MSG& m : Collect(ms)) {
        if (m.message != WM_DEVICECHANGE) continue;
        EXPECT_EQ(m.hwnd, h);
        const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(m.lParam);
        EXPECT_NE(hdr, nullptr);
        if (hdr) {
            EXPECT_EQ(hdr->dbch_devicetype, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
            EXPECT_GE(hdr->dbch_size, sizeof(DEV_BROADCAST_HDR));
        }
        out.push_back(m.wParam);
    }
    return out;
}

// Waits until count device changes came (or the time is up).
std::vector<WPARAM> AwaitChanges(HWND h, size_t count) {
    std::vector<WPARAM> out;
    for (int i = 0; i < 100 && out.size() < count; ++i) {
        auto more = DeviceChanges(h, 200);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

bool ListenerThreadExists() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == "vq-devices") return true;
    }
    return false;
}

class DeviceChange : public testing::Test {
protected:
    void SetUp() override { pal::device::RemoveDeviceConfig("usb"); }
    void TearDown() override { pal::device::RemoveDeviceConfig("usb"); }
};

const WPARAM kRemoved = DBT_DEVICEREMOVECOMPLETE;
const WPARAM kArrived = DBT_DEVICEARRIVAL;

TEST_F(DeviceChange, EachRiseOfTheSimulatedCountersIsThatManyBroadcasts) {
    SetUsb({{"provider", "simulated"}, {"removals", "4"}, {"arrivals", "1"}});
    OnFreshThread([] {
        ScopedClass c("DcSim");
        HWND h = MakeWindow("DcSim");
        // The values found at the start are the baseline: nothing for them.
        EXPECT_TRUE(DeviceChanges(h, 300).empty());

        SetUsb({{"provider", "simulated"}, {"removals", "7"}, {"arrivals", "1"}});
        EXPECT_EQ(AwaitChanges(h, 3), (std::vector<WPARAM>{kRemoved, kRemoved, kRemoved}));
        SetUsb({{"provider", "simulated"}, {"removals", "7"}, {"arrivals", "3"}});
        EXPECT_EQ(AwaitChanges(h, 2), (std::vector<WPARAM>{kArrived, kArrived}));

        // A missing or invalid file, or an absent key, keeps the baseline, in whatever
        // order the listener sees these states.
        pal::device::RemoveDeviceConfig("usb");
        testing::internal::CaptureStderr();
        SetUsb({{"removals", "many"}});
        EXPECT_TRUE(DeviceChanges(h, 300).empty());
        SetUsb({{"removals", "also bad"}});
        EXPECT_TRUE(DeviceChanges(h, 300).empty());
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("usb.conf"), err.rfind("usb.conf")) << "noted at most once: " << err;
        SetUsb({{"arrivals", "3"}});
        SetUsb({{"removals", "8"}, {"arrivals", "3"}});
        EXPECT_EQ(AwaitChanges(h, 1), (std::vector<WPARAM>{kRemoved}));
        EXPECT_TRUE(DeviceChanges(h, 300).empty());
        DestroyWindow(h);
    });
}

TEST_F(DeviceChange, EveryTopLevelWindowGetsItsOwnCopyOnItsThread) {
    OnFreshThread([] {
        SetUsb({{"removals", "0"}});
        ScopedClass c("DcAll");
        HWND top = MakeWindow("DcAll");
        HWND child = MakeWindow("DcAll", top, WS_CHILD);
        ASSERT_NE(child, nullptr);
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<WPARAM> otherGot;
        std::function<void()> body = [&] {
            HWND other = MakeWindow("DcAll");
            SetEvent(ready);
            otherGot = AwaitChanges(other, 2);
            DestroyWindow(other);
        };
        HANDLE thread = CreateThread(nullptr, 0, RunFunction, &body, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(ready, kLong), WAIT_OBJECT_0);
        SetUsb({{"removals", "2"}});
        EXPECT_EQ(AwaitChanges(top, 2), (std::vector<WPARAM>{kRemoved, kRemoved}));  // not the child's
        ASSERT_EQ(WaitForSingleObject(thread, kLong), WAIT_OBJECT_0);
        EXPECT_EQ(otherGot, (std::vector<WPARAM>{kRemoved, kRemoved}));
        CloseHandle(thread);
        CloseHandle(ready);
        DestroyWindow(top);
    });
}

TEST_F(DeviceChange, TheListenerRunsOnlyWhileATopLevelWindowExists) {
    EXPECT_FALSE(pal::window::DeviceListenerRunning());
    OnFreshThread([] {
        ScopedClass c("DcLife");
        HWND messageOnly = MakeWindow("DcLife", HWND_MESSAGE);
        EXPECT_FALSE(pal::window::DeviceListenerRunning());
        HWND a = MakeWindow("DcLife");
        HWND b = MakeWindow("DcLife");
        EXPECT_TRUE(pal::window::DeviceListenerRunning());
        EXPECT_TRUE(ListenerThreadExists());
        DestroyWindow(a);
        EXPECT_TRUE(pal::window::DeviceListenerRunning());
        DestroyWindow(b);
        EXPECT_FALSE(pal::window::DeviceListenerRunning());
        EXPECT_FALSE(ListenerThreadExists());
        DestroyWindow(messageOnly);

        // A new window starts it afresh, with a new baseline.
        SetUsb({{"removals", "9"}});
        HWND again = MakeWindow("DcLife");
        EXPECT_TRUE(DeviceChanges(again, 300).empty());
        DestroyWindow(again);
    });
    // A thread that ends with its window still there takes the listener with it.
    OnFreshThread([] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "DcLeft";
        RegisterClassExA(&wc);
        EXPECT_NE(MakeWindow("DcLeft"), nullptr);
    });
    EXPECT_FALSE(pal::window::DeviceListenerRunning());
    EXPECT_TRUE(UnregisterClassA("DcLeft", nullptr));
}

// A datagram sender to the test socket of the uevent provider.
bool SendTo(const std::string& path, const std::string& datagram) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bool ok = sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
              static_cast<ssize_t>(datagram.size());
    close(fd);
    return ok;
}

std::string Uevent(const std::string& action, const std::string& subsystem, const std::string& devtype) {
    std::string d = action + "@/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    d += '\0';
    d += "ACTION=" + action + '\0' + "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2" + '\0';
    d += "SUBSYSTEM=" + subsystem + '\0';
    if (!devtype.empty()) d += "DEVTYPE=" + devtype + '\0';
    d += "SEQNUM=1234";
    d += '\0';
    return d;
}

TEST_F(DeviceChange, UeventsOfUsbDevicesBecomeRemovalsAndArrivals) {
    const std::string path = pal::core::RootDir() + "/uevent.sock";
    SetUsb({{"provider", "uevent"}, {"uevent_socket", path}, {"removals", "0"}});
    OnFreshThread([&] {
        ScopedClass c("DcUevent");
        HWND h = MakeWindow("DcUevent");
        // Only a USB device counts, not its interfaces, and not other subsystems.
        ASSERT_TRUE(SendTo(path, Uevent("remove", "usb", "usb_interface")));
        ASSERT_TRUE(SendTo(path, Uevent("remove", "block", "disk")));
        ASSERT_TRUE(SendTo(path, Uevent("unbind", "usb", "usb_device")));
        ASSERT_TRUE(SendTo(path, Uevent("remove", "usb", "usb_device")));
        ASSERT_TRUE(SendTo(path, Uevent("add", "usb", "usb_device")));
        // The simulated counters do not count with this provider.
        SetUsb({{"provider", "uevent"}, {"uevent_socket", path}, {"removals", "5"}});
        EXPECT_EQ(AwaitChanges(h, 2), (std::vector<WPARAM>{kRemoved, kArrived}));
        EXPECT_TRUE(DeviceChanges(h, 300).empty());
        DestroyWindow(h);
    });
    EXPECT_FALSE(std::filesystem::exists(path));  // unbound with the listener
}

TEST(Uevent, OnlyTheKernelIsBelievedOnTheNetlinkSocket) {
    int receiver = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    int sender = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (receiver < 0 || sender < 0) GTEST_SKIP() << "no uevent netlink here";
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
    int on = 1;
    setsockopt(receiver, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    socklen_t len = sizeof self;
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr*>(&self), &len), 0);
    ASSERT_NE(self.nl_pid, 0u);

    // A local process sends a removal straight to the listener's port.
    const std::string fake = Uevent("remove", "usb", "usb_device");
    ASSERT_EQ(sendto(sender, fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&self), sizeof self),
              static_cast<ssize_t>(fake.size()));
    Sleep(100);
    auto got = pal::window::ReceiveUevent(receiver, true);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, UsbChange::None);
    // The same datagram from a trusted source (the test socket's path) would count.
    ASSERT_EQ(sendto(sender, fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&self), sizeof self),
              static_cast<ssize_t>(fake.size()));
    Sleep(100);
    EXPECT_EQ(pal::window::ReceiveUevent(receiver, false), UsbChange::Removal);
    EXPECT_FALSE(pal::window::ReceiveUevent(receiver, true).has_value());  // nothing left
    close(receiver);
    close(sender);
}

TEST(Uevent, ParsesWithinTheGivenLengthAndRejectsWhatIsNotAKernelEvent) {
    std::string d = Uevent("remove", "usb", "usb_device");
    auto e = ParseUevent(d.data(), d.size());
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->action, "remove");
    EXPECT_EQ(e->subsystem, "usb");
    EXPECT_EQ(e->devtype, "usb_device");
    EXPECT_EQ(pal::window::ClassifyUevent(*e), UsbChange::Removal);

    // Cut inside the SUBSYSTEM field: what lies beyond the length is never read.
    size_t cut = d.find("SUBSYSTEM=usb") + std::strlen("SUBSYSTEM=u");
    e = ParseUevent(d.data(), cut);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->subsystem, "u");
    EXPECT_EQ(pal::window::ClassifyUevent(*e), UsbChange::None);

    // Without ACTION the header's action counts; one that contradicts it is refused.
    std::string bare = std::string("add@/devices/x") + '\0' + "SUBSYSTEM=usb" + '\0' + "DEVTYPE=usb_device";
    e = ParseUevent(bare.data(), bare.size());
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(pal::window::ClassifyUevent(*e), UsbChange::Arrival);
    std::string liar = std::string("add@/devices/x") + '\0' + "ACTION=remove" + '\0' + "SUBSYSTEM=usb";
    EXPECT_FALSE(ParseUevent(liar.data(), liar.size()).has_value());

    for (std::string bad : {std::string("libudev") + '\0' + "ACTION=remove", std::string("@/devices/x"),
                            std::string("remove@"), std::string("")}) {
        EXPECT_FALSE(ParseUevent(bad.data(), bad.size()).has_value()) << bad;
    }
    EXPECT_FALSE(ParseUevent(nullptr, 5).has_value());
}

}  // namespace
