// Pieces shared by the request side, the agent side and the debug log (not exported).
#pragma once

#include <cstdint>
#include <string>

#include "pal/windows.h"
#include "snmpext/trapinfo.h"

namespace norvik {

// ---- OID texts and requests (validate.cpp) ----------------------------------------------

// 0 when text is a present, non-empty OID text of at most maxChars characters that
// converts; else ERROR_INVALID_DATA or the conversion's error code.
LONG CheckOidText(const char* text, uint32_t maxChars);

// Turns a request (a private copy of the shared block, which any process may have
// written) into the trap fields. Everything is checked before use: a request that is
// malformed gets false, why says what is wrong, and nothing stays allocated. The
// enterprise text must not be empty (the caller handles that case first).
bool BuildTrap(const TrapInfo& request, AsnObjectIdentifier* enterprise, SnmpVarBindList* bindings,
               std::string* why);

// ---- Debug log (debug_log.cpp) ------------------------------------------------------------

// Opens the log at path with that many record slots; nothing when one is already open.
void OpenLog(const char* path, DWORD records);
void CloseLog();
bool LogOpen();
// One record; category and message are cut by the record's fixed size.
void WriteLog(const char* category, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The offset at which the ring wraps for that many slots, in 64 bits and capped where
// the 8-digit header could no longer hold an offset.
uint64_t LogRingLimit(DWORD records);
// The library's module name as the log shows it.
const std::string& ModuleName();

// ---- For the tests --------------------------------------------------------------------------

// This process's request record.
const TrapInfo& LocalRecord();

}  // namespace norvik
