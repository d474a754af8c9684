// BIOSversion: reads the BIOS version text from the firmware area once per service start
// and writes it as the information record 0x40040008. The text starts with the terminal
// model's BIOS signature and ends at the next zero byte.
#pragma once

#include <string>

#include "gatherer/model.h"
#include "gatherer/monitor.h"

namespace mordane {

inline constexpr const char* kBiosSignature = kReducedModel ? "RZ9_T08" : "KX4_P21";
inline constexpr DWORD MSG_BIOS_VERSION = 0x40040008u;

class BIOSversion {
public:
    BIOSversion();
    ~BIOSversion();
    BIOSversion(const BIOSversion&) = delete;
    BIOSversion& operator=(const BIOSversion&) = delete;

    int Initialize();
    // One read and at most one record, then a wait for the stop event.
    int Process();
    int GetBIOSversion();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    DWORD m_dwWatchBIOSVersion;    // any non-zero value is on
    std::string m_strBIOSversion;  // empty until a read found it
    HANDLE m_hStopEvent;
};

}  // namespace mordane
