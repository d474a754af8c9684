#include "framework/vqbexception.h"

#include "pal/sync/sync.h"

#include <mutex>

HANDLE CVQBException::m_hStopHandle = nullptr;

namespace {

// Made on first use rather than at load time: the machine root (VQ_ROOT) must be known
// before the first named-object call, and a program may set it in main.
HANDLE StopHandle() {
    static std::once_flag once;
    std::call_once(once, [] { CVQBException::m_hStopHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr); });
    return CVQBException::m_hStopHandle;
}

}  // namespace

CVQBException::CVQBException(const char* place, const char* funcName, const char* detail, const char* operation,
                             const char* target1, const char* target2)
    : m_strPlace(place ? place : "") {
    if (funcName) m_strFuncName = funcName;
    if (funcName) m_strErrMsg = std::string(funcName) + " ";
    if (detail) m_strErrMsg += detail;
    if (operation) m_strOperation = operation;
    if (target1) m_strTarget1 = target1;
    if (target2) m_strTarget2 = target2;
}

void CVQBException::ThrowStopException() {
    throw CVQBException("EPS_StopRequest", nullptr, "It ends by StopException.");
}

void CVQBException::ThrowStopExceptionIfRequired(DWORD timeoutMs) {
    if (WaitForSingleObject(StopHandle(), timeoutMs) == WAIT_OBJECT_0) ThrowStopException();
}

int CVQBException::IsStopSignal(DWORD) { return WaitForSingleObject(StopHandle(), 0) == WAIT_OBJECT_0 ? 1 : 0; }

HANDLE CVQBException::GetStopHandle() { return StopHandle(); }

void CVQBException::SetStopSignal() { SetEvent(StopHandle()); }

void CVQBException::ResetStopSignal() { ResetEvent(StopHandle()); }
