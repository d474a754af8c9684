// CUSBcheck: counts device removals. The count lives in the registry (DisconCount), is
// written to the event log once at start and again after every removal the system
// announces. Removals arrive as WM_DEVICECHANGE broadcasts to top-level windows, so the
// monitor owns a hidden window and runs its message loop on its own thread; the loop
// also waits for the service's stop event.
#pragma once

#include "gatherer/monitor.h"

namespace mordane {

inline constexpr DWORD MSG_USB_DISCONNECTED = 0x4004000Eu;
inline constexpr const char* kUsbWindowClass = "CheckUSB";

class CUSBcheck {
public:
    CUSBcheck();
    ~CUSBcheck();
    CUSBcheck(const CUSBcheck&) = delete;
    CUSBcheck& operator=(const CUSBcheck&) = delete;

    int Initialize();
    int Process();
    int AddToEventLog();
    int SetConfigToReg();
    int GetConfigFromReg();
    int getUsbDisconCountFromReg();
    int setUsbDisconCountToReg();

    static LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    DWORD m_dwWatchUsbDisconnected;
    DWORD m_dwDisconCount;
    HANDLE m_hStopEvent;
    HINSTANCE m_hInstance;
    HWND m_hWnd;
};

}  // namespace mordane
