// Putting an event source in place the way an installer would: its registration under a
// log and its message module. Services that create sources on first use (the service
// layer's state records, vqjournal) share these; both only add what is missing.
#pragma once

#include <string>

namespace pal::eventlog {

// Creates HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source> if needed and
// adds EventMessageFile (REG_EXPAND_SZ messageFile) and TypesSupported (error, warning,
// information) where they are missing: a key left half-made by a killed process is
// completed, values an administrator set stay. False when the registry refused.
bool RegisterSourceIfMissing(const std::string& log, const std::string& source, const char* messageFile);

// Writes the message module text to the Windows path (mapped into the machine root) when
// no file is there; an existing file stays. Readers never see half a module: the text is
// written under a private name and linked into place. False when it could not be written.
bool InstallMessageModuleIfMissing(const char* windowsPath, const std::string& text);

}  // namespace pal::eventlog
