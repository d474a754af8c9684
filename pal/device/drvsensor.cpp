// DRVSENSOR: the terminal's sensor driver, with readings either from the configuration
// file itself (provider = simulated) or from the Linux hwmon tree (provider = hwmon).
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>

#include "pal/device/conf_device.h"
#include "pal/device/device.h"
#include "pal/device/hwmon.h"
#include "pal/error/error.h"

namespace pal::device {

namespace {

constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kUInt32Max = std::numeric_limits<uint32_t>::max();

struct Field {
    const char* key;
    DWORD offset;
    int64_t lo, hi;
    int64_t healthy;            // simulated and fallback default
    const char* defaultSource;  // hwmon mapping unless configured; null: unmapped
};

constexpr std::array<Field, 6> kFields{{
    {"case_temperature", DRVSENSOR_OFFSET_CASE_TEMP, kInt32Min, kInt32Max, 30, "acpitz:temp1_input:0.001"},
    {"cpu_temperature", DRVSENSOR_OFFSET_CPU_TEMP, kInt32Min, kInt32Max, 45,
     "coretemp|k10temp|zenpower|cpu_thermal:temp1_input:0.001"},
    {"cpu_fan", DRVSENSOR_OFFSET_CPU_FAN, 0, kUInt32Max, 1000, "*:fan1_input:1"},
    {"cooling_fan", DRVSENSOR_OFFSET_COOLING_FAN, 0, kUInt32Max, 1, "*:fan2_input:1"},
    {"power_5v", DRVSENSOR_OFFSET_POWER_5V, 0, kUInt32Max, 5000, nullptr},
    {"power_12v", DRVSENSOR_OFFSET_POWER_12V, 0, kUInt32Max, 12000, nullptr},
}};

using Values = std::array<int64_t, kFields.size()>;

struct SensorConfig {
    bool hwmon = false;
    Values simulated{};
    Values fallback{};
    std::string hwmonRoot = "/sys/class/hwmon";
    std::array<std::optional<HwmonSource>, kFields.size()> map;
};

// 0, or ERROR_GEN_FAILURE for anything malformed.
DWORD ParseSensorConfig(const ConfValues& values, SensorConfig& config) {
    ConfReader r(values);
    if (const std::string* provider = r.Find("provider")) {
        if (*provider == "hwmon")
            config.hwmon = true;
        else if (*provider != "simulated")
            return ERROR_GEN_FAILURE;
    }
    if (const std::string* root = r.Find("hwmon_root")) {
        if (root->empty()) return ERROR_GEN_FAILURE;
        config.hwmonRoot = *root;
    }
    for (size_t i = 0; i < kFields.size(); ++i) {
        const Field& f = kFields[i];
        config.simulated[i] = r.Integer(f.key, f.lo, f.hi, f.healthy);
        config.fallback[i] = r.Integer(std::string("fallback.") + f.key, f.lo, f.hi, f.healthy);
        const std::string* mapped = r.Find(std::string("map.") + f.key);
        const char* text = mapped ? mapped->c_str() : f.defaultSource;
        if (!text || !*text || strcmp(text, "none") == 0) continue;
        HwmonSource source;
        if (!ParseHwmonSource(text, source)) return ERROR_GEN_FAILURE;
        config.map[i] = std::move(source);
    }
    return r.ok() ? 0 : ERROR_GEN_FAILURE;
}

Values Readings(const SensorConfig& config) {
    if (!config.hwmon) return config.simulated;
    Values v = config.fallback;
    const std::vector<HwmonChip> chips = ListHwmonChips(config.hwmonRoot);
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (!config.map[i]) continue;
        // A value the field cannot hold is pinned to its limit rather than wrapped.
        if (auto raw = ReadHwmon(chips, *config.map[i])) v[i] = std::clamp(*raw, kFields[i].lo, kFields[i].hi);
    }
    return v;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

class SensorDriver : public ConfDriver {
public:
    DWORD Check(const ConfValues& values) const override {
        SensorConfig config;
        return ParseSensorConfig(values, config);
    }

    DWORD Request(const ConfValues& values, DWORD code, const void*, DWORD, const void* out, DWORD outSize,
                  Reply& reply) const override {
        if (code != IOCTL_DRVSENSOR_READ) return ERROR_INVALID_FUNCTION;
        if (!out || outSize < DRVSENSOR_RECORD_SIZE) return ERROR_INSUFFICIENT_BUFFER;
        SensorConfig config;
        if (DWORD e = ParseSensorConfig(values, config)) return e;
        const Values v = Readings(config);
        reply.data.assign(DRVSENSOR_RECORD_SIZE, 0);
        for (size_t i = 0; i < kFields.size(); ++i)
            PutLe32(reply.data.data() + kFields[i].offset, static_cast<uint32_t>(v[i]));
        reply.size = outSize;  // the reduced model's longer buffer gets zeros after the record
        return 0;
    }
};

// Only registers the opener: the machine root is looked up at the first open, after the
// program had its chance to set VQ_ROOT.
[[maybe_unused]] const bool kRegistered = [] {
    RegisterConfDevice("DRVSENSOR", std::make_shared<SensorDriver>());
    return true;
}();

}  // namespace

std::string SensorConfigPath() { return ConfigPath("DRVSENSOR"); }

bool WriteSimulatedSensor(const ConfValues& values) {
    ConfValues all = values;
    all.emplace("provider", "simulated");
    return WriteDeviceConfig("DRVSENSOR", all);
}

bool DecodeSensorRecord(const void* record, size_t size, SensorReadings& readings) {
    if (!record || size < DRVSENSOR_RECORD_SIZE) return false;
    const auto* p = static_cast<const uint8_t*>(record);
    readings.caseTemperature = static_cast<int32_t>(GetLe32(p + DRVSENSOR_OFFSET_CASE_TEMP));
    readings.cpuTemperature = static_cast<int32_t>(GetLe32(p + DRVSENSOR_OFFSET_CPU_TEMP));
    readings.cpuFan = GetLe32(p + DRVSENSOR_OFFSET_CPU_FAN);
    readings.coolingFan = GetLe32(p + DRVSENSOR_OFFSET_COOLING_FAN);
    readings.power5V = GetLe32(p + DRVSENSOR_OFFSET_POWER_5V);
    readings.power12V = GetLe32(p + DRVSENSOR_OFFSET_POWER_12V);
    return true;
}

}  // namespace pal::device
