// CFwsystemFweventlogFwwatch: the event-log watch job (FWSYSTEM FWWATCH FWEVENTLOG). Started
// with "#START" > 0 it polls the Application, Security, System and Mordane logs every
// WATCH_INTERVAL seconds from bookmarks kept in the registry, hands each new record to the
// first matching filter, and turns it into an SNMP trap or a provider call. Started without
// it, it stops a running watch.
//
// Bookmarks (the number of the next record to read) are written after every handled record
// (kBookmarkEvery), after every poll and at the end; so a kill repeats at most the one record
// whose trap was in flight, and loses none (a bookmark only passes records that were
// handled). The store's write costs far less than a trap.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "agent/eventrecord.h"
#include "agent/systemwatch.h"

struct EVENT_FILTER {
    DWORD EVENT_ID;
    DWORD EVENT_TYPE;
    char LOG_TYPE[24];
    std::string SOURCE_NAME;
    std::string ENTERPRISE_OID;
    LONG SPECIFIC_TRAP_ID;
    std::string MESSAGE_STRING;
    std::string SENDTYPE;
    std::string DATAOID;
};

// The process-wide trace handle of the agent (opened by the first watch, never closed).
extern DWORD g_hTrace;

DWORD WINAPI FwsystemFwlogFwwatch(LPVOID param);

class CFwsystemFweventlogFwwatch final : public CSystemWatch {
public:
    static constexpr const char* kSection = "CORVANE\\EVENTLOG_FILTER_INF";
    static constexpr DWORD kBookmarkEvery = 1;
    static constexpr DWORD kMinIntervalMs = 1000;  // as the gatherer's monitors
    static constexpr int kTrapOids = 10;

    explicit CFwsystemFweventlogFwwatch(JOB_THREAD_TBL* slot);
    ~CFwsystemFweventlogFwwatch();
    CFwsystemFweventlogFwwatch(const CFwsystemFweventlogFwwatch&) = delete;
    CFwsystemFweventlogFwwatch& operator=(const CFwsystemFweventlogFwwatch&) = delete;

    long Initialize() override;
    long Process() override;
    long Finalize() override;

    int CheckEventLog(const char* logName, DWORD& bookmark, int watched);
    int SetLogPoint(int which);

    // Filters.
    int GetMatchFilterList();
    void GetMatchFilterInf(const char* name);
    void DoFilter(const char* logName, const BYTE* record, size_t length);
    const std::vector<EVENT_FILTER>& Filters() const { return m_MatchFilter; }

    // Trap composition.
    int GetTrapOid();
    std::string GetEventMessage(const char* logName, const CEventRecordView& record, std::string& insertList,
                                std::string& category);
    void GetFilePath(const char* logName, const char* source, const char* valueName, std::vector<std::string>& list);
    std::string ExpandEnvParam(const std::string& path);
    int GetInsertString(const CEventRecordView& record, const std::string& parameterFile, size_t index,
                        std::string& out);
    int FormatMessage(const std::string& file, DWORD id, const std::vector<std::string>* inserts, std::string& out);
    static long ReplaceString(std::string& text, const char* search, const char* replacement);
    static const char* GetEventTypeName(WORD type);
    static std::string FormatEventTime(DWORD timeGenerated, std::string& date, std::string& time);
    static long GetEventData(const CEventRecordView* record, BYTE* destination, size_t capacity);
    long SendMsg(const char* enterpriseOid, long specificId, const char* date, const char* time, const char* user,
                 const char* computer, DWORD eventId, DWORD eventNumber, const char* source, const char* typeName,
                 const char* category, const char* message);
    long SendMsg(const char* enterpriseOid, long specificId, const char* dataOid, DWORD value);
    long SetSMSMsg(DWORD eventId, const CEventRecordView& record);

    // Settings as read at start (for tests and tools).
    DWORD GetInterval() const { return m_dwInterval; }
    DWORD GetBookmark(int which) const;
    void SetWatchFlags();
    void SetWriteAplLog(int on) { m_bWriteAplLog = on; }
    void SetSendTrap(int on) { m_bSendTrap = on; }
    void SetApp(CVQBThdMsgApp* app) { m_pApp = app; }
    // The request's parameter text, for a job driven outside the framework (tools, tests).
    void SetRequestText(const char* text) { m_Request.SetExParam(text); }

private:
    int CheckEventLog(const char* logName, DWORD& bookmark, int watched, int which);
    long FailSend(long result, bool locked);
    // The steps every trap shares: the wait for the SNMP service, the trap lock, the
    // header; and the send with the release. locked tells whether the lock is held.
    long BeginTrap(const char* enterpriseOid, long specificId, bool& locked);
    long EndTrap();
    void WriteLogf(WORD code, DWORD error, const char* function, LONG level, const char* format, ...)
        __attribute__((format(printf, 6, 7)));

    DWORD m_dwInterval;
    int m_bWriteAplLog;
    int m_bStart;
    int m_bOwnEvent;
    int m_bWatchApplication;
    int m_bWatchSecurity;
    int m_bWatchSystem;
    int m_bWatchMordane;
    DWORD m_dwAplLogRecNo;
    DWORD m_dwSecLogRecNo;
    DWORD m_dwSysLogRecNo;
    DWORD m_dwShiLogRecNo;
    char m_szTrapOid[kTrapOids][256];
    std::vector<EVENT_FILTER> m_MatchFilter;
    // Message-file paths as read from the registry in this log pass, by log, source and
    // value name: the value is read once per pass, not twice per record.
    struct FILE_PATHS {
        LONG lOpenError;
        std::vector<std::string> Paths;
    };
    std::map<std::string, FILE_PATHS> m_FilePaths;
    // Message files loaded in this log pass, by path: parsing a file is most of a record's
    // cost, so each is loaded once per pass; a failed load is not kept (it is tried and
    // logged again for the next record). Released with the paths at the next pass.
    std::map<std::string, HMODULE> m_Modules;
    void BeginLogPass();
    bool m_bBookmarksRead;
    // Set when a trap could not be delivered (no SNMP service, or Send failed): the record
    // is tried again at the next poll instead of being passed.
    bool m_bDeliveryFailed = false;
    DWORD m_dwWritten[4];  // bookmark values last written, so unchanged ones are not written again
};
