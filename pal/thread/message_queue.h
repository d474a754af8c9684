// The thread family's queue internals that other parts of the layer use.
#pragma once

#include "pal/types.h"

namespace pal {

// Queues a message for a thread, addressed to a window of it (null: a thread message).
// PostThreadMessageA is this with a null window; the window family's posts go here too.
BOOL PostQueueMessage(DWORD threadId, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Gives the calling thread its queue now (a thread that creates a window has one).
void EnsureThreadQueue();

// Called on the taking thread, outside the queue's lock, with each WM_TIMER message that
// GetMessage or PeekMessage (PM_REMOVE) takes out of a queue: the window family keeps at
// most one WM_TIMER per timer waiting, and learns here that it no longer waits.
using TimerTakenHook = void (*)(const MSG& msg);
void SetTimerTakenHook(TimerTakenHook hook);

// Drops the calling thread's queue and what it holds; later posts to the thread fail with
// ERROR_INVALID_THREAD_ID. Runs when the thread ends, before its handle is signalled.
void CloseThreadQueue();

}  // namespace pal
