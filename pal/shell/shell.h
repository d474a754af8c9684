// Notification-area icons and their popup menus, kept where tools can see them.
//
// There is no taskbar: Shell_NotifyIconA keeps each icon as a file under $VQ_ROOT/tray/,
// and TrackPopupMenu records the menu it would show there too. The tool vqtray lists the
// icons, posts an icon's callback message to its window (a click), chooses an item of an
// open menu (WM_COMMAND to the menu's owner), and plays a restarted taskbar (forgets every
// icon and broadcasts "TaskbarCreated"). Posts reach windows of other processes through
// the window family (docs/window.md). $VQ_ROOT/devices/tray.conf can make adding fail.
// Details: docs/eventmon.md.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "pal/types.h"
#include "pal/window/window.h"

#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u

#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_STATE 0x00000008u
#define NIF_INFO 0x00000010u

typedef struct _NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

// The first form of the structure: up to a 64-byte tip.
#define NOTIFYICONDATAA_V1_SIZE (offsetof(NOTIFYICONDATAA, szTip) + 64)

// NIM_ADD: a new icon of (hWnd, uID) - an icon already there fails; NIM_MODIFY changes
// the fields uFlags names; NIM_DELETE removes it. hWnd must be a window of the calling
// process. FALSE with the last error set: ERROR_INVALID_PARAMETER (size, message),
// ERROR_INVALID_WINDOW_HANDLE, ERROR_ALREADY_EXISTS (add), ERROR_NOT_FOUND (modify,
// delete), or the error tray.conf's fail_add names (for NIM_ADD only).
BOOL Shell_NotifyIconA(DWORD dwMessage, PNOTIFYICONDATAA lpData);
#define Shell_NotifyIcon Shell_NotifyIconA
#define NOTIFYICONDATA NOTIFYICONDATAA

// Menus: popup menus of string items; nothing is drawn.
#define MF_STRING 0x00000000u
#define MF_SEPARATOR 0x00000800u
#define MF_POPUP 0x00000010u
#define MF_BYCOMMAND 0x00000000u
#define MF_BYPOSITION 0x00000400u
#define TPM_LEFTALIGN 0x0000u
#define TPM_RIGHTBUTTON 0x0002u
#define TPM_RETURNCMD 0x0100u

HMENU CreatePopupMenu();
// MF_STRING (text and command id) or MF_SEPARATOR items, or MF_POPUP with a submenu as
// uIDNewItem. Other flags: ERROR_INVALID_PARAMETER.
BOOL AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem);
// The submenu at a position, or NULL.
HMENU GetSubMenu(HMENU hMenu, int nPos);
int GetMenuItemCount(HMENU hMenu);
// Destroys the menu and its submenus.
BOOL DestroyMenu(HMENU hMenu);
// Records the menu as open for hWnd (a window of the calling process) in the tray store
// and returns TRUE at once; a later choice by vqtray posts WM_COMMAND (the item's id) to
// hWnd. There is no one to choose while the call would wait, so TPM_RETURNCMD gives 0.
BOOL TrackPopupMenu(HMENU hMenu, UINT uFlags, int x, int y, int nReserved, HWND hWnd, const void* prcRect);
// Records the window as the foreground one; TRUE for a live window.
BOOL SetForegroundWindow(HWND hWnd);
HWND GetForegroundWindow();
// There is no pointer: (0, 0).
BOOL GetCursorPos(LPPOINT lpPoint);
#define AppendMenu AppendMenuA

namespace pal::shell {

// The tray store's directory, $VQ_ROOT/tray.
std::string TrayDir();

struct TrayIcon {
    DWORD pid = 0;
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT flags = 0;
    UINT callback = 0;
    bool hasIcon = false;
    std::string tip;
};

struct MenuItem {
    UINT_PTR id = 0;
    std::string text;  // empty for a separator
};

struct OpenMenu {
    DWORD pid = 0;
    HWND owner = nullptr;
    std::vector<MenuItem> items;
};

// Icons of live processes, by process and then window and id. Icons of processes that
// ended are removed from the store on the way (as the taskbar drops a dead icon).
std::vector<TrayIcon> ListIcons();
// The menu a process has open; false when none.
bool ReadOpenMenu(DWORD pid, OpenMenu& menu);
// Forgets the menu (it was chosen from or dismissed).
void CloseOpenMenu(DWORD pid);
// Forgets every icon, as a restarted taskbar has none.
void ForgetAllIcons();

}  // namespace pal::shell
