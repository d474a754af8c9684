// CMainFrame: quillon's hidden main window. It reads Quillon.ini, scans the System event
// log every five seconds for configured event numbers and source names, shows the code of
// a match on the seven-segment display, and keeps a notification icon whose menu ends the
// program. Details: docs/eventmon.md.
#pragma once

#include <string>
#include <vector>

#include "pal/windows.h"

// The popup menu's one item (end the application).
#define ID_APP_EXIT 0xE141u
// The icon's callback message.
#define WM_NOTIFYICON (WM_USER + 1)

#define QM_TABLE_MAX 100
#define QM_KEYWORD_MAX 255

struct QM_EVENTID {
    DWORD dwEventID;
    DWORD dwCode;
    BOOL bUsed;  // the ini key was present and not empty
};

struct QM_KEYWORD {
    CHAR szSource[QM_KEYWORD_MAX + 1];
    DWORD dwCode;
    BOOL bUsed;
};

// Binds the debug trace library by name; every call does nothing when it is not bound.
class CQmTrace {
public:
    CQmTrace() = default;
    ~CQmTrace();
    CQmTrace(const CQmTrace&) = delete;
    CQmTrace& operator=(const CQmTrace&) = delete;
    BOOL Open(LPCSTR key);
    void Log(DWORD level, LPCSTR label, LPCSTR text);
    void Close();

private:
    typedef DWORD (*PFNOPEN)(const char*, DWORD, DWORD, DWORD, DWORD, DWORD);
    typedef void (*PFNLOG)(DWORD, DWORD, const char*, const char*, ...);
    typedef void (*PFNCLOSE)(DWORD);
    HMODULE m_hLib = nullptr;
    PFNOPEN m_pfnOpen = nullptr;
    PFNLOG m_pfnLog = nullptr;
    PFNCLOSE m_pfnClose = nullptr;
    DWORD m_dwHandle = 0;
};

class CMainFrame {
public:
    // lpszIniPath NULL: "Quillon.ini" in the directory of the program's own file.
    explicit CMainFrame(LPCSTR lpszIniPath = nullptr);
    ~CMainFrame();
    CMainFrame(const CMainFrame&) = delete;
    CMainFrame& operator=(const CMainFrame&) = delete;

    // Registers the frame's class and creates the window, hidden; NULL on failure.
    HWND Create(HINSTANCE hInstance);
    HWND GetSafeHwnd() const { return m_hWnd; }

    BOOL qmGetPrivateProfile();
    BOOL qmGetInitProfile(LPCSTR lpszSection, LPCSTR lpszKey, DWORD* pdwCount, LPCSTR lpszIniPath);
    BOOL qmTimer();
    // The search of one scan in an open log: TRUE with *pdwCode (0: nothing found).
    BOOL qmSeaEventLog(HANDLE hEventLog, DWORD* pdwCode);
    // The next older record into buffer; FALSE at the end of the log or on an error.
    BOOL qmGetEventlog(HANDLE hEventLog, std::vector<BYTE>& buffer);
    void qm7Seg(DWORD dwCode);
    BOOL AddNotifyIcon();

    // What the reading and the scans left, for the tests and the demo.
    BOOL IsStopped() const { return m_bStop; }
    DWORD GetTimeMark() const { return m_dwTimeMark; }
    void SetTimeMark(DWORD dwTimeMark) { m_dwTimeMark = dwTimeMark; }
    DWORD GetBeforeTime() const { return m_dwBeforeTime; }
    DWORD GetEventIDCount() const { return m_dwEventIDNum; }
    DWORD GetKeyWordCount() const { return m_dwKeyWordNum; }
    const QM_EVENTID& GetEventID(int k) const { return m_EventID[k - 1]; }
    const QM_KEYWORD& GetKeyWord(int k) const { return m_KeyWord[k - 1]; }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    int OnCreate();
    void OnTimer(UINT_PTR nIDEvent);
    void OnDestroy();
    void OnNotifyIcon(LPARAM lParam);
    void FillIconData(NOTIFYICONDATAA& nid) const;

    CQmTrace m_Trace;
    std::string m_strIniPath;
    HWND m_hWnd = nullptr;
    HICON m_hIcon = nullptr;
    HMENU m_hMenu = nullptr;
    UINT m_uTaskbarCreated = 0;
    BOOL m_bStop = FALSE;
    BOOL m_bIconAdded = FALSE;
    DWORD m_dwBeforeTime = 0;
    DWORD m_dwTimeMark = 0;
    BOOL m_bFirstScan = TRUE;
    DWORD m_dwKeyWordNum = 0;
    DWORD m_dwEventIDNum = 0;
    QM_EVENTID m_EventID[QM_TABLE_MAX] = {};
    QM_KEYWORD m_KeyWord[QM_TABLE_MAX] = {};
};
