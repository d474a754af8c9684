// The ata provider of the WMI SMART classes: SMART READ DATA (feature 0xD0) and SMART READ
// THRESHOLDS (0xD1) sent to each ATA disk through the SCSI generic SG_IO request as an ATA
// PASS-THROUGH command (the 16-byte form 0x85 first, the 12-byte form 0xA1 when a
// translation layer refuses the 16-byte one).
//
// Disks: the entries of <sysfs_root>/block named sd<letters> that are not removable, in
// natural order (sda ... sdz, sdaa), opened as <dev_root>/<name>. NVMe disks keep a health
// log, not an ATA attribute table, and are left out, as are loop, ram, zram, device-mapper,
// md, optical and MMC devices. A disk that cannot be opened (no read access to /dev/sdX),
// refuses the command (SG_IO's ATA pass-through needs CAP_SYS_RAWIO), is not ATA, fails or
// times out has no object: it is skipped, never fatal. Each command has a time-out of
// command_timeout_ms; a timed-out 16-byte command is not retried in the 12-byte form.
//
// Instance names: "ATA\<model>\<name>_0" with the model from sysfs (blanks become '_').
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pal/wmi/smart_source.h"

namespace pal::wmi {

inline constexpr uint8_t kSmartReadData = 0xD0;
inline constexpr uint8_t kSmartReadThresholds = 0xD1;

// The SG_IO request: 0, or an errno. Tests put a fake device in place.
class SgIoTransport {
public:
    virtual ~SgIoTransport() = default;
    virtual int Execute(const std::string& devicePath, sg_io_hdr_t& hdr) = 0;
};

// Replaces the transport (null: the real one, open + ioctl(SG_IO) + close); returns the
// previous one.
std::shared_ptr<SgIoTransport> SetSgIoTransport(std::shared_ptr<SgIoTransport> transport);

// The ATA disks of <sysfsRoot>/block in natural order.
std::vector<std::string> AtaDiskNames(const std::string& sysfsRoot);

enum class AtaStatus { Ok, TimedOut, Failed };

// One SMART read of 512 bytes (feature kSmartReadData or kSmartReadThresholds).
AtaStatus AtaSmartRead(const std::string& devicePath, uint8_t feature, uint32_t timeoutMs,
                       std::vector<uint8_t>& sector);

// Every readable disk's block of the class, in disk order, handed to sink until it
// returns false.
void ReadAtaObjects(const SmartConfig& config, SmartClass cls, const std::function<bool(SmartObject&&)>& sink);

}  // namespace pal::wmi
