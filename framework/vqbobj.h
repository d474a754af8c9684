// CVQBObj: the framework's error state. Derived classes record a failure here and
// return 0; the caller reads the state and decides whether to log it.
#pragma once

#include <cstdarg>
#include <string>

#include "pal/types.h"

class CVQBObj {
public:
    CVQBObj();
    CVQBObj(const CVQBObj& other) = default;
    CVQBObj& operator=(const CVQBObj& other) = default;
    virtual ~CVQBObj();

    const char* GetErrorMsg() const { return m_strErrMsg.c_str(); }
    int GetErrorMsgSize() const { return static_cast<int>(m_strErrMsg.size()); }
    LONG GetErrorCode() const { return m_lErrorCode; }
    int IsError() const { return m_nResult == 0 ? 1 : 0; }
    int IsSuccess() const { return m_nResult; }
    const char* GetTarget() const { return m_strTarget.c_str(); }
    LONG GetIdCode() const { return m_lIdCode; }

    int Clear();
    int ClearError();
    int SetResult(int result);
    int SetResult(long result);  // a native long, so the two overloads stay distinct
    void SetIdCode(LONG idCode) { m_lIdCode = idCode; }

protected:
    void SetTarget(const char* target) { m_strTarget = target ? target : ""; }

    // Format into the error message; PrintfE fails (result 0), PrintfS succeeds (1).
    int PrintfE(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int PrintfS(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The same, also writing one application-log record.
    int LogWrite(WORD eventCode, LONG code, LONG id, LONG level, const char* format, ...)
        __attribute__((format(printf, 6, 7)));
    int LogWrite0(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogWrite1(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogWrite2(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogWrite3(LONG code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void FormatMessageV(LONG code, const char* format, va_list args);

    std::string m_strTarget;
    std::string m_strErrMsg;
    int m_nResult;
    LONG m_lErrorCode;
    LONG m_lIdCode;

private:
    int LogWriteV(WORD eventCode, LONG code, LONG id, LONG level, int result, const char* format, va_list args);
};
