// A scripted extension agent for the host's tests. Built twice (ids A and B) so that one
// host can load two distinct agents.
//
// Files in $VQ_ROOT, by agent id:
//   testagent_<ID>.script  one trap per line, read each time the named event
//                          "VQ_TESTAGENT_<ID>_GO" is set; all of a script's traps are
//                          handed out on one trap event:
//                          ENTERPRISE GENERIC SPECIFIC STAMP_MS [OID TYPE VALUE]...
//                          TYPE: i s b n o a c g t u q C S (Counter64 "C" is decimal,
//                          "S" a Sequence, "X" an unknown tag 0x99; "n" takes "-")
//   testagent_<ID>.closed  written by SnmpExtensionClose
//   testagent_<ID>.errors  protocol violations seen (the host changed or dropped storage)
// VQ_TESTAGENT_<ID>_FAIL=1 makes SnmpExtensionInit fail.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "pal/windows.h"

#ifndef VQ_TESTAGENT_ID
#error VQ_TESTAGENT_ID must name the agent
#endif

namespace {

struct Binding {
    std::vector<UINT> name;
    BYTE type;
    std::string text;
    std::vector<UINT> oidValue;
    unsigned long long number = 0;
    BYTE ip[4] = {};
};

struct ScriptTrap {
    std::vector<UINT> enterprise;
    LONG generic = 0, specific = 0;
    ULONG stampMs = 0;
    std::vector<Binding> bindings;
};

std::mutex g_lock;
std::deque<ScriptTrap> g_queue;
HANDLE g_trapEvent = nullptr;
HANDLE g_go = nullptr;
HANDLE g_quit = nullptr;
HANDLE g_thread = nullptr;
UINT g_viewIds[] = {1, 3, 6, 1, 4, 1, 6203, 99, 1};

// What the last TRUE return handed out, to check the host gives it back unchanged.
bool g_pending = false;
AsnObjectIdentifier* g_outEnterprise = nullptr;
SnmpVarBindList* g_outList = nullptr;
UINT* g_givenIds = nullptr;
SnmpVarBind* g_givenList = nullptr;
UINT g_givenLen = 0;

std::string FilePath(const char* suffix) {
    const char* root = std::getenv("VQ_ROOT");
    return std::string(root ? root : "/tmp") + "/testagent_" VQ_TESTAGENT_ID "." + suffix;
}

void Note(const std::string& file, const std::string& line) {
    std::ofstream out(FilePath(file.c_str()), std::ios::app);
    out << line << "\n";
}

std::vector<UINT> ParseOid(const std::string& text) {
    std::vector<UINT> ids;
    std::stringstream in(text[0] == '.' ? text.substr(1) : text);
    std::string part;
    while (std::getline(in, part, '.')) ids.push_back(static_cast<UINT>(std::strtoul(part.c_str(), nullptr, 10)));
    return ids;
}

bool ParseLine(const std::string& line, ScriptTrap& trap) {
    std::istringstream in(line);
    std::string enterprise;
    if (!(in >> enterprise >> trap.generic >> trap.specific >> trap.stampMs)) return false;
    trap.enterprise = ParseOid(enterprise);
    std::string name, type, value;
    while (in >> name >> type >> value) {
        Binding b;
        b.name = ParseOid(name);
        b.text = value;
        switch (type[0]) {
        case 'i': b.type = ASN_INTEGER; b.number = static_cast<unsigned long long>(std::strtoll(value.c_str(), nullptr, 10)); break;
        case 's': b.type = ASN_OCTETSTRING; break;
        case 'b': b.type = ASN_BITS; break;
        case 'S': b.type = ASN_SEQUENCE; break;
        case 'q': b.type = ASN_OPAQUE; break;
        case 'n': b.type = ASN_NULL; break;
        case 'o': b.type = ASN_OBJECTIDENTIFIER; b.oidValue = ParseOid(value); break;
        case 'a': {
            b.type = ASN_IPADDRESS;
            unsigned a[4] = {};
            std::sscanf(value.c_str(), "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]);
            for (int i = 0; i < 4; ++i) b.ip[i] = static_cast<BYTE>(a[i]);
            break;
        }
        case 'c': b.type = ASN_COUNTER32; break;
        case 'g': b.type = ASN_GAUGE32; break;
        case 't': b.type = ASN_TIMETICKS; break;
        case 'u': b.type = ASN_UNSIGNED32; break;
        case 'C': b.type = ASN_COUNTER64; break;
        case 'X': b.type = 0x99; break;
        default: return false;
        }
        if (std::strchr("cgtuC", type[0])) b.number = std::strtoull(value.c_str(), nullptr, 10);
        trap.bindings.push_back(std::move(b));
    }
    return true;
}

DWORD WINAPI ScriptThread(LPVOID) {
    HANDLE handles[2] = {g_quit, g_go};
    for (;;) {
        DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) return 0;
        std::ifstream in(FilePath("script"));
        std::string line;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            while (std::getline(in, line)) {
                ScriptTrap trap;
                if (!line.empty() && ParseLine(line, trap)) g_queue.push_back(std::move(trap));
            }
        }
        SetEvent(g_trapEvent);
    }
}

UINT* CopyIds(const std::vector<UINT>& ids) {
    UINT* p = static_cast<UINT*>(std::malloc(sizeof(UINT) * (ids.empty() ? 1 : ids.size())));
    if (!ids.empty()) std::memcpy(p, ids.data(), sizeof(UINT) * ids.size());
    return p;
}

void FreeGiven() {
    for (UINT i = 0; i < g_givenLen; ++i) {
        SnmpVarBind& vb = g_givenList[i];
        std::free(vb.name.ids);
        BYTE t = vb.value.asnType;
        if (t == ASN_OBJECTIDENTIFIER) std::free(vb.value.asnValue.object.ids);
        if (t == ASN_OCTETSTRING || t == ASN_BITS || t == ASN_SEQUENCE || t == ASN_OPAQUE || t == ASN_IPADDRESS)
            std::free(vb.value.asnValue.string.stream);
    }
    std::free(g_givenList);
    std::free(g_givenIds);
    g_givenList = nullptr;
    g_givenIds = nullptr;
    g_givenLen = 0;
}

}  // namespace

extern "C" {

BOOL SnmpExtensionInit(DWORD, HANDLE* phSubagentTrapEvent, AsnObjectIdentifier* pFirstSupportedRegion) {
    const char* fail = std::getenv("VQ_TESTAGENT_" VQ_TESTAGENT_ID "_FAIL");
    if (fail != nullptr && std::strcmp(fail, "1") == 0) return FALSE;
    g_trapEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_go = CreateEventA(nullptr, FALSE, FALSE, "VQ_TESTAGENT_" VQ_TESTAGENT_ID "_GO");
    g_quit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    g_thread = CreateThread(nullptr, 0, ScriptThread, nullptr, 0, &id);
    if (g_trapEvent == nullptr || g_go == nullptr || g_quit == nullptr || g_thread == nullptr) return FALSE;
    *phSubagentTrapEvent = g_trapEvent;
    pFirstSupportedRegion->idLength = sizeof g_viewIds / sizeof g_viewIds[0];
    pFirstSupportedRegion->ids = g_viewIds;
    return TRUE;
}

BOOL SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                       AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp, SnmpVarBindList* pVarBindList) {
    if (g_pending) {
        // The second call of a trap: the host must hand back what it was given.
        if (pEnterpriseOid != g_outEnterprise || pVarBindList != g_outList || pEnterpriseOid->ids != g_givenIds ||
            pVarBindList->list != g_givenList || pVarBindList->len != g_givenLen)
            Note("errors", "the host changed the trap storage before handing it back");
        FreeGiven();
        pEnterpriseOid->ids = nullptr;
        pEnterpriseOid->idLength = 0;
        pVarBindList->list = nullptr;
        pVarBindList->len = 0;
        g_pending = false;
    }
    ScriptTrap trap;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_queue.empty()) return FALSE;
        trap = std::move(g_queue.front());
        g_queue.pop_front();
    }
    g_givenIds = CopyIds(trap.enterprise);
    pEnterpriseOid->ids = g_givenIds;
    pEnterpriseOid->idLength = static_cast<UINT>(trap.enterprise.size());
    *pGenericTrapId = trap.generic;
    *pSpecificTrapId = trap.specific;
    *pTimeStamp = trap.stampMs;
    g_givenLen = static_cast<UINT>(trap.bindings.size());
    g_givenList = g_givenLen ? static_cast<SnmpVarBind*>(std::calloc(g_givenLen, sizeof(SnmpVarBind))) : nullptr;
    for (UINT i = 0; i < g_givenLen; ++i) {
        const Binding& b = trap.bindings[i];
        SnmpVarBind& vb = g_givenList[i];
        vb.name.ids = CopyIds(b.name);
        vb.name.idLength = static_cast<UINT>(b.name.size());
        vb.value.asnType = b.type;
        switch (b.type) {
        case ASN_OCTETSTRING:
        case ASN_BITS:
        case ASN_SEQUENCE:
        case ASN_OPAQUE: {
            AsnOctetString& s = vb.value.asnValue.string;
            s.length = static_cast<UINT>(b.text.size());
            s.stream = static_cast<BYTE*>(std::malloc(b.text.size() + 1));
            std::memcpy(s.stream, b.text.data(), b.text.size());
            s.dynamic = TRUE;
            break;
        }
        case ASN_IPADDRESS: {
            AsnOctetString& s = vb.value.asnValue.address;
            s.length = 4;
            s.stream = static_cast<BYTE*>(std::malloc(4));
            std::memcpy(s.stream, b.ip, 4);
            s.dynamic = TRUE;
            break;
        }
        case ASN_OBJECTIDENTIFIER:
            vb.value.asnValue.object.ids = CopyIds(b.oidValue);
            vb.value.asnValue.object.idLength = static_cast<UINT>(b.oidValue.size());
            break;
        case ASN_INTEGER:
            vb.value.asnValue.number = static_cast<AsnInteger32>(b.number);
            break;
        case ASN_COUNTER64:
            vb.value.asnValue.counter64.QuadPart = b.number;
            break;
        default:
            vb.value.asnValue.unsigned32 = static_cast<AsnUnsigned32>(b.number);
            break;
        }
    }
    pVarBindList->list = g_givenList;
    pVarBindList->len = g_givenLen;
    g_outEnterprise = pEnterpriseOid;
    g_outList = pVarBindList;
    g_pending = true;
    return TRUE;
}

BOOL SnmpExtensionQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) { return 2; }

VOID SnmpExtensionClose() {
    if (g_thread != nullptr) {
        SetEvent(g_quit);
        WaitForSingleObject(g_thread, INFINITE);
        CloseHandle(g_thread);
        g_thread = nullptr;
    }
    if (g_pending) FreeGiven();
    g_pending = false;
    CloseHandle(g_go);
    CloseHandle(g_quit);
    CloseHandle(g_trapEvent);
    Note("closed", "closed");
}

}  // extern "C"
