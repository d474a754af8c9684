// What a journal entry becomes in the System log: which entries are copied, the record's
// source, type and event id, the message as the insertion string, and the cursor carried
// in the record's data. Pure functions; EventSink writes the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pal/types.h"
#include "standins/vqjournal/config.h"
#include "standins/vqjournal/journal_source.h"

namespace vqjournal {

// One code (1) under three severities, so a viewer's type and the id agree.
inline constexpr DWORD kEventInformation = 0x40000001;
inline constexpr DWORD kEventWarning = 0x80000001;
inline constexpr DWORD kEventError = 0xC0000001;

// The longest insertion string: the message's first kMaxMessageBytes bytes (after
// escaping), then "..." when it was longer. Far below the record limit (0x7FFFF) and small
// enough that one chatty unit cannot crowd a 512 KiB System log.
inline constexpr size_t kMaxMessageBytes = 8192;
inline constexpr const char* kCutMark = "...";

// The longest source name; longer names are cut (registry key names stop at 255).
inline constexpr size_t kMaxSourceBytes = 200;
inline constexpr const char* kDefaultSource = "journal";

// The record's data: this tag, then the entry's cursor.
inline constexpr const char* kCursorTag = "vqjournal-cursor:";

// The entry's PRIORITY (0-7); 6 (info) when it has none or it is not a number 0-7, as
// syslog's default is.
int PriorityOf(const JournalEntry& entry);

// Whether the entry is copied: its priority is at most maxPriority, and when units or
// identifiers are configured its unit is one of the units or its identifier one of the
// identifiers.
bool Selected(const Config& config, const JournalEntry& entry);

// _SYSTEMD_UNIT, else SYSLOG_IDENTIFIER, else _COMM, else "journal"; made fit for a
// registry key name (see SafeSourceName).
std::string SourceOf(const JournalEntry& entry);

// Backslashes (the registry's separator) and control bytes become '_', the name is cut to
// kMaxSourceBytes; "" stays "".
std::string SafeSourceName(const std::string& name);

// EVENTLOG_ERROR_TYPE for 0-3, EVENTLOG_WARNING_TYPE for 4, else EVENTLOG_INFORMATION_TYPE.
WORD EventTypeOf(int priority);
DWORD EventIdOf(WORD eventType);

// The message as a NUL-free, valid UTF-8 text: well-formed UTF-8, tab, CR and LF are
// kept; other control bytes, DEL and bytes that are not UTF-8 become "\xNN". Cut to
// kMaxMessageBytes (never inside a character or an escape) with kCutMark appended.
std::string InsertionString(const std::string& message);

// The record data for a cursor, and the cursor back from record data ("" when the data is
// not ours).
std::string CursorData(const std::string& cursor);
std::string CursorFromData(const uint8_t* data, size_t length);

}  // namespace vqjournal
