// Event logs: writing (RegisterEventSource, ReportEvent), reading (oldest record, count,
// sequential and seek reads in both directions into the EVENTLOGRECORD layout), clearing
// with an optional backup, and size limits with overwrite of the oldest records.
//
// Logs. "Application", "Security" and "System" always exist; any other log exists when the
// key HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log> does. Opening a log that does
// not exist opens "Application", as the system does. A source writes to the log whose key
// has the subkey <source>, else to "Application"; the choice is made when the source is
// registered. Log names match without regard to case.
//
// Store. All logs of a machine root live in one SQLite database, $VQ_ROOT/eventlog.db
// (WAL, synchronous=NORMAL; see pal/core/sqlite_store.h), shared by every process. A
// ReportEvent that returned TRUE is committed: it survives the writer being killed.
// Record numbers are allocated inside the write transaction, so they are gap-free and
// strictly increasing per log whatever the number of writing processes.
//
// Size limit. The log key's DWORD value MaxSize (bytes; default 0x80000) bounds the sum of
// the EVENTLOGRECORD lengths of a log's records. A record that would exceed it first
// deletes the oldest records until it fits (numbers keep growing, the oldest number
// advances). A record longer than the limit itself fails with ERROR_LOG_FILE_FULL.
// MaxSize is read when a source is registered.
//
// Reading. Each handle has a read position: the last record it read. A sequential read
// continues from there in the direction asked (the first forwards read starts at the
// oldest record, the first backwards one at the newest); a seek read starts at the record
// asked for and moves the position too. A read fills as many whole records as fit;
// when not even the first fits: FALSE, ERROR_INSUFFICIENT_BUFFER (122), the needed size
// in *pnMinNumberOfBytesNeeded and the position unchanged. Nothing more to read:
// ERROR_HANDLE_EOF (38). A seek read to a record that was overwritten, cleared or not yet
// written: ERROR_INVALID_PARAMETER (87), as the system answers. After the log was
// cleared, a handle's next sequential read starts again at the oldest (or newest) record.
// Buffers larger than 0x7FFFF bytes are used up to 0x7FFFF bytes, the system's limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pal/error/error.h"
#include "pal/security/security.h"
#include "pal/types.h"

#define EVENTLOG_SUCCESS 0x0000u
#define EVENTLOG_ERROR_TYPE 0x0001u
#define EVENTLOG_WARNING_TYPE 0x0002u
#define EVENTLOG_INFORMATION_TYPE 0x0004u
#define EVENTLOG_AUDIT_SUCCESS 0x0008u
#define EVENTLOG_AUDIT_FAILURE 0x0010u

#define EVENTLOG_SEQUENTIAL_READ 0x0001u
#define EVENTLOG_SEEK_READ 0x0002u
#define EVENTLOG_FORWARDS_READ 0x0004u
#define EVENTLOG_BACKWARDS_READ 0x0008u

#define EVENTLOG_FULL_INFO 0u

#ifndef ERROR_INVALID_LEVEL
#define ERROR_INVALID_LEVEL 124L
#endif
#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif

// The record as ReadEventLog delivers it: this 56-byte header, then the source name and
// the computer name (each NUL-terminated), padding to a DWORD boundary, the user SID, the
// insertion strings (each NUL-terminated), the data, padding to a DWORD boundary, and
// Length once more as the last DWORD.
typedef struct _EVENTLOGRECORD {
    DWORD Length;
    DWORD Reserved;  // 0x654C664C, "LfLe"
    DWORD RecordNumber;
    DWORD TimeGenerated;  // seconds since 1970-01-01 UTC
    DWORD TimeWritten;
    DWORD EventID;
    WORD EventType;
    WORD NumStrings;
    WORD EventCategory;
    WORD ReservedFlags;
    DWORD ClosingRecordNumber;
    DWORD StringOffset;
    DWORD UserSidLength;
    DWORD UserSidOffset;
    DWORD DataLength;
    DWORD DataOffset;
} EVENTLOGRECORD, *PEVENTLOGRECORD;

#define ELF_LOG_SIGNATURE 0x654C664Cu

typedef struct _EVENTLOG_FULL_INFORMATION {
    DWORD dwFull;
} EVENTLOG_FULL_INFORMATION, *LPEVENTLOG_FULL_INFORMATION;

// lpUNCServerName: null, "" or the local computer's name (with or without "\\");
// anything else fails with RPC_S_SERVER_UNAVAILABLE.
HANDLE RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL DeregisterEventSource(HANDLE hEventLog);
// lpUserSid may be null; a SID that is not valid fails with ERROR_INVALID_PARAMETER.
BOOL ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData);

HANDLE OpenEventLogA(LPCSTR lpUNCServerName, LPCSTR lpSourceName);
BOOL CloseEventLog(HANDLE hEventLog);
// An empty log has oldest record 0 and 0 records.
BOOL GetOldestEventLogRecord(HANDLE hEventLog, PDWORD OldestRecord);
BOOL GetNumberOfEventLogRecords(HANDLE hEventLog, PDWORD NumberOfRecords);
BOOL ReadEventLogA(HANDLE hEventLog, DWORD dwReadFlags, DWORD dwRecordOffset, LPVOID lpBuffer,
                   DWORD nNumberOfBytesToRead, DWORD* pnBytesRead, DWORD* pnMinNumberOfBytesNeeded);
// With a backup file: the records go to that file first (the classic .evt layout, see
// docs/eventlog.md); an existing file fails with ERROR_ALREADY_EXISTS and clears nothing.
// Numbering restarts at 1.
BOOL ClearEventLogA(HANDLE hEventLog, LPCSTR lpBackupFileName);
// EVENTLOG_FULL_INFO only; dwFull is always FALSE, as full logs overwrite.
BOOL GetEventLogInformation(HANDLE hEventLog, DWORD dwInfoLevel, LPVOID lpBuffer, DWORD cbBufSize,
                            LPDWORD pcbBytesNeeded);

#define RegisterEventSource RegisterEventSourceA
#define ReportEvent ReportEventA
#define OpenEventLog OpenEventLogA
#define ReadEventLog ReadEventLogA
#define ClearEventLog ClearEventLogA

namespace pal::eventlog {

// A source handle (for ReportEventA and DeregisterEventSource) that writes to the named
// log whatever the registry says, for tools that name the log. Fails as OpenEventLogA
// would not: an unknown log name is ERROR_FILE_NOT_FOUND here.
HANDLE RegisterEventSourceInLog(const char* logName, const char* sourceName);

// The name of the log a handle (from OpenEventLogA or RegisterEventSourceA) reads or
// writes, with its canonical spelling; "" with ERROR_INVALID_HANDLE for other handles.
std::string LogNameOf(HANDLE hEventLog);

struct LogInfo {
    DWORD oldest = 0;     // 0 when empty
    DWORD count = 0;
    uint64_t size = 0;    // sum of the records' lengths
    DWORD maxSize = 0;    // the registry's MaxSize as it is now
    DWORD nextNumber = 1;  // the number the next record gets
};
BOOL GetLogInfo(HANDLE hEventLog, LogInfo& info);

// Appends records kept elsewhere (a backup's EVENTLOGRECORD images) to the log of a handle
// from OpenEventLogA, in one transaction: each gets the log's next number, and keeps its
// times, ids, type, category, names, SID, strings and data. All or nothing: an image that
// does not parse or is longer than 0x7FFFF bytes fails with ERROR_INVALID_DATA, records
// that together exceed the log's MaxSize (so some would overwrite others at once) with
// ERROR_LOG_FILE_FULL. *first and *last (when given) receive the numbers given.
BOOL ImportEventLogRecords(HANDLE hEventLog, std::vector<std::vector<uint8_t>> records, DWORD* first = nullptr,
                           DWORD* last = nullptr);

// The registry key of a log and of a source, and the default MaxSize.
inline constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";
inline constexpr DWORD kDefaultMaxSize = 0x80000;

}  // namespace pal::eventlog
