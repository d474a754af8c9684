// CSerialNo (see serialno.h).
#include "gatherer/serialno.h"

#include "gatherer/firmwarearea.h"

namespace mordane {

namespace {

const SwitchSetting kSetting = {
    "SerialNo",
    "WATCH_SerialNo",
    "CSerialNo::SetConfigToReg",
    "Get WATCH key from config file failed.",
    "Open Registry failed.",
    "Read Registry failed.",
    "CSerialNo::GetConfigFromReg",
    "Open Registry failed.",
    "Read Registry failed.",
};

constexpr const char* kReadLabel = "CSerialNo::GetSerialNo";

}  // namespace

CSerialNo::CSerialNo() : m_dwWatchSerialNo(1), m_hStopEvent(nullptr) {}

CSerialNo::~CSerialNo() {
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

int CSerialNo::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace("CSerialNo::Initialize", "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    return 0;
}

int CSerialNo::SetConfigToReg() { return CopySwitchToReg(kSetting); }

int CSerialNo::GetConfigFromReg() {
    int result = 0;
    m_dwWatchSerialNo = ReadSwitchFromReg(kSetting, result);
    return result;
}

int CSerialNo::Process() {
    if (m_dwWatchSerialNo == 0) return 0;
    if (m_hStopEvent == nullptr) return -1;
    Trace("SerialNo", "SerialNo listening enable:%d", static_cast<int>(m_dwWatchSerialNo));
    if (GetSerialNo() == 0) AddToEventLog();
    WaitForSingleObject(m_hStopEvent, INFINITE);
    return 0;
}

int CSerialNo::GetSerialNo() {
    CFirmwareArea area;
    if (area.Map() != 0) {
        Trace(kReadLabel, "Physical memory mapping failed.");
        return -1;
    }
    std::string serial;
    if (!FindSmbiosSerial(area.View(), area.ViewSize(), area.ViewBase(), serial)) {
        Trace(kReadLabel, "Get SerialNo failed.");
        return -1;
    }
    m_strSerialNo = serial;
    return 0;
}

int CSerialNo::AddToEventLog() {
    return WriteTextRecord(MSG_SERIAL_NO, m_strSerialNo, "SerialNo", "CSerialNo::AddToEventLog",
                           "ReportEvent failed.");
}

}  // namespace mordane
