// Fuzz target: the kernel's SMBIOS files turned into the firmware area. The first byte is
// the entry point's length, then the entry point, then the table. Whatever they hold, the
// area's entry point must be well formed and name a copied prefix of the table.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "pal/ntdll/firmware.h"

using namespace pal::ntdll;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t entrySize = std::min<size_t>(data[0], size - 1);
    std::string_view entry(reinterpret_cast<const char*>(data + 1), entrySize);
    std::string_view table(reinterpret_cast<const char*>(data + 1 + entrySize), size - 1 - entrySize);
    auto area = std::make_unique<FirmwareArea>();
    if (!BuildAreaFromDmi(entry, table, *area)) return 0;
    const uint8_t* e = area->data() + kDmiEntryOffset;
    if (std::memcmp(e, "_SM_", 4) != 0 || ChecksumFor(e, 0x1F) != 0 || ChecksumFor(e + 0x10, 0x0F) != 0)
        __builtin_trap();
    const size_t length = static_cast<size_t>(e[0x16] | e[0x17] << 8);
    const uint32_t address = static_cast<uint32_t>(e[0x18] | e[0x19] << 8 | e[0x1A] << 16) | uint32_t{e[0x1B]} << 24;
    if (address != kFirmwareBase + kDmiTableOffset || length > table.size() ||
        length > kFirmwareSize - kDmiTableOffset)
        __builtin_trap();
    if (length && std::memcmp(area->data() + kDmiTableOffset, table.data(), length) != 0) __builtin_trap();
    return 0;
}
