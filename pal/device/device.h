// Device stand-ins for the terminal's kernel drivers, opened as "\\.\NAME".
//
// Each stand-in is configured by one human-editable file, $VQ_ROOT/devices/<name>.conf
// (name in lower case): "key = value" lines that choose where readings come from and
// which faults to inject. Without the file the device does not exist, like a driver that
// is not installed. The file is read at every open and every request, so readings can
// change while a program holds the device open. The devices register with CreateFile
// when the library loads; programs do nothing. Keys and behaviour: docs/device.md.
//
// DRVSENSOR, the sensor driver: DeviceIoControl(h, IOCTL_DRVSENSOR_READ, ...) fills the
// sensor record (little-endian 32-bit fields at the DRVSENSOR_OFFSET_* offsets; the
// full terminal model asks for 40 bytes, the reduced model for 44).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "pal/types.h"

// I/O control codes: device type, required access, function and buffer method.
#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
    ((static_cast<DWORD>(DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0u
#define METHOD_IN_DIRECT 1u
#define METHOD_OUT_DIRECT 2u
#define METHOD_NEITHER 3u
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0u
#define FILE_READ_ACCESS 1u
#define FILE_WRITE_ACCESS 2u
#endif

// The sensor driver's own device type (from the vendor range) and its read request.
#define FILE_DEVICE_DRVSENSOR 0x9700u
#define IOCTL_DRVSENSOR_READ CTL_CODE(FILE_DEVICE_DRVSENSOR, 9, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define DRVSENSOR_RECORD_SIZE 40u          // full model; the reduced model asks for 44
#define DRVSENSOR_OFFSET_CASE_TEMP 0u      // degrees C
#define DRVSENSOR_OFFSET_CPU_TEMP 4u       // degrees C, signed
#define DRVSENSOR_OFFSET_CPU_FAN 8u        // fan count; 0 = stopped
#define DRVSENSOR_OFFSET_COOLING_FAN 12u   // 0 = cooling fan failure
#define DRVSENSOR_OFFSET_POWER_5V 28u      // millivolts
#define DRVSENSOR_OFFSET_POWER_12V 32u     // millivolts

namespace pal::device {

// Keys and values of a device's configuration file.
using ConfValues = std::map<std::string, std::string>;

// $VQ_ROOT/devices/<device in lower case>.conf.
std::string ConfigPath(const std::string& device);

// Replaces a device's configuration file with "key = value" lines, atomically: a reader
// sees the old file or the new one, never a part. Creates the devices directory. False
// (errno set) when the file could not be written.
bool WriteDeviceConfig(const std::string& device, const ConfValues& values);

// Removes a device's configuration file, so the device no longer exists. True when the
// file is gone afterwards.
bool RemoveDeviceConfig(const std::string& device);

// ConfigPath("DRVSENSOR").
std::string SensorConfigPath();

// WriteDeviceConfig("DRVSENSOR", values) with "provider = simulated" unless values name
// a provider. Readings not given take the documented healthy defaults.
bool WriteSimulatedSensor(const ConfValues& values);

// One sensor record, decoded.
struct SensorReadings {
    int32_t caseTemperature = 30;
    int32_t cpuTemperature = 45;
    uint32_t cpuFan = 1000;
    uint32_t coolingFan = 1;
    uint32_t power5V = 5000;
    uint32_t power12V = 12000;
};

// Decodes a record as the driver fills it; false when size is below DRVSENSOR_RECORD_SIZE.
bool DecodeSensorRecord(const void* record, size_t size, SensorReadings& readings);

}  // namespace pal::device
