// CNicLinkStatus against the simulated interface table: the configuration chain, the
// counting of link losses per interface, the reporting decisions and both threads' ends.
#include <gtest/gtest.h>
#include <iconv.h>

#include <chrono>
#include <future>
#include <thread>

#include "gatherer/niclinkstatus.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "pal/device/device.h"

using namespace mordane;
using namespace gtest_util;

namespace {

// The trace file holds the Japanese texts converted to UTF-8 when the C library has the
// code page 932 converter, and escaped byte by byte when it has not.
bool HaveCp932() {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

class NicLinkStatus : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveIni();
        InstallRegistry();
        RemoveMonitorKey("NICStatus");  // no values from an earlier case
        InstallRegistry();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
        traceStart_ = TraceText().size();
        logStart_ = ReadLog().size();
        Nics({{2, true}});
    }
    void TearDown() override {
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
        pal::device::RemoveDeviceConfig("iftable");
        RemoveIni();
    }

    // Ethernet interfaces by index and link state, in this order.
    void Nics(const std::vector<std::pair<int, bool>>& nics, std::map<std::string, std::string> extra = {}) {
        for (size_t i = 0; i < nics.size(); ++i) {
            const std::string n = "if." + std::to_string(i + 1) + ".";
            extra[n + "index"] = std::to_string(nics[i].first);
            extra[n + "up"] = nics[i].second ? "1" : "0";
        }
        SetIfTable(extra);
    }
    // Records of this case (the log outlives the cases of one run).
    std::vector<Record> Records() {
        auto all = ReadLog();
        return std::vector<Record>(all.begin() + static_cast<long>(logStart_), all.end());
    }
    std::string Trace() { return TraceText().substr(traceStart_); }
    static bool Woken(CNicLinkStatus& nic) { return WaitForSingleObject(nic.m_hWakeEvent, 0) == WAIT_OBJECT_0; }
    // One link loss of the interface at index on a one-NIC table: down, then up again.
    void Flap(CNicLinkStatus& nic, int index) {
        Nics({{index, false}});
        ASSERT_EQ(nic.GetLinkStatus(), 0);
        Nics({{index, true}});
        ASSERT_EQ(nic.GetLinkStatus(), 0);
    }
    void Stop() {
        HANDLE stop = OpenStopEvent();
        SetEvent(stop);
        CloseHandle(stop);
    }
    // Process on its own thread; the future is ready when Process returned.
    std::future<int> Run(CNicLinkStatus& nic) {
        return std::async(std::launch::async, [&nic] { return nic.Process(); });
    }
    bool WaitForRecords(size_t n, int seconds = 30) {
        for (int i = 0; i < seconds * 10 && Records().size() < n; ++i) Sleep(100);
        return Records().size() >= n;
    }

    size_t traceStart_ = 0;
    size_t logStart_ = 0;
};

}  // namespace

TEST_F(NicLinkStatus, DefaultsWithoutIniOrValuesAndTheTracesThatSayWhy) {
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    EXPECT_EQ(nic.m_dwWatch, 1u);
    EXPECT_EQ(nic.m_dwInterval, 3000u);
    EXPECT_EQ(nic.m_dwLimit, 5u);
    EXPECT_EQ(nic.m_dwTimes, 600000u);
    std::string trace = Trace();
    for (const char* t : {"Get WATCH key from config file failed.", "Get INTERVAL key from config file failed.",
                          "Get LIMIT key from config file failed.", "Get Times key from config file failed."}) {
        EXPECT_NE(trace.find(std::string("CNicLinkStatus::SetConfigToReg\t") + t), std::string::npos) << t;
    }
    if (HaveCp932()) {
        for (const char* t : {"レジストリのNIC監視かを読むのは失敗でした。", "レジストリのNIC INTERVALを読むのは失敗でした。",
                              "レジストリのNIC LIMITを読むのは失敗でした。", "レジストリのNIC Timesを読むのは失敗でした。"}) {
            EXPECT_NE(trace.find(std::string("CNicLinkStatus::GetConfigFromReg\t") + t), std::string::npos) << t;
        }
    }

    // Without the subkey: every default, one trace, and no subkey is created.
    RemoveMonitorKey("NICStatus");
    WriteIni("[NICStatus]\nWATCH=1\nINTERVAL=9\nLIMIT=2\nTimes=60\n");
    CNicLinkStatus bare;
    ASSERT_EQ(bare.Initialize(), 0);
    EXPECT_EQ(bare.m_dwInterval, 3000u);
    EXPECT_EQ(bare.m_dwTimes, 600000u);
    EXPECT_EQ(RegDword("NICStatus", "LIMIT"), -1);
    trace = Trace();
    EXPECT_NE(trace.find("CNicLinkStatus::SetConfigToReg\tOpen Registry failed."), std::string::npos);
    if (HaveCp932()) {
        EXPECT_NE(trace.find("CNicLinkStatus::GetConfigFromReg\tレジストリをオープンするのは失敗でした。"),
                  std::string::npos);
    }
}

TEST_F(NicLinkStatus, IniValuesReachRegistryAndMemoryWithTheirMinimums) {
    WriteIni("[NICStatus]\nWATCH=7\nINTERVAL=0\nLIMIT=0\nTimes=0\n");
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    EXPECT_EQ(RegDword("NICStatus", "WATCH_NICStatus"), 7);
    EXPECT_EQ(RegDword("NICStatus", "WATCH_INTERVAL"), 0);
    EXPECT_EQ(RegDword("NICStatus", "LIMIT"), 0);
    EXPECT_EQ(RegDword("NICStatus", "WATCH_Times"), 0);
    EXPECT_EQ(nic.m_dwWatch, 7u);         // any non-zero switch is on
    EXPECT_EQ(nic.m_dwInterval, 1000u);   // no polling without pause
    EXPECT_EQ(nic.m_dwTimes, 1000u);      // no reporting thread that spins
    EXPECT_EQ(nic.m_dwLimit, 1u);         // no record for a healthy link

    // -1 leaves the registry as it is.
    WriteIni("[NICStatus]\nWATCH=-1\nINTERVAL=4\nLIMIT=-1\nTimes=120\n");
    CNicLinkStatus again;
    ASSERT_EQ(again.Initialize(), 0);
    EXPECT_EQ(again.m_dwWatch, 7u);
    EXPECT_EQ(again.m_dwInterval, 4000u);
    EXPECT_EQ(again.m_dwTimes, 120000u);
}

TEST_F(NicLinkStatus, FiveLossesGiveOneRecordAtOnceAndFourGiveNone) {
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    ASSERT_EQ(nic.GetLinkStatus(), 0);
    for (int i = 0; i < 4; ++i) Flap(nic, 2);
    EXPECT_EQ(nic.m_lDownCount, 4);
    EXPECT_FALSE(Woken(nic));
    EXPECT_EQ(nic.ReportPass(), 0);  // the window ends: the link was up, four is not enough
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(nic.m_lDownCount, 0);

    for (int i = 0; i < 4; ++i) Flap(nic, 2);
    EXPECT_FALSE(Woken(nic));
    Flap(nic, 2);
    EXPECT_TRUE(Woken(nic));  // the fifth loss wakes the reporting thread at once
    EXPECT_EQ(nic.ReportPass(), 0);
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, 0x40040007u);
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].data.size(), 4u);
    EXPECT_EQ(records[0].Value(), 2);

    // Already reported: the next windows stay quiet until the link is lost again.
    EXPECT_EQ(nic.ReportPass(), 0);
    Nics({{2, true}});
    nic.GetLinkStatus();
    EXPECT_EQ(nic.ReportPass(), 0);
    EXPECT_EQ(Records().size(), 1u);
    for (int i = 0; i < 5; ++i) Flap(nic, 2);
    EXPECT_TRUE(Woken(nic));
    nic.ReportPass();
    EXPECT_EQ(Records().size(), 2u);
}

TEST_F(NicLinkStatus, ACableOutAtStartGivesOneRecordAfterTheWindowAndNoMore) {
    Nics({{4, false}});
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(nic.GetLinkStatus(), 0);
    EXPECT_EQ(nic.m_lDownCount, 0);  // down from the start is not a loss
    EXPECT_FALSE(Woken(nic));
    nic.ReportPass();
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Value(), 4);
    for (int w = 0; w < 3; ++w) {
        nic.GetLinkStatus();
        nic.ReportPass();
    }
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(NicLinkStatus, ASecondNicWithoutCableCountsNoLosses) {
    // The healthy NIC comes after the unplugged one and after a flapping wireless link and
    // loopback, which are not Ethernet.
    SetIfTable({{"if.1.index", "2"}, {"if.1.up", "0"}, {"if.2.index", "3"}, {"if.2.up", "1"},
                {"if.3.index", "1"}, {"if.3.type", "24"}, {"if.4.index", "5"}, {"if.4.type", "71"}});
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    for (int i = 0; i < 12; ++i) {
        SetIfTable({{"if.1.index", "2"}, {"if.1.up", "0"}, {"if.2.index", "3"}, {"if.2.up", "1"},
                    {"if.3.index", "1"}, {"if.3.type", "24"}, {"if.3.up", i % 2 ? "1" : "0"},
                    {"if.4.index", "5"}, {"if.4.type", "71"}, {"if.4.up", i % 2 ? "0" : "1"}});
        ASSERT_EQ(nic.GetLinkStatus(), 0);
    }
    EXPECT_EQ(nic.m_lDownCount, 0);
    EXPECT_FALSE(Woken(nic));
    nic.ReportPass();
    EXPECT_TRUE(Records().empty());

    // The unplugged NIC flaps: the record names it, not the last row examined (3).
    for (int i = 0; i < 5; ++i) {
        Nics({{2, true}, {3, true}});
        nic.GetLinkStatus();
        Nics({{2, false}, {3, true}});
        nic.GetLinkStatus();
    }
    EXPECT_TRUE(Woken(nic));
    nic.ReportPass();
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Value(), 2);
    EXPECT_EQ(nic.m_dwLastIndex, 3u);
}

TEST_F(NicLinkStatus, NoEthernetAtAllGivesOneRecordWithIndexZero) {
    SetIfTable({{"if.1.index", "1"}, {"if.1.type", "24"}});
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    ASSERT_EQ(nic.GetLinkStatus(), 0);
    nic.ReportPass();
    SetIfTable({});  // no rows at all: the poll ends without a change
    EXPECT_EQ(nic.GetLinkStatus(), 0);
    nic.ReportPass();
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Value(), 0);
}

TEST_F(NicLinkStatus, UnreadableTablesAndFailedWritesChangeNothing) {
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    ASSERT_EQ(nic.GetLinkStatus(), 0);
    // The cable goes while the table cannot be read: nothing counted, nothing forgotten.
    Nics({{2, false}}, {{"fail_size", "8"}});
    EXPECT_EQ(nic.GetLinkStatus(), -1);
    Nics({{2, false}}, {{"fail_read", "1117"}});
    EXPECT_EQ(nic.GetLinkStatus(), -1);
    EXPECT_EQ(nic.m_lDownCount, 0);
    Nics({{2, false}});
    ASSERT_EQ(nic.GetLinkStatus(), 0);
    EXPECT_EQ(nic.m_lDownCount, 1);  // the loss is seen once the table reads again

    // A failed write leaves "reported" clear, so the next window writes the record.
    nic.ReportPass();  // link was seen in this window: nothing due
    g_pfnReportEvent = [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) -> BOOL {
        SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    };
    nic.GetLinkStatus();
    EXPECT_EQ(nic.ReportPass(), -1);
    EXPECT_NE(Trace().find("CNicLinkStatus::Initialize\tReportEvent failed."), std::string::npos);
    g_pfnReportEvent = ReportEventA;
    nic.GetLinkStatus();
    EXPECT_EQ(nic.ReportPass(), 0);
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(NicLinkStatus, SwitchedOffItNeitherPollsNorStartsTheReportingThread) {
    WriteIni("[NICStatus]\nWATCH=0\nTimes=1\n");
    Nics({{2, false}});
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    EXPECT_EQ(nic.Process(), 0);  // at once, although the stop event is clear
    Sleep(1500);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Trace().find("listening enable"), std::string::npos);
}

TEST_F(NicLinkStatus, ThreadsReportAtTheLimitAtOnceAndBothEndOnTheStopEvent) {
    // A window far beyond the test: the record can only come from the wake.
    WriteIni("[NICStatus]\nINTERVAL=1\nLIMIT=1\n");
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    auto done = Run(nic);
    for (int i = 0; i < 300 && Trace().find("listening enable") == std::string::npos; ++i) Sleep(100);
    EXPECT_NE(Trace().find("NicStatus\tlistening enable:1,write to eventlog while it occurs beyond 1 of times in "
                           "10 minutes"),
              std::string::npos);
    Sleep(1500);  // at least one poll has seen the link up
    Nics({{2, false}});
    EXPECT_TRUE(WaitForRecords(1));
    Stop();
    // Process returns only after the reporting thread ended (it joins it).
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_NE(Trace().find("NicLinkStatus\tListening End."), std::string::npos);
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(NicLinkStatus, ThreadsReportACableOutAtStartOnceAcrossWindows) {
    WriteIni("[NICStatus]\nINTERVAL=1\nTimes=2\n");
    Nics({{6, false}});
    CNicLinkStatus nic;
    ASSERT_EQ(nic.Initialize(), 0);
    auto done = Run(nic);
    ASSERT_TRUE(WaitForRecords(1));
    Sleep(4000);  // several more windows
    Stop();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Value(), 6);
}
