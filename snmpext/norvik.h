// norvik: the trap request interface and the SNMP extension agent in one shared library
// (libnorvik.so; LoadLibrary("norvik.dll") finds it).
//
// A requesting process builds one trap at a time in its own record and hands it to the
// copy of the library that the SNMP service host has loaded:
//     ClearParameter(); SetEnterpriseOid("1.3.6.1.4.1.6203.1"); SetGenericTrapId(6);
//     SetSpecificTrapId(10); AddParamInteger32("1.3.6.1.4.1.6203.1.1", 5); Send();
// Every function returns 0 on success. Building results: 13 (ERROR_INVALID_DATA) for a
// missing, empty or too long OID text (names 255, ObjectId values 2047 characters) or a
// missing value text; the conversion's error (87) for a text that is not a dotted numeric
// OID; 14 (ERROR_OUTOFMEMORY) when 50 bindings are held. A failed call changes nothing.
// Value texts are cut to 2047 characters. One record per process: threads that build
// traps must serialise each whole sequence from ClearParameter to Send themselves.
//
// Send results: 0 sent; 128 sent, the request mutex had been abandoned; 13
// (ERROR_INVALID_DATA) the agent refused the request (no enterprise, or a block spoiled on
// its way: the shared block is writable by every process), with a debug-log line; 2 (or
// another open error) the agent is not running; 258 (WAIT_TIMEOUT) the request mutex
// was not free within 30 s, or the agent did not acknowledge the request within 5 s;
// another system code for a failed wait or object call; -1 an unexpected fault. The block
// is only written while holding the request mutex. The bindings are cleared once the
// request was handed to the agent (trap event set), and kept otherwise.
//
// Test setting: the environment variable VQ_NORVIK_LOCK_TIMEOUT (milliseconds, 1 to
// 30000), read by each Send, shortens the wait for the request mutex; anything else
// leaves 30000.
//
// The extension-agent entry points follow pal/snmp/snmp.h (PFNSNMPEXTENSION*).
#pragma once

#include "pal/snmp/snmp.h"
#include "pal/types.h"

#define NORVIK_API extern "C" __attribute__((visibility("default")))

// Extension agent.
NORVIK_API BOOL SnmpExtensionInit(DWORD dwUpTimeReference, HANDLE* phSubagentTrapEvent,
                                  AsnObjectIdentifier* pFirstSupportedRegion);
NORVIK_API BOOL SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                                  AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp,
                                  SnmpVarBindList* pVarBindList);
NORVIK_API BOOL SnmpExtensionQuery(BYTE bPduType, SnmpVarBindList* pVarBindList, AsnInteger32* pErrorStatus,
                                   AsnInteger32* pErrorIndex);
NORVIK_API VOID SnmpExtensionClose();

// Trap request interface.
NORVIK_API LONG SetEnterpriseOid(LPCSTR oid);
NORVIK_API LONG SetGenericTrapId(LONG id);
NORVIK_API LONG SetSpecificTrapId(LONG id);
NORVIK_API LONG ClearParameter();
NORVIK_API LONG Send();
NORVIK_API LONG AddParamInteger32(LPCSTR name, LONG value);
NORVIK_API LONG AddParamBits(LPCSTR name, LPCSTR value);
NORVIK_API LONG AddParamString(LPCSTR name, LPCSTR value);
NORVIK_API LONG AddParamNull(LPCSTR name);
NORVIK_API LONG AddParamObjectId(LPCSTR name, LPCSTR value);
NORVIK_API LONG AddParamIpAddress(LPCSTR name, DWORD a, DWORD b, DWORD c, DWORD d);
NORVIK_API LONG AddParamCounter32(LPCSTR name, DWORD value);
NORVIK_API LONG AddParamGauge32(LPCSTR name, DWORD value);
NORVIK_API LONG AddParamTimeticks(LPCSTR name, DWORD value);
NORVIK_API LONG AddParamOpaque(LPCSTR name, LPCSTR value);
NORVIK_API LONG AddParamCounter64(LPCSTR name, DWORD low, DWORD high);
NORVIK_API LONG AddParamUnsigned32(LPCSTR name, DWORD value);

// For callers that bind the functions with GetProcAddress.
typedef LONG (*PFNNORVIKSETOID)(LPCSTR oid);
typedef LONG (*PFNNORVIKSETID)(LONG id);
typedef LONG (*PFNNORVIKVOID)();
typedef LONG (*PFNNORVIKADDINT)(LPCSTR name, LONG value);
typedef LONG (*PFNNORVIKADDUINT)(LPCSTR name, DWORD value);
typedef LONG (*PFNNORVIKADDTEXT)(LPCSTR name, LPCSTR value);
typedef LONG (*PFNNORVIKADDNULL)(LPCSTR name);
typedef LONG (*PFNNORVIKADDIP)(LPCSTR name, DWORD a, DWORD b, DWORD c, DWORD d);
typedef LONG (*PFNNORVIKADDCOUNTER64)(LPCSTR name, DWORD low, DWORD high);
