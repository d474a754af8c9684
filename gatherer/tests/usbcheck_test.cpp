// CUSBcheck against the simulated device-change source: the start record, counting
// removals (not arrivals), the switch, a missing count or subkey, the configuration
// chain, a failed write, a class that cannot be registered, and the end on the stop event.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>

#include "gatherer/tests/gatherer_test_util.h"
#include "gatherer/usbcheck.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/device/device.h"

using namespace mordane;
using namespace gtest_util;

namespace {

constexpr const char* kKey = "USBDisconnected";

class UsbCheck : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveIni();
        InstallRegistry();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
    }
    void TearDown() override {
        if (running_.valid()) {
            Stop();
            running_.wait_for(std::chrono::seconds(60));
        }
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
        pal::device::RemoveDeviceConfig("usb");
        RemoveIni();
    }

    static std::vector<LONG> Counts() {
        std::vector<LONG> out;
        for (const Record& r : ReadLog()) {
            EXPECT_EQ(r.id, MSG_USB_DISCONNECTED);
            EXPECT_EQ(r.type, EVENTLOG_INFORMATION_TYPE);
            EXPECT_EQ(r.data.size(), 4u);
            out.push_back(r.Value());
        }
        return out;
    }
    static bool WaitFor(const std::function<bool()>& pred) {
        for (int i = 0; i < 300; ++i) {
            if (pred()) return true;
            Sleep(100);
        }
        return pred();
    }
    static void Stop() {
        HANDLE stop = OpenStopEvent();
        SetEvent(stop);
        CloseHandle(stop);
    }
    // A trace line with both the label and the text.
    static bool Traced(const char* label, const char* text) {
        std::istringstream in(TraceText());
        for (std::string line; std::getline(in, line);)
            if (line.find(std::string("\t") + label + "\t") != std::string::npos && line.find(text) != std::string::npos)
                return true;
        return false;
    }

    // The monitor's thread as the service runs it; Process's result when it returns.
    // Returns once the hidden window exists (the source's baseline is then taken), or
    // once Process returned without one.
    void Start() {
        running_ = std::async(std::launch::async, [] {
            CUSBcheck usb;
            if (usb.Initialize() != 0) return -2;
            return usb.Process();
        });
        WaitFor([&] {
            return FindWindowA(kUsbWindowClass, kUsbWindowClass) != nullptr ||
                   running_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
    }
    int Finish() {
        Stop();
        if (running_.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return -100;
        return running_.get();
    }

    std::future<int> running_;
};

TEST_F(UsbCheck, ReportsTheStoredCountAtStartAndOneMoreForEachRemoval) {
    SetRegDword(kKey, "DisconCount", 7);
    SetUsb({{"removals", "3"}, {"arrivals", "0"}});
    Start();
    HWND window = FindWindowA(kUsbWindowClass, kUsbWindowClass);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(Counts(), (std::vector<LONG>{7}));  // the baseline of the source is no removal

    SetUsb({{"removals", "4"}, {"arrivals", "0"}});
    ASSERT_TRUE(WaitFor([] { return Counts().size() == 2 && RegDword(kKey, "DisconCount") == 8; }));
    EXPECT_EQ(Counts(), (std::vector<LONG>{7, 8}));

    // Two removals at once, then arrivals, which are not counted.
    SetUsb({{"removals", "6"}, {"arrivals", "0"}});
    ASSERT_TRUE(WaitFor([] { return Counts().size() == 4; }));
    SetUsb({{"removals", "6"}, {"arrivals", "2"}});
    SetUsb({{"removals", "7"}, {"arrivals", "2"}});
    ASSERT_TRUE(WaitFor([] { return Counts().size() == 5 && RegDword(kKey, "DisconCount") == 11; }));
    EXPECT_EQ(Counts(), (std::vector<LONG>{7, 8, 9, 10, 11}));

    // The stop event ends the loop, the window and the thread.
    EXPECT_EQ(Finish(), 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(Traced("USB", "USB listening enable:1"));
    EXPECT_TRUE(Traced("USB", "Listening End."));
    // The class went with it: the monitor can run again in this process.
    HANDLE stop = OpenStopEvent();
    ResetEvent(stop);
    CloseHandle(stop);
    Start();
    EXPECT_NE(FindWindowA(kUsbWindowClass, nullptr), nullptr);
    EXPECT_EQ(Finish(), 0);
}

TEST_F(UsbCheck, SwitchedOffItWritesTheStartRecordAndCountsNothing) {
    WriteIni("[USBDisconnected]\nWATCH=0\n");
    SetRegDword(kKey, "DisconCount", 3);
    Start();
    ASSERT_EQ(running_.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(running_.get(), 0);
    EXPECT_EQ(RegDword(kKey, "WATCH_UsbDisconnected"), 0);
    EXPECT_EQ(Counts(), (std::vector<LONG>{3}));
    EXPECT_EQ(FindWindowA(kUsbWindowClass, nullptr), nullptr);
    EXPECT_FALSE(Traced("USB", "USB listening enable"));
}

TEST_F(UsbCheck, AMissingCountStartsAtZeroAndIsWrittenAtTheFirstRemoval) {
    WriteIni("[USBDisconnected]\nWATCH=2\n");  // any non-zero value is on
    SetUsb({{"removals", "0"}});
    Start();
    EXPECT_EQ(Counts(), (std::vector<LONG>{0}));
    EXPECT_TRUE(Traced("CUSBcheck::getUsbDisconCountFromReg", "RegQueryValueEx failed."));
    EXPECT_TRUE(Traced("USB", "USB listening enable:2"));
    SetUsb({{"removals", "1"}});
    ASSERT_TRUE(WaitFor([] { return RegDword(kKey, "DisconCount") == 1; }));
    EXPECT_EQ(Counts(), (std::vector<LONG>{0, 1}));
    EXPECT_EQ(Finish(), 0);
}

TEST_F(UsbCheck, WithoutItsSubkeyItRunsOnDefaultsAndCountsInMemory) {
    RemoveMonitorKey(kKey);
    WriteIni("[USBDisconnected]\nWATCH=0\n");  // cannot reach the registry
    SetUsb({{"removals", "0"}});
    Start();
    EXPECT_TRUE(Traced("CUSBcheck::SetConfigToReg", "Open USBDisconnected key of Registry failed."));
    EXPECT_TRUE(Traced("CUSBcheck::GetConfigFromReg", "Open USBDisconnected key of Registry failed."));
    EXPECT_TRUE(Traced("CUSBcheck::getUsbDisconCountFromReg", "RegOpenKeyEx failed."));
    SetUsb({{"removals", "2"}});
    ASSERT_TRUE(WaitFor([] {
        return Counts().size() == 3 && Traced("CUSBcheck::setUsbDisconCountToReg", "RegOpenKeyEx failed.");
    }));
    EXPECT_EQ(Counts(), (std::vector<LONG>{0, 1, 2}));
    EXPECT_EQ(Finish(), 0);
}

TEST_F(UsbCheck, ConfigurationChainTracesWhatIsMissing) {
    {
        CUSBcheck usb;
        EXPECT_EQ(usb.SetConfigToReg(), -1);  // no ini file
        EXPECT_TRUE(Traced("CUSBcheck::SetConfigToReg", "Get WATCH key from config file failed."));
        EXPECT_EQ(usb.GetConfigFromReg(), -1);  // the installed subkey has no switch yet
        EXPECT_EQ(usb.m_dwWatchUsbDisconnected, 1u);
        EXPECT_TRUE(Traced("CUSBcheck::GetConfigFromReg", "get USBDisconnected key of Registry failed."));
    }
    WriteIni("[USBDisconnected]\nWATCH=0\n");
    CUSBcheck usb;
    EXPECT_EQ(usb.SetConfigToReg(), 0);
    EXPECT_EQ(usb.GetConfigFromReg(), 0);
    EXPECT_EQ(usb.m_dwWatchUsbDisconnected, 0u);
    // The ini file gone, the registry keeps the switch.
    RemoveIni();
    CUSBcheck later;
    later.SetConfigToReg();
    EXPECT_EQ(later.GetConfigFromReg(), 0);
    EXPECT_EQ(later.m_dwWatchUsbDisconnected, 0u);
}

BOOL FailingReportEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) { return FALSE; }

TEST_F(UsbCheck, AFailedWriteIsTracedAndTheCountStillStored) {
    SetRegDword(kKey, "DisconCount", 4);
    SetUsb({{"removals", "0"}});
    g_pfnReportEvent = FailingReportEvent;
    Start();
    EXPECT_TRUE(Traced("CUSBcheck::AddToEventLog", "ReportEvent failed."));
    SetUsb({{"removals", "1"}});
    ASSERT_TRUE(WaitFor([] { return RegDword(kKey, "DisconCount") == 5; }));
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(ReadLog().empty());
}

LRESULT CALLBACK Foreign(HWND h, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(h, m, wp, lp); }

TEST_F(UsbCheck, AClassThatCannotBeRegisteredEndsProcessAfterTheMessageBox) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Foreign;
    wc.lpszClassName = kUsbWindowClass;
    ASSERT_NE(RegisterClassExA(&wc), 0);
    testing::internal::CaptureStderr();
    Start();
    ASSERT_EQ(running_.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(running_.get(), -1);
    EXPECT_NE(err.find("[WNDCLASSEX class err] WNDCLASSEX class err \n"), std::string::npos) << err;
    EXPECT_TRUE(Traced("CUSBcheck::Process", "RegisterClassEx failed: 1410."));
    EXPECT_FALSE(Traced("USB", "Listening End."));
    EXPECT_TRUE(UnregisterClassA(kUsbWindowClass, nullptr));
}

TEST_F(UsbCheck, WithoutTheServiceStopEventItDoesNotStart) {
    CloseServiceStopEvent();
    CUSBcheck usb;
    EXPECT_EQ(usb.Initialize(), -1);
    EXPECT_TRUE(Traced("CUSBcheck::Initialize", "CreateEvent failed."));
    EXPECT_EQ(usb.Process(), -1);
    EXPECT_TRUE(Traced("CUSBcheck::Initialize", "Initialize failed."));
}

}  // namespace
