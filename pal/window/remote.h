// Posts between processes of one machine root. Each process that has a top-level window
// owns one Unix datagram socket, $VQ_ROOT/.vq/windows/<pid>, bound and read by its
// listener thread (devices.cpp) and closed with its last top-level window. A post to a
// window of another process, or a broadcast, is one datagram; the receiver hands it to
// the owning thread's queue as a local post would. Details: docs/window.md.
#pragma once

#include <sys/types.h>

#include <string>

#include "pal/window/window.h"

namespace pal::window {

// The socket of a process.
std::string PostSocketPath(pid_t pid);

// Binds the calling process's socket (a stale one of a dead process with the same id is
// replaced); -1 when it cannot be bound.
int OpenPostSocket();
// Closes it and removes its name.
void ClosePostSocket(int fd);

// Reads the waiting datagrams and posts each to its window (or, for HWND_BROADCAST, to
// every top-level window of the process); a datagram for a window that is gone, or that
// carries a message which must not cross processes, is dropped.
void ReceivePosts(int fd);

// Whether a message may cross processes: its parameters must be numbers, not pointers
// into the sender's memory. WM_USER and above, registered messages, and WM_NULL,
// WM_CLOSE, WM_COMMAND, WM_QUIT may; other system messages may not.
bool MayCrossProcess(UINT msg);

// Sends one post to process pid's socket. FALSE with ERROR_INVALID_WINDOW_HANDLE when the
// process has no socket (no windows, or gone), ERROR_NOT_ENOUGH_QUOTA when its socket is
// full, ERROR_MESSAGE_SYNC_ONLY for a message that cannot cross.
BOOL PostToProcess(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Sends a broadcast to every other process of the root that has a socket.
void BroadcastToOtherProcesses(UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace pal::window
