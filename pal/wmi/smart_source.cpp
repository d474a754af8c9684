// The drives behind the WMI SMART classes (see smart_source.h).
//
// The device-file parser keeps only the last value of each key, but the simulated
// attribute table follows the order the lines are written in, so the file is parsed line
// by line here with the same rules (comments, blanks, case of keys).
#include "pal/wmi/smart_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"
#include "pal/wmi/com.h"
#include "pal/wmi/smart_ata.h"

namespace pal::wmi {

namespace {

constexpr size_t kMaxConfSize = 64 * 1024;
constexpr int64_t kMaxRaw = (int64_t{1} << 48) - 1;
constexpr uint8_t kRevision = 0x10;

struct Attr {
    uint8_t id;
    uint16_t flags;
    uint8_t current, worst;
    uint64_t raw;
};

struct DriveKeys {
    std::vector<Attr> attrs;
    std::vector<std::pair<uint8_t, uint8_t>> thresholds;  // id, value, in line order
    std::string dataFile;
    std::string thresholdFile;  // "none": no threshold object
    std::string instance;
    int64_t vendorLen = kSmartBlockSize;
};

bool Fail(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool ReadBlockFile(const std::string& devicesDir, const std::string& file, std::vector<uint8_t>& block,
                   std::string& reason) {
    const std::string path = !file.empty() && file[0] == '/' ? file : devicesDir + "/" + file;
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(reason, "cannot read " + path);
    block.assign(kSmartBlockSize + 1, 0);
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
    if (in.gcount() != static_cast<std::streamsize>(kSmartBlockSize))
        return Fail(reason, path + " is not " + std::to_string(kSmartBlockSize) + " bytes");
    block.resize(kSmartBlockSize);
    return true;
}

std::vector<uint8_t> DataBlock(const std::vector<Attr>& attrs) {
    std::vector<uint8_t> b(kSmartBlockSize, 0);
    b[0] = kRevision;
    for (size_t i = 0; i < attrs.size(); ++i) {
        uint8_t* e = &b[2 + 12 * i];
        e[0] = attrs[i].id;
        e[1] = static_cast<uint8_t>(attrs[i].flags);
        e[2] = static_cast<uint8_t>(attrs[i].flags >> 8);
        e[3] = attrs[i].current;
        e[4] = attrs[i].worst;
        for (int k = 0; k < 6; ++k) e[5 + k] = static_cast<uint8_t>(attrs[i].raw >> (8 * k));
    }
    SetSmartChecksum(b);
    return b;
}

// The attributes' thresholds in table order (0 where none is given), then thresholds of
// identifiers the table lacks.
bool ThresholdBlock(const DriveKeys& d, std::vector<uint8_t>& b, std::string& reason) {
    std::vector<std::pair<uint8_t, uint8_t>> entries;
    for (const Attr& a : d.attrs) entries.emplace_back(a.id, 0);
    for (const auto& [id, value] : d.thresholds) {
        auto it = std::find_if(entries.begin(), entries.end(), [id = id](const auto& e) { return e.first == id; });
        if (it != entries.end())
            it->second = value;
        else
            entries.emplace_back(id, value);
    }
    if (entries.size() > static_cast<size_t>(kSmartMaxAttributes)) return Fail(reason, "more than 30 thresholds");
    b.assign(kSmartBlockSize, 0);
    b[0] = kRevision;
    for (size_t i = 0; i < entries.size(); ++i) {
        b[2 + 12 * i] = entries[i].first;
        b[3 + 12 * i] = entries[i].second;
    }
    SetSmartChecksum(b);
    return true;
}

// "drive<k>.<rest>": k and rest; false for another key.
bool SplitDriveKey(const std::string& key, int64_t& k, std::string& rest) {
    if (key.rfind("drive", 0) != 0) return false;
    const size_t dot = key.find('.');
    if (dot == std::string::npos || dot == 5) return false;
    if (!device::ParseInteger(std::string_view(key).substr(5, dot - 5), 1, kSmartMaxSimulatedDrives, k)) return false;
    rest = key.substr(dot + 1);
    return true;
}

bool ParseDriveKey(DriveKeys& d, const std::string& rest, const std::string& value, std::string& reason) {
    int64_t id = 0;
    if (rest.rfind("attr.", 0) == 0) {
        if (!device::ParseInteger(std::string_view(rest).substr(5), 1, 255, id))
            return Fail(reason, "attribute id outside 1..255: " + rest);
        const auto w = Words(value);
        int64_t flags = 0, current = 0, worst = 0, raw = 0;
        if (w.size() != 4 || !device::ParseInteger(w[0], 0, 0xFFFF, flags) ||
            !device::ParseInteger(w[1], 0, 255, current) || !device::ParseInteger(w[2], 0, 255, worst) ||
            !device::ParseInteger(w[3], 0, kMaxRaw, raw))
            return Fail(reason, rest + " is not 'flags current worst raw'");
        Attr a{static_cast<uint8_t>(id), static_cast<uint16_t>(flags), static_cast<uint8_t>(current),
               static_cast<uint8_t>(worst), static_cast<uint64_t>(raw)};
        auto it = std::find_if(d.attrs.begin(), d.attrs.end(), [&](const Attr& x) { return x.id == a.id; });
        if (it != d.attrs.end())
            *it = a;  // the last line wins, in the place of the first
        else
            d.attrs.push_back(a);
        if (d.attrs.size() > static_cast<size_t>(kSmartMaxAttributes)) return Fail(reason, "more than 30 attributes");
    } else if (rest.rfind("thresh.", 0) == 0) {
        int64_t t = 0;
        if (!device::ParseInteger(std::string_view(rest).substr(7), 1, 255, id) ||
            !device::ParseInteger(value, 0, 255, t))
            return Fail(reason, "bad threshold " + rest);
        auto it = std::find_if(d.thresholds.begin(), d.thresholds.end(), [&](const auto& x) { return x.first == id; });
        if (it != d.thresholds.end())
            it->second = static_cast<uint8_t>(t);
        else
            d.thresholds.emplace_back(static_cast<uint8_t>(id), static_cast<uint8_t>(t));
    } else if (rest == "data" || rest == "thresholds" || rest == "instance") {
        if (value.empty()) return Fail(reason, rest + " is empty");
        (rest == "data" ? d.dataFile : rest == "thresholds" ? d.thresholdFile : d.instance) = value;
    } else if (rest == "vendor_len") {
        if (!device::ParseInteger(value, 0, 4096, d.vendorLen)) return Fail(reason, "vendor_len outside 0..4096");
    }
    return true;  // other keys are notes
}

}  // namespace

std::string SmartConfigPath() { return core::RootDir() + "/devices/smart.conf"; }

void SetSmartChecksum(std::vector<uint8_t>& block) {
    if (block.size() != kSmartBlockSize) return;
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < kSmartBlockSize; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    block[kSmartBlockSize - 1] = static_cast<uint8_t>(0u - sum);
}

bool ParseSmartConf(std::string_view text, const std::string& devicesDir, SmartConfig& config, std::string& reason) {
    config = SmartConfig{};
    std::vector<std::pair<std::string, std::string>> lines;
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        device::ConfValues one;
        if (!device::ParseConfText(text.substr(pos, end - pos), one))
            return Fail(reason, "malformed line: " + std::string(text.substr(pos, end - pos)));
        if (!one.empty()) lines.emplace_back(*one.begin());
        pos = end + 1;
    }
    device::ConfValues last;
    for (const auto& [k, v] : lines) last[k] = v;  // the last line of a key wins

    device::ConfReader r(last);
    if (const std::string* provider = r.Find("provider")) {
        if (*provider == "ata")
            config.ata = true;
        else if (*provider != "simulated")
            return Fail(reason, "unknown provider " + *provider);
    }
    const int64_t drives = r.Integer("drives", 0, kSmartMaxSimulatedDrives, 0);
    config.failConnect = r.Integer("fail_connect", 0, 1, 0) != 0;
    config.failQuery = r.Integer("fail_query", 0, 1, 0) != 0;
    config.queryDelayMs = static_cast<uint32_t>(r.Integer("query_delay_ms", 0, 3600000, 0));
    config.commandTimeoutMs = static_cast<uint32_t>(r.Integer("command_timeout_ms", 1, 600000, 10000));
    if (!r.ok()) return Fail(reason, "a number out of range");
    for (auto [key, member] : {std::pair{"sysfs_root", &SmartConfig::sysfsRoot}, std::pair{"dev_root", &SmartConfig::devRoot}}) {
        if (const std::string* path = r.Find(key)) {
            if (path->empty()) return Fail(reason, std::string(key) + " is empty");
            config.*member = *path;
        }
    }

    std::vector<DriveKeys> keys(static_cast<size_t>(drives));
    for (const auto& [key, value] : lines) {
        int64_t k = 0;
        std::string rest;
        if (!SplitDriveKey(key, k, rest)) continue;
        if (k > drives) return Fail(reason, key + " is beyond drives = " + std::to_string(drives));
        if (!ParseDriveKey(keys[static_cast<size_t>(k - 1)], rest, value, reason)) return false;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        const DriveKeys& d = keys[i];
        SimulatedDrive drive;
        drive.instance = d.instance.empty() ? "SIM\\Disk" + std::to_string(i + 1) + "_0" : d.instance;
        drive.vendorLen = static_cast<size_t>(d.vendorLen);
        if (!d.dataFile.empty()) {
            if (!ReadBlockFile(devicesDir, d.dataFile, drive.data, reason)) return false;
        } else {
            drive.data = DataBlock(d.attrs);
        }
        if (d.thresholdFile == "none") {
            drive.hasThresholds = false;
        } else if (!d.thresholdFile.empty()) {
            if (!ReadBlockFile(devicesDir, d.thresholdFile, drive.thresholds, reason)) return false;
        } else if (!ThresholdBlock(d, drive.thresholds, reason)) {
            return false;
        }
        config.drives.push_back(std::move(drive));
    }
    return true;
}

HRESULT LoadSmartConfig(SmartConfig& config) {
    config = SmartConfig{};
    const std::string path = SmartConfigPath();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? S_FALSE : E_FAIL;
    std::string text;
    char buf[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxConfSize) ok = false;
        if (n <= 0 || !ok) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (!ok) return E_FAIL;
    std::string reason;
    const std::string dir = path.substr(0, path.rfind('/'));
    return ParseSmartConf(text, dir, config, reason) ? S_OK : E_FAIL;
}

void ReadSmartObjects(const SmartConfig& config, SmartClass cls, const std::function<bool(SmartObject&&)>& sink) {
    if (config.ata) {
        ReadAtaObjects(config, cls, sink);
        return;
    }
    for (const SimulatedDrive& d : config.drives) {
        if (cls == SmartClass::Thresholds && !d.hasThresholds) continue;
        SmartObject o;
        o.instance = d.instance;
        o.vendor = cls == SmartClass::Data ? d.data : d.thresholds;
        o.vendor.resize(d.vendorLen, 0);
        if (!sink(std::move(o))) return;
    }
}

}  // namespace pal::wmi
