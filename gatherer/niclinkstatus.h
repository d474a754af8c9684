// CNicLinkStatus: polls the interface table every WATCH_INTERVAL and counts the moments
// an Ethernet link goes down. A reporting thread writes one information record when LIMIT
// losses came within the counting window (WATCH_Times), or when a whole window passed
// without a working link. The same in both terminal models.
//
// Two threads share the counters: the monitor thread polls (GetLinkStatus), the reporting
// thread waits for the wake event or the end of the window and decides (ReportPass). One
// lock makes each poll's counting and each pass's decide-write-reset a single step. The
// reporting thread ends on the stop event and Process joins it, so it never outlives the
// object.
#pragma once

#include <map>
#include <mutex>

#include "gatherer/monitor.h"

namespace mordane {

inline constexpr DWORD MSG_NIC_LINK_STATUS = 0x40040007u;

class CNicLinkStatus {
public:
    CNicLinkStatus();
    ~CNicLinkStatus();
    CNicLinkStatus(const CNicLinkStatus&) = delete;
    CNicLinkStatus& operator=(const CNicLinkStatus&) = delete;

    int Initialize();
    int Process();
    // One poll of the interface table; 0 when it was read, -1 otherwise.
    int GetLinkStatus();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    // One decision of the reporting thread: a record when LIMIT losses were counted or no
    // link was seen, unless one was written since the last loss; then the count and the
    // link-seen flag start again. Returns AddToEventLog's result, or 0 when none was due.
    int ReportPass();

    // Settings as read by GetConfigFromReg; the interval and the window in milliseconds.
    DWORD m_dwWatch;
    DWORD m_dwInterval;
    DWORD m_dwLimit;
    DWORD m_dwTimes;

    HANDLE m_hStopEvent;
    HANDLE m_hWakeEvent;  // auto-reset: the poll counted LIMIT losses

    // Shared with the reporting thread: read and written under m_lock only.
    LONG m_lDownCount;
    BOOL m_bLinkSeen;
    BOOL m_bReported;
    DWORD m_dwLastIndex;  // the last Ethernet row examined
    DWORD m_dwLostIndex;  // the interface whose loss was counted last (0: none yet)

private:
    static DWORD WINAPI ReportThread(LPVOID self);
    DWORD m_dwRecordIndex;                // what AddToEventLog writes
    BOOL m_bEnding;                       // Process is leaving: the reporting thread ends too
    std::map<DWORD, DWORD> m_lastStatus;  // interface index -> status at the last poll
    std::mutex m_lock;
};

}  // namespace mordane
