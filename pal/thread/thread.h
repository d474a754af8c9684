// Threads (created suspended or running, waitable, with exit codes and 32-bit ids),
// thread message queues, the process's command line, sleeping, tick counts, clock and
// time-zone information, and the computer name.
//
// Test and demo settings, read from the environment at each call:
//   VQ_TICK_OFFSET   milliseconds added to GetTickCount (to bring the 32-bit wrap near)
//   VQ_TZ_BIAS       minutes, UTC = local time + bias; overrides the C library's zone
//   VQ_COMPUTERNAME  the computer name (cut to 15 characters, upper case)
#pragma once

#include "pal/types.h"

#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 259u
#define MAX_COMPUTERNAME_LENGTH 15
#define ERROR_BUFFER_OVERFLOW 111L

#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu
#define TIME_ZONE_ID_UNKNOWN 0u
#define TIME_ZONE_ID_STANDARD 1u
#define TIME_ZONE_ID_DAYLIGHT 2u

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
DWORD ResumeThread(HANDLE hThread);
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
DWORD GetThreadId(HANDLE hThread);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
[[noreturn]] void ExitThread(DWORD dwExitCode);

void Sleep(DWORD dwMilliseconds);
DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

void GetLocalTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpFileTime);
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation);

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
#define GetComputerName GetComputerNameA

// Thread message queues. A thread gets its queue at its first call of a queue function
// (GetMessage, PeekMessage, WaitMessage, GetQueueStatus, PostQuitMessage,
// MsgWaitForMultipleObjects); the queue and what it holds go away when the thread ends.
// Queues are private to the process.
#define WM_NULL 0x0000u
#define WM_QUIT 0x0012u
#define WM_TIMER 0x0113u
#define WM_USER 0x0400u
#define WM_APP 0x8000u

#define QS_KEY 0x0001u
#define QS_MOUSEMOVE 0x0002u
#define QS_MOUSEBUTTON 0x0004u
#define QS_POSTMESSAGE 0x0008u
#define QS_TIMER 0x0010u
#define QS_PAINT 0x0020u
#define QS_SENDMESSAGE 0x0040u
#define QS_HOTKEY 0x0080u
#define QS_ALLPOSTMESSAGE 0x0100u
#define QS_RAWINPUT 0x0400u
#define QS_MOUSE (QS_MOUSEMOVE | QS_MOUSEBUTTON)
#define QS_INPUT (QS_MOUSE | QS_KEY | QS_RAWINPUT)
#define QS_ALLEVENTS (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY)
#define QS_ALLINPUT (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE)

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#define PM_NOYIELD 0x0002u
#define PM_QS_INPUT (QS_INPUT << 16)
#define PM_QS_POSTMESSAGE ((QS_POSTMESSAGE | QS_HOTKEY | QS_TIMER) << 16)
#define PM_QS_PAINT (QS_PAINT << 16)
#define PM_QS_SENDMESSAGE (QS_SENDMESSAGE << 16)

#define MWMO_WAITALL 0x0001u
#define MWMO_ALERTABLE 0x0002u
#define MWMO_INPUTAVAILABLE 0x0004u

#ifndef ERROR_INVALID_THREAD_ID
#define ERROR_INVALID_THREAD_ID 1444L
#endif
#ifndef ERROR_NOT_ENOUGH_QUOTA
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#endif

// Fails with ERROR_INVALID_THREAD_ID when the thread has no queue (not yet, or no longer),
// with ERROR_NOT_ENOUGH_QUOTA when its queue is full.
BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
// Blocks for a message of the calling thread's queue: > 0 for a message, 0 for WM_QUIT
// (always returned, whatever the filter), -1 on error. hWnd NULL takes every message,
// (HWND)-1 only thread messages; min and max both 0 take every message number.
BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
// WM_QUIT with the code as wParam, returned once the queue holds no other matching message.
void PostQuitMessage(int nExitCode);
// Returns once the calling thread's queue holds a message (new or not).
BOOL WaitMessage();
// High word: kinds of messages queued now; low word: kinds posted since the last look.
DWORD GetQueueStatus(UINT flags);
// Wait-any on up to MAXIMUM_WAIT_OBJECTS - 1 handles plus the calling thread's queue:
// WAIT_OBJECT_0 + nCount while the queue holds a posted message and dwWakeMask asks for
// posted messages (QS_POSTMESSAGE, QS_ALLPOSTMESSAGE, QS_ALLINPUT ...), whether or not the
// thread has looked at it before (as with MWMO_INPUTAVAILABLE). A signalled handle wins
// over a message. bWaitAll TRUE (MWMO_WAITALL) is not supported: ERROR_INVALID_PARAMETER.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask);
DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                  DWORD dwFlags);

// The process's command line: its arguments joined by single spaces, each one that is
// empty or holds a space or tab in double quotes (with the usual backslash escapes for
// quotes inside). The first token is the program as started. The text lives as long
// as the process.
LPSTR GetCommandLineA();

#define PostThreadMessage PostThreadMessageA
#define GetMessage GetMessageA
#define PeekMessage PeekMessageA
#define GetCommandLine GetCommandLineA
