// The service's settings, read once at start from
// HKLM\SYSTEM\CurrentControlSet\Services\VqJournal\Parameters (see docs/vqjournal.md),
// and the fallback cursor kept there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pal/types.h"

namespace vqjournal {

inline constexpr const char* kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\VqJournal\\Parameters";
inline constexpr DWORD kDefaultMaxPriority = 4;

struct Config {
    std::vector<std::string> units;        // _SYSTEMD_UNIT values to copy; empty: no unit filter
    std::vector<std::string> identifiers;  // SYSLOG_IDENTIFIER values to copy; empty: none
    DWORD maxPriority = kDefaultMaxPriority;  // copy priorities 0 (emerg) up to this
    std::string directory;                 // journal files to read; "" the local journal
    std::vector<std::string> problems;     // values that were ignored, and why
};

Config ReadConfig();

// The cursor value: nullopt when absent (never set), "" meaning the journal's head.
std::optional<std::string> ReadSavedCursor();
bool SaveCursor(const std::string& cursor);

}  // namespace vqjournal
