// Global helpers that turn a system error code into its message text and log it.
#pragma once

#include <string>

#include "pal/types.h"

std::string GetWinErrorMsg(DWORD errorCode);
std::string LogWinErrorMsg(const char* function, WORD eventCode, DWORD errorCode, LONG idCode, LONG level,
                           const char* format, ...) __attribute__((format(printf, 6, 7)));
std::string LogWinErrorMsg0(const char* function, DWORD errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::string LogWinErrorMsg1(const char* function, DWORD errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::string LogWinErrorMsg2(const char* function, DWORD errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::string LogWinErrorMsg3(const char* function, DWORD errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
