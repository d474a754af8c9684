// CCpuSensor's readings and records against the simulated sensor driver.
#include <gtest/gtest.h>

#include <thread>

#include "gatherer/cpusensor.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"

using namespace mordane;
using namespace gtest_util;

namespace {

// Healthy readings: nothing but the case temperature record.
const std::map<std::string, std::string> kHealthy = {
    {"case_temperature", "31"}, {"cpu_temperature", "45"}, {"cpu_fan", "1000"},
    {"cooling_fan", "1"},       {"power_5v", "5000"},      {"power_12v", "12000"}};

std::map<std::string, std::string> Healthy(std::map<std::string, std::string> changes = {}) {
    auto all = kHealthy;
    for (const auto& [k, v] : changes) all[k] = v;
    return all;
}

class CpuSensor : public ::testing::Test {
protected:
    void SetUp() override {
        InstallRegistry();
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
        SetSensor(kHealthy);
    }
    void TearDown() override {
        g_pfnReportEvent = ReportEventA;
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
    }
    // One poll: read and, when the read worked, write the records. Returns the new records.
    std::vector<Record> Poll(CCpuSensor& sensor, int* readResult = nullptr) {
        size_t before = ReadLog().size();
        int rc = sensor.GetCPUSensorInfo();
        if (readResult) *readResult = rc;
        if (rc == 0) sensor.AddToEventLog();
        auto all = ReadLog();
        return std::vector<Record>(all.begin() + static_cast<long>(before), all.end());
    }
    std::vector<DWORD> Ids(const std::vector<Record>& records) {
        std::vector<DWORD> ids;
        for (const auto& r : records) ids.push_back(r.id);
        return ids;
    }
};

}  // namespace

TEST_F(CpuSensor, HealthyReadingsGiveOnlyTheCaseTemperature) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    auto records = Poll(s);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, MSG_CASE_TEMPERATURE);
    EXPECT_EQ(records[0].id, kReducedModel ? 0x8004000Cu : 0x4004000Cu);
    EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);  // in both models
    EXPECT_EQ(records[0].Value(), 31);
    EXPECT_EQ(records[0].data.size(), 4u);
    EXPECT_TRUE(records[0].strings.empty());
}

TEST_F(CpuSensor, CpuTemperatureLimitsAreInclusiveAndSigned) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor(Healthy({{"cpu_temperature", "75"}}));
    EXPECT_EQ(Ids(Poll(s)), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
    SetSensor(Healthy({{"cpu_temperature", "15"}}));
    EXPECT_EQ(Ids(Poll(s)), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
    SetSensor(Healthy({{"cpu_temperature", "76"}}));
    auto hot = Poll(s);
    ASSERT_EQ(Ids(hot), (std::vector<DWORD>{0x80040001u, MSG_CASE_TEMPERATURE}));
    EXPECT_EQ(hot[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(hot[0].Value(), 76);
    SetSensor(Healthy({{"cpu_temperature", "-1"}}));  // below 15 only when compared signed
    auto cold = Poll(s);
    ASSERT_EQ(Ids(cold), (std::vector<DWORD>{0x80040001u, MSG_CASE_TEMPERATURE}));
    EXPECT_EQ(cold[0].Value(), -1);
}

TEST_F(CpuSensor, SupplyLimitsAreInclusiveAndUnsigned) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor(Healthy({{"power_5v", "5500"}, {"power_12v", "11500"}}));
    EXPECT_EQ(Ids(Poll(s)), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
    SetSensor(Healthy({{"power_5v", "4499"}, {"power_12v", "12501"}}));
    auto r = Poll(s);
    ASSERT_EQ(Ids(r), (std::vector<DWORD>{0x80040003u, 0x80040004u, MSG_CASE_TEMPERATURE}));
    EXPECT_EQ(r[0].Value(), 4499);
    EXPECT_EQ(r[1].Value(), 12501);
    // A lower limit configured as -1 would be 0xFFFFFFFF unsigned: every value is below it.
    SetRegDword("CpuSensor\\PowerVol5", "LIMIT_L", 0xFFFFFFFEu);
    SetRegDword("CpuSensor\\PowerVol5", "LIMIT_H", 0xFFFFFFFFu);
    s.GetConfigFromReg();
    SetSensor(Healthy());
    EXPECT_EQ(Ids(Poll(s)), (std::vector<DWORD>{0x80040003u, MSG_CASE_TEMPERATURE}));
}

TEST_F(CpuSensor, AStoppedFanGivesTheWarningThenTheFailureThenTheCaseTemperature) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor(Healthy({{"cpu_fan", "0"}, {"cooling_fan", "0"}}));
    auto r = Poll(s);
    if (kReducedModel) {
        EXPECT_EQ(Ids(r), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
        return;
    }
    ASSERT_EQ(Ids(r), (std::vector<DWORD>{0x80040002u, 0xC0040005u, 0xC0040006u, 0x4004000Cu}));
    EXPECT_EQ(r[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(r[0].Value(), 0);
    EXPECT_EQ(r[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_TRUE(r[1].data.empty());
    EXPECT_EQ(r[2].type, EVENTLOG_ERROR_TYPE);
    // Fan counts compare unsigned: a huge count is above the upper limit, not below the lower.
    SetSensor(Healthy({{"cpu_fan", "4294967295"}}));
    r = Poll(s);
    ASSERT_EQ(Ids(r), (std::vector<DWORD>{0x80040002u, 0x4004000Cu}));
    EXPECT_EQ(static_cast<DWORD>(r[0].Value()), 0xFFFFFFFFu);
}

TEST_F(CpuSensor, OnlyASwitchOfExactlyOneWatchesAnItem) {
    WriteIni(
        "[CPUTemperature]\nWATCH=2\n[PowerVol5]\nWATCH=0\n[PowerVol12]\nWATCH=0\n"
        "[CPUFanSpins]\nWATCH=0\n[CPUFanFailure]\nWATCH=0\n[CoolingFanFailure]\nWATCH=0\n");
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor({{"cpu_temperature", "99"}, {"power_5v", "0"}, {"power_12v", "0"}, {"cpu_fan", "0"},
               {"cooling_fan", "0"}, {"case_temperature", "28"}});
    auto r = Poll(s);
    ASSERT_EQ(Ids(r), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
    EXPECT_EQ(r[0].Value(), 28);
}

TEST_F(CpuSensor, WithEverySwitchOffTheMonitorDoesNotPollAtAll) {
    WriteIni(
        "[CPUTemperature]\nWATCH=0\n[PowerVol5]\nWATCH=0\n[PowerVol12]\nWATCH=0\n[CaseTemper]\nWATCH=0\n"
        "[CPUFanSpins]\nWATCH=0\n[CPUFanFailure]\nWATCH=0\n[CoolingFanFailure]\nWATCH=0\n");
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    EXPECT_EQ(s.Process(), 0);  // returns at once although the stop event is not set
    EXPECT_TRUE(ReadLog().empty());
    EXPECT_EQ(TraceText().find("CPU sensor listening start"), std::string::npos);
}

TEST_F(CpuSensor, AFailedWriteSkipsTheRestOfThePoll) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor(Healthy({{"cpu_temperature", "90"}, {"power_5v", "1"}, {"power_12v", "1"}}));
    static int calls;
    calls = 0;
    g_pfnReportEvent = [](HANDLE h, WORD type, WORD cat, DWORD id, PSID sid, WORD n, DWORD size, LPCSTR* strings,
                          LPVOID data) -> BOOL {
        if (++calls == 2) {
            SetLastError(ERROR_LOG_FILE_FULL);
            return FALSE;
        }
        return ReportEventA(h, type, cat, id, sid, n, size, strings, data);
    };
    ASSERT_EQ(s.GetCPUSensorInfo(), 0);
    EXPECT_EQ(s.AddToEventLog(), -1);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Ids(ReadLog()), std::vector<DWORD>{0x80040001u});
    EXPECT_NE(TraceText().find("ReportEvent failed."), std::string::npos);
}

TEST_F(CpuSensor, DriverFailuresGiveNoRecordsAndLeaveNoStaleValues) {
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    SetSensor(Healthy({{"cpu_temperature", "90"}}));
    ASSERT_EQ(Poll(s).size(), 2u);

    int rc = 0;
    SetSensor(Healthy({{"cpu_temperature", "20"}, {"reply_bytes", "36"}}));  // a short reply
    EXPECT_TRUE(Poll(s, &rc).empty());
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(s.m_sensor.lCPUTemperature, 90);  // the short reply did not half-overwrite it

    SetSensor(Healthy({{"fail_request", "31"}}));
    EXPECT_TRUE(Poll(s, &rc).empty());
    EXPECT_EQ(rc, -1);
    SetSensor(Healthy({{"fail_open", "2"}}));
    EXPECT_TRUE(Poll(s, &rc).empty());
    EXPECT_EQ(rc, -1);
    std::string trace = TraceText();
    EXPECT_NE(trace.find("Get READ_ALL status failed"), std::string::npos);
    EXPECT_NE(trace.find("SensorDriver open failed."), std::string::npos);

    SetSensor(Healthy());  // the next poll works again
    EXPECT_EQ(Ids(Poll(s, &rc)), std::vector<DWORD>{MSG_CASE_TEMPERATURE});
}

TEST_F(CpuSensor, ProcessTracesItsSettingsPollsAtItsIntervalAndEndsOnTheStopEvent) {
    WriteIni("[CpuSensor]\nINTERVAL=1\n");
    CCpuSensor s;
    ASSERT_EQ(s.Initialize(), 0);
    std::thread run([&] { EXPECT_EQ(s.Process(), 0); });
    for (int i = 0; i < 100 && ReadLog().size() < 2; ++i) Sleep(100);
    HANDLE stop = OpenStopEvent();
    SetEvent(stop);
    CloseHandle(stop);
    run.join();
    EXPECT_GE(ReadLog().size(), 2u);  // at least two polls a second apart
    std::string trace = TraceText();
    // The trace file keeps one line per call, so it shows the CR LF escaped.
    std::string pad = "\\x0D\\x0A" + std::string(29, ' ');
    std::string settings = pad + "CPU temperature:1,LimitH:75,LimitL:15;";
    if (!kReducedModel) settings += pad + "How many times CPU FAN spins:1,LimitH:1280,LimitL:768;";
    settings += pad + "5V  Power Voltage:1,LimitH:5500,LimitL:4500;" + pad +
                "12V  Power Voltage:1,LimitH:12500,LimitL:11500;";
    if (!kReducedModel) settings += pad + "CPU fan failure:1;" + pad + "Cooling fan failure:1;";
    settings += pad + "case temperature:1";
    EXPECT_NE(trace.find(settings), std::string::npos) << trace;
    EXPECT_NE(trace.find("Listening End."), std::string::npos);
}
