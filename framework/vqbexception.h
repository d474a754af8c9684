// CVQBException: the framework's exception, thrown and caught by value; its place holds
// an "EPS_" kind. It also owns the process stop signal, a manual-reset event created
// when the library loads and set once when the process is told to stop.
#pragma once

#include <string>

#include "pal/types.h"

class CVQBException {
public:
    CVQBException(const char* place, const char* funcName = nullptr, const char* detail = nullptr,
                  const char* operation = nullptr, const char* target1 = nullptr, const char* target2 = nullptr);
    CVQBException(const CVQBException&) = default;
    CVQBException& operator=(const CVQBException&) = default;
    ~CVQBException() = default;

    const char* GetPlace() const { return m_strPlace.c_str(); }
    const char* GetFuncName() const { return m_strFuncName.c_str(); }
    const char* GetErrMsg() const { return m_strErrMsg.c_str(); }
    const char* GetOperation() const { return m_strOperation.c_str(); }
    const char* GetTarget1() const { return m_strTarget1.c_str(); }
    const char* GetTarget2() const { return m_strTarget2.c_str(); }

    [[noreturn]] static void ThrowStopException();
    static void ThrowStopExceptionIfRequired(DWORD timeoutMs);
    static int IsStopSignal(DWORD unused = 0);
    static HANDLE GetStopHandle();
    static void SetStopSignal();
    // A process core that starts (again) starts unstopped.
    static void ResetStopSignal();

    static HANDLE m_hStopHandle;

private:
    std::string m_strPlace;
    std::string m_strFuncName;
    std::string m_strErrMsg;
    std::string m_strOperation;
    std::string m_strTarget1;
    std::string m_strTarget2;
};
