// What the BIOS version and serial number monitors share: the firmware area mapped through
// the native section calls of ntdll.dll, the two searches over it, and their single-switch
// configuration and single-text record.
//
// The searches never read outside the view: a table address, a structure length or a
// string index that points past the view is "not found", like firmware without the data.
#pragma once

#include <string>

#include "gatherer/monitor.h"
#include "pal/ntdll/ntdll.h"

namespace mordane {

// Physical address and size of the firmware area as the monitors ask for it; the system
// rounds the view up to whole pages.
inline constexpr DWORD kFirmwareAreaBase = 0xF0000;
inline constexpr SIZE_T kFirmwareAreaSize = 0xFFFF;

// The firmware area mapped read-only into this process: load "ntdll.dll", bind
// ZwOpenSection, ZwMapViewOfSection and ZwUnmapViewOfSection by name, open
// "\device\physicalmemory" and map the view. Everything is released by the destructor.
class CFirmwareArea {
public:
    CFirmwareArea();
    ~CFirmwareArea();
    CFirmwareArea(const CFirmwareArea&) = delete;
    CFirmwareArea& operator=(const CFirmwareArea&) = delete;

    // 0 with the view mapped, or -1 with nothing held (a missing library or export, a
    // section that cannot be opened, a view that cannot be mapped).
    int Map();

    const BYTE* View() const { return static_cast<const BYTE*>(m_pView); }
    SIZE_T ViewSize() const { return m_nViewSize; }
    // The physical address of the view's first byte.
    ULONGLONG ViewBase() const { return m_ullViewBase; }

private:
    void Release();

    HMODULE m_hNtdll;
    PFN_ZwOpenSection m_pfnZwOpenSection;
    PFN_ZwMapViewOfSection m_pfnZwMapViewOfSection;
    PFN_ZwUnmapViewOfSection m_pfnZwUnmapViewOfSection;
    HANDLE m_hSection;
    PVOID m_pView;
    SIZE_T m_nViewSize;
    ULONGLONG m_ullViewBase;
};

// The text that starts with signature and ends at the next zero byte or at the end of the
// view; false when the signature is not in the view.
bool FindSignatureText(const BYTE* view, SIZE_T size, const char* signature, std::string& text);

// The serial number of the first system information structure (type 1) of the SMBIOS
// table that the first "_SM_" entry point in the view names. viewBase is the physical
// address of view[0]. The structures are walked by their lengths up to the end-of-table
// structure; the serial is the string that the type-1 structure's serial index names among
// that structure's own strings. False when any of that is missing or would lie outside the
// view.
bool FindSmbiosSerial(const BYTE* view, SIZE_T size, ULONGLONG viewBase, std::string& serial);

// A monitor with one switch (ini section key WATCH, registry value in its own subkey) and
// the trace texts of its configuration steps.
struct SwitchSetting {
    const char* section;  // ini section and registry subkey
    const char* valueName;
    const char* setLabel;
    const char* iniMissing;      // ini key missing
    const char* setOpenFailed;   // subkey cannot be opened for writing
    const char* setWriteFailed;  // value cannot be written
    const char* getLabel;
    const char* getOpenFailed;   // subkey cannot be opened for reading
    const char* getReadFailed;   // value cannot be read
};

// The ini-to-registry step: 0, or -1 when the subkey or the value could not be written.
int CopySwitchToReg(const SwitchSetting& setting);
// The registry-to-memory step: the switch, 1 where the subkey or value is missing.
DWORD ReadSwitchFromReg(const SwitchSetting& setting, int& result);

// One information record whose data is text without its zero. On success traces
// "<text>,is written to EventLog " under doneLabel; a failed write traces failTrace under
// failLabel. 0, or -1 (also, without a trace, when the source cannot be registered).
int WriteTextRecord(DWORD id, const std::string& text, const char* doneLabel, const char* failLabel,
                    const char* failTrace);

}  // namespace mordane
