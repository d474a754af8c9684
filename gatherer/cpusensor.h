// CCpuSensor: polls the sensor driver "\\.\DRVSENSOR" every WATCH_INTERVAL and writes a
// warning for each value outside its limits, an error for each stopped fan and an
// information record with the case temperature at every poll. The reduced model has no
// fan items and a 44-byte driver record.
#pragma once

#include "gatherer/model.h"
#include "gatherer/monitor.h"

namespace mordane {

// The record the driver fills (little-endian 32-bit fields).
struct SensorRecord {
    DWORD dwCaseTemperature;  // 0: reported as is
    LONG lCPUTemperature;     // 4: compared signed
    DWORD dwCPUFanSpins;      // 8: 0 = the fan stopped
    DWORD dwCoolingFan;       // 12: 0 = cooling fan failure
    BYTE reserved1[12];       // 16
    DWORD dwPowerVol5;        // 28: millivolts
    DWORD dwPowerVol12;       // 32: millivolts
    BYTE reserved2[kReducedModel ? 8 : 4];  // 36
};
static_assert(offsetof(SensorRecord, lCPUTemperature) == 4);
static_assert(offsetof(SensorRecord, dwCPUFanSpins) == 8);
static_assert(offsetof(SensorRecord, dwCoolingFan) == 12);
static_assert(offsetof(SensorRecord, dwPowerVol5) == 28);
static_assert(offsetof(SensorRecord, dwPowerVol12) == 32);
static_assert(sizeof(SensorRecord) == (kReducedModel ? 44 : 40));

inline constexpr DWORD IOCTL_DRVSENSOR_READ_ALL = 0x97000024u;

inline constexpr DWORD MSG_CPU_TEMPERATURE = 0x80040001u;
inline constexpr DWORD MSG_CPU_FAN_SPINS = 0x80040002u;
inline constexpr DWORD MSG_POWER_VOL5 = 0x80040003u;
inline constexpr DWORD MSG_POWER_VOL12 = 0x80040004u;
inline constexpr DWORD MSG_CPU_FAN_FAILURE = 0xC0040005u;
inline constexpr DWORD MSG_COOLING_FAN_FAILURE = 0xC0040006u;
inline constexpr DWORD MSG_CASE_TEMPERATURE = kReducedModel ? 0x8004000Cu : 0x4004000Cu;

class CCpuSensor {
public:
    CCpuSensor();
    ~CCpuSensor();
    CCpuSensor(const CCpuSensor&) = delete;
    CCpuSensor& operator=(const CCpuSensor&) = delete;

    int Initialize();
    int Process();
    int GetCPUSensorInfo();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    // Settings as read by GetConfigFromReg; the interval in milliseconds. The CPU
    // temperature limits are compared as signed numbers, all other limits as unsigned.
    DWORD m_dwInterval;
    DWORD m_dwWatchCPUTemperature;
    DWORD m_dwCPUTemperatureLimitH;
    DWORD m_dwCPUTemperatureLimitL;
    DWORD m_dwWatchCPUFanSpins;
    DWORD m_dwCPUFanSpinsLimitH;
    DWORD m_dwCPUFanSpinsLimitL;
    DWORD m_dwWatchPowerVol5;
    DWORD m_dwPowerVol5LimitH;
    DWORD m_dwPowerVol5LimitL;
    DWORD m_dwWatchPowerVol12;
    DWORD m_dwPowerVol12LimitH;
    DWORD m_dwPowerVol12LimitL;
    DWORD m_dwWatchCPUFanFailure;
    DWORD m_dwWatchCoolingFanFailure;
    DWORD m_dwWatchCaseTemper;

    SensorRecord m_sensor;  // the last reading
    HANDLE m_hStopEvent;

private:
    bool AnyItemWatched() const;
    void SetDefaults();
};

}  // namespace mordane
