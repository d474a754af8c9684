// The firmware area behind "\device\physicalmemory": 64 KB from physical 0xF0000.
//
// $VQ_ROOT/devices/physmem.conf (the device files' "key = value" format) chooses where the
// bytes come from; it is read at every ZwOpenSection:
//   provider = simulated   image = FILE: the area is that file (at most 64 KB, zeros
//                          after a shorter one; a relative path is taken from the devices
//                          directory). Without image the area is generated:
//                            bios_version = TEXT   the text after each terminal model's
//                                                  BIOS signature (none without the key)
//                            sys_manufacturer, sys_product, sys_version, sys_serial
//                                                  an SMBIOS 2.4 entry point and table with
//                                                  a BIOS (type 0) and a system (type 1)
//                                                  structure (none without any of them)
//   provider = dmi         the machine's SMBIOS tables (<dmi_root>/smbios_entry_point and
//                          <dmi_root>/DMI, dmi_root default /sys/firmware/dmi/tables),
//                          the entry point rewritten in the 32-bit "_SM_" form with the
//                          table copied into the area
//   provider = devmem      64 KB read from <devmem_path> (default /dev/mem) at 0xF0000
// Faults, any provider: fail_open = STATUS fails ZwOpenSection, fail_map = STATUS fails
// ZwMapViewOfSection (0x hex or decimal; 0 no fault; a value that is not an error status,
// such as 1, stands for STATUS_ACCESS_DENIED).
// Errors of the open: no file STATUS_OBJECT_NAME_NOT_FOUND; an unreadable file or source
// STATUS_ACCESS_DENIED; a malformed file STATUS_DEVICE_CONFIGURATION_ERROR; a source that
// is missing, short or not SMBIOS STATUS_IO_DEVICE_ERROR.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pal/device/device.h"
#include "pal/ntdll/ntdll.h"

namespace pal::ntdll {

inline constexpr uint32_t kFirmwareBase = 0xF0000;
inline constexpr uint32_t kFirmwareSize = 0x10000;
using FirmwareArea = std::array<uint8_t, kFirmwareSize>;

// The BIOS signatures of the two terminal models; a generated area holds both, each
// followed by bios_version.
inline constexpr const char* kFullModelSignature = "KX4_P21";
inline constexpr const char* kReducedModelSignature = "RZ9_T08";

// Where a generated or converted area puts things (offsets in the area).
inline constexpr uint32_t kSimulatedTextOffset = 0x0100;
inline constexpr uint32_t kSimulatedEntryOffset = 0x0400;
inline constexpr uint32_t kSimulatedTableOffset = 0x0420;
inline constexpr uint32_t kDmiEntryOffset = 0x0000;
inline constexpr uint32_t kDmiTableOffset = 0x0020;
// The longest text a generated area takes per key.
inline constexpr size_t kMaxSimulatedText = 255;

struct SimulatedFirmware {
    std::optional<std::string> biosVersion;
    std::optional<std::string> manufacturer, product, version, serial;
};

// A generated area. Texts longer than kMaxSimulatedText are cut.
void BuildSimulatedArea(const SimulatedFirmware& firmware, FirmwareArea& area);

// An area from the kernel's SMBIOS files: entry is smbios_entry_point ("_SM_" or "_SM3_"),
// table is DMI. Only whole structures that fit are copied; the walk ends after the
// end-of-table structure or at the first malformed one. False when entry is neither form.
bool BuildAreaFromDmi(std::string_view entry, std::string_view table, FirmwareArea& area);

// What the configuration asks for.
struct PhysmemConfig {
    NTSTATUS failOpen = 0;
    NTSTATUS failMap = 0;
};

// Reads physmem.conf and produces the area; STATUS_SUCCESS or the open's error above.
NTSTATUS LoadFirmwareArea(FirmwareArea& area, PhysmemConfig& config);

// $VQ_ROOT/devices/physmem.conf.
std::string PhysmemConfigPath();

// Replaces physmem.conf, atomically (pal::device::WriteDeviceConfig); "provider =
// simulated" is added unless values name a provider.
bool WritePhysmemConfig(const pal::device::ConfValues& values);

// The SMBIOS entry-point checksum rule: the bytes sum to zero modulo 256.
uint8_t ChecksumFor(const uint8_t* bytes, size_t size);

}  // namespace pal::ntdll
