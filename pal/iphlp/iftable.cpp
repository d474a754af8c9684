// GetIfTable over a simulated table or the sysfs network class.
//
// No state is cached (apart from the short-flap counters, which only exist to compare two
// reads): every call reads the small configuration file and, for sysfs, one directory, so
// tests and people can unplug a simulated cable between two polls.
#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "pal/device/conf_device.h"
#include "pal/error/error.h"
#include "pal/iphlp/ifsource.h"

namespace pal::iphlp {

namespace {

constexpr const char* kConfigName = "iftable";
constexpr const char* kDefaultSysfsRoot = "/sys";
constexpr DWORD kSimulatedMtu = 1500;
constexpr DWORD kSimulatedSpeed = 100000000;  // 100 Mbit/s

struct Source {
    bool simulated = false;
    std::string sysfsRoot = kDefaultSysfsRoot;
    bool shortFlaps = false;
    DWORD failSize = 0;
    DWORD failRead = 0;
    std::vector<Interface> rows;  // simulated
};

DWORD LoadSource(Source& source) {
    device::ConfValues values;
    const DWORD loaded = device::LoadConf(IfTableConfigPath(), values);
    if (loaded == ERROR_FILE_NOT_FOUND) return 0;  // the machine's own interfaces
    if (loaded != 0) return loaded;

    device::ConfReader r(values);
    source.failSize = static_cast<DWORD>(r.Integer("fail_size", 0, 0xFFFFFFFFll, 0));
    source.failRead = static_cast<DWORD>(r.Integer("fail_read", 0, 0xFFFFFFFFll, 0));
    source.shortFlaps = r.Integer("short_flaps", 0, 1, 0) == 1;
    if (!r.ok()) return ERROR_GEN_FAILURE;
    if (const std::string* root = r.Find("sysfs_root")) {
        if (root->empty()) return ERROR_GEN_FAILURE;
        source.sysfsRoot = *root;
    }
    const std::string* provider = r.Find("provider");
    source.simulated = !provider || *provider == "simulated";
    if (!source.simulated && *provider != "sysfs") return ERROR_GEN_FAILURE;
    if (source.simulated && !SimulatedInterfaces(values, source.rows)) return ERROR_GEN_FAILURE;
    return 0;
}

void FillRow(const Interface& in, MIB_IFROW& row) {
    std::memset(&row, 0, sizeof row);
    const size_t nameLen = std::min<size_t>(in.name.size(), MAX_INTERFACE_NAME_LEN - 1);
    for (size_t i = 0; i < nameLen; ++i) row.wszName[i] = static_cast<WCHAR>(static_cast<unsigned char>(in.name[i]));
    row.dwIndex = in.index;
    row.dwType = in.type;
    row.dwMtu = in.mtu;
    row.dwSpeed = in.speed;
    row.dwPhysAddrLen = static_cast<DWORD>(std::min<size_t>(in.physAddr.size(), MAXLEN_PHYSADDR));
    if (row.dwPhysAddrLen != 0) std::memcpy(row.bPhysAddr, in.physAddr.data(), row.dwPhysAddrLen);
    row.dwAdminStatus = in.adminStatus;
    row.dwOperStatus = in.operStatus;
    row.dwInOctets = in.inOctets;
    row.dwInUcastPkts = in.inUcastPkts;
    row.dwInNUcastPkts = in.inNUcastPkts;
    row.dwInDiscards = in.inDiscards;
    row.dwInErrors = in.inErrors;
    row.dwOutOctets = in.outOctets;
    row.dwOutUcastPkts = in.outUcastPkts;
    row.dwOutDiscards = in.outDiscards;
    row.dwOutErrors = in.outErrors;
    const size_t descrLen = std::min<size_t>(in.name.size(), MAXLEN_IFDESCR - 1);
    std::memcpy(row.bDescr, in.name.data(), descrLen);
    row.dwDescrLen = static_cast<DWORD>(descrLen + 1);
}

// "if.<n>.<field>": n and field, or false when the key is not of that form.
bool SplitRowKey(const std::string& key, std::string_view& n, std::string_view& field) {
    std::string_view k = key;
    if (k.substr(0, 3) != "if.") return false;
    k.remove_prefix(3);
    const size_t dot = k.find('.');
    if (dot == std::string_view::npos) return false;
    n = k.substr(0, dot);
    field = k.substr(dot + 1);
    return true;
}

}  // namespace

bool SimulatedInterfaces(const device::ConfValues& values, std::vector<Interface>& rows) {
    struct Pending {
        int64_t index = -1, type = MIB_IF_TYPE_ETHERNET, up = 1;
    };
    std::map<int64_t, Pending> byNumber;  // ordered by <n>
    for (const auto& [key, text] : values) {
        if (key.rfind("if.", 0) != 0) continue;
        std::string_view n, field;
        int64_t number = 0, value = 0;
        if (!SplitRowKey(key, n, field) || !device::ParseInteger(n, 0, 0xFFFFFFFFll, number)) return false;
        Pending& p = byNumber[number];
        if (field == "index") {
            if (!device::ParseInteger(text, 1, 0xFFFFFFFFll, value)) return false;
            p.index = value;
        } else if (field == "type") {
            if (!device::ParseInteger(text, 0, 0xFFFFFFFFll, value)) return false;
            p.type = value;
        } else if (field == "up") {
            if (!device::ParseInteger(text, 0, 1, value)) return false;
            p.up = value;
        } else {
            return false;  // a misspelt field would silently leave a cable plugged in
        }
    }
    rows.clear();
    std::map<int64_t, bool> seen;
    for (const auto& [number, p] : byNumber) {
        const int64_t index = p.index >= 0 ? p.index : number;
        if (index == 0 || !seen.emplace(index, true).second) return false;
        Interface row;
        row.index = static_cast<DWORD>(index);
        row.type = static_cast<DWORD>(p.type);
        row.operStatus = p.up ? MIB_IF_OPER_STATUS_OPERATIONAL : MIB_IF_OPER_STATUS_NON_OPERATIONAL;
        row.name = "sim" + std::to_string(index);
        row.mtu = kSimulatedMtu;
        row.speed = kSimulatedSpeed;
        // A locally administered address that carries the index.
        row.physAddr = {0x02, 0x00, static_cast<BYTE>(index >> 24), static_cast<BYTE>(index >> 16),
                        static_cast<BYTE>(index >> 8), static_cast<BYTE>(index)};
        rows.push_back(std::move(row));
    }
    return true;
}

std::string IfTableConfigPath() { return device::ConfigPath(kConfigName); }

bool WriteSimulatedIfTable(const std::vector<SimulatedInterface>& rows) {
    device::ConfValues values = {{"provider", "simulated"}};
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string prefix = "if." + std::to_string(i + 1) + ".";
        values[prefix + "index"] = std::to_string(rows[i].index);
        values[prefix + "type"] = std::to_string(rows[i].type);
        values[prefix + "up"] = rows[i].up ? "1" : "0";
    }
    return device::WriteDeviceConfig(kConfigName, values);
}

}  // namespace pal::iphlp

DWORD GetIfTable(PMIB_IFTABLE pIfTable, PULONG pdwSize, BOOL bOrder) {
    using namespace pal::iphlp;
    if (pdwSize == nullptr) return ERROR_INVALID_PARAMETER;
    Source source;
    if (DWORD e = LoadSource(source)) return e;
    std::vector<Interface> rows = source.simulated ? std::move(source.rows) : SysfsInterfaces(source.sysfsRoot);

    const size_t needed = SIZEOF_IFTABLE(rows.size());
    if (needed > std::numeric_limits<ULONG>::max()) return ERROR_NOT_SUPPORTED;
    if (pIfTable == nullptr || *pdwSize < needed) {
        if (source.failSize != 0) return source.failSize;
        *pdwSize = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (source.failRead != 0) return source.failRead;
    if (!source.simulated && source.shortFlaps) ApplyShortFlaps(source.sysfsRoot, rows);
    if (bOrder) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const Interface& a, const Interface& b) { return a.index < b.index; });
    }
    pIfTable->dwNumEntries = static_cast<DWORD>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) FillRow(rows[i], pIfTable->table[i]);
    return NO_ERROR;
}
