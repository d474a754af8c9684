// Checking OID texts for the request side, and checking and converting a request for the
// agent side. The agent reads a block that every process may write, so nothing in it is
// trusted: every length, terminator, tag and OID is checked before anything is used.
#include <cstdio>
#include <cstring>
#include <string>

#include "snmpext/internal.h"

namespace norvik {
namespace {

// SnmpMgrStrToOid takes a non-const text; it gets a copy.
bool ConvertOid(const char* text, size_t length, AsnObjectIdentifier* oid) {
    std::string copy(text, length);
    return SnmpMgrStrToOid(copy.data(), oid) != FALSE;
}

// The length of a text that ends within size bytes, or size when it does not.
size_t BoundedLength(const void* field, size_t size) {
    const void* nul = std::memchr(field, 0, size);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - static_cast<const char*>(field)) : size;
}

std::string Format(const char* format, unsigned index, const char* what) {
    char text[160];
    std::snprintf(text, sizeof text, format, index, what);
    return text;
}

// What is wrong with one binding's value, or null.
const char* CheckValue(const TrapParam& p) {
    switch (p.type) {
    case ASN_INTEGER:
    case ASN_IPADDRESS:
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
    case ASN_UNSIGNED32:
        return p.length == 4 ? nullptr : "length is not 4";
    case ASN_COUNTER64:
        return p.length == 8 ? nullptr : "length is not 8";
    case ASN_NULL:
        return p.length == 0 ? nullptr : "length is not 0";
    case ASN_BITS:
    case ASN_OCTETSTRING:
    case ASN_OPAQUE:
    case ASN_OBJECTIDENTIFIER: {
        if (p.length > kMaxValueText) return "length is too big";
        if (BoundedLength(p.value, kValueSize) != p.length) return "value text does not end at its length";
        if (p.type == ASN_OBJECTIDENTIFIER && p.length == 0) return "OID value is empty";
        return nullptr;
    }
    case ASN_SEQUENCE:
        return p.length <= kValueSize ? nullptr : "length is too big";
    default:
        return "type tag is unknown";
    }
}

// Frees what ConvertBindings filled so far; entries after the filled ones are zero.
void FreeBindings(SnmpVarBind* list, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        SnmpVarBind& vb = list[i];
        SnmpUtilOidFree(&vb.name);
        switch (vb.value.asnType) {
        case ASN_OBJECTIDENTIFIER:
            SnmpUtilOidFree(&vb.value.asnValue.object);
            break;
        case ASN_BITS:
        case ASN_OCTETSTRING:
        case ASN_SEQUENCE:
        case ASN_IPADDRESS:
        case ASN_OPAQUE:
            if (vb.value.asnValue.string.dynamic) SnmpUtilMemFree(vb.value.asnValue.string.stream);
            break;
        default:
            break;
        }
    }
    SnmpUtilMemFree(list);
}

uint32_t Word(const uint8_t* bytes) {
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

// Fills one binding from a checked entry; false when a conversion or allocation fails
// (the binding then holds only what must be freed).
bool ConvertBinding(const TrapParam& p, SnmpVarBind& vb, std::string* why, unsigned index) {
    if (!ConvertOid(p.name, BoundedLength(p.name, kOidTextSize), &vb.name)) {
        *why = Format("Trap request refused. Binding %u: name is not a valid OID%s.", index, "");
        return false;
    }
    AsnAny& v = vb.value;
    switch (p.type) {
    case ASN_INTEGER:
        v.asnValue.number = static_cast<AsnInteger32>(Word(p.value));
        break;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
    case ASN_UNSIGNED32:
        v.asnValue.unsigned32 = Word(p.value);
        break;
    case ASN_COUNTER64:
        v.asnValue.counter64.LowPart = Word(p.value);
        v.asnValue.counter64.HighPart = Word(p.value + 4);
        break;
    case ASN_BITS:
    case ASN_OCTETSTRING:
    case ASN_SEQUENCE:
    case ASN_IPADDRESS:
    case ASN_OPAQUE: {
        // At least one byte, so that an empty string still has storage of its own.
        auto* stream = static_cast<BYTE*>(SnmpUtilMemAlloc(p.length ? p.length : 1));
        if (!stream) {
            *why = Format("Trap request refused. Binding %u: %s.", index, "out of memory");
            return false;
        }
        std::memcpy(stream, p.value, p.length);
        v.asnValue.string.stream = stream;
        v.asnValue.string.length = p.length;
        v.asnValue.string.dynamic = TRUE;
        break;
    }
    case ASN_OBJECTIDENTIFIER:
        if (!ConvertOid(reinterpret_cast<const char*>(p.value), p.length, &v.asnValue.object)) {
            *why = Format("Trap request refused. Binding %u: value is not a valid OID%s.", index, "");
            return false;
        }
        break;
    default:  // ASN_NULL: nothing beyond the type
        break;
    }
    v.asnType = p.type;
    return true;
}

}  // namespace

LONG CheckOidText(const char* text, uint32_t maxChars) {
    if (!text || !*text) return ERROR_INVALID_DATA;
    size_t length = strnlen(text, maxChars + 1);
    if (length > maxChars) return ERROR_INVALID_DATA;
    AsnObjectIdentifier oid{};
    SetLastError(0);
    if (!ConvertOid(text, length, &oid)) {
        DWORD code = GetLastError();
        return static_cast<LONG>(code ? code : ERROR_INVALID_PARAMETER);
    }
    SnmpUtilOidFree(&oid);
    return 0;
}

bool BuildTrap(const TrapInfo& request, AsnObjectIdentifier* enterprise, SnmpVarBindList* bindings,
               std::string* why) {
    *enterprise = {};
    *bindings = {};
    size_t enterpriseLength = BoundedLength(request.enterprise, kOidTextSize);
    if (enterpriseLength == kOidTextSize) {
        *why = "Trap request refused. Enterprise OID is not terminated.";
        return false;
    }
    uint32_t count = request.bindingCount;
    if (count > kMaxBindings) {
        *why = Format("Trap request refused. Binding count %u is above 50%s.", count, "");
        return false;
    }
    // Structure first, so that a malformed request costs no allocation.
    for (uint32_t i = 0; i < count; ++i) {
        const TrapParam& p = request.params[i];
        size_t nameLength = BoundedLength(p.name, kOidTextSize);
        if (nameLength == kOidTextSize) {
            *why = Format("Trap request refused. Binding %u: %s.", i, "name is not terminated");
            return false;
        }
        if (nameLength == 0) {
            *why = Format("Trap request refused. Binding %u: %s.", i, "name is empty");
            return false;
        }
        if (const char* problem = CheckValue(p)) {
            *why = Format("Trap request refused. Binding %u: %s.", i, problem);
            return false;
        }
    }

    if (!ConvertOid(request.enterprise, enterpriseLength, enterprise)) {
        *enterprise = {};
        *why = "Trap request refused. Enterprise OID is not a valid OID.";
        return false;
    }
    if (count == 0) return true;

    auto* list = static_cast<SnmpVarBind*>(SnmpUtilMemAlloc(count * sizeof(SnmpVarBind)));
    if (!list) {
        SnmpUtilOidFree(enterprise);
        *why = "Trap request refused. Out of memory.";
        return false;
    }
    std::memset(static_cast<void*>(list), 0, count * sizeof(SnmpVarBind));
    for (uint32_t i = 0; i < count; ++i) {
        if (!ConvertBinding(request.params[i], list[i], why, i)) {
            FreeBindings(list, i + 1);
            SnmpUtilOidFree(enterprise);
            return false;
        }
    }
    bindings->list = list;
    bindings->len = count;
    return true;
}

}  // namespace norvik
