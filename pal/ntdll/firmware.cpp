// The firmware area's providers (see firmware.h).
//
// A generated area is laid out like a small BIOS segment: the model signatures with the
// version text, then an SMBIOS 2.4 entry point on a 16-byte boundary and its table. The
// dmi provider keeps the machine's structures but writes its own 32-bit entry point, since
// the kernel may expose only the 64-bit "_SM3_" form and the table's real address lies
// outside the area anyway.
#include "pal/ntdll/firmware.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "pal/device/conf_device.h"
#include "pal/error/error.h"

namespace pal::ntdll {

namespace {

constexpr const char* kDeviceName = "physmem";
constexpr const char* kDefaultDmiRoot = "/sys/firmware/dmi/tables";
constexpr const char* kDefaultDevMem = "/dev/mem";
constexpr size_t kEntrySize = 0x1F;      // the 32-bit entry point
constexpr size_t kEntry3Size = 0x18;     // the 64-bit entry point
constexpr uint8_t kEndOfTable = 127;

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t GetLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// One structure of a table being built: formatted part, then its strings.
class StructureWriter {
public:
    StructureWriter(uint8_t type, uint8_t length, uint16_t handle) : bytes_(length, 0) {
        bytes_[0] = type;
        bytes_[1] = length;
        PutLe16(&bytes_[2], handle);
    }
    uint8_t* at(size_t offset) { return &bytes_[offset]; }
    // The string's index (0 for an absent or empty one, which SMBIOS leaves out).
    uint8_t AddString(const std::optional<std::string>& text) {
        if (!text || text->empty()) return 0;
        std::string s = text->substr(0, std::min(kMaxSimulatedText, text->find('\0')));
        strings_.insert(strings_.end(), s.begin(), s.end());
        strings_.push_back(0);
        return ++count_;
    }
    std::vector<uint8_t> Finish() const {
        std::vector<uint8_t> out = bytes_;
        out.insert(out.end(), strings_.begin(), strings_.end());
        if (count_ == 0) out.push_back(0);
        out.push_back(0);
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> strings_;
    uint8_t count_ = 0;
};

void WriteEntryPoint(uint8_t* e, uint8_t major, uint8_t minor, uint16_t maxStructure, uint16_t tableLength,
                     uint32_t tableAddress, uint16_t count, uint8_t bcdRevision) {
    std::memset(e, 0, kEntrySize);
    std::memcpy(e, "_SM_", 4);
    e[5] = kEntrySize;
    e[6] = major;
    e[7] = minor;
    PutLe16(e + 8, maxStructure);
    std::memcpy(e + 0x10, "_DMI_", 5);
    PutLe16(e + 0x16, tableLength);
    PutLe32(e + 0x18, tableAddress);
    PutLe16(e + 0x1C, count);
    e[0x1E] = bcdRevision;
    e[0x15] = ChecksumFor(e + 0x10, 0x0F);
    e[4] = ChecksumFor(e, kEntrySize);
}

// Where the structure at offset ends (after its double zero), or 0 when it is malformed
// or runs past size.
size_t StructureEnd(const uint8_t* table, size_t size, size_t offset) {
    if (size - offset < 4) return 0;
    const size_t length = table[offset + 1];
    if (length < 4 || length > size - offset) return 0;
    for (size_t q = offset + length; q + 1 < size; ++q)
        if (table[q] == 0 && table[q + 1] == 0) return q + 2;
    return 0;
}

// Whole-file read of at most limit bytes; 0 or an errno.
int ReadFileBytes(const std::string& path, size_t limit, std::string& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    out.clear();
    char buf[4096];
    int err = 0;
    while (out.size() <= limit) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (err == 0 && out.size() > limit) err = EFBIG;
    return err;
}

NTSTATUS SourceError(int err) {
    return (err == EACCES || err == EPERM) ? STATUS_ACCESS_DENIED : STATUS_IO_DEVICE_ERROR;
}

// "0x..." hexadecimal or decimal, 0 to 0xFFFFFFFF.
bool ParseStatus(const std::string& text, NTSTATUS& status) {
    std::string_view t = text;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        base = 16;
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, base);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || v > 0xFFFFFFFFull) return false;
    status = static_cast<NTSTATUS>(static_cast<uint32_t>(v));
    // Not an error status: the fault still has to fail the call.
    if (status != 0 && NT_SUCCESS(status)) status = STATUS_ACCESS_DENIED;
    return true;
}

NTSTATUS LoadImage(const std::string& path, FirmwareArea& area) {
    std::string bytes;
    int err = ReadFileBytes(path, kFirmwareSize, bytes);
    if (err == EFBIG) return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (err != 0) return SourceError(err);
    std::memcpy(area.data(), bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

NTSTATUS LoadDmi(const std::string& root, FirmwareArea& area) {
    std::string entry, table;
    int err = ReadFileBytes(root + "/smbios_entry_point", 64, entry);
    if (err == 0) err = ReadFileBytes(root + "/DMI", 1u << 20, table);
    if (err != 0) return SourceError(err);
    return BuildAreaFromDmi(entry, table, area) ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS LoadDevMem(const std::string& path, FirmwareArea& area) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SourceError(errno);
    size_t done = 0;
    int err = 0;
    while (done < kFirmwareSize) {
        ssize_t n = pread(fd, area.data() + done, kFirmwareSize - done, static_cast<off_t>(kFirmwareBase + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return err ? SourceError(err) : STATUS_SUCCESS;
}

std::optional<std::string> Text(const pal::device::ConfReader& r, const char* key) {
    const std::string* v = r.Find(key);
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

}  // namespace

uint8_t ChecksumFor(const uint8_t* bytes, size_t size) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}

void BuildSimulatedArea(const SimulatedFirmware& fw, FirmwareArea& area) {
    area.fill(0);
    if (fw.biosVersion) {
        std::string version = fw.biosVersion->substr(0, kMaxSimulatedText);
        version = version.substr(0, version.find('\0'));
        size_t at = kSimulatedTextOffset;
        for (const char* signature : {kFullModelSignature, kReducedModelSignature}) {
            std::string text = std::string(signature) + version;
            std::memcpy(area.data() + at, text.data(), text.size());
            at += text.size() + 1;
        }
    }
    if (!fw.manufacturer && !fw.product && !fw.version && !fw.serial) return;

    StructureWriter bios(0, 0x18, 0x0000);
    bios.at(4)[0] = bios.AddString(std::string("Simulated firmware"));
    bios.at(5)[0] = bios.AddString(fw.biosVersion);
    PutLe16(bios.at(6), 0xE000);  // starting segment
    bios.at(8)[0] = bios.AddString(std::string("01/01/2004"));
    bios.at(9)[0] = 0x0F;         // 1 MB ROM
    bios.at(0x0A)[0] = 0x08;      // characteristics: not supported
    std::memset(bios.at(0x14), 0xFF, 4);  // no release or controller numbers

    StructureWriter system(1, 0x1B, 0x0001);
    system.at(4)[0] = system.AddString(fw.manufacturer);
    system.at(5)[0] = system.AddString(fw.product);
    system.at(6)[0] = system.AddString(fw.version);
    system.at(7)[0] = system.AddString(fw.serial);
    system.at(0x18)[0] = 0x06;    // woken by the power switch

    StructureWriter end(kEndOfTable, 4, 0x0002);

    std::vector<uint8_t> table;
    uint16_t largest = 0;
    for (const auto& s : {bios.Finish(), system.Finish(), end.Finish()}) {
        largest = std::max<uint16_t>(largest, static_cast<uint16_t>(s.size()));
        table.insert(table.end(), s.begin(), s.end());
    }
    std::memcpy(area.data() + kSimulatedTableOffset, table.data(), table.size());
    WriteEntryPoint(area.data() + kSimulatedEntryOffset, 2, 4, largest, static_cast<uint16_t>(table.size()),
                    kFirmwareBase + kSimulatedTableOffset, 3, 0x24);
}

bool BuildAreaFromDmi(std::string_view entry, std::string_view table, FirmwareArea& area) {
    const auto* e = reinterpret_cast<const uint8_t*>(entry.data());
    uint8_t major = 0, minor = 0, bcd = 0;
    size_t length = 0;
    if (entry.size() >= kEntry3Size && entry.substr(0, 5) == "_SM3_") {
        major = e[7];
        minor = e[8];
        length = GetLe32(e + 0x0C);  // the table's maximum size
        bcd = (major < 10 && minor < 10) ? static_cast<uint8_t>(major << 4 | minor) : 0;
    } else if (entry.size() >= kEntrySize && entry.substr(0, 4) == "_SM_") {
        major = e[6];
        minor = e[7];
        length = GetLe16(e + 0x16);
        bcd = e[0x1E];
    } else {
        return false;
    }
    const auto* t = reinterpret_cast<const uint8_t*>(table.data());
    const size_t size = std::min({length, table.size(), size_t{kFirmwareSize - kDmiTableOffset}});
    size_t copied = 0;
    uint16_t count = 0, largest = 0;
    while (copied < size) {
        const size_t end = StructureEnd(t, size, copied);
        if (end == 0) break;
        largest = static_cast<uint16_t>(std::max<size_t>(largest, end - copied));
        const bool last = t[copied] == kEndOfTable;
        copied = end;
        ++count;
        if (last) break;
    }
    area.fill(0);
    if (copied) std::memcpy(area.data() + kDmiTableOffset, t, copied);
    WriteEntryPoint(area.data() + kDmiEntryOffset, major, minor, largest, static_cast<uint16_t>(copied),
                    kFirmwareBase + kDmiTableOffset, count, bcd);
    return true;
}

NTSTATUS LoadFirmwareArea(FirmwareArea& area, PhysmemConfig& config) {
    using pal::device::ConfReader;
    pal::device::ConfValues values;
    switch (pal::device::LoadConf(PhysmemConfigPath(), values)) {
        case 0:
            break;
        case ERROR_FILE_NOT_FOUND:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case ERROR_ACCESS_DENIED:
            return STATUS_ACCESS_DENIED;
        default:
            return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    ConfReader r(values);
    config = PhysmemConfig{};
    if (const std::string* v = r.Find("fail_open"); v && !ParseStatus(*v, config.failOpen))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (const std::string* v = r.Find("fail_map"); v && !ParseStatus(*v, config.failMap))
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    const std::string* provider = r.Find("provider");
    const std::string kind = provider ? *provider : "simulated";
    auto path = [&](const char* key, const char* fallback) -> std::optional<std::string> {
        const std::string* v = r.Find(key);
        if (!v) return std::string(fallback);
        if (v->empty()) return std::nullopt;
        if ((*v)[0] == '/') return *v;
        const std::string conf = PhysmemConfigPath();
        return conf.substr(0, conf.rfind('/') + 1) + *v;
    };
    NTSTATUS status = STATUS_SUCCESS;
    area.fill(0);
    if (kind == "simulated") {
        if (r.Find("image")) {
            auto image = path("image", "");
            if (!image) return STATUS_DEVICE_CONFIGURATION_ERROR;
            if (config.failOpen) return config.failOpen;
            status = LoadImage(*image, area);
        } else {
            SimulatedFirmware fw{Text(r, "bios_version"), Text(r, "sys_manufacturer"), Text(r, "sys_product"),
                                 Text(r, "sys_version"), Text(r, "sys_serial")};
            for (const auto& text : {fw.biosVersion, fw.manufacturer, fw.product, fw.version, fw.serial})
                if (text && text->size() > kMaxSimulatedText) return STATUS_DEVICE_CONFIGURATION_ERROR;
            if (config.failOpen) return config.failOpen;
            BuildSimulatedArea(fw, area);
        }
    } else if (kind == "dmi") {
        auto root = path("dmi_root", kDefaultDmiRoot);
        if (!root) return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (config.failOpen) return config.failOpen;
        status = LoadDmi(*root, area);
    } else if (kind == "devmem") {
        auto dev = path("devmem_path", kDefaultDevMem);
        if (!dev) return STATUS_DEVICE_CONFIGURATION_ERROR;
        if (config.failOpen) return config.failOpen;
        status = LoadDevMem(*dev, area);
    } else {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return status;
}

std::string PhysmemConfigPath() { return pal::device::ConfigPath(kDeviceName); }

bool WritePhysmemConfig(const pal::device::ConfValues& values) {
    pal::device::ConfValues all = values;
    all.emplace("provider", "simulated");
    return pal::device::WriteDeviceConfig(kDeviceName, all);
}

}  // namespace pal::ntdll
