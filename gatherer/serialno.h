// CSerialNo: reads the terminal's serial number from the SMBIOS system information
// structure in the firmware area once per service start and writes it as the information
// record 0x4004000B.
#pragma once

#include <string>

#include "gatherer/monitor.h"

namespace mordane {

inline constexpr DWORD MSG_SERIAL_NO = 0x4004000Bu;

class CSerialNo {
public:
    CSerialNo();
    ~CSerialNo();
    CSerialNo(const CSerialNo&) = delete;
    CSerialNo& operator=(const CSerialNo&) = delete;

    int Initialize();
    // One read and at most one record, then a wait for the stop event.
    int Process();
    int GetSerialNo();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    DWORD m_dwWatchSerialNo;     // any non-zero value is on
    std::string m_strSerialNo;   // empty until a read found it
    HANDLE m_hStopEvent;
};

}  // namespace mordane
