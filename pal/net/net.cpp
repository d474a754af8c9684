// InternetGetConnectedState over a simulated state or the sysfs network class.
//
// The configuration is the device stand-ins' file format, parsed by their parser, so a
// person edits it the same way. There is no cached state: a poll every few minutes can
// afford to read a small file and one directory, and tests can flip the answer between
// two calls.
#include "pal/net/net.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string_view>

#include "pal/device/conf_device.h"
#include "pal/device/device.h"
#include "pal/error/error.h"

namespace pal::net {

namespace {

constexpr const char* kDeviceName = "wininet";
constexpr const char* kDefaultSysfsRoot = "/sys";
constexpr const char* kLoopbackType = "772";  // ARPHRD_LOOPBACK

struct Answer {
    bool connected = false;
    DWORD error = 0;
};

using pal::device::ReadAttribute;

bool IsLoopback(const std::string& dir, std::string_view name) {
    std::string type;
    if (ReadAttribute(dir + "/type", type)) return type == kLoopbackType;
    return name == "lo";
}

bool InterfaceConnected(const std::string& dir) {
    std::string operstate, carrier;
    if (!ReadAttribute(dir + "/operstate", operstate) || !ReadAttribute(dir + "/carrier", carrier)) return false;
    return (operstate == "up" || operstate == "unknown") && carrier == "1";
}

bool LinuxConnected(const std::string& sysfsRoot) {
    const std::string classDir = sysfsRoot + "/class/net";
    DIR* d = opendir(classDir.c_str());
    if (!d) return false;
    bool connected = false;
    while (dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string dir = classDir + "/" + e->d_name;
        if (IsLoopback(dir, name)) continue;
        if (InterfaceConnected(dir)) {
            connected = true;
            break;
        }
    }
    closedir(d);
    return connected;
}

Answer Ask() {
    device::ConfValues values;
    const DWORD loaded = device::LoadConf(ConnectionConfigPath(), values);
    if (loaded == ERROR_FILE_NOT_FOUND) return {LinuxConnected(kDefaultSysfsRoot), 0};
    // Unreadable or malformed: nobody can tell what was meant, so no connection.
    if (loaded != 0) return {false, loaded};

    device::ConfReader r(values);
    const DWORD fail = static_cast<DWORD>(r.Integer("fail", 0, 0xFFFFFFFFll, 0));
    const int64_t connected = r.Integer("connected", 0, 1, 1);
    if (!r.ok()) return {false, ERROR_GEN_FAILURE};
    std::string sysfsRoot = kDefaultSysfsRoot;
    if (const std::string* root = r.Find("sysfs_root")) {
        if (root->empty()) return {false, ERROR_GEN_FAILURE};
        sysfsRoot = *root;
    }
    const std::string* provider = r.Find("provider");
    const bool simulated = !provider || *provider == "simulated";
    if (!simulated && *provider != "linux") return {false, ERROR_GEN_FAILURE};
    if (fail != 0) return {false, fail};
    return {simulated ? connected == 1 : LinuxConnected(sysfsRoot), 0};
}

}  // namespace

std::string ConnectionConfigPath() { return device::ConfigPath(kDeviceName); }

bool WriteSimulatedConnection(bool connected) {
    return device::WriteDeviceConfig(kDeviceName, {{"provider", "simulated"}, {"connected", connected ? "1" : "0"}});
}

}  // namespace pal::net

BOOL InternetGetConnectedState(LPDWORD lpdwFlags, DWORD /*dwReserved*/) {
    const pal::net::Answer a = pal::net::Ask();
    if (lpdwFlags) *lpdwFlags = a.connected ? INTERNET_CONNECTION_LAN : 0;
    SetLastError(a.error);
    return a.connected ? TRUE : FALSE;
}
