#include "framework/vqberrlog.h"

#include <cstdarg>
#include <cstdio>

#include "framework/apllog.h"
#include "pal/error/error.h"

namespace {

std::string Compose(DWORD errorCode, const char* format, va_list args) {
    try {
        std::string text;
        if (format) {
            va_list copy;
            va_copy(copy, args);
            int n = std::vsnprintf(nullptr, 0, format, copy);
            va_end(copy);
            if (n > 0) {
                text.resize(static_cast<size_t>(n) + 1);
                std::vsnprintf(text.data(), text.size(), format, args);
                text.resize(static_cast<size_t>(n));
            }
        }
        return text + "  :  " + GetWinErrorMsg(errorCode);
    } catch (...) {
        return "exception in LogWinErrorMsg";
    }
}

std::string LogV(const char* function, WORD eventCode, DWORD errorCode, LONG idCode, LONG level, const char* format,
                 va_list args) {
    std::string message = Compose(errorCode, format, args);
    CAplLog::Write(eventCode, errorCode, idCode, function, message.c_str(), level);
    return message;
}

}  // namespace

std::string GetWinErrorMsg(DWORD errorCode) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, errorCode, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    return out;
}

std::string LogWinErrorMsg(const char* function, WORD eventCode, DWORD errorCode, LONG idCode, LONG level,
                           const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string m = LogV(function, eventCode, errorCode, idCode, level, format, args);
    va_end(args);
    return m;
}

#define VQ_LOG_WIN_ERROR(name, code, lvl)                                              \
    std::string name(const char* function, DWORD errorCode, const char* format, ...) { \
        va_list args;                                                                  \
        va_start(args, format);                                                        \
        std::string m = LogV(function, code, errorCode, 0, lvl, format, args);         \
        va_end(args);                                                                  \
        return m;                                                                      \
    }

VQ_LOG_WIN_ERROR(LogWinErrorMsg0, 0, 0)
VQ_LOG_WIN_ERROR(LogWinErrorMsg1, 8000, 1)
VQ_LOG_WIN_ERROR(LogWinErrorMsg2, 7000, 2)
VQ_LOG_WIN_ERROR(LogWinErrorMsg3, 0, 3)
