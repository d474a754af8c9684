// What the registry says about logs and sources, under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>.
#pragma once

#include <string>

#include "pal/types.h"

namespace pal::eventlog {

// The log's canonical spelling when it exists ("Application", "Security" and "System"
// always do; another when its key exists), else "".
std::string ExistingLog(const std::string& name);

// The log whose key holds a subkey for the source (in the registry's enumeration order,
// the three standard logs first), else "Application". Returns 0, or the registry's error
// when the registrations cannot be read (a source that may be registered is not taken for
// an unregistered one).
LONG LogOfSource(const std::string& source, std::string& log);

// The log's MaxSize value, or the default when it is absent, not a DWORD, or 0.
DWORD LogMaxSize(const std::string& log);

// A text value of the source's key (its type is not checked), cut at the first NUL;
// "" when the key or value is missing.
std::string SourceValue(const std::string& log, const std::string& source, const char* valueName);

}  // namespace pal::eventlog
