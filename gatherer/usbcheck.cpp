// CUSBcheck (see usbcheck.h).
//
// The message loop waits on the stop event and the thread's queue together: a loop that
// only took messages could never see the stop, and the service could not end the thread.
// On the stop the window is destroyed and its class unregistered, so a later run in the
// same process registers it afresh. A class or window that cannot be made ends Process
// at once: a loop without a window would wait for messages that never come.
#include "gatherer/usbcheck.h"

namespace mordane {

namespace {

constexpr const char* kInitLabel = "CUSBcheck::Initialize";
constexpr const char* kProcessLabel = "CUSBcheck::Process";
constexpr const char* kSetLabel = "CUSBcheck::SetConfigToReg";
constexpr const char* kGetLabel = "CUSBcheck::GetConfigFromReg";
constexpr const char* kGetCountLabel = "CUSBcheck::getUsbDisconCountFromReg";
constexpr const char* kSetCountLabel = "CUSBcheck::setUsbDisconCountToReg";
constexpr const char* kAddLabel = "CUSBcheck::AddToEventLog";
constexpr const char* kSubkey = "USBDisconnected";
constexpr const char* kWatchName = "WATCH_UsbDisconnected";
constexpr const char* kCountName = "DisconCount";

// Takes and handles every queued message; false once WM_QUIT came.
bool PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) return false;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

}  // namespace

CUSBcheck::CUSBcheck()
    : m_dwWatchUsbDisconnected(1),
      m_dwDisconCount(0),
      m_hStopEvent(nullptr),
      m_hInstance(GetModuleHandleA(nullptr)),
      m_hWnd(nullptr) {}

CUSBcheck::~CUSBcheck() {
    if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
    if (m_hStopEvent != nullptr) CloseHandle(m_hStopEvent);
}

int CUSBcheck::Initialize() {
    m_hStopEvent = OpenStopEvent();
    if (m_hStopEvent == nullptr) {
        Trace(kInitLabel, "CreateEvent failed.");
        return -1;
    }
    SetConfigToReg();
    GetConfigFromReg();
    getUsbDisconCountFromReg();
    // The start record is written whatever the switch says.
    AddToEventLog();
    return 0;
}

int CUSBcheck::SetConfigToReg() {
    char ini[MAX_PATH + 1];
    GetIniFilePath(ini, kSetLabel);
    INT watch = static_cast<INT>(GetPrivateProfileIntA(kSubkey, "WATCH", -1, ini));
    if (watch == -1) {
        Trace(kSetLabel, "Get WATCH key from config file failed.");
        return -1;
    }
    HKEY key = OpenMonitorKeyForWrite(kSubkey);
    if (key == nullptr) {
        Trace(kSetLabel, "Open USBDisconnected key of Registry failed.");
        return -1;
    }
    DWORD data = static_cast<DWORD>(watch);
    LONG rc = RegSetValueExA(key, kWatchName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace(kSetLabel, "set WATCH_UsbDisconnected key of Registry failed.");
        return -1;
    }
    return 0;
}

int CUSBcheck::GetConfigFromReg() {
    HKEY key = OpenMonitorKeyForRead(kSubkey);
    if (key == nullptr) {
        m_dwWatchUsbDisconnected = 1;
        Trace(kGetLabel, "Open USBDisconnected key of Registry failed.");
        return -1;
    }
    DWORD watch = 0, type = 0, size = sizeof watch;
    LONG rc = RegQueryValueExA(key, kWatchName, nullptr, &type, reinterpret_cast<BYTE*>(&watch), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof watch) {
        m_dwWatchUsbDisconnected = 1;
        Trace(kGetLabel, "get USBDisconnected key of Registry failed.");
        return -1;
    }
    m_dwWatchUsbDisconnected = watch;
    return 0;
}

int CUSBcheck::getUsbDisconCountFromReg() {
    HKEY key = OpenMonitorKeyForRead(kSubkey);
    if (key == nullptr) {
        Trace(kGetCountLabel, "RegOpenKeyEx failed.");
        return -1;
    }
    DWORD value = 0, type = 0, size = sizeof value;
    LONG rc = RegQueryValueExA(key, kCountName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
        Trace(kGetCountLabel, "RegQueryValueEx failed.");
        return -1;
    }
    m_dwDisconCount = value;
    return 0;
}

int CUSBcheck::setUsbDisconCountToReg() {
    HKEY key = OpenMonitorKeyForWrite(kSubkey);
    if (key == nullptr) {
        Trace(kSetCountLabel, "RegOpenKeyEx failed.");
        return -1;
    }
    DWORD data = m_dwDisconCount;
    LONG rc = RegSetValueExA(key, kCountName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace(kSetCountLabel, "RegSetValueEx failed.");
        return -1;
    }
    return 0;
}

int CUSBcheck::AddToEventLog() {
    HANDLE source = RegisterEventSourceA(nullptr, kEventSource);
    if (source == nullptr) return -1;
    DWORD count = m_dwDisconCount;
    int result = 0;
    if (!g_pfnReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, MSG_USB_DISCONNECTED, nullptr, 0, sizeof count,
                          nullptr, &count)) {
        Trace(kAddLabel, "ReportEvent failed.");
        result = -1;
    }
    DeregisterEventSource(source);
    return result;
}

LRESULT CALLBACK CUSBcheck::WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CUSBcheck*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            break;
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEREMOVECOMPLETE && self != nullptr) {
                ++self->m_dwDisconCount;
                self->AddToEventLog();
                self->setUsbDisconCountToReg();
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

int CUSBcheck::Process() {
    if (m_dwWatchUsbDisconnected == 0) return 0;
    if (m_hStopEvent == nullptr) {
        Trace(kInitLabel, "Initialize failed.");
        return -1;
    }
    Trace("USB", "USB listening enable:%d", static_cast<int>(m_dwWatchUsbDisconnected));

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &CUSBcheck::WndProc;
    wc.hInstance = m_hInstance;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    wc.lpszClassName = kUsbWindowClass;
    if (RegisterClassExA(&wc) == 0) {
        DWORD error = GetLastError();
        MessageBoxA(nullptr, "WNDCLASSEX class err ", "WNDCLASSEX class err", MB_OK);
        Trace(kProcessLabel, "RegisterClassEx failed: %u.", static_cast<unsigned>(error));
        return -1;
    }
    m_hWnd = CreateWindowExA(0, kUsbWindowClass, kUsbWindowClass, WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                             CW_USEDEFAULT, 200, 200, nullptr, nullptr, m_hInstance, this);
    if (m_hWnd == nullptr) {
        Trace(kProcessLabel, "CreateWindowEx failed: %u.", static_cast<unsigned>(GetLastError()));
        UnregisterClassA(kUsbWindowClass, m_hInstance);
        return -1;
    }

    bool running = true;
    while (running) {
        DWORD r = MsgWaitForMultipleObjects(1, &m_hStopEvent, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0 + 1) {
            running = PumpMessages();
        } else {
            if (r != WAIT_OBJECT_0) Trace(kProcessLabel, "MsgWaitForMultipleObjects failed: %u.", static_cast<unsigned>(GetLastError()));
            break;
        }
    }
    if (m_hWnd != nullptr && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    PumpMessages();  // the quit message the destroy posted
    UnregisterClassA(kUsbWindowClass, m_hInstance);

    WaitForSingleObject(m_hStopEvent, INFINITE);
    Trace("USB", "Listening End.");
    return 0;
}

}  // namespace mordane
