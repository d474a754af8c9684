// The extension agent: creates the hand-over objects for requesters, and turns each
// request in the shared block into a trap for the SNMP service host.
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "snmpext/internal.h"
#include "snmpext/norvik.h"

namespace norvik {
namespace {

constexpr const char kRegistryKey[] = "SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\EXT_AGENT";
constexpr const char kDefaultLogPath[] = "c:\\temp\\ExtAgent.log";
constexpr DWORD kDefaultLogRecords = 1000;

// The supported view, 1.3.6.1.4.1.6203.1.3.1.0; the host keeps a pointer to it.
UINT g_viewIds[] = {1, 3, 6, 1, 4, 1, 6203, 1, 3, 1, 0};

// Everything one session holds, from SnmpExtensionInit to SnmpExtensionClose. Close
// resets all of it: a host may close and initialise the agent again in the same process,
// and the new session must not take a request number of the old one for answered.
struct Session {
    bool initialised = false;
    DWORD timeZero = 0;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    HANDLE mapping = nullptr;
    TrapInfo* block = nullptr;
    HANDLE endEvent = nullptr;
    HANDLE mutex = nullptr;
    HANDLE trapEvent = nullptr;

    // The request being delivered, between the two calls of SnmpExtensionTrap.
    bool pending = false;
    AsnObjectIdentifier enterprise{};
    SnmpVarBindList bindings{};
    uint8_t seq = 0;
    uint8_t lastAnswered = 0;  // the request number last acknowledged
    char enterpriseText[kOidTextSize] = {};
    int32_t genericTrap = 0;
    int32_t specificTrap = 0;

    // Requests are read from a private copy: the block may change under the agent.
    std::unique_ptr<TrapInfo> request;
};

struct AgentState : Session {
    std::mutex lock;  // the host may call from more than one thread
} g_agent;

DWORD ReadDword(HKEY key, const char* name, DWORD fallback) {
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return fallback;
    return value;
}

// At most kMaxLogPath characters. A longer value, also one stored without its
// terminator, is not cut but gives the default, as does any other failure.
constexpr DWORD kMaxLogPath = 63;

void ReadLogPath(HKEY key, char (&path)[kMaxLogPath + 1]) {
    char value[kMaxLogPath + 1] = {};
    DWORD type = 0, size = sizeof value;  // room for the terminator of a full-length path
    if (RegQueryValueExA(key, "LOG_PATH", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && value[0] && strnlen(value, sizeof value) <= kMaxLogPath) {
        std::memcpy(path, value, sizeof path);
        return;
    }
    std::strncpy(path, kDefaultLogPath, sizeof path - 1);
}

void ConfigureLog() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    if (ReadDword(key, "DEBUG_LOG", 0) != 0) {
        char path[kMaxLogPath + 1] = {};
        ReadLogPath(key, path);
        DWORD records = ReadDword(key, "LOG_RECORDS", kDefaultLogRecords);
        OpenLog(path, records);
    }
    RegCloseKey(key);
}

void Log(const char* category, const char* message) {
    if (LogOpen()) WriteLog(category, "%s", message);
}

// Tells the requester of request seq that the agent is done with it, and how it ended.
void EndRequest(uint8_t seq, uint8_t outcome) {
    g_agent.lastAnswered = seq;
    // The outcome is in place before the number that makes the requester read it.
    std::atomic_ref<uint8_t>(g_agent.block->outcome).store(outcome, std::memory_order_relaxed);
    std::atomic_ref<uint8_t>(g_agent.block->ackSeq).store(seq, std::memory_order_release);
    SetEvent(g_agent.endEvent);
}

BOOL FirstTrapCall(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId, AsnInteger32* pSpecificTrapId,
                   AsnTimeticks* pTimeStamp, SnmpVarBindList* pVarBindList) {
    if (!g_agent.request) g_agent.request = std::make_unique<TrapInfo>();
    TrapInfo& request = *g_agent.request;
    // The requester writes only the entries in use; a count beyond 50 is copied as 50
    // and refused by the validation. The request number fences the copy (trapinfo.h).
    std::atomic_ref<uint8_t> blockSeq(g_agent.block->requestSeq);
    uint8_t before = blockSeq.load(std::memory_order_acquire);
    std::memcpy(static_cast<void*>(&request), g_agent.block, offsetof(TrapInfo, params));
    std::memcpy(static_cast<void*>(request.params), g_agent.block->params,
                UsedSize(request) - offsetof(TrapInfo, params));
    std::atomic_thread_fence(std::memory_order_acquire);
    uint8_t after = blockSeq.load(std::memory_order_relaxed);
    if (before == 0 || before != after || before == g_agent.lastAnswered) {
        // Being written, rewritten under us, or already answered: a stale wake-up. The
        // requester's own trap event follows once its request is complete.
        return FALSE;
    }
    request.requestSeq = before;

    if (request.enterprise[0] == 0) {
        Log("Trap", "Trap send error. OID is empty.");
        EndRequest(request.requestSeq, kTrapRefused);
        return FALSE;
    }
    AsnObjectIdentifier enterprise{};
    SnmpVarBindList bindings{};
    std::string why;
    if (!BuildTrap(request, &enterprise, &bindings, &why)) {
        Log("Trap", why.c_str());
        EndRequest(request.requestSeq, kTrapRefused);
        return FALSE;
    }

    g_agent.pending = true;
    g_agent.enterprise = enterprise;
    g_agent.bindings = bindings;
    g_agent.seq = request.requestSeq;
    std::memcpy(g_agent.enterpriseText, request.enterprise, kOidTextSize);
    g_agent.genericTrap = request.genericTrap;
    g_agent.specificTrap = request.specificTrap;

    if (pGenericTrapId) *pGenericTrapId = request.genericTrap;
    if (pSpecificTrapId) *pSpecificTrapId = request.specificTrap;
    if (pTimeStamp) *pTimeStamp = GetTickCount() - g_agent.timeZero;
    if (pEnterpriseOid) *pEnterpriseOid = enterprise;
    if (pVarBindList) *pVarBindList = bindings;
    return TRUE;
}

// The host has sent the trap: free what the first call handed out.
BOOL SecondTrapCall(AsnObjectIdentifier* pEnterpriseOid, SnmpVarBindList* pVarBindList) {
    g_agent.pending = false;
    if (pEnterpriseOid && pEnterpriseOid->ids == g_agent.enterprise.ids) *pEnterpriseOid = {};
    if (pVarBindList && pVarBindList->list == g_agent.bindings.list) *pVarBindList = {};
    SnmpUtilOidFree(&g_agent.enterprise);
    if (g_agent.bindings.list) SnmpUtilVarBindListFree(&g_agent.bindings);
    g_agent.enterprise = {};
    g_agent.bindings = {};
    if (LogOpen())
        WriteLog("Trap", "EnterpriseOID=%s, GenericID=%d, SpecificID=%d", g_agent.enterpriseText,
                 static_cast<int>(g_agent.genericTrap), static_cast<int>(g_agent.specificTrap));
    EndRequest(g_agent.seq, kTrapSent);
    return FALSE;
}

}  // namespace
}  // namespace norvik

using namespace norvik;

BOOL SnmpExtensionInit(DWORD dwUpTimeReference, HANDLE* phSubagentTrapEvent,
                       AsnObjectIdentifier* pFirstSupportedRegion) {
    std::lock_guard lock(g_agent.lock);
    AgentState& a = g_agent;
    if (a.initialised) {
        // Loaded once per host; a repeated call gets what the first one gave.
        if (phSubagentTrapEvent) *phSubagentTrapEvent = a.trapEvent;
        if (pFirstSupportedRegion) *pFirstSupportedRegion = {sizeof g_viewIds / sizeof g_viewIds[0], g_viewIds};
        return TRUE;
    }
    // A null DACL, so that requesters under any account can open the objects.
    if (!InitializeSecurityDescriptor(&a.descriptor, SECURITY_DESCRIPTOR_REVISION)) return FALSE;
    if (!SetSecurityDescriptorDacl(&a.descriptor, TRUE, nullptr, FALSE)) return FALSE;
    a.attributes = {sizeof(SECURITY_ATTRIBUTES), &a.descriptor, TRUE};
    a.timeZero = dwUpTimeReference;
    ModuleName();
    ConfigureLog();

    if (!a.mapping) {
        a.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &a.attributes, PAGE_READWRITE, 0, kTrapInfoSize,
                                       kMappingName);
        if (!a.mapping) return FALSE;
        a.block = static_cast<TrapInfo*>(MapViewOfFile(a.mapping, FILE_MAP_WRITE, 0, 0, kTrapInfoSize));
        if (!a.block) {
            CloseHandle(a.mapping);
            a.mapping = nullptr;
            return FALSE;
        }
    }
    // The block outlives this session while any requester has it open, and then still
    // holds the number of the last request answered on it; a fresh block holds 0.
    a.lastAnswered = std::atomic_ref<uint8_t>(a.block->ackSeq).load();
    if (!a.endEvent && !(a.endEvent = CreateEventA(&a.attributes, FALSE, FALSE, kEndEventName))) {
        Log("", "CreateEvent(EVENTNAME_TRAPSENDEND) NG");
        return FALSE;
    }
    if (!a.mutex && !(a.mutex = CreateMutexA(&a.attributes, FALSE, kMutexName))) {
        Log("", "CreateMutex(MUTEXNAME) NG");
        return FALSE;
    }
    if (!a.trapEvent && !(a.trapEvent = CreateEventA(&a.attributes, FALSE, FALSE, kTrapEventName))) {
        Log("", "CreateEvent(EVENTNAME_TRAPSEND) NG");
        return FALSE;
    }
    if (phSubagentTrapEvent) *phSubagentTrapEvent = a.trapEvent;
    if (pFirstSupportedRegion) *pFirstSupportedRegion = {sizeof g_viewIds / sizeof g_viewIds[0], g_viewIds};
    a.initialised = true;
    Log("", "SnmpExtensionInit OK");
    return TRUE;
}

BOOL SnmpExtensionTrap(AsnObjectIdentifier* pEnterpriseOid, AsnInteger32* pGenericTrapId,
                       AsnInteger32* pSpecificTrapId, AsnTimeticks* pTimeStamp, SnmpVarBindList* pVarBindList) {
    std::lock_guard lock(g_agent.lock);
    if (!g_agent.initialised || !g_agent.block) return FALSE;
    try {
        if (g_agent.pending) return SecondTrapCall(pEnterpriseOid, pVarBindList);
        return FirstTrapCall(pEnterpriseOid, pGenericTrapId, pSpecificTrapId, pTimeStamp, pVarBindList);
    } catch (...) {
        return FALSE;
    }
}

BOOL SnmpExtensionQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) {
    // No view of its own to answer for.
    return 2;
}

VOID SnmpExtensionClose() {
    std::lock_guard lock(g_agent.lock);
    AgentState& a = g_agent;
    Log("", "SnmpExtensionClose OK");
    if (a.pending) {
        // Unloaded between the two calls: what the host held goes, the requester is told.
        SnmpUtilOidFree(&a.enterprise);
        if (a.bindings.list) SnmpUtilVarBindListFree(&a.bindings);
        a.enterprise = {};
        a.bindings = {};
        a.pending = false;
        // Not known to be sent: the requester must not count it as sent.
        if (a.block && a.endEvent) EndRequest(a.seq, kTrapRefused);
    }
    if (a.block) UnmapViewOfFile(a.block);
    if (a.mapping) CloseHandle(a.mapping);
    if (a.mutex) CloseHandle(a.mutex);
    if (a.endEvent) CloseHandle(a.endEvent);
    // The trap event belongs to the host now. Nothing of this session is left for the next.
    static_cast<Session&>(a) = Session{};
    CloseLog();
}
