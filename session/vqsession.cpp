// VQBTseGetSessionId over the Linux session id; see vqsession.h for the mapping.
#include "session/vqsession.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "pal/error/error.h"

namespace {

BOOL LinuxSessionQuery(DWORD* sessionId, DWORD* errorCode) {
    pid_t sid = getsid(0);
    if (sid >= 0) {
        *sessionId = static_cast<DWORD>(sid);
        return TRUE;
    }
    *errorCode = errno == EPERM ? ERROR_ACCESS_DENIED : errno == ESRCH ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE;
    return FALSE;
}

vqsession::SessionQuery g_query = LinuxSessionQuery;

}  // namespace

namespace vqsession {

SessionQuery SetSessionQuery(SessionQuery query) {
    SessionQuery previous = g_query;
    g_query = query ? query : LinuxSessionQuery;
    return previous;
}

}  // namespace vqsession

extern "C" int VQBTseGetSessionId(DWORD* sessionId, char* errText, const int* errTextSize) {
    DWORD id = 0;
    DWORD error = 0;
    if (g_query(&id, &error)) {
        if (sessionId) *sessionId = id;
        return 0;
    }
    // A failure without an error code must not read as success with the id unset.
    if (error == 0) error = ERROR_GEN_FAILURE;
    int code = static_cast<int>(error);
    if (errText && errTextSize && *errTextSize > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Error : ProcessIdToSessionId() %d", code);
        std::strncpy(errText, text, static_cast<size_t>(*errTextSize));
        errText[*errTextSize - 1] = '\0';
    }
    // -abs(INT_MIN) does not exist; that code is already negative and stays as it is.
    return code == INT_MIN ? INT_MIN : (code < 0 ? code : -code);
}
