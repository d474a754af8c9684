// The watch job's life: Initialize reads the settings once per start, Process polls the
// four logs until the stop event is set, Finalize writes the bookmarks back.
#include "agent/eventlogwatch.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "framework/apllog.h"
#include "outside/dbgtrace/dbgtrace.h"
#include "outside/vqregdata/regdata.h"
#include "pblock/exparam.h"

DWORD g_hTrace = 0;

namespace {

struct WatchedLog {
    const char* name;
    const char* valueName;
    const char* errorText;
};

const WatchedLog kLogs[4] = {
    {"Application", "APLLOG_REC_NO", "APLLOG_REC_NO set error"},
    {"Security", "SECLOG_REC_NO", "SECLOG_REC_NO set error"},
    {"System", "SYSLOG_REC_NO", "SYSLOG_REC_NO set error"},
    {"Mordane", "SHILOG_REC_NO", "SHILOG_REC_NO set error"},
};

constexpr DWORD kProbeSize = 56;
constexpr DWORD kUnset = 0xFFFFFFFFu;

}  // namespace

DWORD WINAPI FwsystemFwlogFwwatch(LPVOID param) {
    auto* slot = static_cast<JOB_THREAD_TBL*>(param);
    auto* job = new (std::nothrow) CFwsystemFweventlogFwwatch(slot);
    if (!job) {
        CAplLog::Write(8000, 0, 0, "::FwsystemFwlogFwwatch", "error CFwsystemFweventlogFwwatch class alloc", 2);
        CJobThread::CreateError(slot);
        return 0;
    }
    job->Entry();
    delete job;
    return 0;
}

CFwsystemFweventlogFwwatch::CFwsystemFweventlogFwwatch(JOB_THREAD_TBL* slot)
    : CSystemWatch(slot),
      m_dwInterval(0),
      m_bWriteAplLog(1),
      m_bStart(0),
      m_bOwnEvent(0),
      m_bWatchApplication(0),
      m_bWatchSecurity(0),
      m_bWatchSystem(0),
      m_bWatchMordane(0),
      m_dwAplLogRecNo(0),
      m_dwSecLogRecNo(0),
      m_dwSysLogRecNo(0),
      m_dwShiLogRecNo(0),
      m_szTrapOid{},
      m_bBookmarksRead(false),
      m_dwWritten{kUnset, kUnset, kUnset, kUnset} {}

CFwsystemFweventlogFwwatch::~CFwsystemFweventlogFwwatch() { BeginLogPass(); }

// A changed registration or message file takes effect at the next pass.
void CFwsystemFweventlogFwwatch::BeginLogPass() {
    m_FilePaths.clear();
    for (auto& [path, module] : m_Modules) FreeLibrary(module);
    m_Modules.clear();
}

void CFwsystemFweventlogFwwatch::WriteLogf(WORD code, DWORD error, const char* function, LONG level,
                                           const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    WriteLog(code, error, function, text, level);
}

DWORD CFwsystemFweventlogFwwatch::GetBookmark(int which) const {
    switch (which) {
    case 1: return m_dwAplLogRecNo;
    case 2: return m_dwSecLogRecNo;
    case 3: return m_dwSysLogRecNo;
    case 4: return m_dwShiLogRecNo;
    default: return 0;
    }
}

long CFwsystemFweventlogFwwatch::Initialize() {
    CExParam param;
    param = m_Request.GetExParam();
    LONG start = 0;
    if (param.Get("#START", start) < 0) start = 0;
    m_bStart = start > 0 ? 1 : 0;
    if (!m_bStart) {
        if (m_pApp) m_pApp->SetWatchEvent();
        return 0;
    }
    if (!m_pApp) return -1;
    // The test and the creation are one step under the application's lock, so two start
    // requests arriving together cannot both create a stop event.
    const int created = m_pApp->CreateWatchEvent();
    if (created == 0) {
        WriteLog(7000, 0, "CFwsystemFweventlogFwwatch::Initialize", "Watch thread is already running.", 2);
        return -1;
    }
    if (created < 0) return -1;  // not ours: Finalize must leave the stored bookmarks alone
    m_bOwnEvent = 1;

    CRegData reg;
    DWORD seconds = 300;
    if (!reg.GetVQFRegData(&seconds, kSection, "WATCH_INTERVAL", 0)) seconds = 300;
    // In 64 bits: seconds x 1000 overflows 32 bits above 49 days; no wait is below the
    // gatherer's minimum, so a 0 cannot turn the loop into a busy poll.
    unsigned long long ms = static_cast<unsigned long long>(seconds) * 1000ull;
    if (ms < kMinIntervalMs) ms = kMinIntervalMs;
    if (ms >= INFINITE) ms = INFINITE - 1;
    m_dwInterval = static_cast<DWORD>(ms);

    GetTrapSetting(kSection, 1);
    DWORD writeAplLog = 1;
    if (!reg.GetVQFRegData(&writeAplLog, kSection, "WRITE_APLLOG", 0)) writeAplLog = 1;
    m_bWriteAplLog = writeAplLog != 0 ? 1 : 0;
    reg.GetVQFRegData(&m_dwAplLogRecNo, kSection, "APLLOG_REC_NO", 0);
    reg.GetVQFRegData(&m_dwSecLogRecNo, kSection, "SECLOG_REC_NO", 0);
    reg.GetVQFRegData(&m_dwSysLogRecNo, kSection, "SYSLOG_REC_NO", 0);
    reg.GetVQFRegData(&m_dwShiLogRecNo, kSection, "SHILOG_REC_NO", 0);
    m_bBookmarksRead = true;
    for (int i = 0; i < 4; ++i) m_dwWritten[i] = GetBookmark(i + 1);
    return GetTrapOid() ? 0 : -1;
}

void CFwsystemFweventlogFwwatch::SetWatchFlags() {
    m_bWatchApplication = m_bWatchSecurity = m_bWatchSystem = m_bWatchMordane = 0;
    for (const EVENT_FILTER& f : m_MatchFilter) {
        if (strcasecmp(f.LOG_TYPE, "System") == 0)
            m_bWatchSystem = 1;
        else if (strcasecmp(f.LOG_TYPE, "Security") == 0)
            m_bWatchSecurity = 1;
        else if (strcasecmp(f.LOG_TYPE, "Application") == 0)
            m_bWatchApplication = 1;
        else if (strcasecmp(f.LOG_TYPE, "Mordane") == 0)
            m_bWatchMordane = 1;
        if (m_bWatchSystem && m_bWatchSecurity && m_bWatchApplication && m_bWatchMordane) break;
    }
}

long CFwsystemFweventlogFwwatch::Process() {
    if (!m_bStart) return 0;
    HANDLE stop = m_pApp ? m_pApp->GetWatchEvent() : nullptr;
    if (!stop) return -1;
    int link = 1;
    if (!GetMatchFilterList() && m_MatchFilter.empty()) {
        WriteLog(0, 0, "CFwsystemFweventlogFwwatch::Process", "Filter string is not set.", 2);
        return -1;
    }
    SetWatchFlags();
    if (!g_hTrace)
        g_hTrace = OpenLogManager("SOFTWARE\\QIR\\VQ FRAMEWORK\\CORVANE", 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF,
                                  0x7FFFFFFF);
    DebugLogData(g_hTrace, 1, "Brisvel", "Brisvel Startup");
    for (;;) {
        DWORD flags = 0;
        if (InternetGetConnectedState(&flags, 0)) {
            if (link == 0) {
                DebugLogData(g_hTrace, 1, "Trap delay LinkDown", "<< Nic Link down End.");
                link = 1;
            }
            CheckEventLog(kLogs[0].name, m_dwAplLogRecNo, m_bWatchApplication, 1);
            CheckEventLog(kLogs[1].name, m_dwSecLogRecNo, m_bWatchSecurity, 2);
            CheckEventLog(kLogs[2].name, m_dwSysLogRecNo, m_bWatchSystem, 3);
            CheckEventLog(kLogs[3].name, m_dwShiLogRecNo, m_bWatchMordane, 4);
            SetLogPoint(0);
        } else if (link == 1) {
            DebugLogData(g_hTrace, 1, "Trap delay LinkDown", ">> Nic Link down Begin.");
            link = 0;
        }
        if (WaitForSingleObject(stop, m_dwInterval) != WAIT_TIMEOUT) break;
    }
    DebugLogData(g_hTrace, 1, "Brisvel", "Brisvel End");
    return 0;
}

long CFwsystemFweventlogFwwatch::Finalize() {
    if (m_bStart && m_bOwnEvent) {
        if (m_bBookmarksRead) SetLogPoint(0);
        if (m_pApp) m_pApp->CloseWatchEvent();
        m_bOwnEvent = 0;
    }
    return 0;
}

int CFwsystemFweventlogFwwatch::CheckEventLog(const char* logName, DWORD& bookmark, int watched) {
    // Progress is stored only for the job's own bookmark of that log; a caller's variable
    // (a tool, a test) is not the job's to store.
    DWORD* own[4] = {&m_dwAplLogRecNo, &m_dwSecLogRecNo, &m_dwSysLogRecNo, &m_dwShiLogRecNo};
    int which = 0;
    for (int i = 0; i < 4; ++i)
        if (strcasecmp(logName, kLogs[i].name) == 0 && &bookmark == own[i]) which = i + 1;
    return CheckEventLog(logName, bookmark, watched, which);
}

int CFwsystemFweventlogFwwatch::CheckEventLog(const char* logName, DWORD& bookmark, int watched, int which) {
    static const char* kFunc = "CFwsystemFweventlogFwwatch::CheckEventLog";
    BeginLogPass();
    HANDLE log = OpenEventLogA(nullptr, logName);
    if (!log) {
        WriteLogf(8000, GetLastError(), kFunc, 2, "It failed in opening EventLog. (%s)", logName);
        return 0;
    }
    auto fail = [&](const char* format) {
        WriteLogf(8000, GetLastError(), kFunc, 2, format, logName);
        CloseEventLog(log);
        if (which) SetLogPoint(which);
        return 0;
    };
    DWORD oldest = 0, count = 0;
    if (!GetOldestEventLogRecord(log, &oldest)) return fail("It failed in getting lastest EventLog RecNo. (%s)");
    if (!GetNumberOfEventLogRecords(log, &count)) return fail("It failed in getting number of records. (%s)");
    const DWORD newest = (oldest == 0 && count == 0) ? 0 : oldest + count - 1;
    if (bookmark == 0 || !watched) {
        bookmark = newest + 1;
        CloseEventLog(log);
        return 1;
    }
    if (bookmark == newest + 1) {
        CloseEventLog(log);
        return 1;
    }
    if (bookmark > newest + 1) bookmark = 1;
    if (bookmark < oldest) bookmark = oldest;
    DWORD handled = 0;
    while (bookmark <= newest) {
        BYTE probe[kProbeSize];
        DWORD read = 0, needed = 0;
        if (ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, bookmark, probe, kProbeSize, &read,
                          &needed) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(EVENTLOGRECORD))
            return fail("It failed in getting record. (%s)");
        std::vector<BYTE> buffer(needed);
        if (!ReadEventLogA(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, bookmark, buffer.data(), needed, &read,
                           &needed))
            return fail("It failed in getting record. (%s)");
        m_bDeliveryFailed = false;
        if (m_bWriteAplLog || m_bSendTrap) DoFilter(logName, buffer.data(), read < buffer.size() ? read : buffer.size());
        if (m_bDeliveryFailed) {
            // Passing the record would lose its trap for good; the next poll tries it again.
            WriteLogf(7000, 0, kFunc, 2, "The trap of record %lu was not delivered; it is sent again at the next poll. (%s)",
                      static_cast<unsigned long>(bookmark), logName);
            break;
        }
        ++bookmark;
        if (which && ++handled % kBookmarkEvery == 0) SetLogPoint(which);
    }
    if (which) SetLogPoint(which);
    if (!CloseEventLog(log)) {
        WriteLogf(8000, GetLastError(), kFunc, 2, "It failed in closing EventLog. (%s)", logName);
        return 0;
    }
    return 1;
}

int CFwsystemFweventlogFwwatch::SetLogPoint(int which) {
    if (which < 0 || which > 4) return 1;
    CRegData reg;
    for (int i = 0; i < 4; ++i) {
        if (which != 0 && which != i + 1) continue;
        const DWORD value = GetBookmark(i + 1);
        // A per-log write of an unchanged bookmark would only cost a store transaction.
        if (which != 0 && m_dwWritten[i] == value) continue;
        if (!reg.SetVQFRegData(value, kSection, kLogs[i].valueName))
            WriteLog(2500, 0, "CFwsystemFweventlogFwwatch::SetLogPoint", kLogs[i].errorText, 2);
        else
            m_dwWritten[i] = value;
    }
    return 1;
}
