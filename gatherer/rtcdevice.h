// CRtcDecice: reads the error counters the firmware keeps in the battery-backed RTC memory
// through the driver "\\.\RTCDRV" (the HDD boot error log of five bytes, and on the full
// model the memory and ECC error counts), keeps the last value of each in the registry,
// and writes an error record for a value that changed since its registry copy. Records
// are written in the pass made at service start; later passes only keep the registry
// copies current. The reduced model watches the HDD boot error log only.
#pragma once

#include "gatherer/model.h"
#include "gatherer/monitor.h"

namespace mordane {

inline constexpr DWORD IOCTL_RTCDRV_READ_BYTE = 0xA6000004u;
inline constexpr DWORD IOCTL_RTCDRV_GET_MACHINE_TYPE = 0xA600000Cu;

inline constexpr DWORD MSG_ECC_ERRORS = 0xC0040009u;
inline constexpr DWORD MSG_HDD_BOOT_ERROR = 0xC004000Au;
inline constexpr DWORD MSG_MEMORY_ERRORS = 0xC004000Du;

// One pass's reading of the RTC memory.
struct RtcReading {
    BYTE byMachineType;
    BYTE byHDDBootErrorLog[5];
    BYTE byMemoryErrors;
    BYTE byECCErrors;
    BOOL bErrorCountsRead;  // the memory and ECC counts were read in this pass
};

class CRtcDecice {
public:
    CRtcDecice();
    ~CRtcDecice();
    CRtcDecice(const CRtcDecice&) = delete;
    CRtcDecice& operator=(const CRtcDecice&) = delete;

    int Initialize();
    int Process();
    int GetRTCInfo();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    // 1 when the byte differs from the record valueName of subkey (relative to the service
    // key) and the record now holds it; 0 otherwise, also when the record is missing.
    int isChang(const char* subkey, const char* valueName, BYTE value);

    DWORD m_dwInterval;  // milliseconds
    DWORD m_dwWatchECCErrorLog;
    DWORD m_dwWatchHDDBootErrorLog;
    DWORD m_dwWatchMemoryErrors;

    RtcReading m_rtc;  // the last successful reading
    BOOL m_bStartUpPass;
    // Per item (ECC, HDD, memory): a change found in the start-up pass whose record could
    // not be written yet; later passes write it rather than absorb it.
    BOOL m_bReportDue[3];
    HANDLE m_hStopEvent;

private:
    bool AnyItemPolled() const;
    void SetDefaults();
};

}  // namespace mordane
