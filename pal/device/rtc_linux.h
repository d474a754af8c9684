// The RTC driver's Linux sources: the RTC memory through the rtc-cmos nvmem device, and
// the memory and ECC error counts from EDAC, kept across reboots.
//
// RTC memory: the kernel's rtc-cmos driver exposes the RTC memory after the clock
// registers (indices 14 and up) as one nvmem file, normally
// /sys/bus/nvmem/devices/cmos_nvram0/nvmem; index i is at file offset i - 14. Indices 128
// and up are the second bank, which the driver reads through the bank-2 ports; on a
// chipset without that bank the file ends at index 127. Indices 0-13 are the clock and
// its status registers, not memory: reading them is refused. Never /dev/port: raw port
// access would race the kernel's own use of the index register.
//
// Error counts: EDAC's mc*/ce_count (corrected, i.e. ECC errors) and mc*/ue_count
// (uncorrected memory errors), summed over the memory controllers. The firmware's counters
// survive a reboot, EDAC's start again at 0, so a state file carries the totals of earlier
// boots: a new boot id, or a count lower than the last one seen in the same boot (the
// counters were reset), adds the last count seen to the carried total. Errors counted
// after the last read before a shutdown are not seen. The counts are capped at 255, the
// largest value one RTC byte holds.
#pragma once

#include <cstdint>
#include <string>

#include "pal/types.h"

namespace pal::device {

inline constexpr unsigned kRtcNvmemFirstIndex = 14;

// Win32's ERROR_IO_DEVICE, which the error family does not name.
inline constexpr DWORD kRtcErrorIoDevice = 1117;

// One RTC memory byte: 0, ERROR_INVALID_PARAMETER (a clock register), ERROR_ACCESS_DENIED,
// ERROR_NOT_READY (no nvmem device) or kRtcErrorIoDevice (beyond the device, a read error).
DWORD ReadRtcNvmem(const std::string& nvmemPath, unsigned index, uint8_t& value);

// True when root holds at least one memory controller directory (mcN).
bool HasEdacControllers(const std::string& root);

struct EdacTotals {
    uint64_t corrected = 0;
    uint64_t uncorrected = 0;
};

// Sums ce_count and ue_count over root/mcN: 0, ERROR_NOT_SUPPORTED (no controller) or
// kRtcErrorIoDevice (a count that cannot be read).
DWORD ReadEdacTotals(const std::string& root, EdacTotals& totals);

struct RtcErrorCounts {
    uint8_t ecc = 0;     // corrected errors, capped at 255
    uint8_t memory = 0;  // uncorrected errors, capped at 255
};

// The counts since the state file began, updating the state file: 0, an error of
// ReadEdacTotals, ERROR_NOT_READY (no boot id), ERROR_INVALID_DATA (a malformed state
// file, left for a person to look at) or ERROR_WRITE_FAULT (the state could not be kept).
DWORD ReadPersistentErrorCounts(const std::string& edacRoot, const std::string& bootIdPath,
                                const std::string& stateFile, RtcErrorCounts& counts);

}  // namespace pal::device
