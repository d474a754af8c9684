// Named pipes: server instances (CreateNamedPipe, ConnectNamedPipe, DisconnectNamedPipe),
// client ends (CreateFile of "\\.\PIPE\name" or "\\THISPC\PIPE\name"), byte and message
// mode, synchronous and overlapped ReadFile/WriteFile with GetOverlappedResult and
// cancellation. Built on Unix sockets under $VQ_ROOT/.vq/pipes/; one process serves a
// name at a time. Behaviour, limits and differences from Windows: docs/pipe.md.
#pragma once

#include "pal/file/file.h"
#include "pal/types.h"

// Open modes.
#define PIPE_ACCESS_INBOUND 0x00000001u
#define PIPE_ACCESS_OUTBOUND 0x00000002u
#define PIPE_ACCESS_DUPLEX 0x00000003u
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000u

// Pipe modes.
#define PIPE_WAIT 0x00000000u
#define PIPE_NOWAIT 0x00000001u
#define PIPE_READMODE_BYTE 0x00000000u
#define PIPE_READMODE_MESSAGE 0x00000002u
#define PIPE_TYPE_BYTE 0x00000000u
#define PIPE_TYPE_MESSAGE 0x00000004u
#define PIPE_ACCEPT_REMOTE_CLIENTS 0x00000000u
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008u

#define PIPE_UNLIMITED_INSTANCES 255u

// GetNamedPipeInfo flags.
#define PIPE_CLIENT_END 0x00000000u
#define PIPE_SERVER_END 0x00000001u

// WaitNamedPipe time-outs.
#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000u
#define NMPWAIT_NOWAIT 0x00000001u
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

#ifndef ERROR_BAD_NETPATH
#define ERROR_BAD_NETPATH 53L
#endif

HANDLE CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances, DWORD nOutBufferSize,
                        DWORD nInBufferSize, DWORD nDefaultTimeOut, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped);
BOOL DisconnectNamedPipe(HANDLE hNamedPipe);
BOOL WaitNamedPipeA(LPCSTR lpNamedPipeName, DWORD nTimeOut);
BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                   LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage);
BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout);
BOOL GetNamedPipeInfo(HANDLE hNamedPipe, LPDWORD lpFlags, LPDWORD lpOutBufferSize, LPDWORD lpInBufferSize,
                      LPDWORD lpMaxInstances);

// Cancellation of pending overlapped operations (any handle kind that has them). When
// either returns, every cancelled operation has completed (ERROR_OPERATION_ABORTED) and
// nothing writes into its buffer or OVERLAPPED any more.
BOOL CancelIo(HANDLE hFile);
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);

#define CreateNamedPipe CreateNamedPipeA
#define WaitNamedPipe WaitNamedPipeA
