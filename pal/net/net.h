// Connection state: InternetGetConnectedState.
//
// Where the answer comes from is chosen by $VQ_ROOT/devices/wininet.conf, the same
// "key = value" file as the device stand-ins', read again at every call:
//   no file, or provider = linux   the machine's network interfaces (sysfs): connected
//                                  when an interface other than loopback has a carrier
//                                  and an operational state of "up" (or "unknown", which
//                                  drivers without state tracking report)
//   provider = simulated           connected = 0|1 (default 1); a file without a
//                                  provider key is simulated too
// Any provider: fail = <win32 error> makes the call fail with it (0: no fault).
// Keys and errors: docs/net.md.
#pragma once

#include <string>

#include "pal/types.h"

#define INTERNET_CONNECTION_MODEM 0x01u
#define INTERNET_CONNECTION_LAN 0x02u
#define INTERNET_CONNECTION_PROXY 0x04u
#define INTERNET_CONNECTION_OFFLINE 0x20u
#define INTERNET_CONNECTION_CONFIGURED 0x40u

// TRUE with INTERNET_CONNECTION_LAN in *lpdwFlags when connected. FALSE with flags 0 when
// not connected (last error 0), when the configuration file is unreadable or malformed
// (last error ERROR_ACCESS_DENIED or ERROR_GEN_FAILURE) or when a fault is injected
// (last error as configured). lpdwFlags may be null; dwReserved is ignored.
BOOL InternetGetConnectedState(LPDWORD lpdwFlags, DWORD dwReserved);

namespace pal::net {

// $VQ_ROOT/devices/wininet.conf.
std::string ConnectionConfigPath();

// Replaces the file with "provider = simulated" and "connected = 0|1", atomically.
// False (errno set) when it could not be written.
bool WriteSimulatedConnection(bool connected);

}  // namespace pal::net
