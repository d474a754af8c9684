// vqsession: the terminal-session id of the calling process.
//
// On Linux the terminal session of a process is its login session: the id is the
// process's Linux session id, getsid(0) (the process id of the session leader). Two
// users logged in at once get different ids; a service started by the init system leads
// its own session, so it gets its own process id.
#pragma once

#include "pal/types.h"

// 0 on success, with the id stored; otherwise the negated system error code, the id left
// unchanged, and when errText is given and *errTextSize is above 0 the text
// "Error : ProcessIdToSessionId() <code>" cut to *errTextSize - 1 characters and ended by NUL.
extern "C" int VQBTseGetSessionId(DWORD* sessionId, char* errText, const int* errTextSize);

namespace vqsession {

// The query behind VQBTseGetSessionId: TRUE and the id, or FALSE and the system error code
// (which, as with the Win32 call, may be 0). Replaceable so that tests can make it fail;
// returns the query that was in place.
typedef BOOL (*SessionQuery)(DWORD* sessionId, DWORD* errorCode);
SessionQuery SetSessionQuery(SessionQuery query);

}  // namespace vqsession
