// SNMP utility and manager functions (see snmp.h). Memory is malloc-based; the free
// functions accept null pointers and zeroed structures, and leave what they free zeroed,
// so a double free through them is harmless.
#include "pal/snmp/snmp.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pal/error/error.h"

LPVOID SnmpUtilMemAlloc(UINT nBytes) {
    void* p = std::calloc(1, nBytes == 0 ? 1 : nBytes);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

VOID SnmpUtilMemFree(LPVOID pMem) { std::free(pMem); }

LPVOID SnmpUtilMemReAlloc(LPVOID pMem, UINT nBytes) {
    void* p = std::realloc(pMem, nBytes == 0 ? 1 : nBytes);
    if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

SNMPAPI SnmpUtilOidCpy(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc) {
    if (pOidDst == nullptr || pOidSrc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    pOidDst->idLength = 0;
    pOidDst->ids = nullptr;
    if (pOidSrc->idLength == 0) return SNMPAPI_NOERROR;
    if (pOidSrc->ids == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    auto* ids = static_cast<UINT*>(SnmpUtilMemAlloc(pOidSrc->idLength * sizeof(UINT)));
    if (ids == nullptr) return SNMPAPI_ERROR;
    std::memcpy(ids, pOidSrc->ids, pOidSrc->idLength * sizeof(UINT));
    pOidDst->ids = ids;
    pOidDst->idLength = pOidSrc->idLength;
    return SNMPAPI_NOERROR;
}

SNMPAPI SnmpUtilOidAppend(AsnObjectIdentifier* pOidDst, AsnObjectIdentifier* pOidSrc) {
    if (pOidDst == nullptr || pOidSrc == nullptr || (pOidSrc->idLength != 0 && pOidSrc->ids == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    if (pOidSrc->idLength == 0) return SNMPAPI_NOERROR;
    // An OID holds at most 128 sub-identifiers; the sum is checked before it can wrap.
    if (pOidSrc->idLength > SNMP_MAX_OID_LEN || pOidDst->idLength > SNMP_MAX_OID_LEN - pOidSrc->idLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    UINT total = pOidDst->idLength + pOidSrc->idLength;
    auto* ids = static_cast<UINT*>(SnmpUtilMemReAlloc(pOidDst->ids, total * sizeof(UINT)));
    if (ids == nullptr) return SNMPAPI_ERROR;
    std::memcpy(ids + pOidDst->idLength, pOidSrc->ids, pOidSrc->idLength * sizeof(UINT));
    pOidDst->ids = ids;
    pOidDst->idLength = total;
    return SNMPAPI_NOERROR;
}

INT SnmpUtilOidCmp(AsnObjectIdentifier* pOid1, AsnObjectIdentifier* pOid2) {
    // A missing OID compares as an empty one.
    AsnObjectIdentifier empty{};
    if (pOid1 == nullptr || (pOid1->idLength != 0 && pOid1->ids == nullptr)) pOid1 = &empty;
    if (pOid2 == nullptr || (pOid2->idLength != 0 && pOid2->ids == nullptr)) pOid2 = &empty;
    UINT n = pOid1->idLength < pOid2->idLength ? pOid1->idLength : pOid2->idLength;
    for (UINT i = 0; i < n; ++i) {
        if (pOid1->ids[i] != pOid2->ids[i]) return pOid1->ids[i] < pOid2->ids[i] ? -1 : 1;
    }
    if (pOid1->idLength == pOid2->idLength) return 0;
    return pOid1->idLength < pOid2->idLength ? -1 : 1;
}

VOID SnmpUtilOidFree(AsnObjectIdentifier* pOid) {
    if (pOid == nullptr) return;
    SnmpUtilMemFree(pOid->ids);
    pOid->ids = nullptr;
    pOid->idLength = 0;
}

SNMPAPI SnmpUtilOctetsCpy(AsnOctetString* pOctetsDst, AsnOctetString* pOctetsSrc) {
    if (pOctetsDst == nullptr || pOctetsSrc == nullptr ||
        (pOctetsSrc->length != 0 && pOctetsSrc->stream == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    pOctetsDst->stream = nullptr;
    pOctetsDst->length = 0;
    pOctetsDst->dynamic = FALSE;
    if (pOctetsSrc->length == 0) return SNMPAPI_NOERROR;
    auto* bytes = static_cast<BYTE*>(SnmpUtilMemAlloc(pOctetsSrc->length));
    if (bytes == nullptr) return SNMPAPI_ERROR;
    std::memcpy(bytes, pOctetsSrc->stream, pOctetsSrc->length);
    pOctetsDst->stream = bytes;
    pOctetsDst->length = pOctetsSrc->length;
    pOctetsDst->dynamic = TRUE;
    return SNMPAPI_NOERROR;
}

VOID SnmpUtilOctetsFree(AsnOctetString* pOctets) {
    if (pOctets == nullptr) return;
    if (pOctets->dynamic) SnmpUtilMemFree(pOctets->stream);
    pOctets->stream = nullptr;
    pOctets->length = 0;
    pOctets->dynamic = FALSE;
}

namespace {
bool IsOctetType(BYTE type) {
    switch (type) {
        case ASN_BITS:
        case ASN_OCTETSTRING:
        case ASN_SEQUENCE:
        case ASN_IPADDRESS:
        case ASN_OPAQUE:
            return true;
        default:
            return false;
    }
}
}  // namespace

SNMPAPI SnmpUtilAsnAnyCpy(AsnAny* pAnyDst, AsnAny* pAnySrc) {
    if (pAnyDst == nullptr || pAnySrc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    std::memset(pAnyDst, 0, sizeof *pAnyDst);
    pAnyDst->asnType = pAnySrc->asnType;
    if (pAnySrc->asnType == ASN_OBJECTIDENTIFIER)
        return SnmpUtilOidCpy(&pAnyDst->asnValue.object, &pAnySrc->asnValue.object);
    if (IsOctetType(pAnySrc->asnType))
        return SnmpUtilOctetsCpy(&pAnyDst->asnValue.string, &pAnySrc->asnValue.string);
    pAnyDst->asnValue = pAnySrc->asnValue;
    return SNMPAPI_NOERROR;
}

VOID SnmpUtilAsnAnyFree(AsnAny* pAny) {
    if (pAny == nullptr) return;
    if (pAny->asnType == ASN_OBJECTIDENTIFIER) {
        SnmpUtilOidFree(&pAny->asnValue.object);
    } else if (IsOctetType(pAny->asnType)) {
        SnmpUtilOctetsFree(&pAny->asnValue.string);
    }
    pAny->asnType = ASN_NULL;
}

SNMPAPI SnmpUtilVarBindCpy(SnmpVarBind* pVbDst, SnmpVarBind* pVbSrc) {
    if (pVbDst == nullptr || pVbSrc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    std::memset(pVbDst, 0, sizeof *pVbDst);
    if (!SnmpUtilOidCpy(&pVbDst->name, &pVbSrc->name)) return SNMPAPI_ERROR;
    if (!SnmpUtilAsnAnyCpy(&pVbDst->value, &pVbSrc->value)) {
        SnmpUtilOidFree(&pVbDst->name);
        return SNMPAPI_ERROR;
    }
    return SNMPAPI_NOERROR;
}

VOID SnmpUtilVarBindFree(SnmpVarBind* pVb) {
    if (pVb == nullptr) return;
    SnmpUtilOidFree(&pVb->name);
    SnmpUtilAsnAnyFree(&pVb->value);
}

SNMPAPI SnmpUtilVarBindListCpy(SnmpVarBindList* pVblDst, SnmpVarBindList* pVblSrc) {
    if (pVblDst == nullptr || pVblSrc == nullptr || (pVblSrc->len != 0 && pVblSrc->list == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SNMPAPI_ERROR;
    }
    pVblDst->list = nullptr;
    pVblDst->len = 0;
    if (pVblSrc->len == 0) return SNMPAPI_NOERROR;
    auto* list = static_cast<SnmpVarBind*>(SnmpUtilMemAlloc(pVblSrc->len * sizeof(SnmpVarBind)));
    if (list == nullptr) return SNMPAPI_ERROR;
    for (UINT i = 0; i < pVblSrc->len; ++i) {
        if (!SnmpUtilVarBindCpy(&list[i], &pVblSrc->list[i])) {
            for (UINT j = 0; j < i; ++j) SnmpUtilVarBindFree(&list[j]);
            SnmpUtilMemFree(list);
            return SNMPAPI_ERROR;
        }
    }
    pVblDst->list = list;
    pVblDst->len = pVblSrc->len;
    return SNMPAPI_NOERROR;
}

VOID SnmpUtilVarBindListFree(SnmpVarBindList* pVbl) {
    if (pVbl == nullptr) return;
    if (pVbl->list != nullptr) {
        for (UINT i = 0; i < pVbl->len; ++i) SnmpUtilVarBindFree(&pVbl->list[i]);
        SnmpUtilMemFree(pVbl->list);
    }
    pVbl->list = nullptr;
    pVbl->len = 0;
}

namespace {
std::string OidText(const AsnObjectIdentifier* oid) {
    std::string text;
    for (UINT i = 0; i < oid->idLength; ++i) {
        if (i) text += '.';
        text += std::to_string(oid->ids[i]);
    }
    return text;
}
}  // namespace

LPSTR SnmpUtilOidToA(AsnObjectIdentifier* Oid) {
    // 128 sub-identifiers of at most 10 digits and a dot each.
    static thread_local char buffer[SNMP_MAX_OID_LEN * 11 + 1];
    std::string text = Oid == nullptr || (Oid->idLength != 0 && Oid->ids == nullptr) ? "<null oid>" : OidText(Oid);
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
    return buffer;
}

BOOL SnmpMgrStrToOid(LPSTR string, AsnObjectIdentifier* oid) {
    if (oid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    oid->idLength = 0;
    oid->ids = nullptr;
    if (string == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const char* p = string;
    if (*p == '.') ++p;
    UINT ids[SNMP_MAX_OID_LEN];
    UINT count = 0;
    for (;;) {
        // One sub-identifier: decimal digits, at most 4294967295.
        if (*p < '0' || *p > '9' || count == SNMP_MAX_OID_LEN) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        uint64_t value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            if (value > 0xFFFFFFFFull) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            ++p;
        }
        ids[count++] = static_cast<UINT>(value);
        if (*p == '\0') break;
        if (*p != '.') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        ++p;
    }
    // The BER encoding packs the first two sub-identifiers into one: 0, 1 or 2, then
    // below 40 unless the first is 2.
    if (count < 2 || ids[0] > 2 || (ids[0] < 2 && ids[1] >= 40)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* copy = static_cast<UINT*>(SnmpUtilMemAlloc(count * sizeof(UINT)));
    if (copy == nullptr) return FALSE;
    std::memcpy(copy, ids, count * sizeof(UINT));
    oid->ids = copy;
    oid->idLength = count;
    return TRUE;
}

BOOL SnmpMgrOidToStr(AsnObjectIdentifier* oid, LPSTR* string) {
    if (oid == nullptr || string == nullptr || (oid->idLength != 0 && oid->ids == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text = OidText(oid);
    auto* out = static_cast<char*>(SnmpUtilMemAlloc(static_cast<UINT>(text.size() + 1)));
    if (out == nullptr) return FALSE;
    std::memcpy(out, text.c_str(), text.size() + 1);
    *string = out;
    return TRUE;
}
