// Fuzz target: arbitrary bytes as devices/iftable.conf. Checks that accepted rows have
// distinct non-zero indices and that rows written back as if.<n> keys read back the same.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pal/device/conf_device.h"
#include "pal/iphlp/ifsource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    pal::device::ConfValues values;
    if (!pal::device::ParseConfText(text, values)) return 0;
    std::vector<pal::iphlp::Interface> rows;
    if (!pal::iphlp::SimulatedInterfaces(values, rows)) return 0;
    if (rows.size() > values.size()) __builtin_trap();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].index == 0) __builtin_trap();
        for (size_t j = 0; j < i; ++j)
            if (rows[i].index == rows[j].index) __builtin_trap();
    }

    pal::device::ConfValues again;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string n = "if." + std::to_string(i + 1) + ".";
        again[n + "index"] = std::to_string(rows[i].index);
        again[n + "type"] = std::to_string(rows[i].type);
        again[n + "up"] = rows[i].operStatus != 0 ? "1" : "0";
    }
    std::vector<pal::iphlp::Interface> back;
    if (!pal::iphlp::SimulatedInterfaces(again, back) || back.size() != rows.size()) __builtin_trap();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (back[i].index != rows[i].index || back[i].type != rows[i].type ||
            back[i].operStatus != rows[i].operStatus)
            __builtin_trap();
    }
    return 0;
}
