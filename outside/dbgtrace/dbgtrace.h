// dbgtrace: the outside debug trace library. Callers open one trace per configuration key,
// write printf-style lines through the handle from any thread, and close it at the end.
// Every entry point is C linkage so the tray application can bind it by name
// (LoadLibrary("dbgtrace.dll") + GetProcAddress). No call fails its caller: a handle of 0
// or one that is unknown or closed does nothing, and a line that cannot be written is
// dropped. The calls leave errno and the Win32 last error as they found them.
// Storage: docs/dbgtrace.md.
#pragma once

#include <stdarg.h>

#include "pal/types.h"

#define DBGTRACE_API extern "C" __attribute__((visibility("default")))

// Opens the trace of a configuration key ("SYSTEM\CurrentControlSet\Services\Mordane").
// The five numbers are accepted and ignored (callers pass 0x7FFFFFFF, 0, 0x7FFFFFFF,
// 0x7FFFFFFF, 0x7FFFFFFF). Returns a non-zero handle, or 0 when the trace file cannot be
// opened.
DBGTRACE_API DWORD OpenLogManager(const char* key, DWORD n1, DWORD n2, DWORD n3, DWORD n4,
                                  DWORD n5);

// Writes one line: level (1 failures and start/end, 2 success details, 3 progress), label
// ("Class::Method"), then the text made from format and its arguments.
DBGTRACE_API void DebugLogData(DWORD handle, DWORD level, const char* label, const char* format,
                               ...) __attribute__((format(printf, 4, 5)));

// DebugLogData with the arguments as a va_list.
DBGTRACE_API void DebugLogDataEx(DWORD handle, DWORD level, const char* label,
                                 const char* format, va_list args)
    __attribute__((format(printf, 4, 0)));

// Closes the handle; lines being written on other threads through it still complete.
DBGTRACE_API void CloseLogManager(DWORD handle);

#include <string>

namespace dbgtrace {
// The file a key's lines go to: $VQ_ROOT/trace/<key>.log, with '\' and '/' in the key
// turned into '_' (an empty key is "_").
__attribute__((visibility("default"))) std::string TraceFilePath(const char* key);
}  // namespace dbgtrace
