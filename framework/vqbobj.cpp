#include "framework/vqbobj.h"

#include <cstdio>
#include <new>

#include "framework/apllog.h"

CVQBObj::CVQBObj() : m_nResult(1), m_lErrorCode(0), m_lIdCode(0) {}

CVQBObj::~CVQBObj() { Clear(); }

int CVQBObj::Clear() {
    m_strErrMsg.clear();
    m_strTarget.clear();
    m_nResult = 1;
    m_lErrorCode = 0;
    m_lIdCode = 0;
    return 1;
}

int CVQBObj::ClearError() {
    m_strErrMsg.clear();
    m_nResult = 1;
    m_lErrorCode = 0;
    return 1;
}

int CVQBObj::SetResult(int result) {
    m_nResult = result;
    return m_nResult;
}

int CVQBObj::SetResult(long result) {
    m_nResult = result >= 0 ? 1 : 0;
    return m_nResult;
}

void CVQBObj::FormatMessageV(LONG code, const char* format, va_list args) {
    m_lErrorCode = code;
    try {
        if (!format) {
            m_strErrMsg.clear();
            return;
        }
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n < 0) throw std::bad_alloc();
        std::string text(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(n));
        m_strErrMsg = std::move(text);
    } catch (...) {
        m_strErrMsg = "exception in CVQBObj::vsprintf";
        m_lErrorCode = -1;
    }
}

int CVQBObj::PrintfE(LONG code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatMessageV(code, format, args);
    va_end(args);
    return SetResult(0);
}

int CVQBObj::PrintfS(LONG code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatMessageV(code, format, args);
    va_end(args);
    return SetResult(1);
}

int CVQBObj::LogWriteV(WORD eventCode, LONG code, LONG id, LONG level, int result, const char* format,
                       va_list args) {
    FormatMessageV(code, format, args);
    SetResult(result);
    // The record carries the code given, even when formatting replaced it by -1.
    CAplLog::Write(eventCode, static_cast<DWORD>(code), id, m_strTarget.c_str(), m_strErrMsg.c_str(), level);
    return result;
}

int CVQBObj::LogWrite(WORD eventCode, LONG code, LONG id, LONG level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int r = LogWriteV(eventCode, code, id, level, code == 0 ? 1 : 0, format, args);
    va_end(args);
    return r;
}

// LogWrite0 to LogWrite3: fixed event code, level and result; the object's own id code.
#define VQB_LOG_WRITE_N(name, eventCode, level, result)                    \
    int CVQBObj::name(LONG code, const char* format, ...) {                 \
        va_list args;                                                       \
        va_start(args, format);                                             \
        int r = LogWriteV(eventCode, code, m_lIdCode, level, result, format, args); \
        va_end(args);                                                       \
        return r;                                                           \
    }

VQB_LOG_WRITE_N(LogWrite0, 0, 0, 1)
VQB_LOG_WRITE_N(LogWrite1, 8000, 1, 0)
VQB_LOG_WRITE_N(LogWrite2, 7000, 2, 0)
VQB_LOG_WRITE_N(LogWrite3, 0, 3, 1)
