// The IP helper's interface table: GetIfTable.
//
// Where the rows come from is chosen by $VQ_ROOT/devices/iftable.conf, the device files'
// "key = value" format, read again at every call:
//   no file, or provider = sysfs   the machine's interfaces under <sysfs_root>/class/net
//   provider = simulated           rows from if.<n>.index, if.<n>.type, if.<n>.up; a file
//                                  without a provider key is simulated too
// Any provider: fail_size = <win32 error> fails the size query (a call whose buffer is
// null or too small) with it, fail_read = <win32 error> fails a call whose buffer is
// large enough. Keys, type mapping and errors: docs/iphlp.md.
#pragma once

#include <string>
#include <vector>

#include "pal/types.h"

#define MAX_INTERFACE_NAME_LEN 256
#define MAXLEN_PHYSADDR 8
#define MAXLEN_IFDESCR 256
#ifndef ANY_SIZE
#define ANY_SIZE 1
#endif

// dwType
#define MIB_IF_TYPE_OTHER 1u
#define MIB_IF_TYPE_ETHERNET 6u
#define MIB_IF_TYPE_TOKENRING 9u
#define MIB_IF_TYPE_FDDI 15u
#define MIB_IF_TYPE_PPP 23u
#define MIB_IF_TYPE_LOOPBACK 24u
#define MIB_IF_TYPE_SLIP 28u
#define IF_TYPE_IEEE80211 71u

// dwAdminStatus
#define MIB_IF_ADMIN_STATUS_UP 1u
#define MIB_IF_ADMIN_STATUS_DOWN 2u
#define MIB_IF_ADMIN_STATUS_TESTING 3u

// dwOperStatus: 0 is a link that is down; the providers report 0 or OPERATIONAL.
#define MIB_IF_OPER_STATUS_NON_OPERATIONAL 0u
#define MIB_IF_OPER_STATUS_UNREACHABLE 1u
#define MIB_IF_OPER_STATUS_DISCONNECTED 2u
#define MIB_IF_OPER_STATUS_CONNECTING 3u
#define MIB_IF_OPER_STATUS_CONNECTED 4u
#define MIB_IF_OPER_STATUS_OPERATIONAL 5u

// One interface. The fields keep their Win32 order; the name is in the platform layer's
// WCHAR, so the row is larger than on Windows: size buffers with sizeof, never with 860.
typedef struct _MIB_IFROW {
    WCHAR wszName[MAX_INTERFACE_NAME_LEN];  // the interface's name
    DWORD dwIndex;
    DWORD dwType;
    DWORD dwMtu;
    DWORD dwSpeed;  // bits per second, 0 when unknown
    DWORD dwPhysAddrLen;
    BYTE bPhysAddr[MAXLEN_PHYSADDR];
    DWORD dwAdminStatus;
    DWORD dwOperStatus;
    DWORD dwLastChange;
    DWORD dwInOctets;
    DWORD dwInUcastPkts;
    DWORD dwInNUcastPkts;
    DWORD dwInDiscards;
    DWORD dwInErrors;
    DWORD dwInUnknownProtos;
    DWORD dwOutOctets;
    DWORD dwOutUcastPkts;
    DWORD dwOutNUcastPkts;
    DWORD dwOutDiscards;
    DWORD dwOutErrors;
    DWORD dwOutQLen;
    DWORD dwDescrLen;  // bytes of bDescr including its NUL
    BYTE bDescr[MAXLEN_IFDESCR];
} MIB_IFROW, *PMIB_IFROW;

typedef struct _MIB_IFTABLE {
    DWORD dwNumEntries;
    MIB_IFROW table[ANY_SIZE];
} MIB_IFTABLE, *PMIB_IFTABLE;

// The size a table of n rows needs.
#define SIZEOF_IFTABLE(n) (offsetof(MIB_IFTABLE, table) + static_cast<size_t>(n) * sizeof(MIB_IFROW))

// Fills pIfTable with every interface, sorted by index when bOrder is TRUE (else in the
// provider's order). NO_ERROR, or:
//   ERROR_INVALID_PARAMETER   pdwSize is null
//   ERROR_INSUFFICIENT_BUFFER pIfTable is null or *pdwSize is below the needed size;
//                             *pdwSize is set to it and nothing is written
//   ERROR_ACCESS_DENIED / ERROR_GEN_FAILURE  the configuration is unreadable / malformed
//   fail_size / fail_read     as configured
// The table can change between two calls: a read may still answer ERROR_INSUFFICIENT_BUFFER
// after a size query. The last error is not touched (the result is the error).
DWORD GetIfTable(PMIB_IFTABLE pIfTable, PULONG pdwSize, BOOL bOrder);

namespace pal::iphlp {

// $VQ_ROOT/devices/iftable.conf.
std::string IfTableConfigPath();

// One row of the simulated table.
struct SimulatedInterface {
    DWORD index = 1;
    DWORD type = MIB_IF_TYPE_ETHERNET;
    bool up = true;
};

// Replaces the file with "provider = simulated" and the rows as if.1 ... if.N, atomically.
// False (errno set) when it could not be written.
bool WriteSimulatedIfTable(const std::vector<SimulatedInterface>& rows);

}  // namespace pal::iphlp
