// Short forms of the sensor driver calls the device tests repeat.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pal/core/root.h"
#include "pal/device/device.h"
#include "pal/error/error.h"
#include "pal/file/file.h"
#include "pal/handle/handle.h"

namespace devtest {

constexpr uint8_t kUntouched = 0xCC;

inline HANDLE OpenSensor() {
    return CreateFileA("\\\\.\\DRVSENSOR", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Outcome of CreateFile: "ok" or "fail <error>".
inline std::string OpenOutcome() {
    HANDLE h = OpenSensor();
    if (h == INVALID_HANDLE_VALUE) return "fail " + std::to_string(GetLastError());
    CloseHandle(h);
    return "ok";
}

struct Answer {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD returned = 0;
    std::vector<uint8_t> bytes;  // the whole buffer, kUntouched where nothing was written

    uint32_t At(size_t offset) const {
        uint32_t v;
        memcpy(&v, bytes.data() + offset, 4);
        return v;
    }
};

inline Answer Ask(HANDLE h, DWORD outSize = DRVSENSOR_RECORD_SIZE, DWORD code = IOCTL_DRVSENSOR_READ) {
    Answer a;
    a.bytes.assign(outSize + 8, kUntouched);
    a.returned = 12345;
    a.ok = DeviceIoControl(h, code, nullptr, 0, a.bytes.data(), outSize, &a.returned, nullptr);
    a.error = a.ok ? 0 : GetLastError();
    return a;
}

// Opens, asks once, closes. A failed open reads as that error.
inline Answer AskOnce(DWORD outSize = DRVSENSOR_RECORD_SIZE, DWORD code = IOCTL_DRVSENSOR_READ) {
    HANDLE h = OpenSensor();
    if (h == INVALID_HANDLE_VALUE) return Answer{FALSE, GetLastError(), 0, {}};
    Answer a = Ask(h, outSize, code);
    CloseHandle(h);
    return a;
}

inline void WriteConfText(const std::string& text) {
    pal::core::MakeDirs(pal::core::RootDir() + "/devices");
    std::ofstream(pal::device::SensorConfigPath(), std::ios::trunc) << text;
}

// Each test starts without a sensor configuration (or a killed writer's temporary file).
class SensorTest : public testing::Test {
protected:
    void SetUp() override { std::filesystem::remove_all(pal::core::RootDir() + "/devices"); }
    void TearDown() override { pal::device::RemoveDeviceConfig("DRVSENSOR"); }
};

}  // namespace devtest
