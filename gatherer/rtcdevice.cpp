// CRtcDecice (see rtcdevice.h). The three items differ only in names, traces, the bytes
// they compare and the record they write, so one table drives the ini, registry and
// event-log steps.
//
// A record is written only for a change found in the start-up pass, and the registry copy
// is updated only after its record was written: a record that could not be written leaves
// the copy as it was and keeps the item's report due, so a later pass writes it instead of
// absorbing the change.
#include "gatherer/rtcdevice.h"

#include <string>

#include "outside/dbgtrace/dbgtrace.h"

namespace mordane {

namespace {

constexpr const char* kInitLabel = "CRtcDecice::Initialize";
constexpr const char* kSetLabel = "CRtcDecice::SetConfigToReg";
constexpr const char* kGetLabel = "CRtcDecice::GetConfigFromReg";
constexpr const char* kReadLabel = "CRtcDecice::GetRTCInfo";
constexpr const char* kAddLabel = "CRtcDecice::AddToEventLog";
constexpr const char* kChangLabel = "CRtcDecice::isChang";

using Member = DWORD CRtcDecice::*;

enum ItemIndex { kEcc = 0, kHdd = 1, kMemory = 2 };

struct Item {
    const char* section;  // ini section = registry subkey under RtcSensor
    bool fullModelOnly;
    bool errorCount;  // read only on machine type 2 of the full model
    const char* setOpenTrace;
    const char* iniTrace;
    const char* getOpenTrace;
    const char* watchTrace;
    const char* watchName;
    Member watch;
    DWORD eventId;
    const char* records[4];  // the registry copies of data bytes 0..n-1
    int recordCount;
};

// In the order AddToEventLog handles them.
const Item kItems[3] = {
    {"ECCErrorLog", true, true, "Open RTCECCERR key of Registry failed.",
     "Get ECCError WATCH key from config file failed.", "Open ECCErrorLog key of Registry failed.",
     "Read Registry failed while getting WATCH_ECCERR.", "WATCH_ECCErrorLog", &CRtcDecice::m_dwWatchECCErrorLog,
     MSG_ECC_ERRORS, {"ECCerrorLogRecode"}, 1},
    {"HDDBootErrorLog", false, false, "Open RTCHDDERR key of Registry failed.",
     "Get HDDBootError WATCH key from config file failed.", "Open HDDBootErrorLog key of Registry failed.",
     "Read Registry failed while getting WATCH_HDDERR.", "WATCH_HDDBootErrorLog",
     &CRtcDecice::m_dwWatchHDDBootErrorLog, MSG_HDD_BOOT_ERROR,
     {"HDDegreeRecode", "HDMonthRecode", "HDDateRecode", "HDtimeRecode"}, 4},
    {"MemoryErrors", true, true, "Open RTCMEMERR key of Registry failed.",
     "Get MemoryERR WATCH key from config file failed.", "Open MemoryErrors key of Registry failed.",
     "Read Registry failed while getting WATCH_MEMERR.", "WATCH_MemoryErrors", &CRtcDecice::m_dwWatchMemoryErrors,
     MSG_MEMORY_ERRORS, {"MemoryErrorsRecode"}, 1},
};

bool InThisModel(const Item& item) { return !(kReducedModel && item.fullModelOnly); }

std::string SubkeyOf(const Item& item) { return std::string("RtcSensor\\") + item.section; }

// The bytes an item's record carries; its first recordCount bytes have registry copies.
const BYTE* ItemData(const RtcReading& r, int item, DWORD& size) {
    switch (item) {
        case kEcc: size = 1; return &r.byECCErrors;
        case kHdd: size = 5; return r.byHDDBootErrorLog;
        default: size = 1; return &r.byMemoryErrors;
    }
}

// RTC memory indices of the HDD boot error log, bytes 0 to 4.
constexpr BYTE kHddIndicesType1[5] = {153, 154, 155, 156, 157};
constexpr BYTE kHddIndicesType1Reduced[5] = {160, 161, 162, 163, 157};
constexpr BYTE kHddIndicesType2[5] = {169, 170, 171, 172, 173};
constexpr BYTE kMemoryErrorsIndex = 174;
constexpr BYTE kEccErrorsIndex = 175;

constexpr DWORD kDefaultIntervalSeconds = 300;

// The driver's answer must be as long as asked: a shorter one is a failed read, not a
// value of 0.
bool ReadRtcByte(HANDLE driver, BYTE index, BYTE& value) {
    BYTE out = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(driver, IOCTL_RTCDRV_READ_BYTE, &index, 1, &out, 1, &returned, nullptr) || returned < 1)
        return false;
    value = out;
    return true;
}

std::string RecordKeyPath(const std::string& subkey) { return std::string(kServiceKey) + "\\" + subkey; }

// The subkey of a record, opened as isChang opens it; null (traced) when it cannot be.
HKEY OpenRecordKey(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RecordKeyPath(subkey).c_str(), 0,
                      KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        Trace(kChangLabel, "RegOpenKeyEx failed.");
        return nullptr;
    }
    return key;
}

// 1 when the record exists and differs from value; 0 when equal or unreadable (a missing
// record never counts as a change).
int RecordDiffers(const std::string& subkey, const char* valueName, BYTE value) {
    HKEY key = OpenRecordKey(subkey);
    if (key == nullptr) return 0;
    DWORD stored = 0, type = 0, size = sizeof stored;
    LONG rc = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof stored) {
        Trace(kChangLabel, "RegQueryValueEx failed.");
        return 0;
    }
    if (stored == value) {
        if (kReducedModel) DebugLogData(g_dwTraceHandle, 2, kChangLabel, "No Change");
        return 0;
    }
    return 1;
}

// 1 when the record now holds value.
int UpdateRecord(const std::string& subkey, const char* valueName, BYTE value) {
    HKEY key = OpenRecordKey(subkey);
    if (key == nullptr) return 0;
    DWORD data = value;
    LONG rc = RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace(kChangLabel, "RegSetValueEx failed.");
        return 0;
    }
    if (kReducedModel) DebugLogData(g_dwTraceHandle, 2, kChangLabel, "%s", RecordKeyPath(subkey).c_str());
    return 1;
}

}  // namespace

CRtcDecice::CRtcDecice() : m_rtc{}, m_bStartUpPass(FALSE), m_bReportDue{}, m_hStopEvent(nullptr) { SetDefaults(); }

CRtcDecice::~CRtcDecice() {
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

void CRtcDecice::SetDefaults() {
    m_dwInterval = SecondsToMilliseconds(kDefaultIntervalSeconds);
    for (const Item& item : kItems) this->*item.watch = InThisModel(item) ? 1 : 0;
}

bool CRtcDecice::AnyItemPolled() const {
    for (const Item& item : kItems) {
        if (InThisModel(item) && this->*item.watch != 0) return true;
    }
    return false;
}

int CRtcDecice::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace(kInitLabel, "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    // The start-up pass: the only one that writes records. A monitor switched off
    // entirely does not touch the driver.
    if (AnyItemPolled()) {
        m_bStartUpPass = TRUE;
        if (GetRTCInfo() == 0) AddToEventLog();
        m_bStartUpPass = FALSE;
    }
    return 0;
}

int CRtcDecice::SetConfigToReg() {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, kSetLabel);
    int result = 0;

    if (HKEY key = OpenMonitorKeyForWrite("RtcSensor")) {
        CopyIniValueToReg(key, ini, "RtcSensor", "INTERVAL", "WATCH_INTERVAL", kSetLabel,
                          "Get INTERVAL key from config file failed.");
        RegCloseKey(key);
    } else {
        Trace(kSetLabel, "Open Registry failed while getting RTC key.");
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
        CopyIniValueToReg(key, ini, item.section, "WATCH", item.watchName, kSetLabel, item.iniTrace);
        RegCloseKey(key);
    }
    return result;
}

int CRtcDecice::GetConfigFromReg() {
    int result = 0;
    HKEY key = OpenMonitorKeyForRead("RtcSensor");
    if (key == nullptr) {
        Trace(kGetLabel, "Open RtcSensor key of Registry failed.");
        result = -1;
    }
    DWORD seconds = ReadRegDword(key, "WATCH_INTERVAL", kDefaultIntervalSeconds, kGetLabel,
                                 "Read Registry failed while getting WATCH_INTERVAL.");
    m_dwInterval = SecondsToMilliseconds(seconds);
    if (key != nullptr) RegCloseKey(key);

    for (const Item& item : kItems) {
        if (!InThisModel(item)) continue;
        key = OpenMonitorKeyForRead(SubkeyOf(item).c_str());
        if (key == nullptr) {
            Trace(kGetLabel, "%s", item.getOpenTrace);
            result = -1;
        }
        this->*item.watch = ReadRegDword(key, item.watchName, 1, kGetLabel, item.watchTrace);
        if (key != nullptr) RegCloseKey(key);
    }
    return result;
}

int CRtcDecice::Process() {
    if (!AnyItemPolled()) return 0;
    if (m_hStopEvent == nullptr) return -1;
    if (kReducedModel) {
        Trace("RTCDevicelistening", "HDDLog listening enable:%d", static_cast<int>(m_dwWatchHDDBootErrorLog));
    } else {
        Trace("RTCDevicelistening", "ECCLog listening enable:%d,HDDLog listening enable:%d,MemoryErrorLog listening enable:%d",
              static_cast<int>(m_dwWatchECCErrorLog), static_cast<int>(m_dwWatchHDDBootErrorLog),
              static_cast<int>(m_dwWatchMemoryErrors));
    }
    // A stop that came during the start-up pass ends the thread before another read.
    while (WaitForSingleObject(m_hStopEvent, 0) == WAIT_TIMEOUT) {
        if (GetRTCInfo() == 0) AddToEventLog();
        if (WaitForSingleObject(m_hStopEvent, m_dwInterval) != WAIT_TIMEOUT) break;
    }
    Trace("RTC", "Listening End.");
    return 0;
}

int CRtcDecice::GetRTCInfo() {
    HANDLE driver = CreateFileA("\\\\.\\RTCDRV", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (driver == INVALID_HANDLE_VALUE) {
        Trace(kReadLabel, "RTCDriver open failed.");
        return -1;
    }
    // Read into a fresh reading: a failed pass must leave nothing half-read behind.
    RtcReading r{};
    auto fail = [&](const char* text) {
        Trace(kReadLabel, "%s", text);
        CloseHandle(driver);
        return -1;
    };
    BYTE type[4] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(driver, IOCTL_RTCDRV_GET_MACHINE_TYPE, nullptr, 0, type, sizeof type, &returned, nullptr) ||
        returned < sizeof type) {
        return fail("Get MACHINE_TYPE failed.");
    }
    r.byMachineType = type[0];
    const BYTE* hdd = nullptr;
    bool counts = false;
    if (r.byMachineType == 1) {
        hdd = kReducedModel ? kHddIndicesType1Reduced : kHddIndicesType1;
    } else if (r.byMachineType == 2) {
        hdd = kHddIndicesType2;
        counts = !kReducedModel;
    } else {
        return fail("Other CPU.");
    }
    for (int i = 0; i < 5; ++i) {
        if (!ReadRtcByte(driver, hdd[i], r.byHDDBootErrorLog[i])) return fail("Get HDD boot error log failed.");
    }
    if (counts) {
        if (!ReadRtcByte(driver, kMemoryErrorsIndex, r.byMemoryErrors)) return fail("Get Memory errors failed.");
        if (!ReadRtcByte(driver, kEccErrorsIndex, r.byECCErrors)) return fail("Get ECC errors failed.");
        r.bErrorCountsRead = TRUE;
    }
    CloseHandle(driver);
    m_rtc = r;
    return 0;
}

int CRtcDecice::isChang(const char* subkey, const char* valueName, BYTE value) {
    return RecordDiffers(subkey, valueName, value) == 1 ? UpdateRecord(subkey, valueName, value) : 0;
}

int CRtcDecice::AddToEventLog() {
    HANDLE source = nullptr;
    bool failed = false;
    for (int i = 0; i < 3; ++i) {
        const Item& item = kItems[i];
        if (!InThisModel(item) || this->*item.watch != 1) continue;
        // Only values read in this pass are compared: a count that machine type 1 does not
        // keep is not a count of 0.
        if (item.errorCount && !m_rtc.bErrorCountsRead) continue;
        DWORD size = 0;
        const BYTE* data = ItemData(m_rtc, i, size);
        const std::string subkey = SubkeyOf(item);

        if (!m_bStartUpPass && !m_bReportDue[i]) {
            // Absorb: every record is compared and updated, each on its own.
            for (int k = 0; k < item.recordCount; ++k) isChang(subkey.c_str(), item.records[k], data[k]);
            continue;
        }
        if (failed) {  // a write failed: the remaining reports wait for the next pass
            m_bReportDue[i] = TRUE;
            continue;
        }
        bool differs[4] = {};
        bool changed = false;
        for (int k = 0; k < item.recordCount; ++k) {
            differs[k] = RecordDiffers(subkey, item.records[k], data[k]) == 1;
            changed = changed || differs[k];
        }
        if (!changed) {
            m_bReportDue[i] = FALSE;
            continue;
        }
        if (source == nullptr) {
            source = RegisterEventSourceA(nullptr, kEventSource);
            if (source == nullptr) {
                Trace(kAddLabel, "RegisterEventSource failed.");
                failed = true;
                m_bReportDue[i] = TRUE;
                continue;
            }
        }
        if (!g_pfnReportEvent(source, EVENTLOG_ERROR_TYPE, 0, item.eventId, nullptr, 0, size, nullptr,
                              const_cast<BYTE*>(data))) {
            Trace(kAddLabel, "ReportEvent failed.");
            failed = true;
            m_bReportDue[i] = TRUE;
            continue;
        }
        for (int k = 0; k < item.recordCount; ++k) {
            if (differs[k]) UpdateRecord(subkey, item.records[k], data[k]);
        }
        m_bReportDue[i] = FALSE;
    }
    if (source != nullptr) DeregisterEventSource(source);
    return failed ? -1 : 0;
}

}  // namespace mordane
