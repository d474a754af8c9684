// The device-change source behind WM_DEVICECHANGE, chosen by $VQ_ROOT/devices/usb.conf:
//   provider = simulated   removals = N / arrivals = N: each rise by k broadcasts k
//                          removals (arrivals); the first value read is the baseline
//   provider = uevent      the kernel's uevents (NETLINK_KOBJECT_UEVENT, group 1): a USB
//                          device (SUBSYSTEM=usb, DEVTYPE=usb_device) removed or added;
//                          uevent_socket = PATH takes them from a Unix datagram socket
//                          bound at PATH instead (tests and demonstrations)
// One listener thread per process ("vq-devices") runs while the process has a top-level
// window; each event is posted to every top-level window's owning thread as
// WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE or DBT_DEVICEARRIVAL. Details:
// docs/device.md.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pal::window {

struct Uevent {
    std::string action;  // "add", "remove", "bind" ...
    std::string subsystem;
    std::string devtype;
};

// A kernel uevent datagram: "action@devpath" then NUL-separated KEY=VALUE fields, read
// within size only (no terminating NUL needed). Nothing for anything else (a udev
// daemon's "libudev" message, a header without '@', an ACTION key that contradicts the
// header).
std::optional<Uevent> ParseUevent(const char* data, size_t size);

enum class UsbChange { None, Removal, Arrival };

// Removal or Arrival for a USB device's remove or add; None for the rest.
UsbChange ClassifyUevent(const Uevent& event);

// Receives one datagram from fd and classifies it. kernelOnly: a datagram whose sender is
// not the kernel (netlink port 0) counts for nothing, so a local process cannot fake a
// removal. A truncated datagram counts for nothing. Nothing when no datagram could be read.
std::optional<UsbChange> ReceiveUevent(int fd, bool kernelOnly);

// Whether the process's listener thread exists now.
bool DeviceListenerRunning();

}  // namespace pal::window
