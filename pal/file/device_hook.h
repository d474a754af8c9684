// Device names for CreateFile: "\\.\NAME" opens whatever object the provider registered
// for NAME returns (a driver stand-in, a pipe client ...). Providers register at start-up
// of their family; a name nobody registered fails with ERROR_FILE_NOT_FOUND.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "pal/file/io_object.h"

namespace pal {

struct DeviceOpenRequest {
    std::string name;  // NAME of "\\.\NAME", as given
    DWORD access;      // as given to CreateFile
    DWORD share;
    DWORD disposition;
    DWORD flags;  // flags and attributes
    std::string server;  // "." for "\\.\NAME"; SERVER of "\\SERVER\PIPE\x" (pipes only)
};

// Returns the opened object, or null with error set to a Win32 number.
using DeviceOpener = std::function<std::shared_ptr<IoObject>(const DeviceOpenRequest& request, DWORD& error)>;

// pattern is a device name matched ignoring case; a trailing '*' matches every name
// that starts with the rest ("PhysicalDrive*", "pipe\*"). The longest matching pattern
// wins. Registering a pattern again replaces its opener; a null opener removes it.
void RegisterDeviceOpener(const std::string& pattern, DeviceOpener opener);

// The opener for a device name, or an empty function.
DeviceOpener FindDeviceOpener(const std::string& name);

}  // namespace pal
