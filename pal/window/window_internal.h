// What the window family's parts share: the window table for the timers and the device
// listener, the timers for DestroyWindow and DispatchMessage, the listener's reference
// count for window creation and destruction.
#pragma once

#include <vector>

#include "pal/window/window.h"

namespace pal::window {

struct WindowTarget {
    HWND hwnd;
    DWORD thread;  // the owning thread
};

// The top-level windows of the process (not message-only ones), oldest first.
std::vector<WindowTarget> TopLevelWindows();
// The owning thread of a live window; false (ERROR_INVALID_WINDOW_HANDLE set) otherwise.
bool WindowOwner(HWND hwnd, DWORD& thread);

// Timers (timer.cpp).
void KillWindowTimers(HWND hwnd);
// True when a live timer (hwnd, id) - for hwnd NULL the calling thread's timer id - has
// proc as its function.
bool IsTimerProc(HWND hwnd, UINT_PTR id, TIMERPROC proc);

// The device listener runs while the process has a top-level window (devices.cpp).
// Acquire starts it at the first window and returns once it has read its starting state;
// Release stops and joins it at the last. Neither may be called with the window table's
// lock held.
void AcquireDeviceListener();
void ReleaseDeviceListener();

}  // namespace pal::window
