// The configuration chain of the CPU sensor monitor: ini file, then registry, then memory.
#include <gtest/gtest.h>

#include "gatherer/cpusensor.h"
#include "gatherer/tests/gatherer_test_util.h"
#include "outside/dbgtrace/dbgtrace.h"

using namespace mordane;
using namespace gtest_util;

namespace {

class CpuConfig : public ::testing::Test {
protected:
    void SetUp() override {
        g_dwTraceHandle = OpenLogManager(kServiceKey, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
        ASSERT_NE(CreateServiceStopEvent(), nullptr);
    }
    void TearDown() override {
        CloseLogManager(g_dwTraceHandle);
        g_dwTraceHandle = 0;
        CloseServiceStopEvent();
    }
};

void ExpectDefaults(const CCpuSensor& s) {
    EXPECT_EQ(s.m_dwInterval, 300000u);
    EXPECT_EQ(s.m_dwWatchCPUTemperature, 1u);
    EXPECT_EQ(s.m_dwCPUTemperatureLimitH, 75u);
    EXPECT_EQ(s.m_dwCPUTemperatureLimitL, 15u);
    EXPECT_EQ(s.m_dwWatchPowerVol5, 1u);
    EXPECT_EQ(s.m_dwPowerVol5LimitH, 5500u);
    EXPECT_EQ(s.m_dwPowerVol5LimitL, 4500u);
    EXPECT_EQ(s.m_dwWatchPowerVol12, 1u);
    EXPECT_EQ(s.m_dwPowerVol12LimitH, 12500u);
    EXPECT_EQ(s.m_dwPowerVol12LimitL, 11500u);
    EXPECT_EQ(s.m_dwWatchCaseTemper, 1u);
    DWORD fan = kReducedModel ? 0u : 1u;  // the reduced model has no fan items
    EXPECT_EQ(s.m_dwWatchCPUFanSpins, fan);
    EXPECT_EQ(s.m_dwWatchCPUFanFailure, fan);
    EXPECT_EQ(s.m_dwWatchCoolingFanFailure, fan);
    EXPECT_EQ(s.m_dwCPUFanSpinsLimitH, 1280u);
    EXPECT_EQ(s.m_dwCPUFanSpinsLimitL, 768u);
}

}  // namespace

TEST_F(CpuConfig, NoIniAndNoSubkeysGiveTheDefaultsAndSayWhy) {
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    ExpectDefaults(sensor);
    std::string trace = TraceText();
    EXPECT_NE(trace.find("Open Registry failed while getting ini config file path."), std::string::npos);
    EXPECT_NE(trace.find("Open cpu temperature key of Registry failed."), std::string::npos);
    EXPECT_NE(trace.find("Open Registry failed while CPUTEMP key."), std::string::npos);
    EXPECT_NE(trace.find("レジストリをオープンするのは失敗でした。"), std::string::npos);
    // Subkeys are opened, never created.
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mordane\\CpuSensor", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
}

TEST_F(CpuConfig, InstalledKeysWithoutIniGiveTheDefaultsAndTraceEachMissingKey) {
    InstallRegistry();
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    ExpectDefaults(sensor);
    std::string trace = TraceText();
    EXPECT_NE(trace.find("Get INTERVAL key from config file failed."), std::string::npos);
    EXPECT_NE(trace.find("Get CPUTemp LIMIT_H key from config file failed."), std::string::npos);
    EXPECT_NE(trace.find("Get PowerVol12 LIMIT_L key from config file failed."), std::string::npos);
    EXPECT_NE(trace.find("Read Registry failed while getting INTERVAL key."), std::string::npos);
    EXPECT_NE(trace.find("レジストリのCPU温度上限を読むのは失敗でした。"), std::string::npos);
    EXPECT_EQ(trace.find("Get CPUFanSpins WATCH key from config file failed.") != std::string::npos, !kReducedModel);
    EXPECT_EQ(RegDword("CpuSensor\\CPUTemperature", "LIMIT_H"), -1);  // nothing written
}

TEST_F(CpuConfig, IniValuesReachTheRegistryAndMemoryButMinusOneDoesNot) {
    InstallRegistry();
    SetRegDword("CpuSensor\\CPUTemperature", "LIMIT_H", 80);  // an earlier start's value
    WriteIni(
        "[CpuSensor]\nINTERVAL=7\n"
        "[CPUTemperature]\nWATCH=1\nLIMIT_L=-5\nLIMIT_H=-1\n"
        "[PowerVol5]\nWATCH=2\nLIMIT_H=5600\n"
        "[CPUFanSpins]\nWATCH=0\nLIMIT_L=100\n");
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    EXPECT_EQ(RegDword("CpuSensor", "WATCH_INTERVAL"), 7);
    EXPECT_EQ(sensor.m_dwInterval, 7000u);
    EXPECT_EQ(RegDword("CpuSensor\\CPUTemperature", "LIMIT_H"), 80);  // -1 means absent
    EXPECT_EQ(sensor.m_dwCPUTemperatureLimitH, 80u);
    EXPECT_EQ(static_cast<LONG>(sensor.m_dwCPUTemperatureLimitL), -5);
    EXPECT_EQ(RegDword("CpuSensor\\PowerVol5", "WATCH_PowerVol5"), 2);
    EXPECT_EQ(sensor.m_dwWatchPowerVol5, 2u);
    EXPECT_EQ(sensor.m_dwPowerVol5LimitH, 5600u);
    EXPECT_EQ(sensor.m_dwPowerVol5LimitL, 4500u);
    // The reduced model neither copies nor reads the fan items.
    EXPECT_EQ(RegDword("CpuSensor\\CPUFanSpins", "LIMIT_L"), kReducedModel ? -1 : 100);
    EXPECT_EQ(sensor.m_dwCPUFanSpinsLimitL, kReducedModel ? 768u : 100u);
    EXPECT_NE(TraceText().find("Get CPUTemp LIMIT_H key from config file failed."), std::string::npos);
}

TEST_F(CpuConfig, TheIniPathComesFromTheServiceKey) {
    InstallRegistry();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const char path[] = "D:\\conf\\gatherer.ini";
    ASSERT_EQ(RegSetValueExA(key, "INIPATH", 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
              ERROR_SUCCESS);
    RegCloseKey(key);
    WriteIni("[CpuSensor]\nINTERVAL=9\n");                  // the default path: not read
    WriteIni("[CpuSensor]\nINTERVAL=11\n", path);
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    EXPECT_EQ(sensor.m_dwInterval, 11000u);
}

TEST_F(CpuConfig, ASecondStartFindsTheRegistryAfterTheIniFileWasRemoved) {
    InstallRegistry();
    WriteIni("[CpuSensor]\nINTERVAL=42\n[CaseTemper]\nWATCH=0\n[PowerVol12]\nLIMIT_L=11000\n");
    {
        CCpuSensor first;
        ASSERT_EQ(first.Initialize(), 0);
    }
    RemoveIni();
    CCpuSensor second;
    ASSERT_EQ(second.Initialize(), 0);
    EXPECT_EQ(second.m_dwInterval, 42000u);
    EXPECT_EQ(second.m_dwWatchCaseTemper, 0u);
    EXPECT_EQ(second.m_dwPowerVol12LimitL, 11000u);
}

TEST_F(CpuConfig, AMissingItemSubkeyGivesThatItemItsDefaults) {
    InstallRegistry();
    WriteIni("[PowerVol5]\nWATCH=0\nLIMIT_H=1\n[PowerVol12]\nWATCH=0\n");
    RemoveMonitorKey("CpuSensor\\PowerVol5");
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    EXPECT_EQ(sensor.m_dwWatchPowerVol5, 1u);
    EXPECT_EQ(sensor.m_dwPowerVol5LimitH, 5500u);
    EXPECT_EQ(sensor.m_dwWatchPowerVol12, 0u);
    EXPECT_NE(TraceText().find("Open Registry failed while getting POWERVOL5 key."), std::string::npos);
}

TEST_F(CpuConfig, ARegistryValueOfTheWrongTypeTakesItsDefault) {
    InstallRegistry();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Mordane\\CpuSensor", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "WATCH_INTERVAL", 0, REG_SZ, reinterpret_cast<const BYTE*>("5"), 2), ERROR_SUCCESS);
    RegCloseKey(key);
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    EXPECT_EQ(sensor.m_dwInterval, 300000u);
}

TEST(Interval, SecondsBecomeMillisecondsWithoutOverflowAndWithAFloor) {
    EXPECT_EQ(SecondsToMilliseconds(0), kMinIntervalMs);  // never a tight loop
    EXPECT_EQ(SecondsToMilliseconds(1), 1000u);
    EXPECT_EQ(SecondsToMilliseconds(300), 300000u);
    // 4294968 s is the first value whose milliseconds do not fit 32 bits.
    EXPECT_EQ(SecondsToMilliseconds(4294967), 4294967000u);
    EXPECT_EQ(SecondsToMilliseconds(4294968), kMaxIntervalMs);
    EXPECT_EQ(SecondsToMilliseconds(0xFFFFFFFFu), kMaxIntervalMs);
    EXPECT_NE(kMaxIntervalMs, INFINITE);
}

TEST(StopEvent, MonitorsGetTheServicesPrivateEvent) {
    EXPECT_EQ(OpenStopEvent(), nullptr);  // no service event yet
    HANDLE stop = CreateServiceStopEvent();
    ASSERT_NE(stop, nullptr);
    HANDLE mine = OpenStopEvent();
    ASSERT_NE(mine, nullptr);
    // Another holder of the well-known name cannot reach it.
    HANDLE named = CreateEventA(nullptr, TRUE, TRUE, "EndListen");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(WaitForSingleObject(mine, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(stop);
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
    CloseHandle(named);
    CloseHandle(mine);
    CloseServiceStopEvent();
}

// A value that would wrap (a negative interval, a 20-digit number) is refused with a line
// naming the key, and the registry keeps what an earlier start stored. Temperatures may
// be below zero; counts, millivolts and intervals may not.
TEST_F(CpuConfig, NegativeOrHugeIniValuesAreRefusedAndTheRegistryKeepsItsValue) {
    InstallRegistry();
    SetRegDword("CpuSensor", "WATCH_INTERVAL", 60);
    SetRegDword("CpuSensor\\PowerVol5", "LIMIT_H", 5600);
    SetRegDword("CpuSensor\\PowerVol12", "LIMIT_L", 11000);
    WriteIni(
        "[CpuSensor]\nINTERVAL=-5\n"
        "[CPUTemperature]\nWATCH=1\nLIMIT_L=-20\nLIMIT_H=99999999999999999999\n"
        "[PowerVol5]\nLIMIT_H=4294967296\n"
        "[PowerVol12]\nLIMIT_L=-3\nLIMIT_H=4294967295\n");
    CCpuSensor sensor;
    ASSERT_EQ(sensor.Initialize(), 0);
    EXPECT_EQ(RegDword("CpuSensor", "WATCH_INTERVAL"), 60);
    EXPECT_EQ(sensor.m_dwInterval, 60000u);
    EXPECT_EQ(static_cast<LONG>(sensor.m_dwCPUTemperatureLimitL), -20);
    EXPECT_EQ(sensor.m_dwCPUTemperatureLimitH, 75u);
    EXPECT_EQ(sensor.m_dwPowerVol5LimitH, 5600u);
    EXPECT_EQ(sensor.m_dwPowerVol12LimitL, 11000u);
    EXPECT_EQ(sensor.m_dwPowerVol12LimitH, 4294967295u);
    const std::string trace = TraceText();
    for (const char* line : {"Illegal value of INTERVAL key in section CpuSensor of config file: -5.",
                             "Illegal value of LIMIT_H key in section CPUTemperature of config file: 99999999999999999999.",
                             "Illegal value of LIMIT_H key in section PowerVol5 of config file: 4294967296.",
                             "Illegal value of LIMIT_L key in section PowerVol12 of config file: -3."})
        EXPECT_NE(trace.find(line), std::string::npos) << line << "\n" << trace;
}

TEST(IniNumber, TheRangesOfSignedAndUnsignedKeys) {
    WriteIni("[S]\nA=-1\nB=-0\nC=0x10\nD=-2147483648\nE=-2147483649\nF=2147483648\nG=abc\nH=\n");
    struct Case {
        const char* key;
        bool isSigned;
        IniNumber result;
        DWORD value;
    };
    const Case cases[] = {
        {"A", false, kIniMissing, 0},          {"A", true, kIniMissing, 0},
        {"B", false, kIniValue, 0},            {"C", false, kIniValue, 16},
        {"D", true, kIniValue, 0x80000000u},   {"D", false, kIniRefused, 0},
        {"E", true, kIniRefused, 0},           {"F", true, kIniRefused, 0},
        {"F", false, kIniValue, 0x80000000u},  {"G", false, kIniValue, 0},
        {"H", false, kIniMissing, 0},          {"Z", false, kIniMissing, 0},
    };
    for (const Case& c : cases) {
        DWORD value = 0;
        EXPECT_EQ(ReadIniNumber("C:\\WINDOWS\\system32\\Mordane.ini", "S", c.key, "test", value, c.isSigned), c.result)
            << c.key << " signed " << c.isSigned;
        if (c.result == kIniValue) {
            EXPECT_EQ(value, c.value) << c.key;
        }
    }
}
