// The thread family's queue internals that other parts of the layer use.
#pragma once

#include "pal/types.h"

namespace pal {

// Queues a message for a thread, addressed to a window of it (null: a thread message).
// PostThreadMessageA is this with a null window; the window family's posts go here too.
BOOL PostQueueMessage(DWORD threadId, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Drops the calling thread's queue and what it holds; later posts to the thread fail with
// ERROR_INVALID_THREAD_ID. Runs when the thread ends, before its handle is signalled.
void CloseThreadQueue();

}  // namespace pal
