// RTCDRV, the driver of the terminal's battery-backed RTC memory, opened as "\\.\RTCDRV".
//
//   IOCTL_RTCDRV_GET_MACHINE_TYPE: no input; 4 bytes out, byte 0 the machine type.
//   IOCTL_RTCDRV_READ_BYTE: 1 byte in (the RTC memory index); 1 byte out (its value).
//
// Providers (key "provider" of $VQ_ROOT/devices/rtcdrv.conf): "simulated" answers from the
// file's own keys (machine_type, cmos.<index>); "linux" reads the RTC memory through the
// kernel's rtc-cmos nvmem device and the memory and ECC error counts from EDAC, keeping
// the counts across reboots in a state file. Keys, mapping and errors: docs/device.md.
#pragma once

#include <cstdint>
#include <string>

#include "pal/device/device.h"

#define FILE_DEVICE_RTCDRV 0xA600u
#define IOCTL_RTCDRV_READ_BYTE CTL_CODE(FILE_DEVICE_RTCDRV, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RTCDRV_GET_MACHINE_TYPE CTL_CODE(FILE_DEVICE_RTCDRV, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define RTCDRV_MACHINE_TYPE_SIZE 4u

namespace pal::device {

// ConfigPath("RTCDRV").
std::string RtcConfigPath();

// WriteDeviceConfig("RTCDRV", values) with "provider = simulated" unless values name a
// provider.
bool WriteSimulatedRtc(const ConfValues& values);

}  // namespace pal::device
