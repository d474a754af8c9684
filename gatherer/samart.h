// CSamart: reads the SMART attributes of the terminal's ATA drives through WMI
// ("ROOT\WMI": MSStorageDriver_ATAPISmartData and MSStorageDriver_FailurePredictThresholds)
// every WATCH_INTERVAL and writes one information record per poll: for each drive (at most
// ten) six 13-byte slots, the drive's attribute entry of each of the first six watched
// identifiers followed by its threshold. It compares nothing itself. The same in both
// terminal models.
//
// The WMI connection is made on the monitor's thread in Initialize and kept until Process
// ends (or the object goes), which releases it and uninitialises COM on that thread.
// Thresholds are matched to drives by instance name, and read again when a drive appears
// whose thresholds were not read yet.
#pragma once

#include <string>

#include "gatherer/monitor.h"
#include "pal/wmi/wbem.h"

namespace mordane {

inline constexpr DWORD MSG_SMART_ATTRIBUTES = 0x4004000Fu;

inline constexpr int kSmartMaxDrives = 10;
inline constexpr int kSmartSlots = 6;
inline constexpr int kSmartSlotSize = 13;
inline constexpr int kSmartRecordSize = kSmartSlots * kSmartSlotSize;  // 78
inline constexpr int kSmartMaxWatched = 59;
inline constexpr int kSmartUsedBytes = 362;  // revision + 30 entries of 12 bytes
// Threshold sets kept: more than the drives recorded, so a drive among the first ten
// still finds its own when other drives come before it in the threshold query.
inline constexpr int kSmartMaxThresholdDrives = 32;

struct SmartThresholds {
    std::wstring instance;
    BYTE entries[kSmartSlots][12];  // the threshold entry of each of the first six watched ids
};

class CSamart {
public:
    CSamart();
    ~CSamart();
    CSamart(const CSamart&) = delete;
    CSamart& operator=(const CSamart&) = delete;

    int Initialize();
    int Process();
    int initWMI();
    int getThresholds();
    int getSmartAttriubtes();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();

    DWORD m_dwWatch;
    DWORD m_dwInterval;  // milliseconds
    BYTE m_byAttributeIDs[kSmartMaxWatched + 1];  // ended by a 0
    char m_szAttributeIDs[241];                   // "1,5,9,196,197,198,"

    BYTE m_byAttributes[kSmartMaxDrives][kSmartRecordSize];
    DWORD m_dwDriveCount;
    SmartThresholds m_thresholds[kSmartMaxThresholdDrives];
    DWORD m_dwThresholdCount;

    // The longest wait for the next object of a query, in milliseconds: a query that does
    // not deliver within it fails for this poll.
    DWORD m_dwQueryTimeout;

    HANDLE m_hStopEvent;
    IWbemServices* m_pSvc;

private:
    // Runs one WQL query and hands each object's usable VendorSpecific block and instance
    // name to take; 0, or -1 (traced under label) when the query failed or timed out.
    template <class Take>
    int RunQuery(const wchar_t* query, const char* label, Take take);
    void ParseAttributeList(const char* list, size_t size);
    void ReleaseWMI();
    const SmartThresholds* FindThresholds(const std::wstring& instance) const;

    BOOL m_bComInitialized;
};

}  // namespace mordane
