// Devices driven by a configuration file: the machinery every driver stand-in shares.
//
// A driver stand-in supplies a ConfDriver; RegisterConfDevice makes "\\.\NAME" open it.
// Open and every DeviceIoControl re-read $VQ_ROOT/devices/<name>.conf and apply the keys
// common to all such devices before the driver sees the request:
//   fail_open = <win32 error>     CreateFile fails with it (0: no fault)
//   fail_request = <win32 error>  DeviceIoControl fails with it (0: no fault)
//   reply_bytes = N               a reply is cut to N bytes (a short reply)
// Missing file at open: ERROR_FILE_NOT_FOUND. Unreadable: ERROR_ACCESS_DENIED. Malformed
// (a line without '=', a bad number, a value the driver rejects): ERROR_GEN_FAILURE.
// After a successful open, a file that vanished or turned unreadable or malformed fails
// the request with ERROR_GEN_FAILURE (the device stopped working).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pal/device/device.h"
#include "pal/types.h"

namespace pal::device {

// Parses "key = value" lines: blanks around keys and values do not count, keys are
// lower-cased, a '#' at the start of a line or after a blank starts a comment, blank
// lines are skipped, the last entry of a key wins. False on a line without '=' or with
// an empty key.
bool ParseConfText(std::string_view text, ConfValues& values);

// Reads and parses a configuration file; 0 or a Win32 error (see above).
DWORD LoadConf(const std::string& path, ConfValues& values);

// A decimal integer in [lo, hi] (optional sign, nothing else); false otherwise.
bool ParseInteger(std::string_view text, int64_t lo, int64_t hi, int64_t& value);

// A sysfs attribute's first line without its line break and trailing blanks; false when it
// cannot be read (a down interface's carrier file exists but fails with EINVAL).
bool ReadAttribute(const std::string& path, std::string& value);

// Typed reads of optional keys; a present but malformed value makes ok() false.
class ConfReader {
public:
    explicit ConfReader(const ConfValues& values) : values_(values) {}
    const std::string* Find(const std::string& key) const;
    int64_t Integer(const std::string& key, int64_t lo, int64_t hi, int64_t fallback);
    bool ok() const { return ok_; }

private:
    const ConfValues& values_;
    bool ok_ = true;
};

// What a request produces: data, then zeros up to size.
struct Reply {
    std::vector<uint8_t> data;
    DWORD size = 0;
};

class ConfDriver {
public:
    virtual ~ConfDriver() = default;
    // Checks the driver's own keys: 0, or the Win32 error the open or request fails with.
    virtual DWORD Check(const ConfValues& values) const = 0;
    // Serves a request with the current configuration: 0 with the reply filled, or a
    // Win32 error. outSize is the caller's buffer size (out may be null).
    virtual DWORD Request(const ConfValues& values, DWORD code, const void* in, DWORD inSize, const void* out,
                          DWORD outSize, Reply& reply) const = 0;
};

// Makes "\\.\name" open the driver (name matched ignoring case).
void RegisterConfDevice(const std::string& name, std::shared_ptr<const ConfDriver> driver);

}  // namespace pal::device
