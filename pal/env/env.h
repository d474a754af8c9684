// Environment variables as Win32 code sees them.
//
// The process environment is the Linux one (getenv/setenv), so child processes inherit
// what SetEnvironmentVariable sets. Names match ignoring case, an exact spelling first.
// Variables every Windows machine has and Linux lacks read as defaults while unset:
//
//   SystemRoot, windir   C:\WINDOWS
//   SystemDrive          C:
//   ProgramFiles         C:\Program Files
//   TEMP, TMP            C:\WINDOWS\TEMP
//
// A value from the Linux environment wins, except a TEMP or TMP that is a Linux path
// (starts with '/'): callers append "\name" to it and hand it to the file calls, which
// only map Windows paths, so the Windows default is used instead. Deleting one of these
// variables with SetEnvironmentVariable(name, NULL) hides its default as well, for this
// process.
//
// Access is serialised within the layer; code that calls setenv/putenv directly while
// other threads use these functions races as it would with getenv.
#pragma once

#include <string>
#include <string_view>

#include "pal/types.h"

// %NAME% is replaced by the variable's value; an undefined name stays as written
// ("%NAME"), and its closing '%' may open the next reference. Returns the size of the
// result including the terminating NUL. When nSize is smaller than that, nothing is
// written, the last error is ERROR_INSUFFICIENT_BUFFER and the needed size is returned.
// 0 (ERROR_INVALID_PARAMETER) for a null source.
DWORD ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);
// The value's length without the NUL; when it does not fit nSize, the size needed
// including the NUL and nothing written. 0 with ERROR_ENVVAR_NOT_FOUND when unset (0 with
// last error 0 for an empty value).
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
// lpValue null deletes the variable. Names may not be empty or contain '='.
BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);

#define ExpandEnvironmentStrings ExpandEnvironmentStringsA
#define GetEnvironmentVariable GetEnvironmentVariableA
#define SetEnvironmentVariable SetEnvironmentVariableA

namespace pal::env {

// The value of a variable as GetEnvironmentVariable sees it; false when it is unset.
bool Lookup(std::string_view name, std::string& value);

// ExpandEnvironmentStrings without a size limit.
std::string Expand(std::string_view text);

}  // namespace pal::env
