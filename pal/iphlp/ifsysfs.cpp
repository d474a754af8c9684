// Interface rows from the Linux network class: one directory per interface under
// <root>/class/net, one small attribute file per property.
//
// A row is up (OPERATIONAL) when the interface is administratively up (IFF_UP in flags),
// has a carrier and reports the operational state "up" or "unknown" (drivers without
// state tracking); anything else is 0, the Win32 code of a link that is down. The Win32
// type only tells physical Ethernet (an ARPHRD_ETHER interface with a device behind it,
// not wireless) from loopback, wireless and everything else: bridges, veth pairs and
// tunnels are "other", so a monitor of the Ethernet links does not watch them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

#include "pal/device/conf_device.h"
#include "pal/iphlp/ifsource.h"

namespace pal::iphlp {

namespace {

constexpr const char* kArphrdEther = "1";
constexpr const char* kArphrdLoopback = "772";
constexpr unsigned long kIffUp = 0x1;

using pal::device::ReadAttribute;

std::optional<uint64_t> ReadNumber(const std::string& path) {
    std::string text;
    int64_t v = 0;
    if (!ReadAttribute(path, text) || !device::ParseInteger(text, 0, INT64_MAX, v)) return std::nullopt;
    return static_cast<uint64_t>(v);
}

DWORD Counter(const std::string& dir, const char* name) {
    return static_cast<DWORD>(ReadNumber(dir + "/statistics/" + name).value_or(0));  // wraps at 2^32
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "aa:bb:cc:dd:ee:ff"; empty when longer than a row holds or not hex pairs.
std::vector<BYTE> ParseAddress(std::string_view text) {
    std::vector<BYTE> out;
    for (size_t i = 0; i < text.size();) {
        if (i + 1 >= text.size()) return {};
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || out.size() == MAXLEN_PHYSADDR) return {};
        out.push_back(static_cast<BYTE>(hi * 16 + lo));
        i += 2;
        if (i < text.size() && text[i++] != ':') return {};
    }
    return out;
}

DWORD TypeOf(const std::string& dir, const std::string& arphrd, std::string_view name) {
    if (arphrd == kArphrdLoopback || (arphrd.empty() && name == "lo")) return MIB_IF_TYPE_LOOPBACK;
    if (arphrd != kArphrdEther) return MIB_IF_TYPE_OTHER;
    if (Exists(dir + "/wireless") || Exists(dir + "/phy80211")) return IF_TYPE_IEEE80211;
    return Exists(dir + "/device") ? MIB_IF_TYPE_ETHERNET : MIB_IF_TYPE_OTHER;
}

bool ReadInterface(const std::string& dir, std::string_view name, Interface& row) {
    std::optional<uint64_t> index = ReadNumber(dir + "/ifindex");
    if (!index || *index == 0 || *index > 0xFFFFFFFFu) return false;
    row.index = static_cast<DWORD>(*index);
    row.name.assign(name);

    std::string arphrd, flags, operstate, carrier, address;
    ReadAttribute(dir + "/type", arphrd);
    row.type = TypeOf(dir, arphrd, name);

    bool adminUp = false;
    if (ReadAttribute(dir + "/flags", flags)) adminUp = (std::strtoul(flags.c_str(), nullptr, 16) & kIffUp) != 0;
    row.adminStatus = adminUp ? MIB_IF_ADMIN_STATUS_UP : MIB_IF_ADMIN_STATUS_DOWN;
    const bool stateUp = ReadAttribute(dir + "/operstate", operstate) && (operstate == "up" || operstate == "unknown");
    const bool hasCarrier = ReadAttribute(dir + "/carrier", carrier) && carrier == "1";
    row.operStatus = adminUp && stateUp && hasCarrier ? MIB_IF_OPER_STATUS_OPERATIONAL
                                                      : MIB_IF_OPER_STATUS_NON_OPERATIONAL;

    row.mtu = static_cast<DWORD>(ReadNumber(dir + "/mtu").value_or(0));
    // Mbit/s; unknown (-1 or unreadable) is 0, and anything beyond 32 bits of bit/s is pinned.
    const uint64_t mbits = ReadNumber(dir + "/speed").value_or(0);
    row.speed = mbits >= 4295 ? 0xFFFFFFFFu : static_cast<DWORD>(mbits * 1000000u);
    if (ReadAttribute(dir + "/address", address)) row.physAddr = ParseAddress(address);

    const DWORD rxPackets = Counter(dir, "rx_packets");
    row.inNUcastPkts = Counter(dir, "multicast");
    row.inUcastPkts = rxPackets - row.inNUcastPkts;
    row.inOctets = Counter(dir, "rx_bytes");
    row.inDiscards = Counter(dir, "rx_dropped");
    row.inErrors = Counter(dir, "rx_errors");
    row.outOctets = Counter(dir, "tx_bytes");
    row.outUcastPkts = Counter(dir, "tx_packets");
    row.outDiscards = Counter(dir, "tx_dropped");
    row.outErrors = Counter(dir, "tx_errors");
    row.carrierDownCount = ReadNumber(dir + "/carrier_down_count");
    return true;
}

struct FlapState {
    uint64_t downCount = 0;
};

std::mutex g_flapLock;
std::map<std::pair<std::string, DWORD>, FlapState> g_flaps;

}  // namespace

std::vector<Interface> SysfsInterfaces(const std::string& sysfsRoot) {
    std::vector<Interface> rows;
    const std::string classDir = sysfsRoot + "/class/net";
    DIR* d = opendir(classDir.c_str());
    if (!d) return rows;
    while (dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        Interface row;
        if (ReadInterface(classDir + "/" + e->d_name, name, row)) rows.push_back(std::move(row));
    }
    closedir(d);
    return rows;
}

void ApplyShortFlaps(const std::string& sysfsRoot, std::vector<Interface>& rows) {
    std::lock_guard<std::mutex> lock(g_flapLock);
    for (Interface& row : rows) {
        if (!row.carrierDownCount) continue;
        auto [it, first] = g_flaps.try_emplace({sysfsRoot, row.index});
        const bool grew = !first && *row.carrierDownCount > it->second.downCount;
        it->second.downCount = *row.carrierDownCount;
        if (grew) row.operStatus = MIB_IF_OPER_STATUS_NON_OPERATIONAL;
    }
}

}  // namespace pal::iphlp
