// SNMP: the platform's SNMP types, the utility and manager functions the suite calls, and
// the extension-agent entry points that an SNMP service host loads from an agent library.
//
// OIDs in text are dotted decimal ("1.3.6.1.4.1.6203.1" or ".1.3.6.1.4.1.6203.1"); both
// forms are absolute. Anything else (names, empty components, numbers beyond 32 bits, fewer
// than two or more than 128 sub-identifiers) fails to convert. Memory handed out by these
// functions comes from SnmpUtilMemAlloc (zero-filled) and goes back through the matching
// free function; octet strings are freed only when marked dynamic.
#pragma once

#include "pal/types.h"

#define SNMPAPI INT
#define SNMPAPI_NOERROR TRUE
#define SNMPAPI_ERROR FALSE

// ASN.1 tags of the values (SMIv2 names).
#define ASN_UNIVERSAL 0x00
#define ASN_APPLICATION 0x40
#define ASN_CONTEXT 0x80
#define ASN_PRIVATE 0xC0
#define ASN_PRIMITIVE 0x00
#define ASN_CONSTRUCTOR 0x20

#define ASN_INTEGER 0x02
#define ASN_INTEGER32 ASN_INTEGER
#define ASN_BITS 0x03
#define ASN_OCTETSTRING 0x04
#define ASN_NULL 0x05
#define ASN_OBJECTIDENTIFIER 0x06
#define ASN_SEQUENCE 0x30
#define ASN_IPADDRESS 0x40
#define ASN_COUNTER32 0x41
#define ASN_GAUGE32 0x42
#define ASN_TIMETICKS 0x43
#define ASN_OPAQUE 0x44
#define ASN_COUNTER64 0x46
#define ASN_UNSIGNED32 0x47

// PDU types (for SnmpExtensionQuery).
#define SNMP_PDU_GET 0xA0
#define SNMP_PDU_GETNEXT 0xA1
#define SNMP_PDU_RESPONSE 0xA2
#define SNMP_PDU_SET 0xA3
#define SNMP_PDU_V1TRAP 0xA4
#define SNMP_PDU_GETBULK 0xA5
#define SNMP_PDU_INFORM 0xA6
#define SNMP_PDU_TRAP 0xA7

// Generic trap ids of SNMPv1.
#define SNMP_GENERICTRAP_COLDSTART 0
#define SNMP_GENERICTRAP_WARMSTART 1
#define SNMP_GENERICTRAP_LINKDOWN 2
#define SNMP_GENERICTRAP_LINKUP 3
#define SNMP_GENERICTRAP_AUTHFAILURE 4
#define SNMP_GENERICTRAP_EGPNEIGHLOSS 5
#define SNMP_GENERICTRAP_ENTERSPECIFIC 6

#define SNMP_ERRORSTATUS_NOERROR 0
#define SNMP_ERRORSTATUS_NOSUCHNAME 2
#define SNMP_ERRORSTATUS_GENERR 5

#define SNMP_MAX_OID_LEN 128

typedef struct {
    BYTE* stream;
    UINT length;
    BOOL dynamic;  // stream came from SnmpUtilMemAlloc and is freed with the string
} AsnOctetString;

typedef struct {
    UINT idLength;
    UINT* ids;
} AsnObjectIdentifier;

typedef LONG AsnInteger;
typedef LONG AsnInteger32;
typedef ULONG AsnUnsigned32;
typedef ULARGE_INTEGER AsnCounter64;
typedef AsnUnsigned32 AsnCounter32;
typedef AsnUnsigned32 AsnGauge32;
typedef AsnUnsigned32 AsnTimeticks;
typedef AsnOctetString AsnBits;
typedef AsnOctetString AsnSequence;
typedef AsnOctetString AsnImplicitSequence;
typedef AsnOctetString AsnIPAddress;
typedef AsnOctetString AsnNetworkAddress;
typedef AsnOctetString AsnDisplayString;
typedef AsnOctetString AsnOpaque;
typedef AsnObjectIdentifier AsnObjectName;

typedef struct {
    BYTE asnType;
    union {
        AsnInteger32 number;
        AsnUnsigned32 unsigned32;
        AsnCounter64 counter64;
        AsnOctetString string;
        AsnBits bits;
        AsnObjectIdentifier object;
        AsnSequence sequence;
        AsnIPAddress address;
        AsnCounter32 counter;
        AsnGauge32 gauge;
        AsnTimeticks ticks;
        AsnOpaque arbitrary;
    } asnValue;
} AsnAny;
typedef AsnAny AsnObjectSyntax;

typedef struct {
    AsnObjectName name;
    AsnObjectSyntax value;
} SnmpVarBind;

typedef struct {
    SnmpVarBind* list;
    UINT len;
} SnmpVarBindList;

// Utility functions (snmpapi).
LPVOID SnmpUtilMemAlloc(UINT nBytes);  // zero-filled; null when out of memory
VOID SnmpUtilMemFree(LPVOID pMem);
LPVOID SnmpUtilMemReAlloc(LPVOID pMem, UINT nBytes);
SNMPAPI SnmpUtilOidCpy(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc);
SNMPAPI SnmpUtilOidAppend(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc);
INT SnmpUtilOidCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2);
VOID SnmpUtilOidFree(AsnObjectIdentifier* pOid);  // frees ids and zeroes the OID
SNMPAPI SnmpUtilOctetsCpy(AsnOctetString* pOctetsDst, AsnOctetString* pOctetsSrc);
VOID SnmpUtilOctetsFree(AsnOctetString* pOctets);
SNMPAPI SnmpUtilAsnAnyCpy(AsnAny* pAnyDst, AsnAny* pAnySrc);
VOID SnmpUtilAsnAnyFree(AsnAny* pAny);
SNMPAPI SnmpUtilVarBindCpy(SnmpVarBind* pVbDst, SnmpVarBind* pVbSrc);
VOID SnmpUtilVarBindFree(SnmpVarBind* pVb);
SNMPAPI SnmpUtilVarBindListCpy(SnmpVarBindList* pVblDst, SnmpVarBindList* pVblSrc);
VOID SnmpUtilVarBindListFree(SnmpVarBindList* pVbl);  // every binding, then the list
// The OID as dotted text in a static per-thread buffer (for logs).
LPSTR SnmpUtilOidToA(AsnObjectIdentifier* Oid);

// Manager functions (mgmtapi).
// Dotted text to OID (ids from SnmpUtilMemAlloc). FALSE with the last error
// ERROR_INVALID_PARAMETER (87) when the text is not a dotted numeric OID, and *oid zeroed.
BOOL SnmpMgrStrToOid(LPSTR string, AsnObjectIdentifier* oid);
// OID to dotted text without a leading dot (storage from SnmpUtilMemAlloc).
BOOL SnmpMgrOidToStr(AsnObjectIdentifier* oid, LPSTR* string);

// The extension-agent entry points, as an agent library exports them by name and an SNMP
// service host binds them with GetProcAddress.
typedef BOOL (*PFNSNMPEXTENSIONINIT)(DWORD dwUpTimeReference, HANDLE* phSubagentTrapEvent,
                                     AsnObjectIdentifier* pFirstSupportedRegion);
typedef BOOL (*PFNSNMPEXTENSIONTRAP)(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                                     AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp,
                                     SnmpVarBindList* pVarBindList);
typedef BOOL (*PFNSNMPEXTENSIONQUERY)(BYTE bPduType, SnmpVarBindList* pVarBindList, AsnInteger32* pErrorStatus,
                                      AsnInteger32* pErrorIndex);
typedef VOID (*PFNSNMPEXTENSIONCLOSE)();
