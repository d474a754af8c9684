// The ata provider (see smart_ata.h).
//
// SG_IO reports a command's outcome in three places: the ioctl's own result, the host and
// driver status (a time-out shows there), and the SCSI status with its sense data. An ATA
// translation layer that completes a pass-through command may still answer CHECK
// CONDITION with "ATA pass-through information available" (recovered error, 00/1D); that
// is success. Anything else is a failure of that form of the command.
#include "pal/wmi/smart_ata.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "pal/device/conf_device.h"

namespace pal::wmi {

namespace {

constexpr uint8_t kAtaSmartCommand = 0xB0;
constexpr uint8_t kSmartLbaMid = 0x4F;
constexpr uint8_t kSmartLbaHigh = 0xC2;
constexpr uint8_t kPioDataIn = 4;
// t_dir = from the device, byte_block = 1, t_length = the sector count field.
constexpr uint8_t kTransferFlags = 0x0E;

constexpr unsigned char kScsiGood = 0x00;
constexpr unsigned char kScsiCheckCondition = 0x02;
constexpr unsigned short kDidTimeOut = 0x03;
constexpr unsigned short kDriverTimeout = 0x06;
constexpr unsigned short kDriverSense = 0x08;

class RealSgIo : public SgIoTransport {
public:
    int Execute(const std::string& devicePath, sg_io_hdr_t& hdr) override {
        const int fd = open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno;
        int err = 0;
        if (ioctl(fd, SG_IO, &hdr) != 0) err = errno;
        close(fd);
        return err;
    }
};

std::mutex g_transportLock;
std::shared_ptr<SgIoTransport> g_transport;

std::shared_ptr<SgIoTransport> Transport() {
    std::lock_guard<std::mutex> lock(g_transportLock);
    if (!g_transport) g_transport = std::make_shared<RealSgIo>();
    return g_transport;
}

void Cdb16(uint8_t feature, uint8_t (&cdb)[16]) {
    std::memset(cdb, 0, sizeof cdb);
    cdb[0] = 0x85;
    cdb[1] = kPioDataIn << 1;
    cdb[2] = kTransferFlags;
    cdb[4] = feature;
    cdb[6] = 1;  // one sector
    cdb[10] = kSmartLbaMid;
    cdb[12] = kSmartLbaHigh;
    cdb[14] = kAtaSmartCommand;
}

void Cdb12(uint8_t feature, uint8_t (&cdb)[12]) {
    std::memset(cdb, 0, sizeof cdb);
    cdb[0] = 0xA1;
    cdb[1] = kPioDataIn << 1;
    cdb[2] = kTransferFlags;
    cdb[3] = feature;
    cdb[4] = 1;
    cdb[6] = kSmartLbaMid;
    cdb[7] = kSmartLbaHigh;
    cdb[9] = kAtaSmartCommand;
}

// Sense key, ASC and ASCQ from fixed (0x70/0x71) or descriptor (0x72/0x73) sense data.
void SenseCodes(const uint8_t* sense, size_t length, uint8_t& key, uint8_t& asc, uint8_t& ascq) {
    key = asc = ascq = 0;
    if (length < 1) return;
    const uint8_t code = sense[0] & 0x7F;
    if ((code == 0x72 || code == 0x73) && length >= 4) {
        key = sense[1] & 0x0F;
        asc = sense[2];
        ascq = sense[3];
    } else if ((code == 0x70 || code == 0x71) && length >= 14) {
        key = sense[2] & 0x0F;
        asc = sense[12];
        ascq = sense[13];
    }
}

AtaStatus Send(const std::string& devicePath, uint8_t* cdb, unsigned char cdbLength, uint32_t timeoutMs,
               std::vector<uint8_t>& sector) {
    uint8_t sense[32] = {};
    sector.assign(kSmartBlockSize, 0);
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = cdbLength;
    hdr.mx_sb_len = sizeof sense;
    hdr.dxfer_len = static_cast<unsigned int>(sector.size());
    hdr.dxferp = sector.data();
    hdr.cmdp = cdb;
    hdr.sbp = sense;
    hdr.timeout = timeoutMs;
    const int err = Transport()->Execute(devicePath, hdr);
    if (err == ETIMEDOUT) return AtaStatus::TimedOut;
    if (err != 0) return AtaStatus::Failed;
    if (hdr.host_status == kDidTimeOut || (hdr.driver_status & 0x0F) == kDriverTimeout) return AtaStatus::TimedOut;
    if (hdr.host_status != 0 || ((hdr.driver_status & 0x0F) != 0 && (hdr.driver_status & 0x0F) != kDriverSense))
        return AtaStatus::Failed;
    if (hdr.status == kScsiCheckCondition) {
        uint8_t key, asc, ascq;
        SenseCodes(sense, std::min<size_t>(hdr.sb_len_wr, sizeof sense), key, asc, ascq);
        if (!(key == 0x01 && asc == 0x00 && ascq == 0x1D)) return AtaStatus::Failed;
    } else if (hdr.status != kScsiGood) {
        return AtaStatus::Failed;
    }
    if (hdr.resid != 0) return AtaStatus::Failed;  // a short transfer is not a SMART block
    return AtaStatus::Ok;
}

bool Letters(const std::string& s, size_t from) {
    if (s.size() <= from) return false;
    return std::all_of(s.begin() + static_cast<long>(from), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string ModelOf(const std::string& sysfsRoot, const std::string& name) {
    std::string model;
    if (!device::ReadAttribute(sysfsRoot + "/block/" + name + "/device/model", model) || model.empty()) return "Disk";
    for (char& c : model)
        if (c == ' ' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '_';
    return model;
}

}  // namespace

std::shared_ptr<SgIoTransport> SetSgIoTransport(std::shared_ptr<SgIoTransport> transport) {
    std::lock_guard<std::mutex> lock(g_transportLock);
    std::shared_ptr<SgIoTransport> previous = g_transport;
    g_transport = std::move(transport);
    return previous;
}

std::vector<std::string> AtaDiskNames(const std::string& sysfsRoot) {
    std::vector<std::string> names;
    DIR* dir = opendir((sysfsRoot + "/block").c_str());
    if (dir == nullptr) return names;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("sd", 0) != 0 || !Letters(name, 2)) continue;
        std::string removable;
        if (device::ReadAttribute(sysfsRoot + "/block/" + name + "/removable", removable) && removable == "1") continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

AtaStatus AtaSmartRead(const std::string& devicePath, uint8_t feature, uint32_t timeoutMs,
                       std::vector<uint8_t>& sector) {
    uint8_t cdb16[16];
    Cdb16(feature, cdb16);
    const AtaStatus first = Send(devicePath, cdb16, sizeof cdb16, timeoutMs, sector);
    if (first != AtaStatus::Failed) return first;
    uint8_t cdb12[12];
    Cdb12(feature, cdb12);
    return Send(devicePath, cdb12, sizeof cdb12, timeoutMs, sector);
}

void ReadAtaObjects(const SmartConfig& config, SmartClass cls, const std::function<bool(SmartObject&&)>& sink) {
    const uint8_t feature = cls == SmartClass::Data ? kSmartReadData : kSmartReadThresholds;
    for (const std::string& name : AtaDiskNames(config.sysfsRoot)) {
        SmartObject o;
        if (AtaSmartRead(config.devRoot + "/" + name, feature, config.commandTimeoutMs, o.vendor) != AtaStatus::Ok)
            continue;
        o.instance = "ATA\\" + ModelOf(config.sysfsRoot, name) + "\\" + name + "_0";
        if (!sink(std::move(o))) return;
    }
}

}  // namespace pal::wmi
