// Window classes, windows without a screen, their message dispatch, timers, registered
// window messages and device-change broadcasts.
//
// A window here is a message target: it has a class, a procedure, an owning thread (the
// one that created it), a parent or none, and a recorded visibility; nothing is drawn.
// Posted messages travel through the owning thread's queue (pal/thread), so the usual
// loop GetMessage / TranslateMessage / DispatchMessage runs the procedure on that thread.
//
// HWND values are pointer-sized: the creating process's id in the high 32 bits and a
// serial number in the low ones. A handle is never reused within a process's life, so a
// destroyed window's handle fails cleanly with ERROR_INVALID_WINDOW_HANDLE.
//
// Limits: windows and classes are private to the process; posts reach another process's
// windows of the same machine root only while it has a top-level window, and only for
// messages whose parameters are numbers (remote.h); SendMessage to a window of
// another thread fails with ERROR_WINDOW_OF_OTHER_THREAD; a child's parent must belong to
// the creating thread. Details: docs/window.md.
#pragma once

#include "pal/types.h"
#include "pal/wmi/com.h"  // GUID

typedef WORD ATOM;
typedef struct HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef struct HMENU__* HMENU;
typedef void* HGDIOBJ;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define MAKEINTATOM(i) (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA, *PWNDCLASSEXA, *LPWNDCLASSEXA;

typedef struct tagWNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA, *PWNDCLASSA, *LPWNDCLASSA;

typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

// Class styles.
#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u
#define CS_DBLCLKS 0x0008u
#define CS_OWNDC 0x0020u
#define CS_CLASSDC 0x0040u
#define CS_PARENTDC 0x0080u
#define CS_NOCLOSE 0x0200u
#define CS_GLOBALCLASS 0x4000u

// Window styles.
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_MINIMIZE 0x20000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define WS_MAXIMIZE 0x01000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_MAXIMIZEBOX 0x00010000u
#define WS_OVERLAPPEDWINDOW \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)
#define WS_EX_TOOLWINDOW 0x00000080u
#define WS_EX_APPWINDOW 0x00040000u

#define CW_USEDEFAULT (static_cast<int>(0x80000000u))

// Special window handles.
#define HWND_BROADCAST (reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0xFFFF)))
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)))

// ShowWindow commands.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10

// Window messages (WM_NULL, WM_QUIT, WM_TIMER and WM_USER come from pal/thread).
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_MOVE 0x0003u
#define WM_SIZE 0x0005u
#define WM_ACTIVATE 0x0006u
#define WM_SETFOCUS 0x0007u
#define WM_KILLFOCUS 0x0008u
#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_QUERYENDSESSION 0x0011u
#define WM_ENDSESSION 0x0016u
#define WM_SHOWWINDOW 0x0018u
#define WM_NCCREATE 0x0081u
#define WM_NCDESTROY 0x0082u
#define WM_COMMAND 0x0111u
#define WM_SYSCOMMAND 0x0112u
#define WM_MOUSEMOVE 0x0200u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_LBUTTONDBLCLK 0x0203u
#define WM_RBUTTONDOWN 0x0204u
#define WM_RBUTTONUP 0x0205u
#define WM_RBUTTONDBLCLK 0x0206u
#define WM_DEVICECHANGE 0x0219u

// Window data indices.
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_HWNDPARENT (-8)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define GWLP_ID (-12)

// Stock objects.
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define HOLLOW_BRUSH NULL_BRUSH
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define OEM_FIXED_FONT 10
#define ANSI_FIXED_FONT 11
#define ANSI_VAR_FONT 12
#define SYSTEM_FONT 13
#define DEVICE_DEFAULT_FONT 14
#define DEFAULT_PALETTE 15
#define SYSTEM_FIXED_FONT 16
#define DEFAULT_GUI_FONT 17
#define DC_BRUSH 18
#define DC_PEN 19

// System icons and cursors.
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDI_HAND MAKEINTRESOURCEA(32513)
#define IDI_ERROR IDI_HAND
#define IDI_QUESTION MAKEINTRESOURCEA(32514)
#define IDI_EXCLAMATION MAKEINTRESOURCEA(32515)
#define IDI_WARNING IDI_EXCLAMATION
#define IDI_ASTERISK MAKEINTRESOURCEA(32516)
#define IDI_INFORMATION IDI_ASTERISK
#define IDI_WINLOGO MAKEINTRESOURCEA(32517)
#define IDI_SHIELD MAKEINTRESOURCEA(32518)
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_IBEAM MAKEINTRESOURCEA(32513)
#define IDC_WAIT MAKEINTRESOURCEA(32514)
#define IDC_CROSS MAKEINTRESOURCEA(32515)
#define IDC_UPARROW MAKEINTRESOURCEA(32516)
#define IDC_SIZENWSE MAKEINTRESOURCEA(32642)
#define IDC_SIZENESW MAKEINTRESOURCEA(32643)
#define IDC_SIZEWE MAKEINTRESOURCEA(32644)
#define IDC_SIZENS MAKEINTRESOURCEA(32645)
#define IDC_SIZEALL MAKEINTRESOURCEA(32646)
#define IDC_NO MAKEINTRESOURCEA(32648)
#define IDC_HAND MAKEINTRESOURCEA(32649)
#define IDC_APPSTARTING MAKEINTRESOURCEA(32650)
#define IDC_HELP MAKEINTRESOURCEA(32651)

// Message boxes.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_CANCELTRYCONTINUE 0x00000006u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_SYSTEMMODAL 0x00001000u
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_SERVICE_NOTIFICATION 0x00200000u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDTRYAGAIN 10
#define IDCONTINUE 11

// Timers.
#define USER_TIMER_MINIMUM 0x0000000Au
#define USER_TIMER_MAXIMUM 0x7FFFFFFFu

// Device-change broadcasts: WM_DEVICECHANGE's wParam is the event, lParam points to a
// header that stays valid for the life of the process.
#define DBT_DEVNODES_CHANGED 0x0007u
#define DBT_DEVICEARRIVAL 0x8000u
#define DBT_DEVICEQUERYREMOVE 0x8001u
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002u
#define DBT_DEVICEREMOVEPENDING 0x8003u
#define DBT_DEVICEREMOVECOMPLETE 0x8004u
#define DBT_DEVTYP_OEM 0x00000000u
#define DBT_DEVTYP_VOLUME 0x00000002u
#define DBT_DEVTYP_PORT 0x00000003u
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005u
#define DBT_DEVTYP_HANDLE 0x00000006u

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

// Errors of this family.
#ifndef ERROR_INVALID_WINDOW_HANDLE
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#endif
#ifndef ERROR_TLW_WITH_WSCHILD
#define ERROR_TLW_WITH_WSCHILD 1406L
#endif
#ifndef ERROR_CANNOT_FIND_WND_CLASS
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#endif
#ifndef ERROR_WINDOW_OF_OTHER_THREAD
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#endif
#ifndef ERROR_CLASS_ALREADY_EXISTS
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#endif
#ifndef ERROR_CLASS_DOES_NOT_EXIST
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#endif
#ifndef ERROR_CLASS_HAS_WINDOWS
#define ERROR_CLASS_HAS_WINDOWS 1412L
#endif
#ifndef ERROR_INVALID_INDEX
#define ERROR_INVALID_INDEX 1413L
#endif
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif
#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223L
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif

// Classes: one table per process, names compared ignoring ASCII case. Atoms are
// 0xC000-0xFFFF; a class name may be given as MAKEINTATOM(atom). A class that is already
// registered fails with ERROR_CLASS_ALREADY_EXISTS (whatever its module); an unknown one
// with ERROR_CANNOT_FIND_WND_CLASS (create) or ERROR_CLASS_DOES_NOT_EXIST (unregister);
// a class with windows cannot be unregistered (ERROR_CLASS_HAS_WINDOWS).
ATOM RegisterClassExA(const WNDCLASSEXA* lpwcx);
ATOM RegisterClassA(const WNDCLASSA* lpWndClass);
BOOL UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);

// Creates a window owned by the calling thread and sends it WM_NCCREATE and WM_CREATE
// (lParam: the CREATESTRUCTA). WM_NCCREATE returning FALSE or WM_CREATE returning -1
// destroys the window again and fails with ERROR_CANCELLED. hWndParent NULL makes a
// top-level window (it gets broadcasts), HWND_MESSAGE a message-only one (it does not).
// WS_VISIBLE records the window as shown; nothing else about the style matters.
HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
#define CreateWindowA(className, windowName, style, x, y, width, height, parent, menu, instance, param) \
    CreateWindowExA(0, className, windowName, style, x, y, width, height, parent, menu, instance, param)

// Sends WM_DESTROY (the window, then its children), then WM_NCDESTROY (children first),
// kills the window's timers; afterwards the handle is invalid. Only the owning thread may
// destroy a window (else ERROR_ACCESS_DENIED). A thread that ends destroys its remaining
// windows without calling their procedures.
BOOL DestroyWindow(HWND hWnd);
BOOL IsWindow(HWND hWnd);
// WM_CLOSE destroys the window; WM_NCCREATE and WM_DEVICECHANGE give TRUE; the rest 0.
LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Calls the procedure of msg's window (the owning thread only). WM_TIMER whose lParam is
// the TIMERPROC of a live timer of that window (or thread) calls that function instead;
// any other lParam of a WM_TIMER is never called.
LRESULT DispatchMessageA(const MSG* lpMsg);
BOOL TranslateMessage(const MSG* lpMsg);
// The calling thread's windows: a direct call of the procedure. Other threads' windows:
// 0 with ERROR_WINDOW_OF_OTHER_THREAD. HWND_BROADCAST: ERROR_NOT_SUPPORTED.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Queues the message on the window's owning thread, in this or another process of the
// machine root (remote.h). NULL: a thread message to the calling thread. HWND_BROADCAST:
// every top-level window of every process of the root (TRUE even when there is none).
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// Records the visibility; returns whether the window was visible before.
BOOL ShowWindow(HWND hWnd, int nCmdShow);
BOOL UpdateWindow(HWND hWnd);
BOOL IsWindowVisible(HWND hWnd);
// GWLP_USERDATA, GWLP_WNDPROC, GWLP_HINSTANCE, GWLP_HWNDPARENT, GWLP_ID, GWL_STYLE,
// GWL_EXSTYLE, or a byte offset into the window's cbWndExtra bytes (8 bytes read or
// written there). An unknown index: 0 with ERROR_INVALID_INDEX. Set returns the old value.
LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex);
LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
// The owning thread's id (0 for an invalid window); *lpdwProcessId the process id.
DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
// The first top-level window of the process (oldest first) whose class and title match,
// ignoring ASCII case; NULL for either means any.
HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);

// WM_TIMER every uElapse ms (clamped to USER_TIMER_MINIMUM..USER_TIMER_MAXIMUM) on the
// owning thread's queue, at most one waiting per timer. With a window: the timer is
// (hWnd, nIDEvent), replaced when it exists, and the result is nIDEvent (1 for 0). Without:
// a thread timer whose id the result gives (nIDEvent names one of the thread's timers to
// replace). Timer functions run inside DispatchMessage.
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
// A WM_TIMER already queued stays; no new one comes.
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);

// The same id in 0xC000-0xFFFF for the same name (ASCII case ignored) in every process of
// one machine root; 0 on failure.
UINT RegisterWindowMessageA(LPCSTR lpString);

// Non-null placeholders: nothing is drawn.
HGDIOBJ GetStockObject(int i);
// hInstance NULL and a system id (IDI_*, IDC_*): a non-null placeholder. Anything else:
// NULL with ERROR_RESOURCE_NAME_NOT_FOUND (programs carry no resources here).
HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName);

// No user interface: writes "MessageBox [caption] text" to standard error and returns the
// default button (IDOK for MB_OK and MB_OKCANCEL, IDYES, IDABORT, IDRETRY, IDCANCEL for
// MB_CANCELTRYCONTINUE).
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

#define RegisterClassEx RegisterClassExA
#define RegisterClass RegisterClassA
#define UnregisterClass UnregisterClassA
#define CreateWindowEx CreateWindowExA
#define CreateWindow CreateWindowA
#define DefWindowProc DefWindowProcA
#define DispatchMessage DispatchMessageA
#define SendMessage SendMessageA
#define PostMessage PostMessageA
#define GetWindowLongPtr GetWindowLongPtrA
#define SetWindowLongPtr SetWindowLongPtrA
#define FindWindow FindWindowA
#define RegisterWindowMessage RegisterWindowMessageA
#define LoadIcon LoadIconA
#define LoadCursor LoadCursorA
#define MessageBox MessageBoxA
#define WNDCLASSEX WNDCLASSEXA
#define WNDCLASS WNDCLASSA
#define CREATESTRUCT CREATESTRUCTA
