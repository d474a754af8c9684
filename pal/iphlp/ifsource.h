// The interface table's rows before they become MIB_IFROWs, and the two places they come
// from: the simulated rows of the configuration file and the Linux network class in sysfs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pal/device/device.h"
#include "pal/iphlp/iphlp.h"

namespace pal::iphlp {

struct Interface {
    DWORD index = 0;
    DWORD type = MIB_IF_TYPE_OTHER;
    DWORD adminStatus = MIB_IF_ADMIN_STATUS_UP;
    DWORD operStatus = MIB_IF_OPER_STATUS_NON_OPERATIONAL;
    std::string name;
    DWORD mtu = 0;
    DWORD speed = 0;
    std::vector<BYTE> physAddr;
    // 32-bit counters, wrapping like the Win32 ones.
    DWORD inOctets = 0, inUcastPkts = 0, inNUcastPkts = 0, inDiscards = 0, inErrors = 0;
    DWORD outOctets = 0, outUcastPkts = 0, outDiscards = 0, outErrors = 0;
    // sysfs only: carrier_down_count when the kernel has it.
    std::optional<uint64_t> carrierDownCount;
};

// The rows of if.<n>.* keys in <n> order; false on a malformed row (a bad <n>, an unknown
// field, a value out of range, two rows with one index).
bool SimulatedInterfaces(const device::ConfValues& values, std::vector<Interface>& rows);

// Every interface of <sysfsRoot>/class/net in directory order; none when the tree is
// missing. An interface that vanishes while it is read is left out.
std::vector<Interface> SysfsInterfaces(const std::string& sysfsRoot);

// Shows a link that went down and came back since this process's last read of the same
// interface (carrier_down_count grew) as down in this read, once. Only reads that hand
// rows to the caller may call it: it remembers the counters.
void ApplyShortFlaps(const std::string& sysfsRoot, std::vector<Interface>& rows);

}  // namespace pal::iphlp
