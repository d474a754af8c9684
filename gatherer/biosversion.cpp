// BIOSversion (see biosversion.h).
#include "gatherer/biosversion.h"

#include "gatherer/firmwarearea.h"

namespace mordane {

namespace {

const SwitchSetting kSetting = {
    "BIOSVersion",
    "WATCH_BIOSVersion",
    "BIOSversion::SetConfigToReg",
    "Get WATCH key from config file failed.",
    "RegOpenKeyEx failed while setting WATCH key.",
    "RegSetValueEx failed while setting WATCH key.",
    "BIOSversion::GetConfigFromReg",
    "Open Registry failed",
    "Read Registry failed while getting config key.",
};

constexpr const char* kReadLabel = "GetBIOSversion";

}  // namespace

BIOSversion::BIOSversion() : m_dwWatchBIOSVersion(1), m_hStopEvent(nullptr) {}

BIOSversion::~BIOSversion() {
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

int BIOSversion::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace("BIOSversion::Initialize", "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    return 0;
}

int BIOSversion::SetConfigToReg() { return CopySwitchToReg(kSetting); }

int BIOSversion::GetConfigFromReg() {
    int result = 0;
    m_dwWatchBIOSVersion = ReadSwitchFromReg(kSetting, result);
    return result;
}

int BIOSversion::Process() {
    if (m_dwWatchBIOSVersion == 0) return 0;
    if (m_hStopEvent == nullptr) return -1;
    Trace("BIOSversion", "BIOSversion listening enable:%d", static_cast<int>(m_dwWatchBIOSVersion));
    if (GetBIOSversion() == 0) AddToEventLog();
    WaitForSingleObject(m_hStopEvent, INFINITE);
    return 0;
}

int BIOSversion::GetBIOSversion() {
    CFirmwareArea area;
    if (area.Map() != 0) {
        Trace(kReadLabel, "Physical memory mapping failed.");
        return -1;
    }
    std::string text;
    if (!FindSignatureText(area.View(), area.ViewSize(), kBiosSignature, text)) {
        Trace(kReadLabel, "Get BIOSversion failed.");
        return -1;
    }
    m_strBIOSversion = text;
    return 0;
}

int BIOSversion::AddToEventLog() {
    return WriteTextRecord(MSG_BIOS_VERSION, m_strBIOSversion, "BIOSversion", "BIOSversion::AddToEventLog",
                           "ReportEvent failed");
}

}  // namespace mordane
