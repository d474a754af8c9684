// RTCDRV: the terminal's RTC memory driver, answering from the configuration file itself
// (provider = simulated) or from the machine's RTC memory and EDAC counters (provider =
// linux, rtc_linux.h).
#include "pal/device/rtcdrv.h"

#include <array>
#include <string_view>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"
#include "pal/device/rtc_linux.h"
#include "pal/error/error.h"

namespace pal::device {

namespace {

constexpr int64_t kSimulatedMachineType = 2;

// Where the Linux provider's counts sit in the RTC memory of a machine type 2 terminal.
constexpr unsigned kMemoryErrorsIndex = 174;
constexpr unsigned kEccErrorsIndex = 175;

struct RtcConfig {
    bool useLinux = false;
    int64_t machineType = -1;  // -1: not configured
    std::array<uint8_t, 256> cmos{};
    std::string nvmemPath = "/sys/bus/nvmem/devices/cmos_nvram0/nvmem";
    std::string edacRoot = "/sys/devices/system/edac/mc";
    std::string bootIdPath = "/proc/sys/kernel/random/boot_id";
    std::string stateFile;  // default: $VQ_ROOT/devices/rtcdrv.state
};

// 0, or ERROR_GEN_FAILURE for anything malformed.
DWORD ParseRtcConfig(const ConfValues& values, RtcConfig& config) {
    ConfReader r(values);
    if (const std::string* provider = r.Find("provider")) {
        if (*provider == "linux")
            config.useLinux = true;
        else if (*provider != "simulated")
            return ERROR_GEN_FAILURE;
    }
    config.machineType = r.Integer("machine_type", 0, 255, -1);
    for (const auto& [key, value] : values) {
        std::string_view k(key);
        if (k.substr(0, 5) != "cmos.") continue;
        int64_t index = 0, byte = 0;
        if (!ParseInteger(k.substr(5), 0, 255, index) || !ParseInteger(value, 0, 255, byte)) return ERROR_GEN_FAILURE;
        config.cmos[static_cast<size_t>(index)] = static_cast<uint8_t>(byte);
    }
    for (auto [key, member] : {std::pair{"nvmem_path", &RtcConfig::nvmemPath},
                               std::pair{"edac_root", &RtcConfig::edacRoot},
                               std::pair{"boot_id_path", &RtcConfig::bootIdPath},
                               std::pair{"state_file", &RtcConfig::stateFile}}) {
        if (const std::string* path = r.Find(key)) {
            if (path->empty()) return ERROR_GEN_FAILURE;
            config.*member = *path;
        }
    }
    if (config.stateFile.empty()) config.stateFile = core::RootDir() + "/devices/rtcdrv.state";
    return r.ok() ? 0 : ERROR_GEN_FAILURE;
}

uint8_t MachineType(const RtcConfig& config) {
    if (config.machineType >= 0) return static_cast<uint8_t>(config.machineType);
    if (!config.useLinux) return kSimulatedMachineType;
    // Only type 2 terminals keep error counts; without EDAC there are none to give.
    return HasEdacControllers(config.edacRoot) ? 2 : 1;
}

DWORD ReadLinuxByte(const RtcConfig& config, unsigned index, uint8_t& value) {
    if (MachineType(config) == 2 && (index == kMemoryErrorsIndex || index == kEccErrorsIndex)) {
        RtcErrorCounts counts;
        if (DWORD e = ReadPersistentErrorCounts(config.edacRoot, config.bootIdPath, config.stateFile, counts)) return e;
        value = index == kMemoryErrorsIndex ? counts.memory : counts.ecc;
        return 0;
    }
    return ReadRtcNvmem(config.nvmemPath, index, value);
}

class RtcDriver : public ConfDriver {
public:
    DWORD Check(const ConfValues& values) const override {
        RtcConfig config;
        return ParseRtcConfig(values, config);
    }

    DWORD Request(const ConfValues& values, DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                  Reply& reply) const override {
        RtcConfig config;
        if (DWORD e = ParseRtcConfig(values, config)) return e;
        if (code == IOCTL_RTCDRV_GET_MACHINE_TYPE) {
            if (!out || outSize < RTCDRV_MACHINE_TYPE_SIZE) return ERROR_INSUFFICIENT_BUFFER;
            reply.data.assign(RTCDRV_MACHINE_TYPE_SIZE, 0);
            reply.data[0] = MachineType(config);
            reply.size = RTCDRV_MACHINE_TYPE_SIZE;
            return 0;
        }
        if (code == IOCTL_RTCDRV_READ_BYTE) {
            if (!in || inSize < 1) return ERROR_INVALID_PARAMETER;
            if (!out || outSize < 1) return ERROR_INSUFFICIENT_BUFFER;
            const unsigned index = *static_cast<const uint8_t*>(in);
            uint8_t value = config.cmos[index];
            if (config.useLinux) {
                if (DWORD e = ReadLinuxByte(config, index, value)) return e;
            }
            reply.data.assign(1, value);
            reply.size = 1;
            return 0;
        }
        return ERROR_INVALID_FUNCTION;
    }
};

// Only registers the opener: the machine root is looked up at the first open.
[[maybe_unused]] const bool kRegistered = [] {
    RegisterConfDevice("RTCDRV", std::make_shared<RtcDriver>());
    return true;
}();

}  // namespace

std::string RtcConfigPath() { return ConfigPath("RTCDRV"); }

bool WriteSimulatedRtc(const ConfValues& values) {
    ConfValues all = values;
    all.emplace("provider", "simulated");
    return WriteDeviceConfig("RTCDRV", all);
}

}  // namespace pal::device
