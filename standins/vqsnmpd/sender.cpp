// Trap sending with net-snmp (see sender.h).
//
// The platform header and net-snmp both name the ASN.1 tags ASN_*; the platform's values
// are taken as constants first and its macros dropped before net-snmp is included.
#include "standins/vqsnmpd/sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "standins/vqsnmpd/log.h"

namespace {
constexpr BYTE kInteger = ASN_INTEGER;
constexpr BYTE kBits = ASN_BITS;
constexpr BYTE kOctets = ASN_OCTETSTRING;
constexpr BYTE kNull = ASN_NULL;
constexpr BYTE kObjectId = ASN_OBJECTIDENTIFIER;
constexpr BYTE kSequence = ASN_SEQUENCE;
constexpr BYTE kIpAddress = ASN_IPADDRESS;
constexpr BYTE kCounter32 = ASN_COUNTER32;
constexpr BYTE kGauge32 = ASN_GAUGE32;
constexpr BYTE kTimeTicks = ASN_TIMETICKS;
constexpr BYTE kOpaque = ASN_OPAQUE;
constexpr BYTE kCounter64 = ASN_COUNTER64;
constexpr BYTE kUnsigned32 = ASN_UNSIGNED32;
}  // namespace

#undef ASN_UNIVERSAL
#undef ASN_APPLICATION
#undef ASN_CONTEXT
#undef ASN_PRIVATE
#undef ASN_PRIMITIVE
#undef ASN_CONSTRUCTOR
#undef ASN_INTEGER
#undef ASN_BITS
#undef ASN_NULL
#undef ASN_SEQUENCE
#undef ASN_IPADDRESS
#undef ASN_TIMETICKS
#undef ASN_OPAQUE
#undef ASN_COUNTER64

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace vqsnmpd {

namespace {

const oid kSysUpTime0[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid kSnmpTrapEnterprise0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const oid kSnmpTraps[] = {1, 3, 6, 1, 6, 3, 1, 1, 5};  // generic trap g is snmpTraps.(g+1)
const u_char kEmpty[1] = {0};

struct Session {
    Destination destination;
    void* handle = nullptr;  // snmp_sess_* handle
    long version = SNMP_VERSION_1;
};

bool ToOid(const AsnObjectIdentifier* in, std::vector<oid>& out) {
    if (in == nullptr || in->idLength == 0 || in->idLength > MAX_OID_LEN || in->ids == nullptr) return false;
    out.assign(in->ids, in->ids + in->idLength);
    return true;
}

std::string OidText(const std::vector<oid>& ids) {
    std::string s;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) s.push_back('.');
        s += std::to_string(ids[i]);
    }
    return s;
}

bool StringOk(const AsnOctetString& s) { return s.length == 0 || s.stream != nullptr; }
const u_char* Bytes(const AsnOctetString& s) { return s.length == 0 ? kEmpty : s.stream; }

// Adds one agent binding to the PDU in net-snmp's form. BITS, Sequence and Unsigned32 are
// sent in their SMIv2 wire form: BITS and Sequence as OCTET STRING, Unsigned32 as Gauge32.
bool AddBinding(netsnmp_pdu* pdu, const SnmpVarBind& vb, std::string& why) {
    std::vector<oid> name;
    if (!ToOid(&vb.name, name)) {
        why = "its name is not a valid OID";
        return false;
    }
    const AsnAny& v = vb.value;
    netsnmp_variable_list* added = nullptr;
    switch (v.asnType) {
    case kInteger: {
        long n = v.asnValue.number;
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER,
                                      reinterpret_cast<const u_char*>(&n), sizeof n);
        break;
    }
    case kOctets:
    case kBits:
    case kSequence:
    case kOpaque: {
        const AsnOctetString& s = v.asnValue.string;
        if (!StringOk(s)) {
            why = "its string has no storage";
            return false;
        }
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(),
                                      v.asnType == kOpaque ? ASN_OPAQUE : ASN_OCTET_STR, Bytes(s), s.length);
        break;
    }
    case kNull:
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_NULL, nullptr, 0);
        break;
    case kObjectId: {
        std::vector<oid> value;
        if (!ToOid(&v.asnValue.object, value)) {
            why = "its OID value is not a valid OID";
            return false;
        }
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OBJECT_ID,
                                      reinterpret_cast<const u_char*>(value.data()), value.size() * sizeof(oid));
        break;
    }
    case kIpAddress: {
        const AsnOctetString& s = v.asnValue.address;
        if (s.length != 4 || s.stream == nullptr) {
            why = "its IpAddress is not 4 bytes";
            return false;
        }
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_IPADDRESS, s.stream, 4);
        break;
    }
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
    case kUnsigned32: {
        u_long n = v.asnValue.unsigned32;
        u_char type = v.asnType == kCounter32 ? ASN_COUNTER : v.asnType == kTimeTicks ? ASN_TIMETICKS : ASN_GAUGE;
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), type, reinterpret_cast<const u_char*>(&n),
                                      sizeof n);
        break;
    }
    case kCounter64: {
        struct counter64 c;
        c.high = v.asnValue.counter64.HighPart;
        c.low = v.asnValue.counter64.LowPart;
        added = snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_COUNTER64,
                                      reinterpret_cast<const u_char*>(&c), sizeof c);
        break;
    }
    default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02X", v.asnType);
        why = std::string("its type 0x") + hex + " is not an SNMP type";
        return false;
    }
    }
    if (added == nullptr) {
        why = "net-snmp refused the value";
        return false;
    }
    return true;
}

bool SetupUsm(netsnmp_session& s, const Destination& d, uint32_t boots, std::string& why) {
    s.securityName = const_cast<char*>(d.user.c_str());
    s.securityNameLen = d.user.size();
    s.securityModel = SNMP_SEC_MODEL_USM;
    s.securityLevel = d.level == SecurityLevel::AuthPriv     ? SNMP_SEC_LEVEL_AUTHPRIV
                      : d.level == SecurityLevel::AuthNoPriv ? SNMP_SEC_LEVEL_AUTHNOPRIV
                                                             : SNMP_SEC_LEVEL_NOAUTH;
    if (d.level != SecurityLevel::NoAuthNoPriv) {
        const std::string& a = d.authProtocol;
        oid* proto = nullptr;
        size_t len = 0;
        if (a == "MD5") proto = usmHMACMD5AuthProtocol, len = OID_LENGTH(usmHMACMD5AuthProtocol);
        else if (a == "SHA" || a == "SHA1" || a == "SHA-1")
            proto = usmHMACSHA1AuthProtocol, len = OID_LENGTH(usmHMACSHA1AuthProtocol);
        else if (a == "SHA-224" || a == "SHA224")
            proto = usmHMAC128SHA224AuthProtocol, len = OID_LENGTH(usmHMAC128SHA224AuthProtocol);
        else if (a == "SHA-256" || a == "SHA256")
            proto = usmHMAC192SHA256AuthProtocol, len = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
        else if (a == "SHA-384" || a == "SHA384")
            proto = usmHMAC256SHA384AuthProtocol, len = OID_LENGTH(usmHMAC256SHA384AuthProtocol);
        else if (a == "SHA-512" || a == "SHA512")
            proto = usmHMAC384SHA512AuthProtocol, len = OID_LENGTH(usmHMAC384SHA512AuthProtocol);
        else {
            why = "AuthProtocol " + a + " is not MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512";
            return false;
        }
        s.securityAuthProto = proto;
        s.securityAuthProtoLen = len;
        s.securityAuthKeyLen = USM_AUTH_KU_LEN;
        if (generate_Ku(proto, len, reinterpret_cast<const u_char*>(d.authPassphrase.data()),
                        d.authPassphrase.size(), s.securityAuthKey, &s.securityAuthKeyLen) != SNMPERR_SUCCESS) {
            why = "AuthPassphrase gives no key (at least 8 characters are needed)";
            return false;
        }
    }
    if (d.level == SecurityLevel::AuthPriv) {
        const std::string& p = d.privProtocol;
        if (p == "DES") {
            s.securityPrivProto = usmDESPrivProtocol;
            s.securityPrivProtoLen = OID_LENGTH(usmDESPrivProtocol);
        } else if (p == "AES" || p == "AES128" || p == "AES-128") {
            s.securityPrivProto = usmAESPrivProtocol;
            s.securityPrivProtoLen = OID_LENGTH(usmAESPrivProtocol);
        } else {
            why = "PrivProtocol " + p + " is not AES or DES";
            return false;
        }
        s.securityPrivKeyLen = USM_PRIV_KU_LEN;
        if (generate_Ku(s.securityAuthProto, s.securityAuthProtoLen,
                        reinterpret_cast<const u_char*>(d.privPassphrase.data()), d.privPassphrase.size(),
                        s.securityPrivKey, &s.securityPrivKeyLen) != SNMPERR_SUCCESS) {
            why = "PrivPassphrase gives no key (at least 8 characters are needed)";
            return false;
        }
    }
    // The sender of a trap is the authoritative engine: the receiver needs our engine id
    // configured with the user, and accepts only boots/time that never go back. The boots
    // count grows at every start of the host (kept in the registry) and the time counts
    // from this start, so neither a restarted host nor a rebooted machine goes back.
    s.securityEngineID = const_cast<u_char*>(d.engineId.data());
    s.securityEngineIDLen = d.engineId.size();
    s.contextEngineID = const_cast<u_char*>(d.engineId.data());
    s.contextEngineIDLen = d.engineId.size();
    s.engineBoots = boots;
    s.engineTime = 0;
    set_enginetime(d.engineId.data(), d.engineId.size(), s.engineBoots, s.engineTime, TRUE);
    return true;
}

}  // namespace

struct Sender::Impl {
    bool initialised = false;
    std::vector<Session> sessions;
    bool haveAgentAddress = false;
    in_addr agentAddress = {};
    bool anyV1 = false, anyV2 = false;
};

Sender::Sender() : impl_(std::make_unique<Impl>()) {}
Sender::~Sender() { Close(); }

size_t Sender::Open(const Config& config) {
    if (!impl_->initialised) {
        // No snmp.conf and no persistent state: the host is configured through the
        // registry only (main() also keeps net-snmp from loading MIB files).
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        init_snmp("vqsnmpd");
        impl_->initialised = true;
    }
    impl_->haveAgentAddress = false;
    if (!config.agentAddress.empty()) {
        if (inet_pton(AF_INET, config.agentAddress.c_str(), &impl_->agentAddress) == 1)
            impl_->haveAgentAddress = true;
        else
            Log("AgentAddress \"%s\" is not an IPv4 address", config.agentAddress.c_str());
    }
    if (!impl_->haveAgentAddress) {
        // This machine's first non-loopback IPv4 address; 0.0.0.0 when it has none.
        impl_->agentAddress.s_addr = get_myaddr();
        impl_->haveAgentAddress = true;
    }
    char addressText[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &impl_->agentAddress, addressText, sizeof addressText);
    Log("SNMPv1 agent-addr %s", addressText);
    // USM holds one key set per (user, engine id): destinations sharing both must agree.
    std::map<std::pair<std::string, std::vector<uint8_t>>, const Destination*> users;
    for (const Destination& d : config.destinations) {
        if (d.version == Version::V3) {
            auto [it, added] = users.emplace(std::make_pair(d.user, d.engineId), &d);
            const Destination& o = *it->second;
            if (!added && (o.level != d.level || o.authProtocol != d.authProtocol ||
                           o.authPassphrase != d.authPassphrase || o.privProtocol != d.privProtocol ||
                           o.privPassphrase != d.privPassphrase)) {
                Log("destination %s left out: user %s at engine %s already has other keys (%s)", d.label.c_str(),
                    d.user.c_str(), HexText(d.engineId).c_str(), o.label.c_str());
                continue;
            }
        }
        netsnmp_session s;
        snmp_sess_init(&s);
        std::string peer = "udp:" + d.host + ":" + std::to_string(d.port);
        if (!d.host.empty() && d.host.front() == '[') peer = "udp6:" + d.host + ":" + std::to_string(d.port);
        s.peername = const_cast<char*>(peer.c_str());
        std::string why;
        if (d.version == Version::V3) {
            s.version = SNMP_VERSION_3;
            if (!SetupUsm(s, d, config.engineBoots, why)) {
                Log("destination %s left out: %s", d.label.c_str(), why.c_str());
                continue;
            }
        } else {
            s.version = d.version == Version::V1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
            s.community = reinterpret_cast<u_char*>(const_cast<char*>(d.community.c_str()));
            s.community_len = d.community.size();
        }
        netsnmp_transport* transport = netsnmp_transport_open_client("snmptrap", peer.c_str());
        if (transport == nullptr) {
            Log("destination %s left out: cannot open %s", d.label.c_str(), peer.c_str());
            continue;
        }
        // A full socket buffer costs a trap rather than stalling every agent.
        if (transport->sock >= 0) fcntl(transport->sock, F_SETFL, fcntl(transport->sock, F_GETFL) | O_NONBLOCK);
        void* handle = snmp_sess_add(&s, transport, nullptr, nullptr);
        if (handle == nullptr) {
            char* text = nullptr;
            snmp_error(&s, nullptr, nullptr, &text);
            Log("destination %s left out: %s", d.label.c_str(), text ? text : "net-snmp cannot open it");
            free(text);
            continue;
        }
        impl_->sessions.push_back({d, handle, s.version});
        (d.version == Version::V1 ? impl_->anyV1 : impl_->anyV2) = true;
        Log("destination %s%s", d.label.c_str(),
            d.version == Version::V3 ? (" engine " + HexText(d.engineId) + " user " + d.user).c_str() : "");
    }
    return impl_->sessions.size();
}

void Sender::Close() {
    for (Session& s : impl_->sessions) snmp_sess_close(s.handle);
    impl_->sessions.clear();
    if (impl_->initialised) {
        snmp_shutdown("vqsnmpd");
        impl_->initialised = false;
    }
}

SendResult Sender::Send(const Trap& trap) {
    SendResult result;
    std::vector<oid> enterprise;
    if (!ToOid(trap.enterprise, enterprise)) {
        Log("trap refused: its enterprise is not a valid OID");
        result.refused = true;
        return result;
    }
    if (trap.generic < 0 || trap.generic > 6) {
        Log("trap refused: generic trap id %d is not 0 to 6", static_cast<int>(trap.generic));
        result.refused = true;
        return result;
    }
    const u_long ticks = trap.timestampMs / 10;  // agents count milliseconds, TimeTicks are 1/100 s

    netsnmp_pdu* body = snmp_pdu_create(SNMP_MSG_TRAP2);  // the agent's bindings, in order
    bool hasCounter64 = false;
    if (trap.bindings != nullptr) {
        const SnmpVarBindList& list = *trap.bindings;
        if (list.len > 0 && list.list == nullptr) {
            Log("trap refused: %u bindings without a list", list.len);
            snmp_free_pdu(body);
            result.refused = true;
            return result;
        }
        for (UINT i = 0; i < list.len; ++i) {
            std::string why;
            if (!AddBinding(body, list.list[i], why)) {
                Log("trap %s: binding %u left out: %s", OidText(enterprise).c_str(), i + 1, why.c_str());
                continue;
            }
            if (list.list[i].value.asnType == kCounter64) hasCounter64 = true;
        }
    }

    // enterprise.0.specific must fit an OID: cutting it would name another notification.
    bool v2TooLong = trap.generic == 6 && enterprise.size() + 2 > MAX_OID_LEN;
    if (impl_->anyV2 && v2TooLong) {
        Log("trap %s: not sent to SNMPv2c/v3 destinations: enterprise.0.specific would exceed %d "
            "sub-identifiers",
            OidText(enterprise).c_str(), static_cast<int>(MAX_OID_LEN));
    }
    const bool wantV1 = impl_->anyV1 && !hasCounter64;
    const bool wantV2 = impl_->anyV2 && !v2TooLong;
    // The last PDU to be built takes the bindings over; only the first needs a copy.
    auto takeBindings = [&](bool another) {
        if (another) return snmp_clone_varbind(body->variables);
        netsnmp_variable_list* list = body->variables;
        body->variables = nullptr;
        return list;
    };
    netsnmp_pdu* v1 = nullptr;
    if (wantV1) {
        v1 = snmp_pdu_create(SNMP_MSG_TRAP);
        v1->version = SNMP_VERSION_1;
        v1->enterprise = snmp_duplicate_objid(enterprise.data(), enterprise.size());
        v1->enterprise_length = enterprise.size();
        v1->trap_type = trap.generic;
        v1->specific_type = trap.specific;
        v1->time = ticks;
        if (impl_->haveAgentAddress) std::memcpy(v1->agent_addr, &impl_->agentAddress, 4);
        v1->variables = takeBindings(wantV2);
    }
    netsnmp_pdu* v2 = nullptr;
    if (wantV2) {
        // RFC 3584 section 3.1: sysUpTime.0, snmpTrapOID.0, the bindings, snmpTrapEnterprise.0.
        v2 = snmp_pdu_create(SNMP_MSG_TRAP2);
        std::vector<oid> trapOid;
        if (trap.generic == 6) {
            trapOid = enterprise;
            trapOid.push_back(0);
            trapOid.push_back(static_cast<oid>(static_cast<uint32_t>(trap.specific)));
        } else {
            trapOid.assign(std::begin(kSnmpTraps), std::end(kSnmpTraps));
            trapOid.push_back(static_cast<oid>(trap.generic + 1));
        }
        snmp_pdu_add_variable(v2, kSysUpTime0, OID_LENGTH(kSysUpTime0), ASN_TIMETICKS,
                              reinterpret_cast<const u_char*>(&ticks), sizeof ticks);
        snmp_pdu_add_variable(v2, kSnmpTrapOid0, OID_LENGTH(kSnmpTrapOid0), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trapOid.data()), trapOid.size() * sizeof(oid));
        netsnmp_variable_list* last = v2->variables;
        while (last->next_variable != nullptr) last = last->next_variable;
        last->next_variable = takeBindings(false);
        snmp_pdu_add_variable(v2, kSnmpTrapEnterprise0, OID_LENGTH(kSnmpTrapEnterprise0), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(enterprise.data()), enterprise.size() * sizeof(oid));
    }
    snmp_free_pdu(body);

    // Each session sends a copy, but for the last one of each kind, which sends the PDU
    // itself (net-snmp frees what it has sent).
    size_t lastV1 = SIZE_MAX, lastV2 = SIZE_MAX;
    for (size_t i = 0; i < impl_->sessions.size(); ++i)
        (impl_->sessions[i].version == SNMP_VERSION_1 ? lastV1 : lastV2) = i;
    for (size_t i = 0; i < impl_->sessions.size(); ++i) {
        Session& s = impl_->sessions[i];
        const bool isV1 = s.version == SNMP_VERSION_1;
        netsnmp_pdu*& tmpl = isV1 ? v1 : v2;
        if (tmpl == nullptr) {
            ++result.skipped;
            continue;
        }
        netsnmp_pdu* pdu = nullptr;
        if (i == (isV1 ? lastV1 : lastV2)) {
            pdu = tmpl;
            tmpl = nullptr;
        } else {
            pdu = snmp_clone_pdu(tmpl);
        }
        if (pdu == nullptr) {
            ++result.failed;
            Log("trap %s to %s: out of memory", OidText(enterprise).c_str(), s.destination.label.c_str());
            continue;
        }
        pdu->version = s.version;
        if (snmp_sess_send(s.handle, pdu) == 0) {
            ++result.failed;
            char* text = nullptr;
            snmp_sess_error(s.handle, nullptr, nullptr, &text);
            Log("trap %s to %s not sent: %s", OidText(enterprise).c_str(), s.destination.label.c_str(),
                text ? text : "unknown error");
            free(text);
            snmp_free_pdu(pdu);
            continue;
        }
        ++result.sent;
    }
    if (hasCounter64 && result.skipped > 0)
        Log("trap %s: not sent to %d SNMPv1 destination(s): a Counter64 binding cannot travel in SNMPv1 "
            "(RFC 3584)",
            OidText(enterprise).c_str(), result.skipped);
    if (v1 != nullptr) snmp_free_pdu(v1);
    if (v2 != nullptr) snmp_free_pdu(v2);
    return result;
}

}  // namespace vqsnmpd
