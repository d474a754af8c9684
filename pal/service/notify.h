// Status notifications to the service manager (systemd's NOTIFY_SOCKET datagrams).
#pragma once

#include <string>

#include "pal/service/service.h"

namespace pal::service::detail {

// The datagram for a status report: READY=1 (first running report of the process),
// STOPPING=1 (first stop-pending or stopped report), STATUS=<text>, and
// EXTEND_TIMEOUT_USEC for pending states with a wait hint. first* say whether this is
// the process's first report of that kind.
std::string NotifyMessage(const std::string& name, const SERVICE_STATUS& status, bool firstRunning,
                          bool firstStopping);

// Sends one datagram to $NOTIFY_SOCKET ('@' starts an abstract name); false when unset or
// the send failed.
bool Notify(const std::string& message);

}  // namespace pal::service::detail
