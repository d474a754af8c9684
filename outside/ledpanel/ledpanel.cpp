// The simulated seven-segment display (see ledpanel.h).
//
// Every call reads devices/ledpanel.conf afresh, so a test or the demo can unplug the
// display or make a call fail between two calls. A show replaces the state file through a
// private temporary file and rename(), which readers in other processes (vqled) see
// either whole or not at all. Handles are a per-process set; the display keeps no other
// memory, so any number of processes may use it.
#include "outside/ledpanel/ledpanel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"
#include "pal/error/error.h"
#include "pal/file/whole_file.h"
#include "pal/thread/thread.h"

namespace {

struct Conf {
    bool present = false;
    int digits = 4;
    bool failOpen = false;
    LONG failShow = 0;
    LONG failClose = 0;
};

// A missing or malformed file: no display (a display that cannot be described cannot be
// driven either).
Conf ReadConf() {
    Conf conf;
    pal::device::ConfValues values;
    if (pal::device::LoadConf(ledpanel::ConfPath(), values) != 0) return conf;
    pal::device::ConfReader r(values);
    conf.digits = static_cast<int>(r.Integer("digits", ledpanel::kMinDigits, ledpanel::kMaxDigits, 4));
    conf.failOpen = r.Integer("fail_open", 0, 1, 0) != 0;
    conf.failShow = static_cast<LONG>(r.Integer("fail_show", INT32_MIN, INT32_MAX, 0));
    conf.failClose = static_cast<LONG>(r.Integer("fail_close", INT32_MIN, INT32_MAX, 0));
    conf.present = r.ok();
    return conf;
}

struct Handles {
    std::mutex mutex;
    std::set<LONG> open;
    LONG next = 1;
};

Handles& H() {
    static Handles* handles = new Handles();
    return *handles;
}

bool IsOpen(LONG handle) {
    std::lock_guard<std::mutex> lock(H().mutex);
    return H().open.count(handle) != 0;
}

bool Fits(DWORD code, int digits) {
    uint64_t limit = 1;
    for (int i = 0; i < digits; ++i) limit *= 10;
    return code < limit;
}

// 0, or the Win32 error of the failed write.
DWORD WriteState(int digits, DWORD code) {
    const std::string dir = pal::core::RootDir() + "/ledpanel";
    if (!pal::core::MakeDirs(dir)) return ERROR_PATH_NOT_FOUND;
    const std::string path = ledpanel::StatePath();
    const std::string text = "digits = " + std::to_string(digits) + "\ncode = " + std::to_string(code) + "\n";
    if (!pal::ReplaceFileAtomically(path, text)) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
    return 0;
}

}  // namespace

namespace ledpanel {

std::string ConfPath() { return pal::core::RootDir() + "/devices/ledpanel.conf"; }
std::string StatePath() { return pal::core::RootDir() + "/ledpanel/state"; }

}  // namespace ledpanel

LONG LedPanelOpen(LPCSTR name) {
    if (name == nullptr || std::string(name) != "7SEG") return -1;
    Conf conf = ReadConf();
    if (!conf.present || conf.failOpen) return -1;
    std::lock_guard<std::mutex> lock(H().mutex);
    if (H().next == INT32_MAX) return -1;  // handles are never handed out twice
    LONG handle = H().next++;
    H().open.insert(handle);
    return handle;
}

LONG LedPanelShow(LONG handle, DWORD code) {
    if (!IsOpen(handle)) return ERROR_INVALID_HANDLE;
    Conf conf = ReadConf();
    if (!conf.present) return ERROR_NOT_READY;
    if (conf.failShow != 0) return conf.failShow;
    // A code with more digits than the display has would show a different number.
    if (!Fits(code, conf.digits)) return ERROR_INVALID_PARAMETER;
    return static_cast<LONG>(WriteState(conf.digits, code));
}

LONG LedPanelClose(LONG handle) {
    {
        std::lock_guard<std::mutex> lock(H().mutex);
        if (H().open.erase(handle) == 0) return ERROR_INVALID_HANDLE;
    }
    // The handle is given back even when the configuration makes the close fail.
    Conf conf = ReadConf();
    return conf.present ? conf.failClose : static_cast<LONG>(ERROR_NOT_READY);
}
