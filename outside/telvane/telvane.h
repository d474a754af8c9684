// telvane: the provider library that receives gatherer findings one value at a time.
// The agent loads it from C:\WINDOWS\system32\Telvane.dll (libtelvane.so in the machine
// root's drive, else beside the programs) and looks every setter up by name at each use.
//
// Argument types, decided once for every caller:
//   - texts: a NUL-terminated 8-bit string (the agent passes at most 255 characters);
//   - 32-bit counts, temperatures and capacities: DWORD;
//   - the one-byte HDD boot-error count and temporary flag: LONG holding the byte read as a
//     signed 8-bit number (so 0xFF arrives as -1).
// Every setter returns 0, whatever happens, and leaves errno and the last error as they
// were. Each call appends one line to the journal $VQ_ROOT/telvane/journal.log (folder
// created when missing): the setter's name, one blank and the argument (a number in
// decimal, a text as it is except that '\' and control characters are escaped as \\, \n,
// \r, \t and \xHH, so a text cannot break or forge a line), then LF. A null text is
// journalled as "(null)". Each line is one append, whole even when threads and processes
// call at once. Details: docs/telvane.md.
#pragma once

#include "pal/types.h"

#define TELVANE_API extern "C" __attribute__((visibility("default")))

TELVANE_API LONG SetBIOSVersion(LPCSTR version);
TELVANE_API LONG SetEccErrorCounts(DWORD count);
TELVANE_API LONG SetHDDBootErrorCounts(LONG count);
TELVANE_API LONG SetHDDBootErrorTime(LPCSTR time);
TELVANE_API LONG SetHDDBootErrorTemporary(LONG temporary);
TELVANE_API LONG SetSerialNumber(LPCSTR serial);
TELVANE_API LONG SetExcessiveCaseTemperature(DWORD temperature);
TELVANE_API LONG SetMemoryErrorCounts(DWORD count);
TELVANE_API LONG SetDeviceDisconnectedUSB(DWORD count);
TELVANE_API LONG SetHDD1_SMART1(LPCSTR attribute);
TELVANE_API LONG SetHDD1_SMART2(LPCSTR attribute);
TELVANE_API LONG SetHDD1_SMART3(LPCSTR attribute);
TELVANE_API LONG SetHDD1_SMART4(LPCSTR attribute);
TELVANE_API LONG SetHDD1_SMART5(LPCSTR attribute);
TELVANE_API LONG SetHDD1_SMART6(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART1(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART2(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART3(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART4(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART5(LPCSTR attribute);
TELVANE_API LONG SetHDD2_SMART6(LPCSTR attribute);
TELVANE_API LONG SetBattery_SysCapacity1(DWORD capacity);
TELVANE_API LONG SetBattery_SysCapacity2(DWORD capacity);
TELVANE_API LONG SetBattery_PrinterCapacity1(DWORD capacity);
TELVANE_API LONG SetBattery_PrinterCapacity2(DWORD capacity);
TELVANE_API LONG SetBattery_Temperature(DWORD temperature);

// For callers that look the setters up with GetProcAddress.
typedef LONG (*PFNTELVANETEXT)(LPCSTR value);
typedef LONG (*PFNTELVANENUMBER)(DWORD value);
typedef LONG (*PFNTELVANEBYTE)(LONG value);
