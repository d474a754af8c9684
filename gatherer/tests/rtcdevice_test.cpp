// CRtcDecice against the simulated RTC driver: what the start-up pass reports, what later
// passes absorb, and how driver and registry failures leave the records.
#include <gtest/gtest.h>

#include <thread>

#include "gatherer/rtcdevice.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"

using namespace mordane;
using namespace gtest_util;

namespace {

constexpr const char* kHddKey = "RtcSensor\\HDDBootErrorLog";
constexpr const char* kEccKey = "RtcSensor\\ECCErrorLog";
constexpr const char* kMemKey = "RtcSensor\\MemoryErrors";

// RTC memory index of HDD boot error log byte k on machine type 2 (both models).
std::string Hdd(int k) { return "cmos." + std::to_string(169 + k); }

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<DWORD> Ids(const std::vector<Record>& records) {
    std::vector<DWORD> ids;
    for (const auto& r : records) ids.push_back(r.id);
    return ids;
}

class RtcDevice : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRegistry();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
        SetRtc({{"machine_type", "2"}});
    }
    void TearDown() override {
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
    }
    // A later pass (not the start-up pass). Returns the records it wrote.
    std::vector<Record> Pass(CRtcDecice& rtc, int* readResult = nullptr) {
        size_t before = ReadLog().size();
        int rc = rtc.GetRTCInfo();
        if (readResult) *readResult = rc;
        if (rc == 0) rtc.AddToEventLog();
        auto all = ReadLog();
        return std::vector<Record>(all.begin() + static_cast<long>(before), all.end());
    }
};

// Makes ReportEvent fail from the n-th call on (0: never).
int g_failFrom = 0;
int g_calls = 0;
BOOL FailingReportEvent(HANDLE h, WORD type, WORD cat, DWORD id, PSID sid, WORD n, DWORD size, LPCSTR* s, LPVOID data) {
    if (g_failFrom != 0 && ++g_calls >= g_failFrom) {
        SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    }
    return ReportEventA(h, type, cat, id, sid, n, size, s, data);
}

}  // namespace

TEST_F(RtcDevice, AnHddChangeAtStartIsReportedOnceWithTheFiveBytes) {
    SetRegDword(kHddKey, "HDDegreeRecode", 3);
    SetRegDword(kHddKey, "HDMonthRecode", 0x12);
    SetRegDword(kHddKey, "HDDateRecode", 0x31);
    SetRegDword(kHddKey, "HDtimeRecode", 0x23);
    SetRtc({{"machine_type", "2"}, {Hdd(0), "4"}, {Hdd(1), "18"}, {Hdd(2), "49"}, {Hdd(3), "35"}, {Hdd(4), "1"}});
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    auto records = ReadLog();
    ASSERT_EQ(Ids(records), std::vector<DWORD>{0xC004000Au});
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].data, (std::vector<BYTE>{4, 0x12, 0x31, 0x23, 1}));
    EXPECT_TRUE(records[0].strings.empty());
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 4);
    EXPECT_EQ(RegDword(kHddKey, "HDMonthRecode"), 0x12);

    // The next pass finds nothing new; a change found now is absorbed without a record.
    EXPECT_TRUE(Pass(rtc).empty());
    SetRtc({{"machine_type", "2"}, {Hdd(0), "5"}, {Hdd(1), "18"}, {Hdd(2), "49"}, {Hdd(3), "35"}, {Hdd(4), "1"}});
    EXPECT_TRUE(Pass(rtc).empty());
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 5);

    // A new start compares with the absorbed copy: nothing to report.
    CRtcDecice restarted;
    ASSERT_EQ(restarted.Initialize(), 0);
    EXPECT_EQ(ReadLog().size(), 1u);
}

TEST_F(RtcDevice, OnlyBytesZeroToThreeAreCompared) {
    SetRtc({{"machine_type", "2"}, {Hdd(4), "9"}});
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    EXPECT_TRUE(ReadLog().empty());
    // Byte 3 alone is enough, and all five bytes travel.
    SetRtc({{"machine_type", "2"}, {Hdd(3), "1"}, {Hdd(4), "9"}});
    CRtcDecice again;
    ASSERT_EQ(again.Initialize(), 0);
    auto records = ReadLog();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].data, (std::vector<BYTE>{0, 0, 0, 1, 9}));
}

TEST_F(RtcDevice, ErrorCountsOfMachineType2AreReportedInTheirOrder) {
    SetRtc({{"machine_type", "2"}, {"cmos.174", "2"}, {"cmos.175", "7"}, {Hdd(0), "1"}});
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    auto records = ReadLog();
    if (kReducedModel) {
        EXPECT_EQ(Ids(records), std::vector<DWORD>{0xC004000Au});
        EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 0);  // never read
        return;
    }
    ASSERT_EQ(Ids(records), (std::vector<DWORD>{0xC0040009u, 0xC004000Au, 0xC004000Du}));
    EXPECT_EQ(records[0].data, std::vector<BYTE>{7});
    EXPECT_EQ(records[2].data, std::vector<BYTE>{2});
    EXPECT_EQ(records[2].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 7);
    EXPECT_EQ(RegDword(kMemKey, "MemoryErrorsRecode"), 2);
}

TEST_F(RtcDevice, MachineType1ReadsItsOwnIndicesAndNoCounts) {
    // Counts recorded earlier must not be "changed to 0" by a machine that keeps none.
    SetRegDword(kEccKey, "ECCerrorLogRecode", 5);
    SetRegDword(kMemKey, "MemoryErrorsRecode", 6);
    const std::vector<std::string> indices =
        kReducedModel ? std::vector<std::string>{"160", "161", "162", "163", "157"}
                      : std::vector<std::string>{"153", "154", "155", "156", "157"};
    std::map<std::string, std::string> rtcConf = {{"machine_type", "1"}, {"cmos.174", "0"}, {"cmos.175", "0"}};
    for (size_t k = 0; k < indices.size(); ++k) rtcConf["cmos." + indices[k]] = std::to_string(10 + k);
    SetRtc(rtcConf);
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    auto records = ReadLog();
    ASSERT_EQ(Ids(records), std::vector<DWORD>{0xC004000Au});
    EXPECT_EQ(records[0].data, (std::vector<BYTE>{10, 11, 12, 13, 14}));
    EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 5);
    EXPECT_EQ(RegDword(kMemKey, "MemoryErrorsRecode"), 6);
    EXPECT_TRUE(Pass(rtc).empty());
    EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 5);
}

TEST_F(RtcDevice, DriverFailuresAreFailedReadsThatChangeNothing) {
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    int rc = 0;
    const std::pair<std::map<std::string, std::string>, const char*> cases[] = {
        {{{"machine_type", "3"}}, "Other CPU."},
        {{{"machine_type", "2"}, {"reply_bytes", "3"}}, "Get MACHINE_TYPE failed."},  // a short reply
        {{{"machine_type", "2"}, {"fail_request", "1117"}}, "Get MACHINE_TYPE failed."},
        {{{"machine_type", "2"}, {"fail_open", "2"}}, "RTCDriver open failed."},
    };
    for (const auto& [conf, trace] : cases) {
        auto withChange = conf;
        withChange[Hdd(0)] = "8";
        SetRtc(withChange);
        EXPECT_TRUE(Pass(rtc, &rc).empty()) << trace;
        EXPECT_EQ(rc, -1) << trace;
        EXPECT_NE(TraceText().find(trace), std::string::npos) << trace;
        EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 0) << trace;
    }
    // "Other CPU." at every pass, the start-up pass included.
    SetRtc({{"machine_type", "3"}});
    CRtcDecice other;
    ASSERT_EQ(other.Initialize(), 0);
    Pass(other);
    Pass(other);
    EXPECT_EQ(Count(TraceText(), "Other CPU."), 4u);  // one above, three here
    EXPECT_TRUE(ReadLog().empty());
}

TEST_F(RtcDevice, AFailedWriteKeepsTheRegistryCopySoTheFindingComesAgain) {
    SetRtc({{"machine_type", "2"}, {Hdd(0), "4"}, {"cmos.174", "1"}, {"cmos.175", "1"}});
    g_calls = 0;
    g_failFrom = 1;
    g_pfnReportEvent = FailingReportEvent;
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    EXPECT_TRUE(ReadLog().empty());
    EXPECT_EQ(g_calls, 1);  // the first failure ends the pass's writing
    EXPECT_NE(TraceText().find("ReportEvent failed."), std::string::npos);
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 0);
    EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 0);
    EXPECT_EQ(RegDword(kMemKey, "MemoryErrorsRecode"), 0);

    // The next pass writes what the start-up pass could not, then the copies follow.
    g_failFrom = 0;
    auto records = Pass(rtc);
    if (kReducedModel) {
        EXPECT_EQ(Ids(records), std::vector<DWORD>{0xC004000Au});
    } else {
        EXPECT_EQ(Ids(records), (std::vector<DWORD>{0xC0040009u, 0xC004000Au, 0xC004000Du}));
        EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 1);
    }
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 4);
    EXPECT_TRUE(Pass(rtc).empty());

    // A write failing in the middle: what came before is kept, the rest comes again.
    if (!kReducedModel) {
        SetRtc({{"machine_type", "2"}, {Hdd(0), "6"}, {"cmos.174", "3"}, {"cmos.175", "3"}});
        g_calls = 0;
        g_failFrom = 2;
        CRtcDecice second;
        ASSERT_EQ(second.Initialize(), 0);
        EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 3);
        EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 4);
        EXPECT_EQ(RegDword(kMemKey, "MemoryErrorsRecode"), 1);
        g_failFrom = 0;
        EXPECT_EQ(Ids(Pass(second)), (std::vector<DWORD>{0xC004000Au, 0xC004000Du}));
    }
}

TEST_F(RtcDevice, SwitchesAndMissingRecords) {
    // WATCH=2: polled but neither reported nor compared.
    WriteIni("[HDDBootErrorLog]\nWATCH=2\n[ECCErrorLog]\nWATCH=0\n[MemoryErrors]\nWATCH=0\n");
    SetRtc({{"machine_type", "2"}, {Hdd(0), "4"}, {"cmos.175", "9"}});
    {
        CRtcDecice rtc;
        ASSERT_EQ(rtc.Initialize(), 0);
        EXPECT_TRUE(ReadLog().empty());
        EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 0);
        EXPECT_EQ(RegDword(kEccKey, "ECCerrorLogRecode"), 0);
    }
    // Every switch 0: no pass at all, and Process returns without waiting.
    WriteIni("[HDDBootErrorLog]\nWATCH=0\n[ECCErrorLog]\nWATCH=0\n[MemoryErrors]\nWATCH=0\n");
    SetRtc({{"machine_type", "3"}});
    {
        CRtcDecice rtc;
        ASSERT_EQ(rtc.Initialize(), 0);
        EXPECT_EQ(rtc.Process(), 0);
        EXPECT_EQ(TraceText().find("Other CPU."), std::string::npos);
        EXPECT_EQ(TraceText().find("RTCDevicelistening"), std::string::npos);
    }
    // A record value that is not there disables the item's change detection.
    WriteIni("[HDDBootErrorLog]\nWATCH=1\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServiceKey) + "\\" + kHddKey).c_str(), 0, KEY_SET_VALUE,
                            &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "HDDegreeRecode"), ERROR_SUCCESS);
    RegCloseKey(key);
    SetRtc({{"machine_type", "2"}, {Hdd(0), "4"}});
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    EXPECT_TRUE(ReadLog().empty());
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), -1);  // never created
    EXPECT_NE(TraceText().find("RegQueryValueEx failed."), std::string::npos);
}

TEST_F(RtcDevice, ConfigurationChainAndDefaults) {
    RemoveMonitorKey("RtcSensor");
    CRtcDecice bare;
    ASSERT_EQ(bare.Initialize(), 0);
    EXPECT_EQ(bare.m_dwInterval, 300000u);
    EXPECT_EQ(bare.m_dwWatchHDDBootErrorLog, 1u);
    EXPECT_EQ(bare.m_dwWatchECCErrorLog, kReducedModel ? 0u : 1u);
    std::string trace = TraceText();
    for (const char* line : {"Open Registry failed while getting RTC key.", "Open RTCHDDERR key of Registry failed.",
                             "Open RtcSensor key of Registry failed.", "Open HDDBootErrorLog key of Registry failed."})
        EXPECT_NE(trace.find(line), std::string::npos) << line;
    EXPECT_EQ(trace.find("Open RTCMEMERR key of Registry failed.") == std::string::npos, kReducedModel);

    InstallRegistry();
    WriteIni("[RtcSensor]\nINTERVAL=7\n[HDDBootErrorLog]\nWATCH=-1\n[MemoryErrors]\nWATCH=0\n");
    SetRegDword(kHddKey, "WATCH_HDDBootErrorLog", 2);
    CRtcDecice configured;
    ASSERT_EQ(configured.Initialize(), 0);
    EXPECT_EQ(configured.m_dwInterval, 7000u);
    EXPECT_EQ(configured.m_dwWatchHDDBootErrorLog, 2u);  // -1 in the ini left the registry alone
    EXPECT_EQ(configured.m_dwWatchMemoryErrors, 0u);
    trace = TraceText();
    EXPECT_NE(trace.find("Get HDDBootError WATCH key from config file failed."), std::string::npos);
    EXPECT_EQ(trace.find("Get ECCError WATCH key from config file failed.") == std::string::npos, kReducedModel);
}

TEST_F(RtcDevice, ProcessAbsorbsAtItsIntervalAndEndsOnTheStopEvent) {
    WriteIni("[RtcSensor]\nINTERVAL=1\n");
    CRtcDecice rtc;
    ASSERT_EQ(rtc.Initialize(), 0);
    std::thread run([&] { EXPECT_EQ(rtc.Process(), 0); });
    SetRtc({{"machine_type", "2"}, {Hdd(0), "3"}});
    for (int i = 0; i < 200 && RegDword(kHddKey, "HDDegreeRecode") != 3; ++i) Sleep(100);
    EXPECT_EQ(RegDword(kHddKey, "HDDegreeRecode"), 3);
    HANDLE stop = OpenStopEvent();
    SetEvent(stop);
    CloseHandle(stop);
    run.join();
    EXPECT_TRUE(ReadLog().empty());
    std::string trace = TraceText();
    const char* listening = kReducedModel ? "HDDLog listening enable:1"
                                          : "ECCLog listening enable:1,HDDLog listening enable:1,"
                                            "MemoryErrorLog listening enable:1";
    EXPECT_NE(trace.find(listening), std::string::npos) << trace;
    EXPECT_NE(trace.find("Listening End."), std::string::npos);
    if (kReducedModel) {
        EXPECT_NE(trace.find("RtcSensor\\HDDBootErrorLog"), std::string::npos);
    }
}
