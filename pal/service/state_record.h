// The System-log record a service's state change leaves, as the platform's service
// manager writes it: source "Service Control Manager", event 7036, the service's name and
// its new state as insertion strings.
#pragma once

#include <string>

#include "pal/types.h"

namespace pal::service::detail {

inline constexpr const char* kScmSource = "Service Control Manager";
inline constexpr DWORD kStateChangeEvent = 0x40001B7C;  // informational, code 7036

// "running", "stopped" or "paused" for the states that leave a record, else nullptr.
const char* StateWord(DWORD state);

// Writes one record for the service's new state. Registers the source under the System
// log and installs its message module first when either is missing (an existing one is
// left as it is). Returns false when the record could not be written; the caller's
// status report does not fail for it.
bool WriteStateRecord(const std::string& service, DWORD state);

// The message module's text, as installed.
const char* ScmMessageModule();

}  // namespace pal::service::detail
