// Where the WMI SMART classes get their drives: $VQ_ROOT/devices/smart.conf, read again at
// every connection and query.
//
//   provider = simulated | ata
//   simulated:  drives = N; per drive k (1..N):
//               drive<k>.attr.<id> = flags current worst raw   (table order = line order)
//               drive<k>.thresh.<id> = T
//               drive<k>.data = FILE, drive<k>.thresholds = FILE | none   (512-byte blocks)
//               drive<k>.instance = NAME, drive<k>.vendor_len = N
//   ata:        sysfs_root, dev_root, command_timeout_ms (smart_ata.h)
//   both:       fail_connect, fail_query, query_delay_ms
//
// No file: the machine has no SMART provider (ExecQuery fails with WBEM_E_NOT_SUPPORTED,
// like a machine whose storage driver keeps no SMART data). Keys, defaults and errors:
// docs/wmi.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pal/types.h"

namespace pal::wmi {

inline constexpr size_t kSmartBlockSize = 512;
inline constexpr int kSmartMaxAttributes = 30;
inline constexpr int kSmartMaxSimulatedDrives = 64;

enum class SmartClass { Data, Thresholds };

// One drive of the simulated provider.
struct SimulatedDrive {
    std::string instance;
    std::vector<uint8_t> data;        // 512 bytes
    bool hasThresholds = true;
    std::vector<uint8_t> thresholds;  // 512 bytes when hasThresholds
    size_t vendorLen = kSmartBlockSize;
};

struct SmartConfig {
    bool ata = false;
    bool failConnect = false;
    bool failQuery = false;
    uint32_t queryDelayMs = 0;
    std::vector<SimulatedDrive> drives;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    uint32_t commandTimeoutMs = 10000;
};

// One object of a query: the instance name and the VendorSpecific bytes.
struct SmartObject {
    std::string instance;
    std::vector<uint8_t> vendor;
};

// $VQ_ROOT/devices/smart.conf.
std::string SmartConfigPath();

// Parses the file's text; FILE paths are relative to devicesDir unless absolute. False
// (with a reason) on anything malformed: a line without '=', an unknown provider, a bad
// number, an attribute id outside 1..255, a raw value beyond 48 bits, more than 30
// attributes, a block file that is not 512 bytes, a drive key beyond drives.
bool ParseSmartConf(std::string_view text, const std::string& devicesDir, SmartConfig& config, std::string& reason);

// S_OK; S_FALSE when there is no file (config left at its defaults); E_FAIL when the file
// cannot be read or is malformed.
HRESULT LoadSmartConfig(SmartConfig& config);

// The 512-byte blocks of the simulated keys: revision 0x0010, the entries, a checksum in
// byte 511 that makes the block sum to 0.
void SetSmartChecksum(std::vector<uint8_t>& block);

// Each object of a class in drive order, handed to sink until it returns false. Simulated
// drives without thresholds have no threshold object; ata drives that cannot be read
// (no permission, not ATA, a failed or timed-out command) have none either.
void ReadSmartObjects(const SmartConfig& config, SmartClass cls, const std::function<bool(SmartObject&&)>& sink);

}  // namespace pal::wmi
