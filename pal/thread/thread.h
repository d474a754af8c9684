// Threads (created suspended or running, waitable, with exit codes and 32-bit ids),
// sleeping, tick counts, clock and time-zone information, and the computer name.
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
