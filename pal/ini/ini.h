// Ini files: GetPrivateProfileInt, GetPrivateProfileString, WritePrivateProfileString.
//
// lpFileName is a Windows path (mapped into the machine root) or a Linux path; a bare
// file name lives in the Windows directory C:\WINDOWS, and a null one means win.ini there.
// The file is read at every call (no cache), under a shared lock; writes rewrite it under
// an exclusive lock. The line rules are in pal/ini/ini_file.h.
//
// GetPrivateProfileString:
// - section and key given: the value, with one pair of enclosing quotes removed; cut to
//   nSize - 1 characters (that is then the result) when the buffer is too small;
// - section null: the section names, key null: the keys of the section; each name ends
//   in a NUL and the list in a second NUL; when the buffer is too small the last name is
//   cut, the list still ends in two NULs, and the result is nSize - 2;
// - missing file, section or key (also an empty key list): lpDefault (null counts as
//   ""), without its trailing blanks, cut like a value. The last error is then
//   ERROR_FILE_NOT_FOUND.
// The result counts the characters copied without the final NUL; nSize 0 or a null
// buffer copy nothing and return 0.
//
// GetPrivateProfileInt reads the value as GetPrivateProfileString does (at most 29
// characters) and converts it as the system's text-to-integer routine does: leading
// blanks, an optional sign, a "0x", "0o" or "0b" prefix for base 16, 8 or 2, then digits
// up to the first non-digit; no digits give 0, and the result wraps to 32 bits. A missing
// or empty value gives nDefault.
#pragma once

#include <cstdint>

#include <string>

#include "pal/types.h"

UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName);
DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                               DWORD nSize, LPCSTR lpFileName);
// lpKeyName null removes the section, lpString null the key; otherwise key=value is set,
// creating the file and section as needed (the directory must exist: ERROR_PATH_NOT_FOUND).
// All three null: nothing to flush, TRUE. lpAppName null otherwise: ERROR_INVALID_PARAMETER.
BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName);

#define GetPrivateProfileInt GetPrivateProfileIntA
#define GetPrivateProfileString GetPrivateProfileStringA
#define WritePrivateProfileString WritePrivateProfileStringA

namespace pal::ini {

// The Linux path of an ini file name as the profile functions resolve it.
std::string IniFilePath(LPCSTR fileName);

// The system's text-to-integer conversion used by GetPrivateProfileInt: blanks, a sign,
// a 0x/0o/0b prefix, digits up to the first that is not one; the value wraps to 32 bits.
INT ParseProfileInt(const char* text);

// The same reading, without the wrap hidden: the magnitude's low 32 bits, whether the
// digits went beyond 32 bits, and the sign. For callers that must refuse such values.
struct ProfileNumber {
    uint32_t magnitude = 0;
    bool beyond32 = false;
    bool negative = false;
};
ProfileNumber ParseProfileNumber(const char* text);

}  // namespace pal::ini
