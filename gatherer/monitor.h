// What the gatherer's monitors share: the trace handle, the service's stop event, the
// service key and ini file, the ini-to-registry and registry-to-memory steps, and the
// writing of event-log records under the source "Mordane".
//
// Every monitor follows one pattern (constructor defaults, Initialize, Process, a read
// operation, AddToEventLog, SetConfigToReg, GetConfigFromReg); the helpers here are the
// steps that pattern repeats, so a monitor class holds only its own items and rules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pal/windows.h"

namespace mordane {

inline constexpr const char* kServiceName = "Mordane";
inline constexpr const char* kEventSource = "Mordane";
inline constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Mordane";
inline constexpr const char* kDefaultIniPath = "C:\\WINDOWS\\system32\\Mordane.ini";

// Intervals are configured in seconds and waited in milliseconds. Anything below one
// second is raised to it (an interval of 0 would poll in a tight loop and flood the event
// log); anything beyond what a wait can express is lowered to the longest finite wait.
inline constexpr DWORD kMinIntervalMs = 1000;
inline constexpr DWORD kMaxIntervalMs = 0xFFFFFFFEu;
DWORD SecondsToMilliseconds(DWORD seconds);

// The trace handle of the service (0 until the service opened it; tracing with 0 does
// nothing). Written once by the service body before any monitor starts.
extern DWORD g_dwTraceHandle;

// One trace line at level 1.
void Trace(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The service's stop event: a manual-reset event private to this process, created by the
// service body. Monitors open it with OpenStopEvent (a duplicate of the service's handle,
// which they close themselves); null when the service has none.
HANDLE CreateServiceStopEvent();
void CloseServiceStopEvent();
HANDLE OpenStopEvent();

// The ini file named by INIPATH in the service key, or the default path (with the trace
// lines for a key or value that cannot be read). label names the caller.
void GetIniFilePath(char (&path)[MAX_PATH + 1], const char* label);

// One numeric ini key, read as GetPrivateProfileInt reads it, but checked: kIniMissing
// when absent, empty or -1 (the ini file's "leave the registry as it is"); kIniRefused,
// with a trace line under label naming section and key, for a value that would otherwise
// wrap into a huge or tiny number: a negative one other than -1 (unless isSigned), or one
// beyond 32 bits (isSigned: beyond -2147483648..2147483647); else kIniValue with the value
// (isSigned: its two's complement).
enum IniNumber { kIniMissing, kIniRefused, kIniValue };
IniNumber ReadIniNumber(const char* iniFile, const char* section, const char* key, const char* label,
                        DWORD& value, bool isSigned = false);

// The ini-to-registry step for one key (ReadIniNumber): absent: traces missingTrace under
// label and leaves the registry alone; refused: leaves the registry alone; else writes the
// value as a REG_DWORD named valueName into the open subkey.
void CopyIniValueToReg(HKEY subkey, const char* iniFile, const char* section, const char* key,
                       const char* valueName, const char* label, const char* missingTrace, bool isSigned = false);

// A monitor subkey (relative to the service key) opened for writing (never created), or
// for reading. Null when it cannot be opened.
HKEY OpenMonitorKeyForWrite(const char* subkey);
HKEY OpenMonitorKeyForRead(const char* subkey);

// The registry-to-memory step for one value: the REG_DWORD valueName of key (null: the
// subkey was missing, so the default without a further trace), or dflt with missingTrace
// under label when it cannot be read.
DWORD ReadRegDword(HKEY key, const char* valueName, DWORD dflt, const char* label,
                   const char* missingTrace);

// The event-log writer behind every AddToEventLog. Tests replace ReportEvent to make one
// record's write fail.
using ReportEventFn = BOOL (*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID);
extern ReportEventFn g_pfnReportEvent;

}  // namespace mordane
