// CCpuSensor (see cpusensor.h). The items differ only in names, traces, defaults and the
// members they fill, so one table drives the ini, registry and event-log steps.
#include "gatherer/cpusensor.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace mordane {

namespace {

constexpr const char* kSetLabel = "CCpuSensor::SetConfigToReg";
constexpr const char* kGetLabel = "CCpuSensor::GetConfigFromReg";
constexpr const char* kReadLabel = "CCpuSensor::GetCPUSensorInfo";
constexpr const char* kAddLabel = "CCpuSensor::AddToEventLog";
constexpr const char* kGenericOpenFailed = "レジストリをオープンするのは失敗でした。";

using Member = DWORD CCpuSensor::*;

struct Item {
    const char* section;  // ini section = registry subkey under CpuSensor
    bool fullModelOnly;
    const char* iniTag;       // "Get <tag> WATCH key from config file failed."
    const char* setOpenTrace;  // SetConfigToReg: subkey missing
    const char* getOpenTrace;  // GetConfigFromReg: subkey missing
    const char* watchTrace;    // GetConfigFromReg: WATCH_<section> missing
    Member watch;
    // Limits (null members for switch-only items); CPU temperature reads LIMIT_L first.
    bool lowFirst;
    Member limitH;
    DWORD defaultH;
    const char* limitHTrace;
    Member limitL;
    DWORD defaultL;
    const char* limitLTrace;
    bool signedLimits = false;  // degrees may be below zero; counts and millivolts not
};

const Item kItems[] = {
    {"CPUTemperature", false, "CPUTemp", "Open cpu temperature key of Registry failed.",
     "Open Registry failed while CPUTEMP key.", "Read Registry failed while getting WATCH key.",
     &CCpuSensor::m_dwWatchCPUTemperature, true, &CCpuSensor::m_dwCPUTemperatureLimitH, 75,
     "レジストリのCPU温度上限を読むのは失敗でした。", &CCpuSensor::m_dwCPUTemperatureLimitL, 15,
     "レジストリのCPU温度下限を読むのは失敗でした。", true},
    {"CPUFanSpins", true, "CPUFanSpins", "Open Registry failed while getting CPU FAN spins key.",
     kGenericOpenFailed, "レジストリのCPUファン回転数監視かを読むのは失敗でした。",
     &CCpuSensor::m_dwWatchCPUFanSpins, false, &CCpuSensor::m_dwCPUFanSpinsLimitH, 1280,
     "レジストリのCPUファン回転数上限を読むのは失敗でした。", &CCpuSensor::m_dwCPUFanSpinsLimitL, 768,
     "レジストリのCPUファン回転数下限を読むのは失敗でした。"},
    {"PowerVol5", false, "PowerVol5", "Open Registry failed while getting POWERVOL5 key.",
     kGenericOpenFailed, "レジストリの5Vpower監視かを読むのは失敗でした。", &CCpuSensor::m_dwWatchPowerVol5,
     false, &CCpuSensor::m_dwPowerVol5LimitH, 5500, "レジストリの5Vpower上限を読むのは失敗でした。",
     &CCpuSensor::m_dwPowerVol5LimitL, 4500, "レジストリの5Vpower下限を読むのは失敗でした。"},
    {"PowerVol12", false, "PowerVol12", "Open Registry failed while getting POWERVOL12 key.",
     kGenericOpenFailed, "レジストリの12Vpower監視かを読むのは失敗でした。", &CCpuSensor::m_dwWatchPowerVol12,
     false, &CCpuSensor::m_dwPowerVol12LimitH, 12500, "レジストリの12Vpower上限を読むのは失敗でした。",
     &CCpuSensor::m_dwPowerVol12LimitL, 11500, "レジストリの12Vpower下限を読むのは失敗でした。"},
    {"CPUFanFailure", true, "CPUFanFAIL", "Open Registry failed while getting CPUFanFAIL key.",
     kGenericOpenFailed, "レジストリのCPU fan failure監視かを読むのは失敗でした。",
     &CCpuSensor::m_dwWatchCPUFanFailure, false, nullptr, 0, nullptr, nullptr, 0, nullptr},
    {"CoolingFanFailure", true, "COOLFanFAIL", "Open Registry failed while getting COOLFanFAIL key.",
     kGenericOpenFailed, "レジストリのCooling fan failure監視かを読むのは失敗でした。",
     &CCpuSensor::m_dwWatchCoolingFanFailure, false, nullptr, 0, nullptr, nullptr, 0, nullptr},
    {"CaseTemper", false, "CASETEMP", "Open Registry failed while getting CASETEMP key.",
     kGenericOpenFailed, "レジストリのcase監視かを読むのは失敗でした。", &CCpuSensor::m_dwWatchCaseTemper,
     false, nullptr, 0, nullptr, nullptr, 0, nullptr},
};

bool InThisModel(const Item& item) { return !(kReducedModel && item.fullModelOnly); }

std::string SubkeyOf(const Item& item) { return std::string("CpuSensor\\") + item.section; }

std::string IniTrace(const Item& item, const char* key) {
    return std::string("Get ") + item.iniTag + " " + key + " key from config file failed.";
}

constexpr DWORD kDefaultIntervalSeconds = 300;

}  // namespace

CCpuSensor::CCpuSensor() : m_sensor{}, m_hStopEvent(nullptr) { SetDefaults(); }

CCpuSensor::~CCpuSensor() {
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

void CCpuSensor::SetDefaults() {
    m_dwInterval = SecondsToMilliseconds(kDefaultIntervalSeconds);
    for (const Item& item : kItems) {
        this->*item.watch = InThisModel(item) ? 1 : 0;
        if (item.limitH != nullptr) {
            this->*item.limitH = item.defaultH;
            this->*item.limitL = item.defaultL;
        }
    }
}

int CCpuSensor::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace("CCpuSensor::Initialize", "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    return 0;
}

int CCpuSensor::SetConfigToReg() {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, kSetLabel);
    int result = 0;

    if (HKEY key = OpenMonitorKeyForWrite("CpuSensor")) {
        CopyIniValueToReg(key, ini, "CpuSensor", "INTERVAL", "WATCH_INTERVAL", kSetLabel,
                          "Get INTERVAL key from config file failed.");
        RegCloseKey(key);
    } else {
        Trace(kSetLabel, "Open Registry failed.");
        result = -1;
    }

    for (const Item& item : kItems) {
        if (!InThisModel(item)) continue;
        HKEY key = OpenMonitorKeyForWrite(SubkeyOf(item).c_str());
        if (key == nullptr) {
            Trace(kSetLabel, "%s", item.setOpenTrace);
            result = -1;
            continue;
        }
        std::string watchName = std::string("WATCH_") + item.section;
        CopyIniValueToReg(key, ini, item.section, "WATCH", watchName.c_str(), kSetLabel,
                          IniTrace(item, "WATCH").c_str());
        if (item.limitH != nullptr) {
            const char* order[2] = {"LIMIT_H", "LIMIT_L"};
            if (item.lowFirst) std::swap(order[0], order[1]);
            for (const char* limit : order) {
                CopyIniValueToReg(key, ini, item.section, limit, limit, kSetLabel, IniTrace(item, limit).c_str(),
                                  item.signedLimits);
            }
        }
        RegCloseKey(key);
    }
    return result;
}

int CCpuSensor::GetConfigFromReg() {
    int result = 0;
    HKEY key = OpenMonitorKeyForRead("CpuSensor");
    if (key == nullptr) {
        Trace(kGetLabel, "Open Registry failed.");
        result = -1;
    }
    DWORD seconds = ReadRegDword(key, "WATCH_INTERVAL", kDefaultIntervalSeconds, kGetLabel,
                                 "Read Registry failed while getting INTERVAL key.");
    m_dwInterval = SecondsToMilliseconds(seconds);
    if (key != nullptr) RegCloseKey(key);

    for (const Item& item : kItems) {
        if (!InThisModel(item)) continue;
        key = OpenMonitorKeyForRead(SubkeyOf(item).c_str());
        if (key == nullptr) {
            Trace(kGetLabel, "%s", item.getOpenTrace);
            result = -1;
        }
        std::string watchName = std::string("WATCH_") + item.section;
        this->*item.watch = ReadRegDword(key, watchName.c_str(), 1, kGetLabel, item.watchTrace);
        if (item.limitH != nullptr) {
            this->*item.limitL = ReadRegDword(key, "LIMIT_L", item.defaultL, kGetLabel, item.limitLTrace);
            this->*item.limitH = ReadRegDword(key, "LIMIT_H", item.defaultH, kGetLabel, item.limitHTrace);
        }
        if (key != nullptr) RegCloseKey(key);
    }
    return result;
}

bool CCpuSensor::AnyItemWatched() const {
    for (const Item& item : kItems) {
        if (InThisModel(item) && this->*item.watch == 1) return true;
    }
    return false;
}

int CCpuSensor::Process() {
    if (!AnyItemWatched()) return 0;
    if (m_hStopEvent == nullptr) return -1;

    // The settings line: one indented line per item of this model.
    const char* indent = "\r\n                             ";  // CR LF and 29 blanks
    char line[160];
    std::string settings;
    auto add = [&](const char* format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        settings += indent;
        settings += line;
    };
    add("CPU temperature:%d,LimitH:%d,LimitL:%d;", static_cast<int>(m_dwWatchCPUTemperature),
        static_cast<int>(m_dwCPUTemperatureLimitH), static_cast<int>(m_dwCPUTemperatureLimitL));
    if (!kReducedModel) {
        add("How many times CPU FAN spins:%d,LimitH:%d,LimitL:%d;", static_cast<int>(m_dwWatchCPUFanSpins),
            static_cast<int>(m_dwCPUFanSpinsLimitH), static_cast<int>(m_dwCPUFanSpinsLimitL));
    }
    add("5V  Power Voltage:%d,LimitH:%d,LimitL:%d;", static_cast<int>(m_dwWatchPowerVol5),
        static_cast<int>(m_dwPowerVol5LimitH), static_cast<int>(m_dwPowerVol5LimitL));
    add("12V  Power Voltage:%d,LimitH:%d,LimitL:%d;", static_cast<int>(m_dwWatchPowerVol12),
        static_cast<int>(m_dwPowerVol12LimitH), static_cast<int>(m_dwPowerVol12LimitL));
    if (!kReducedModel) {
        add("CPU fan failure:%d;", static_cast<int>(m_dwWatchCPUFanFailure));
        add("Cooling fan failure:%d;", static_cast<int>(m_dwWatchCoolingFanFailure));
    }
    add("case temperature:%d", static_cast<int>(m_dwWatchCaseTemper));
    Trace("CPU sensor listening start", "%s", settings.c_str());

    for (;;) {
        if (GetCPUSensorInfo() == 0) AddToEventLog();
        if (WaitForSingleObject(m_hStopEvent, m_dwInterval) != WAIT_TIMEOUT) break;
    }
    Trace("CPUSensor", "Listening End.");
    return 0;
}

int CCpuSensor::GetCPUSensorInfo() {
    HANDLE driver = CreateFileA("\\\\.\\DRVSENSOR", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (driver == INVALID_HANDLE_VALUE) {
        Trace(kReadLabel, "SensorDriver open failed.");
        return -1;
    }
    // Read into a fresh record: a failed or short reply must not leave a mix of old and new
    // values behind for the next AddToEventLog.
    SensorRecord reading{};
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(driver, IOCTL_DRVSENSOR_READ_ALL, nullptr, 0, &reading, sizeof reading,
                              &returned, nullptr);
    CloseHandle(driver);
    if (!ok || returned < sizeof reading) {
        Trace(kReadLabel, "Get READ_ALL status failed");
        return -1;
    }
    m_sensor = reading;
    return 0;
}

int CCpuSensor::AddToEventLog() {
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) {
        Trace(kAddLabel, "RegisterEventSource failed.");
        return -1;
    }
    bool failed = false;
    auto write = [&](bool when, WORD type, DWORD id, const void* data, DWORD size) {
        if (failed || !when) return;
        if (!g_pfnReportEvent(source, type, 0, id, nullptr, 0, size, nullptr, const_cast<void*>(data))) {
            Trace(kAddLabel, "ReportEvent failed.");
            failed = true;
        }
    };
    const SensorRecord& s = m_sensor;
    const LONG tempH = static_cast<LONG>(m_dwCPUTemperatureLimitH);
    const LONG tempL = static_cast<LONG>(m_dwCPUTemperatureLimitL);
    write(m_dwWatchCPUTemperature == 1 && (s.lCPUTemperature > tempH || s.lCPUTemperature < tempL),
          EVENTLOG_WARNING_TYPE, MSG_CPU_TEMPERATURE, &s.lCPUTemperature, 4);
    if (!kReducedModel) {
        write(m_dwWatchCPUFanSpins == 1 &&
                  (s.dwCPUFanSpins > m_dwCPUFanSpinsLimitH || s.dwCPUFanSpins < m_dwCPUFanSpinsLimitL),
              EVENTLOG_WARNING_TYPE, MSG_CPU_FAN_SPINS, &s.dwCPUFanSpins, 4);
    }
    write(m_dwWatchPowerVol5 == 1 && (s.dwPowerVol5 > m_dwPowerVol5LimitH || s.dwPowerVol5 < m_dwPowerVol5LimitL),
          EVENTLOG_WARNING_TYPE, MSG_POWER_VOL5, &s.dwPowerVol5, 4);
    write(m_dwWatchPowerVol12 == 1 &&
              (s.dwPowerVol12 > m_dwPowerVol12LimitH || s.dwPowerVol12 < m_dwPowerVol12LimitL),
          EVENTLOG_WARNING_TYPE, MSG_POWER_VOL12, &s.dwPowerVol12, 4);
    if (!kReducedModel) {
        write(m_dwWatchCPUFanFailure == 1 && s.dwCPUFanSpins == 0, EVENTLOG_ERROR_TYPE, MSG_CPU_FAN_FAILURE,
              nullptr, 0);
        write(m_dwWatchCoolingFanFailure == 1 && s.dwCoolingFan == 0, EVENTLOG_ERROR_TYPE,
              MSG_COOLING_FAN_FAILURE, nullptr, 0);
    }
    // Information type in both models, although the reduced model's identifier carries the
    // warning severity: readers match on the identifier and the type separately.
    write(m_dwWatchCaseTemper == 1, EVENTLOG_INFORMATION_TYPE, MSG_CASE_TEMPERATURE, &s.dwCaseTemperature, 4);
    DeregisterEventSource(source);
    return failed ? -1 : 0;
}

}  // namespace mordane
