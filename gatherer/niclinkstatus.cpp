// CNicLinkStatus (see niclinkstatus.h).
//
// A loss is an Ethernet row whose status is 0 while the same interface (by index) was up
// at the previous poll. Comparing each row with its own interface, not with the row before
// it, keeps a healthy NIC next to an unplugged one from counting a loss at every poll.
#include "gatherer/niclinkstatus.h"

#include <cstdint>
#include <vector>

namespace mordane {

namespace {

constexpr const char* kInitLabel = "CNicLinkStatus::Initialize";
constexpr const char* kSetLabel = "CNicLinkStatus::SetConfigToReg";
constexpr const char* kGetLabel = "CNicLinkStatus::GetConfigFromReg";
constexpr const char* kSection = "NICStatus";

constexpr DWORD kDefaultWatch = 1;
constexpr DWORD kDefaultIntervalSeconds = 3;
constexpr DWORD kDefaultLimit = 5;
constexpr DWORD kDefaultTimesSeconds = 600;

// Code page 932, as the trace readers on the terminal expect.
constexpr const char* kOpenFailed =  // レジストリをオープンするのは失敗でした。
    "\x83\x8C\x83W\x83X\x83g\x83\x8A\x82\xF0\x83I\x81[\x83v\x83\x93\x82\xB7\x82\xE9\x82\xCC\x82\xCD"
    "\x8E\xB8\x94s\x82\xC5\x82\xB5\x82\xBD\x81" "B";
constexpr const char* kWatchFailed =  // レジストリのNIC監視かを読むのは失敗でした。
    "\x83\x8C\x83W\x83X\x83g\x83\x8A\x82\xCCNIC\x8A\xC4\x8E\x8B\x82\xA9\x82\xF0\x93\xC7\x82\xDE\x82\xCC"
    "\x82\xCD\x8E\xB8\x94s\x82\xC5\x82\xB5\x82\xBD\x81" "B";
constexpr const char* kIntervalFailed =  // レジストリのNIC INTERVALを読むのは失敗でした。
    "\x83\x8C\x83W\x83X\x83g\x83\x8A\x82\xCCNIC INTERVAL\x82\xF0\x93\xC7\x82\xDE\x82\xCC\x82\xCD\x8E\xB8"
    "\x94s\x82\xC5\x82\xB5\x82\xBD\x81" "B";
constexpr const char* kLimitFailed =  // レジストリのNIC LIMITを読むのは失敗でした。
    "\x83\x8C\x83W\x83X\x83g\x83\x8A\x82\xCCNIC LIMIT\x82\xF0\x93\xC7\x82\xDE\x82\xCC\x82\xCD\x8E\xB8"
    "\x94s\x82\xC5\x82\xB5\x82\xBD\x81" "B";
constexpr const char* kTimesFailed =  // レジストリのNIC Timesを読むのは失敗でした。
    "\x83\x8C\x83W\x83X\x83g\x83\x8A\x82\xCCNIC Times\x82\xF0\x93\xC7\x82\xDE\x82\xCC\x82\xCD\x8E\xB8"
    "\x94s\x82\xC5\x82\xB5\x82\xBD\x81" "B";

// A LIMIT of 0 would make every window "too many losses" and report a healthy link.
DWORD LimitAtLeastOne(DWORD limit) { return limit == 0 ? 1 : limit; }

}  // namespace

CNicLinkStatus::CNicLinkStatus()
    : m_dwWatch(kDefaultWatch),
      m_dwInterval(SecondsToMilliseconds(kDefaultIntervalSeconds)),
      m_dwLimit(kDefaultLimit),
      m_dwTimes(SecondsToMilliseconds(kDefaultTimesSeconds)),
      m_hStopEvent(nullptr),
      m_hWakeEvent(nullptr),
      m_lDownCount(0),
      m_bLinkSeen(FALSE),
      m_bReported(FALSE),
      m_dwLastIndex(0),
      m_dwLostIndex(0),
      m_dwRecordIndex(0),
      m_bEnding(FALSE) {}

CNicLinkStatus::~CNicLinkStatus() {
    if (m_hWakeEvent != nullptr) CloseHandle(m_hWakeEvent);
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

int CNicLinkStatus::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent != nullptr) m_hWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_hStopEvent == nullptr || m_hWakeEvent == nullptr) {
        Trace(kInitLabel, "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    return 0;
}

int CNicLinkStatus::SetConfigToReg() {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, kSetLabel);
    HKEY key = OpenMonitorKeyForWrite(kSection);
    if (key == nullptr) {
        Trace(kSetLabel, "Open Registry failed.");
        return -1;
    }
    CopyIniValueToReg(key, ini, kSection, "WATCH", "WATCH_NICStatus", kSetLabel, "Get WATCH key from config file failed.");
    CopyIniValueToReg(key, ini, kSection, "INTERVAL", "WATCH_INTERVAL", kSetLabel,
                      "Get INTERVAL key from config file failed.");
    CopyIniValueToReg(key, ini, kSection, "LIMIT", "LIMIT", kSetLabel, "Get LIMIT key from config file failed.");
    CopyIniValueToReg(key, ini, kSection, "Times", "WATCH_Times", kSetLabel, "Get Times key from config file failed.");
    RegCloseKey(key);
    return 0;
}

int CNicLinkStatus::GetConfigFromReg() {
    HKEY key = OpenMonitorKeyForRead(kSection);
    if (key == nullptr) Trace(kGetLabel, "%s", kOpenFailed);
    m_dwWatch = ReadRegDword(key, "WATCH_NICStatus", kDefaultWatch, kGetLabel, kWatchFailed);
    const DWORD interval = ReadRegDword(key, "WATCH_INTERVAL", kDefaultIntervalSeconds, kGetLabel, kIntervalFailed);
    m_dwLimit = LimitAtLeastOne(ReadRegDword(key, "LIMIT", kDefaultLimit, kGetLabel, kLimitFailed));
    const DWORD times = ReadRegDword(key, "WATCH_Times", kDefaultTimesSeconds, kGetLabel, kTimesFailed);
    if (key != nullptr) RegCloseKey(key);
    // Both have the one-second minimum: a window of 0 would make the reporting thread spin.
    m_dwInterval = SecondsToMilliseconds(interval);
    m_dwTimes = SecondsToMilliseconds(times);
    return key == nullptr ? -1 : 0;
}

int CNicLinkStatus::Process() {
    if (m_dwWatch == 0) return 0;
    if (m_hStopEvent == nullptr || m_hWakeEvent == nullptr) return -1;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bEnding = FALSE;
    }
    DWORD id = 0;
    HANDLE reporter = CreateThread(nullptr, 0, &CNicLinkStatus::ReportThread, this, 0, &id);
    if (reporter == nullptr) {
        Trace(kInitLabel, "CreateThread failed.");
        return -1;
    }
    Trace("NicStatus", "listening enable:%d,write to eventlog while it occurs beyond %d of times in %d minutes",
          static_cast<int>(m_dwWatch), static_cast<int>(m_dwLimit), static_cast<int>(m_dwTimes / 60000));
    for (;;) {
        GetLinkStatus();
        if (WaitForSingleObject(m_hStopEvent, m_dwInterval) != WAIT_TIMEOUT) break;
    }
    // The loop may also end on a failed wait, with the stop event still clear: tell the
    // reporting thread directly, then wait for it before the object can go away.
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bEnding = TRUE;
    }
    SetEvent(m_hWakeEvent);
    WaitForSingleObject(reporter, INFINITE);
    CloseHandle(reporter);
    Trace("NicLinkStatus", "Listening End.");
    return 0;
}

DWORD WINAPI CNicLinkStatus::ReportThread(LPVOID self) {
    auto* nic = static_cast<CNicLinkStatus*>(self);
    const HANDLE waits[2] = {nic->m_hStopEvent, nic->m_hWakeEvent};
    for (;;) {
        const DWORD r = WaitForMultipleObjects(2, waits, FALSE, nic->m_dwTimes);
        if (r != WAIT_TIMEOUT && r != WAIT_OBJECT_0 + 1) break;  // stopped, or the wait failed
        {
            std::lock_guard<std::mutex> lock(nic->m_lock);
            if (nic->m_bEnding) break;
        }
        nic->ReportPass();
    }
    return 0;
}

int CNicLinkStatus::GetLinkStatus() {
    ULONG size = 0;
    if (GetIfTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER) return -1;
    std::vector<BYTE> buffer(size);
    auto* table = reinterpret_cast<PMIB_IFTABLE>(buffer.data());
    if (GetIfTable(table, &size, TRUE) != NO_ERROR) return -1;
    if (table->dwNumEntries == 0) return 0;

    std::lock_guard<std::mutex> lock(m_lock);
    std::map<DWORD, DWORD> seen;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IFROW& row = table->table[i];
        if (row.dwType != MIB_IF_TYPE_ETHERNET) continue;
        auto previous = m_lastStatus.find(row.dwIndex);
        // An interface not seen before counts as down, so a cable that is already out
        // is not a loss (the window reports it as "no link seen").
        const DWORD before = previous == m_lastStatus.end() ? 0 : previous->second;
        if (row.dwOperStatus != 0) {
            m_bLinkSeen = TRUE;
        } else if (before != 0) {
            m_bReported = FALSE;
            if (m_lDownCount != INT32_MAX) ++m_lDownCount;
            m_dwLostIndex = row.dwIndex;
            if (static_cast<DWORD>(m_lDownCount) >= m_dwLimit) SetEvent(m_hWakeEvent);
        }
        seen[row.dwIndex] = row.dwOperStatus;
        m_dwLastIndex = row.dwIndex;
    }
    m_lastStatus.swap(seen);
    return 0;
}

int CNicLinkStatus::ReportPass() {
    std::lock_guard<std::mutex> lock(m_lock);
    int result = 0;
    const bool tooMany = m_lDownCount > 0 && static_cast<DWORD>(m_lDownCount) >= m_dwLimit;
    if ((tooMany || !m_bLinkSeen) && !m_bReported) {
        // Losses name the interface that lost its link; a window without a link names the
        // last Ethernet row examined (0 when there was none).
        m_dwRecordIndex = tooMany && m_dwLostIndex != 0 ? m_dwLostIndex : m_dwLastIndex;
        result = AddToEventLog();
        if (result == 0) m_bReported = TRUE;
    }
    m_lDownCount = 0;
    m_bLinkSeen = FALSE;
    return result;
}

int CNicLinkStatus::AddToEventLog() {
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) {
        Trace(kInitLabel, "RegisterEventSource failed.");
        return -1;
    }
    DWORD data = m_dwRecordIndex;
    const BOOL ok = g_pfnReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, MSG_NIC_LINK_STATUS, nullptr, 0,
                                     sizeof data, nullptr, &data);
    DeregisterEventSource(source);
    if (!ok) {
        Trace(kInitLabel, "ReportEvent failed.");
        return -1;
    }
    return 0;
}

}  // namespace mordane
