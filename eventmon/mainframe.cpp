// quillon's main frame (see mainframe.h). One thread: the window's message loop runs the
// timer handler, the icon's callbacks and the display calls, so nothing here is locked.
//
// Departures from the first build, each a fault of it:
//   - a table keeps its configured count and every entry 1..count is searched, empty ones
//     skipped (lowering the count to the number of keys found lost the last entries, and
//     the keyword search read one entry past its count);
//   - KeyWordNum or EventIDnum above 100 is traced and clamped, and the tables are still
//     read (the reading used to end there, so nothing was ever shown);
//   - numbers beyond 32 bits, and a BeforeTime whose seconds do not fit 32 bits, make the
//     ini file illegal instead of wrapping; the first time mark never goes below 0;
//   - a record is read with the size only ERROR_INSUFFICIENT_BUFFER reports, and its
//     source name only within the record's length;
//   - the icon is retried from a timer instead of sleeping on the only thread.
#include "eventmon/mainframe.h"

#include <cstring>
#include <ctime>
#include <new>

#include "outside/ledpanel/ledpanel.h"

namespace {

const char* const kClassName = "QuillonMainFrame";
const char* const kTraceKey = "SYSTEM\\CurrentControlSet\\Services\\Quillon";
const char* const kIllegal = "Quillon.ini is an illegal file.";
constexpr UINT_PTR kScanTimer = 1;
constexpr UINT kScanMs = 5000;
constexpr UINT_PTR kIconRetryTimer = 2;
constexpr UINT kIconRetryMs = 1000;
constexpr DWORD kValueSize = 255;  // at most 254 characters and the NUL
constexpr DWORD kTimeoutError = 1460;

// Decimal digits only, within 32 bits; an empty text is 0.
BOOL ToNumber(const char* text, DWORD* value) {
    uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return FALSE;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFull) return FALSE;
    }
    *value = static_cast<DWORD>(v);
    return TRUE;
}

// The first two tokens of an entry, separated by commas, tabs or line feeds.
BOOL SplitEntry(const char* text, std::string& first, std::string& second) {
    std::string parts[2];
    int found = 0;
    std::string current;
    for (const char* p = text;; ++p) {
        const bool end = *p == '\0';
        if (end || *p == ',' || *p == '\t' || *p == '\n') {
            if (!current.empty() && found < 2) parts[found++] = current;
            current.clear();
            if (end) break;
        } else {
            current += *p;
        }
    }
    if (found < 2) return FALSE;
    first = parts[0];
    second = parts[1];
    return TRUE;
}

}  // namespace

// ---- trace ----------------------------------------------------------------------------

CQmTrace::~CQmTrace() { Close(); }

BOOL CQmTrace::Open(LPCSTR key) {
    m_hLib = LoadLibraryA("dbgtrace.dll");
    if (m_hLib == nullptr) return FALSE;
    m_pfnOpen = reinterpret_cast<PFNOPEN>(GetProcAddress(m_hLib, "OpenLogManager"));
    m_pfnLog = reinterpret_cast<PFNLOG>(GetProcAddress(m_hLib, "DebugLogData"));
    FARPROC pfnEx = GetProcAddress(m_hLib, "DebugLogDataEx");  // bound, never called
    m_pfnClose = reinterpret_cast<PFNCLOSE>(GetProcAddress(m_hLib, "CloseLogManager"));
    if (!m_pfnOpen || !m_pfnLog || !pfnEx || !m_pfnClose) {
        FreeLibrary(m_hLib);
        m_hLib = nullptr;
        m_pfnOpen = nullptr;
        m_pfnLog = nullptr;
        m_pfnClose = nullptr;
        return FALSE;
    }
    m_dwHandle = m_pfnOpen(key, 0x7FFFFFFF, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF);
    return TRUE;
}

void CQmTrace::Log(DWORD level, LPCSTR label, LPCSTR text) {
    if (m_pfnLog) m_pfnLog(m_dwHandle, level, label, "%s", text);
}

void CQmTrace::Close() {
    if (m_hLib == nullptr) return;
    m_pfnClose(m_dwHandle);
    FreeLibrary(m_hLib);
    m_hLib = nullptr;
    m_pfnOpen = nullptr;
    m_pfnLog = nullptr;
    m_pfnClose = nullptr;
}

// ---- construction and settings ----------------------------------------------------------

CMainFrame::CMainFrame(LPCSTR lpszIniPath) {
    if (m_Trace.Open(kTraceKey)) m_Trace.Log(1, "CMainFrame::OnCreate", ">>>Start Logging.");
    if (lpszIniPath != nullptr) {
        m_strIniPath = lpszIniPath;
    } else {
        char path[MAX_PATH] = {};
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        std::string dir = n > 0 && n < sizeof path ? std::string(path, n) : std::string();
        size_t slash = dir.find_last_of("/\\");
        dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
        m_strIniPath = dir + "Quillon.ini";
    }
    qmGetPrivateProfile();
    // Programs carry no icon resources here: resource 128 falls back to the system's icon.
    m_hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(128));
    if (m_hIcon == nullptr) m_hIcon = LoadIconA(nullptr, IDI_APPLICATION);
}

CMainFrame::~CMainFrame() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    if (m_hMenu != nullptr) DestroyMenu(m_hMenu);
}

BOOL CMainFrame::qmGetPrivateProfile() {
    const char* label = "CMainFrame::qmGetPrivateProfile";
    const char* path = m_strIniPath.c_str();
    std::memset(m_EventID, 0, sizeof m_EventID);
    std::memset(m_KeyWord, 0, sizeof m_KeyWord);
    m_dwEventIDNum = 0;
    m_dwKeyWordNum = 0;
    m_bStop = FALSE;

    char value[kValueSize];
    DWORD before = 0;
    GetPrivateProfileStringA("Common", "BeforeTime", "60", value, kValueSize, path);
    // Seconds of BeforeTime must fit the 32-bit record times they are compared with.
    if (!ToNumber(value, &before) || before > 0xFFFFFFFFu / 60) {
        m_Trace.Log(1, label, "Quillon.ini is an illegal file.  BeforeTime");
        m_bStop = TRUE;
        return FALSE;
    }
    m_dwBeforeTime = before;

    struct {
        const char* key;
        DWORD* count;
        const char* trace;
    } counts[] = {{"KeyWordNum", &m_dwKeyWordNum, "Quillon.ini is an illegal file.  KeyWordNum"},
                  {"EventIDnum", &m_dwEventIDNum, "Quillon.ini is an illegal file.  EventIDnum"}};
    for (auto& c : counts) {
        GetPrivateProfileStringA("Common", c.key, "100", value, kValueSize, path);
        if (!ToNumber(value, c.count)) {
            m_Trace.Log(1, label, c.trace);
            *c.count = 0;
            m_bStop = TRUE;
            return FALSE;
        }
        if (*c.count > QM_TABLE_MAX) {
            m_Trace.Log(1, label, c.trace);
            *c.count = QM_TABLE_MAX;
        }
    }

    if (!qmGetInitProfile("SearchEventID", "EventID", &m_dwEventIDNum, path) ||
        !qmGetInitProfile("SearchEventWord", "KeyWord", &m_dwKeyWordNum, path)) {
        m_bStop = TRUE;
        return FALSE;
    }
    return TRUE;
}

BOOL CMainFrame::qmGetInitProfile(LPCSTR lpszSection, LPCSTR lpszKey, DWORD* pdwCount, LPCSTR lpszIniPath) {
    const char* label = "qmGetInitProfile";
    m_Trace.Log(3, label, "qmGetInitProfile Called.");
    const bool keywords = lpszKey != nullptr && std::strcmp(lpszKey, "KeyWord") == 0;
    const bool eventIds = lpszKey != nullptr && std::strcmp(lpszKey, "EventID") == 0;
    if ((!keywords && !eventIds) || pdwCount == nullptr) {
        m_Trace.Log(1, label, "Illegal Param.");
        return FALSE;
    }
    const DWORD count = *pdwCount > QM_TABLE_MAX ? QM_TABLE_MAX : *pdwCount;
    for (DWORD k = 1; k <= count; ++k) {
        const std::string key = std::string(lpszKey) + std::to_string(k);
        char value[kValueSize] = {};
        GetPrivateProfileStringA(lpszSection, key.c_str(), "", value, kValueSize, lpszIniPath);
        if (value[0] == '\0') continue;  // entry k stays empty
        std::string first, second;
        DWORD number = 0, code = 0;
        const bool ok = SplitEntry(value, first, second) && ToNumber(second.c_str(), &code) &&
                        (keywords ? !first.empty() && first.size() <= QM_KEYWORD_MAX
                                  : ToNumber(first.c_str(), &number));
        if (!ok) {
            m_Trace.Log(1, label, kIllegal);
            return FALSE;
        }
        if (keywords) {
            QM_KEYWORD& e = m_KeyWord[k - 1];
            std::memcpy(e.szSource, first.c_str(), first.size() + 1);
            e.dwCode = code;
            e.bUsed = TRUE;
        } else {
            QM_EVENTID& e = m_EventID[k - 1];
            e.dwEventID = number;
            e.dwCode = code;
            e.bUsed = TRUE;
        }
    }
    *pdwCount = count;
    return TRUE;
}

// ---- scanning ---------------------------------------------------------------------------

BOOL CMainFrame::qmTimer() {
    const char* label = "qmTimer";
    m_Trace.Log(3, label, "Timer Called");
    if (m_bFirstScan) {
        const uint64_t now = static_cast<uint64_t>(time(nullptr));
        const uint64_t back = static_cast<uint64_t>(m_dwBeforeTime) * 60;
        const uint64_t mark = now > back ? now - back : 0;
        m_dwTimeMark = static_cast<DWORD>(mark > 0xFFFFFFFFull ? 0xFFFFFFFFull : mark);
        m_bFirstScan = FALSE;
    }
    HANDLE hLog = OpenEventLogA(nullptr, "System");
    if (hLog == nullptr) {
        m_Trace.Log(1, label, "EventLog Open Error");
        return FALSE;
    }
    m_Trace.Log(3, label, "EventLog Open Success");
    DWORD code = 0;
    BOOL found = qmSeaEventLog(hLog, &code);
    CloseEventLog(hLog);
    if (!found) {
        m_Trace.Log(1, label, "EventLog Close Error");
    } else {
        m_Trace.Log(3, label, "EventLog Close Success");
        if (code != 0) qm7Seg(code);
    }
    return TRUE;
}

BOOL CMainFrame::qmSeaEventLog(HANDLE hEventLog, DWORD* pdwCode) {
    const char* label = "qmSeaEventLog";
    m_Trace.Log(3, label, "qmSeaEventLog Called");
    std::vector<BYTE> buffer;
    if (!qmGetEventlog(hEventLog, buffer)) {
        m_Trace.Log(1, label, "GetEventlog Error");
        return FALSE;
    }
    m_Trace.Log(3, label, "GetEventlog Success");
    DWORD code = 0;
    for (;;) {
        const auto* rec = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data());
        if (rec->TimeGenerated <= m_dwTimeMark) break;
        const DWORD number = rec->EventID & 0xFFFF;
        DWORD idCode = 0;
        for (DWORD k = 0; k < m_dwEventIDNum; ++k)
            if (m_EventID[k].bUsed && m_EventID[k].dwEventID == number) idCode = m_EventID[k].dwCode;
        if (idCode != 0) {
            m_Trace.Log(2, label, "Find same EventID");
            code = idCode;
            break;
        }
        // The source name follows the fixed part; qmGetEventlog checked it ends in the record.
        const char* source = reinterpret_cast<const char*>(buffer.data() + sizeof(EVENTLOGRECORD));
        DWORD wordCode = 0;
        for (DWORD k = 0; k < m_dwKeyWordNum; ++k)
            if (m_KeyWord[k].bUsed && std::strcmp(m_KeyWord[k].szSource, source) == 0) wordCode = m_KeyWord[k].dwCode;
        if (wordCode != 0) {
            m_Trace.Log(2, label, "Find same Event Keyword");
            code = wordCode;
            break;
        }
        if (!qmGetEventlog(hEventLog, buffer)) {
            m_Trace.Log(1, label, "GetEventlog Error");
            return FALSE;
        }
    }
    m_dwTimeMark = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data())->TimeGenerated;
    *pdwCode = code;
    return TRUE;
}

BOOL CMainFrame::qmGetEventlog(HANDLE hEventLog, std::vector<BYTE>& buffer) {
    const DWORD flags = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ;
    BYTE probe[1];
    DWORD read = 0, needed = 0;
    if (ReadEventLogA(hEventLog, flags, 0, probe, sizeof probe, &read, &needed)) return FALSE;
    // Only this error says how much the next record needs; the end of the log and every
    // other failure end the reading.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(EVENTLOGRECORD)) return FALSE;
    try {
        buffer.assign(needed, 0);
    } catch (const std::bad_alloc&) {
        m_Trace.Log(1, "qmGetEventlog", "Get Eventlog Error ");
        return FALSE;
    }
    if (!ReadEventLogA(hEventLog, flags, 0, buffer.data(), needed, &read, &needed)) return FALSE;
    const auto* rec = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data());
    if (read < sizeof(EVENTLOGRECORD) || rec->Length < sizeof(EVENTLOGRECORD) || rec->Length > read) return FALSE;
    // The source name must end within the record.
    const size_t room = rec->Length - sizeof(EVENTLOGRECORD);
    const char* source = reinterpret_cast<const char*>(buffer.data() + sizeof(EVENTLOGRECORD));
    return strnlen(source, room) < room ? TRUE : FALSE;
}

void CMainFrame::qm7Seg(DWORD dwCode) {
    const char* label = "qm7Seg";
    LONG handle = LedPanelOpen("7SEG");
    if (handle == -1) {
        m_Trace.Log(1, label, "7SEG Open Error");
        return;
    }
    m_Trace.Log(2, label, "7SEG Open Success");
    if (LedPanelShow(handle, dwCode) != 0) {
        m_Trace.Log(1, label, "7SEG Disp Error");
        LedPanelClose(handle);
        return;
    }
    m_Trace.Log(2, label, "7SEG Disp Success");
    if (LedPanelClose(handle) != 0)
        m_Trace.Log(1, label, "7SEG Close Error");
    else
        m_Trace.Log(2, label, "7SEG Close Success");
}

// ---- window -----------------------------------------------------------------------------

HWND CMainFrame::Create(HINSTANCE hInstance) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = hInstance;
    wc.hIcon = m_hIcon;
    wc.lpszClassName = kClassName;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    // The menu resource: one popup whose one item ends the application.
    m_hMenu = CreatePopupMenu();
    HMENU popup = CreatePopupMenu();
    AppendMenuA(popup, MF_STRING, ID_APP_EXIT,
                "\xB1\xCC\xDF\xD8\xB9\xB0\xBC\xAE\xDD\x82\xCC\x8F\x49\x97\xB9(&X)");
    AppendMenuA(m_hMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), "");
    HWND hwnd = CreateWindowExA(0, kClassName, "Quillon", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, this);
    if (hwnd != nullptr) ShowWindow(hwnd, SW_HIDE);
    return hwnd;
}

LRESULT CALLBACK CMainFrame::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        auto* self = static_cast<CMainFrame*>(cs->lpCreateParams);
        self->m_hWnd = hWnd;
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CMainFrame*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    return self->OnMessage(uMsg, wParam, lParam);
}

LRESULT CMainFrame::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_CREATE:
            m_uTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
            return OnCreate();
        case WM_TIMER:
            OnTimer(wParam);
            return 0;
        case WM_NOTIFYICON:
            OnNotifyIcon(lParam);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == ID_APP_EXIT) {
                PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
                return 0;
            }
            break;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
            m_hWnd = nullptr;
            return 0;
        default:
            if (m_uTaskbarCreated != 0 && uMsg == m_uTaskbarCreated) {
                // A restarted taskbar knows no icons: add ours again.
                m_bIconAdded = FALSE;
                AddNotifyIcon();
                return 0;
            }
            break;
    }
    return DefWindowProcA(m_hWnd, uMsg, wParam, lParam);
}

int CMainFrame::OnCreate() {
    SetTimer(m_hWnd, kScanTimer, kScanMs, nullptr);
    AddNotifyIcon();
    return 0;
}

void CMainFrame::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == kIconRetryTimer) {
        KillTimer(m_hWnd, kIconRetryTimer);
        AddNotifyIcon();
        return;
    }
    if (nIDEvent != kScanTimer) return;
    if (m_bStop || !qmTimer()) {
        KillTimer(m_hWnd, kScanTimer);
        PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
    }
}

void CMainFrame::OnNotifyIcon(LPARAM lParam) {
    if (lParam != WM_RBUTTONDOWN || m_hMenu == nullptr) return;
    POINT pt{};
    GetCursorPos(&pt);
    SetForegroundWindow(m_hWnd);
    TrackPopupMenu(GetSubMenu(m_hMenu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, pt.x, pt.y, 0, m_hWnd, nullptr);
}

void CMainFrame::OnDestroy() {
    KillTimer(m_hWnd, kScanTimer);
    KillTimer(m_hWnd, kIconRetryTimer);
    NOTIFYICONDATAA nid;
    FillIconData(nid);
    Shell_NotifyIconA(NIM_DELETE, &nid);
    m_Trace.Log(1, "CMainFrame::OnDestroy", "<<<End Logging.");
    m_Trace.Close();
    PostQuitMessage(0);
}

void CMainFrame::FillIconData(NOTIFYICONDATAA& nid) const {
    std::memset(&nid, 0, sizeof nid);
    nid.cbSize = sizeof nid;
    nid.hWnd = m_hWnd;
    nid.uID = 0;
    nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    nid.uCallbackMessage = WM_NOTIFYICON;
    nid.hIcon = m_hIcon;
    std::strcpy(nid.szTip, "Quillon");
}

BOOL CMainFrame::AddNotifyIcon() {
    NOTIFYICONDATAA nid;
    FillIconData(nid);
    if (Shell_NotifyIconA(NIM_ADD, &nid)) {
        m_bIconAdded = TRUE;
        return TRUE;
    }
    if (GetLastError() != kTimeoutError) {
        m_Trace.Log(1, "CMainFrame::AddNotifyIcon", "Can not Add NotifyIcon.");
        PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
        return FALSE;
    }
    // A busy taskbar may have taken the icon even though adding timed out.
    if (Shell_NotifyIconA(NIM_MODIFY, &nid)) {
        m_bIconAdded = TRUE;
        return TRUE;
    }
    // Try again later from the loop, so that scans and the menu go on meanwhile.
    SetTimer(m_hWnd, kIconRetryTimer, kIconRetryMs, nullptr);
    return FALSE;
}
