// Fuzz target: arbitrary bytes as devices/smart.conf. Accepted files give whole 512-byte
// blocks whose simulated tables sum to 0, and the objects handed out match the drives.
#include <cstdint>
#include <string>
#include <string_view>

#include "pal/wmi/smart_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    pal::wmi::SmartConfig config;
    std::string reason;
    // Block files are looked up in a directory that does not exist: never read.
    if (!pal::wmi::ParseSmartConf(text, "/nonexistent-smart-fuzz", config, reason)) return 0;
    if (config.drives.size() > static_cast<size_t>(pal::wmi::kSmartMaxSimulatedDrives)) __builtin_trap();
    if (config.ata) return 0;  // would read this machine's disks
    for (const auto& d : config.drives) {
        if (d.data.size() != pal::wmi::kSmartBlockSize || d.instance.empty()) __builtin_trap();
        if (d.hasThresholds && d.thresholds.size() != pal::wmi::kSmartBlockSize) __builtin_trap();
        uint8_t sum = 0;
        for (uint8_t b : d.data) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) __builtin_trap();
    }
    size_t objects = 0;
    pal::wmi::ReadSmartObjects(config, pal::wmi::SmartClass::Data, [&](pal::wmi::SmartObject&& o) {
        if (o.vendor.size() != config.drives[objects].vendorLen) __builtin_trap();
        ++objects;
        return true;
    });
    if (objects != config.drives.size()) __builtin_trap();
    return 0;
}
