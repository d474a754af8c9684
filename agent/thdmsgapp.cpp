#include "agent/thdmsgapp.h"

#include <cstdio>
#include <cstring>

#include "agent/eventlogwatch.h"
#include "framework/apllog.h"
#include "framework/vqbexception.h"
#include "outside/vqregdata/regdata.h"
#include "pal/wmi/com.h"

HMODULE g_hProvider = nullptr;

namespace {

constexpr char kProcessName[] = "norvik";
constexpr char kServiceName[] = "FW NORVIK";
constexpr char kProviderPath[] = "C:\\WINDOWS\\system32\\Telvane.dll";
constexpr char kDefaultTrapTypeOid1[] = ".1.3.6.1.4.1.6203";
constexpr char kDefaultTrapTypeOid2[] = ".1.3.1.1.1.1.1.1.0";
constexpr DWORD kSnmpWaitMutexMs = 150000;
constexpr int kSnmpWaitRounds = 24;
constexpr DWORD kSnmpRoundPauseMs = 5000;
constexpr DWORD kTrapLockMs = 30000;

constexpr SHORT kFwSystem = 1, kFwWatch = 13, kFwEventLog = 104;

// Sorted by word, as the look-ups require.
TBL_S_JOB g_Words1[] = {{1, "FWSYSTEM  "}};
TBL_S_JOB g_Words2[] = {
    {101, "FWEXEC    "}, {11, "FWLOG     "}, {100, "FWSNMP    "}, {10, "FWUPS     "}, {13, "FWWATCH   "}};
TBL_S_JOB g_Words3[] = {{101, "FWBIOSINFO"}, {36, "FWDISKUSED"}, {104, "FWEVENTLOG"},
                        {102, "FWPDOWN   "}, {103, "FWSCRIPT  "}, {34, "FWSEND    "},
                        {4, "FWSTART   "},   {5, "FWSTOP    "},  {21, "FWWATCH   "}};

const SJOB_MAP_TBL g_SjobMap[] = {
    {0, 0, kFwSystem, kFwWatch, kFwEventLog, FwsystemFwlogFwwatch, nullptr, nullptr},
    {1, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

QUE_MAP_TBL g_QueTbl[] = {
    {"QUE_EXE", 10, 0, nullptr},
    {"SEND_QUE", 256, 0, nullptr},
    {nullptr, 0, 0, nullptr},
};

void Log(WORD code, DWORD error, const char* function, const char* text, LONG level) {
    CAplLog::Write(code, error, CVQBThdMsgApp::kOwnIdCode, function, text, level);
}

template <typename T>
bool Bind(HMODULE module, const char* name, T& out) {
    out = reinterpret_cast<T>(GetProcAddress(module, name));
    if (out) return true;
    char text[160];
    std::snprintf(text, sizeof text, "It failed in GetProcAddress. (%s)", name);
    Log(8000, GetLastError(), "CVQBThdMsgApp::OnCreate", text, 1);
    return false;
}

}  // namespace

CVQBThdMsgApp::CVQBThdMsgApp()
    : CVQBThdMsg(0, kProcessName, kServiceName, VQB_FLAG_NO_MSGMGR),
      m_hWatchEvent(nullptr),
      m_hAgentDll(nullptr),
      m_hTrapSendMutex(nullptr),
      m_pfnSetEnterpriseOid(nullptr),
      m_pfnSetGenericTrapId(nullptr),
      m_pfnSetSpecificTrapId(nullptr),
      m_pfnClearParameter(nullptr),
      m_pfnSend(nullptr),
      m_pfnAddParamInteger32(nullptr),
      m_pfnAddParamBits(nullptr),
      m_pfnAddParamString(nullptr),
      m_pfnAddParamNull(nullptr),
      m_pfnAddParamObjectId(nullptr),
      m_pfnAddParamIpAddress(nullptr),
      m_pfnAddParamCounter32(nullptr),
      m_pfnAddParamGauge32(nullptr),
      m_pfnAddParamTimeticks(nullptr),
      m_pfnAddParamOpaque(nullptr),
      m_pfnAddParamCounter64(nullptr),
      m_pfnAddParamUnsigned32(nullptr),
      m_bSnmpStarted(0),
      m_hSnmpWaitMutex(nullptr),
      m_bComInitialized(false) {}

CVQBThdMsgApp::~CVQBThdMsgApp() {
    CloseWatchEvent();
    if (m_hAgentDll) FreeLibrary(m_hAgentDll);
    m_hAgentDll = nullptr;
    if (g_hProvider) FreeLibrary(g_hProvider);
    g_hProvider = nullptr;
    if (m_hSnmpWaitMutex) CloseHandle(m_hSnmpWaitMutex);
    if (m_hTrapSendMutex) CloseHandle(m_hTrapSendMutex);
}

long CVQBThdMsgApp::ComSendRequest(const char*) { return -1; }
long CVQBThdMsgApp::ComOpen() { return -1; }
long CVQBThdMsgApp::ComClose() { return -1; }
const char* CVQBThdMsgApp::ComGetErrorMsg() { return ""; }

long CVQBThdMsgApp::InitProc() {
    if (CVQBThdMsg::InitProc() < 0) return -1;
    RegisterSJobTbl(g_Words1, 1, g_Words2, 5, g_Words3, 9);
    return 0;
}

// The process ends with the service: no timer to kill, no stop notice, no end message.
void CVQBThdMsgApp::CloseProcSub() {}

void* CVQBThdMsgApp::GetThreadParam() { return this; }

long CVQBThdMsgApp::GetJobThdKey(CJobPipeData& record, const SJOB_MAP_TBL* entry) {
    return CVQBThdMsg::GetJobThdKey(record, entry) >= 0 ? 0 : -1;
}

const char* CVQBThdMsgApp::GetVqblibVer() { return "R06.03.00-60.0.0"; }
void CVQBThdMsgApp::MakeSjobTbl() { m_pSjobMapTbl = g_SjobMap; }
void CVQBThdMsgApp::MakeQueTbl() { m_pQueMapTbl = g_QueTbl; }

long CVQBThdMsgApp::JobPipeOpen(long retryDelay) {
    CRegData reg;
    DWORD standAlone = 0;
    if (reg.GetVQFRegData(&standAlone, "CORVANE", "STAND_ALONE", 0) && standAlone != 0) return 0;
    return CVQBThdMsg::JobPipeOpen(retryDelay);
}

int CVQBThdMsgApp::GetRegData() {
    CRegData reg;
    char section[64];
    std::snprintf(section, sizeof section, "%s\\%s", "CORVANE", "EXT_NORVIK");
    char path[128] = {};
    if (!reg.GetVQFRegData(path, section, "Pathname", 0) || path[0] == '\0') {
        Log(8000, 0, "CVQBThdMsgApp::GetRegData", "Agent DLL is not specified for the registry.", 2);
        return 0;
    }
    m_strAgentPath = path;
    char oid[128] = {};
    if (!reg.GetVQFRegData(oid, "NORVIK", "TRAP_TYPE_OID", 0) || oid[0] == '\0') {
        char joined[64];
        std::snprintf(joined, sizeof joined, "%s%s", kDefaultTrapTypeOid1, kDefaultTrapTypeOid2);
        m_strTrapTypeOid = joined;
    } else {
        m_strTrapTypeOid = oid;
    }
    return 1;
}

long CVQBThdMsgApp::OnCreate(WPARAM wParam, LPARAM lParam) {
    static const char* kFunc = "CVQBThdMsgApp::OnCreate";
    if (CVQBThdMsg::OnCreate(wParam, lParam) < 0) return -1;
    if (!GetRegData()) return -1;
    if (LoadLibraries() < 0) return -1;
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        Log(8000, static_cast<DWORD>(hr), kFunc, "CoInitializeEx error.", 1);
        return -1;
    }
    m_bComInitialized = true;
    try {
        WaitForSnmpStart();
    } catch (const CVQBException&) {
        // Stopped while waiting for the SNMP service: the loop ends and the service stops.
        return -1;
    }
    CRegData reg;
    DWORD watch = 0;
    if (reg.GetVQFRegData(&watch, "CORVANE", "WATCH_EVENTLOG", 0) && watch != 0)
        SendRequest(GetPcName(), kProcessName, kFwSystem, kFwWatch, kFwEventLog, 0, "#BEGIN\n#START=1\n#END");
    return 0;
}

long CVQBThdMsgApp::LoadLibraries() {
    static const char* kFunc = "CVQBThdMsgApp::OnCreate";
    m_hTrapSendMutex = CreateMutexA(nullptr, FALSE, nullptr);
    m_hAgentDll = LoadLibraryA(m_strAgentPath.c_str());
    if (!m_hAgentDll) {
        Log(8000, GetLastError(), kFunc, "It failed in LoadLibrary.", 1);
        return -1;
    }
    g_hProvider = LoadLibraryA(kProviderPath);
    if (!g_hProvider) {
        Log(8000, GetLastError(), kFunc, "It failed in LoadLibrary.", 1);
        return -1;
    }
    HMODULE m = m_hAgentDll;
    if (!Bind(m, "SetEnterpriseOid", m_pfnSetEnterpriseOid) || !Bind(m, "SetGenericTrapId", m_pfnSetGenericTrapId) ||
        !Bind(m, "SetSpecificTrapId", m_pfnSetSpecificTrapId) || !Bind(m, "ClearParameter", m_pfnClearParameter) ||
        !Bind(m, "Send", m_pfnSend) || !Bind(m, "AddParamInteger32", m_pfnAddParamInteger32) ||
        !Bind(m, "AddParamBits", m_pfnAddParamBits) || !Bind(m, "AddParamString", m_pfnAddParamString) ||
        !Bind(m, "AddParamNull", m_pfnAddParamNull) || !Bind(m, "AddParamObjectId", m_pfnAddParamObjectId) ||
        !Bind(m, "AddParamIpAddress", m_pfnAddParamIpAddress) ||
        !Bind(m, "AddParamCounter32", m_pfnAddParamCounter32) ||
        !Bind(m, "AddParamGauge32", m_pfnAddParamGauge32) || !Bind(m, "AddParamTimeticks", m_pfnAddParamTimeticks) ||
        !Bind(m, "AddParamOpaque", m_pfnAddParamOpaque) || !Bind(m, "AddParamCounter64", m_pfnAddParamCounter64) ||
        !Bind(m, "AddParamUnsigned32", m_pfnAddParamUnsigned32))
        return -1;
    m_hSnmpWaitMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (!m_hSnmpWaitMutex) {
        Log(8000, GetLastError(), kFunc, "CreateMutex error", 1);
        return -1;
    }
    return 0;
}

long CVQBThdMsgApp::OnProcessStop(WPARAM wParam, LPARAM lParam) {
    SetWatchEvent();
    if (m_bComInitialized) {
        CoUninitialize();
        m_bComInitialized = false;
    }
    return CVQBThdMsg::OnProcessStop(wParam, lParam);
}

long CVQBThdMsgApp::WaitForSnmpStart() {
    static const char* kFunc = "CVQBThdMsgApp::WaitForSnmpStart";
    if (m_bSnmpStarted) return 0;
    const DWORD wait = WaitForSingleObject(m_hSnmpWaitMutex, kSnmpWaitMutexMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED_0) {
        const DWORD error = GetLastError();
        Log(8000, error, kFunc, "WairForSingleObject error.", 1);
        return static_cast<long>(error ? error : wait);
    }
    if (m_bSnmpStarted) {
        Log(0, 0, kFunc, "SNMP service was started.", 2);
        ReleaseMutex(m_hSnmpWaitMutex);
        return 0;
    }
    HANDLE trapEvent = nullptr, endEvent = nullptr, trapMutex = nullptr;
    long result = -1;
    auto closeAll = [&] {
        if (trapEvent) CloseHandle(trapEvent);
        if (endEvent) CloseHandle(endEvent);
        if (trapMutex) CloseHandle(trapMutex);
        ReleaseMutex(m_hSnmpWaitMutex);
    };
    try {
        for (int round = 0; round < kSnmpWaitRounds; ++round) {
            if (!trapEvent) trapEvent = OpenEventA(SYNCHRONIZE, FALSE, "_NORVIK_TrapEvent");
            if (!endEvent) endEvent = OpenEventA(SYNCHRONIZE, FALSE, "_NORVIK_TrapEvent_SendEnd");
            if (!trapMutex) trapMutex = OpenMutexA(SYNCHRONIZE, FALSE, "_NORVIK_TrapMutex");
            if (trapEvent && endEvent && trapMutex) {
                Log(0, 0, kFunc, "SNMP service was started.", 2);
                CRegData reg;
                DWORD seconds = 5;
                reg.GetVQFRegData(&seconds, "CORVANE", "WAITTIME_AFTER_SNMP_STARTED", 0);
                const unsigned long long ms = static_cast<unsigned long long>(seconds) * 1000ull;
                CVQBException::ThrowStopExceptionIfRequired(ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
                m_bSnmpStarted = 1;
                result = 0;
                break;
            }
            Log(7000, 0, kFunc, "SNMP service is not yet started. Wait 5 seconds.", 2);
            CVQBException::ThrowStopExceptionIfRequired(kSnmpRoundPauseMs);
        }
    } catch (...) {
        closeAll();
        throw;
    }
    closeAll();
    return result;
}

DWORD CVQBThdMsgApp::TrapSendLock(HANDLE* lock) {
    const DWORD wait = WaitForSingleObject(m_hTrapSendMutex, kTrapLockMs);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) {
        *lock = m_hTrapSendMutex;
        return wait;
    }
    Log(8000, wait, "CVQBThdMsgApp::TrapSendLock", "Lock error.", 1);
    *lock = nullptr;
    return wait;
}

long CVQBThdMsgApp::TrapSendUnlock(HANDLE lock) {
    if (!lock) return 0;
    if (!ReleaseMutex(lock)) {
        const DWORD error = GetLastError();
        Log(8000, error, "CVQBThdMsgApp::TrapSendUnlock", "Unlock error.", 1);
        return static_cast<long>(error);
    }
    return 0;
}

int CVQBThdMsgApp::CreateWatchEvent() {
    std::lock_guard<std::mutex> lock(m_csWatchEvent);
    if (m_hWatchEvent) return 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) return -1;
    m_hWatchEvent = event;
    return 1;
}

bool CVQBThdMsgApp::SetWatchEvent() {
    std::lock_guard<std::mutex> lock(m_csWatchEvent);
    if (!m_hWatchEvent) return false;
    SetEvent(m_hWatchEvent);
    return true;
}

void CVQBThdMsgApp::CloseWatchEvent() {
    std::lock_guard<std::mutex> lock(m_csWatchEvent);
    if (m_hWatchEvent) CloseHandle(m_hWatchEvent);
    m_hWatchEvent = nullptr;
}

HANDLE CVQBThdMsgApp::GetWatchEvent() {
    std::lock_guard<std::mutex> lock(m_csWatchEvent);
    return m_hWatchEvent;
}

// ---------------------------------------------------------------- wrappers

long CVQBThdMsgApp::Report(const char* name, long result, const char* oid) {
    if (result == 0) return 0;
    char function[64], text[320];
    std::snprintf(function, sizeof function, "CVQBThdMsgApp::%s", name);
    if (oid)
        std::snprintf(text, sizeof text, "%s error. OID=%s", name, oid);
    else
        std::snprintf(text, sizeof text, "%s error.", name);
    Log(8000, static_cast<DWORD>(result), function, text, 1);
    return result;
}

#define VQ_CALL_BOUND(pfn, name, oid, ...)                                                  \
    do {                                                                                    \
        if (!(pfn)) {                                                                       \
            Log(8000, 0, "CVQBThdMsgApp::" name, "Function address is invalid.", 1);        \
            return -1;                                                                      \
        }                                                                                   \
        return Report(name, (pfn)(__VA_ARGS__), oid);                                       \
    } while (0)

long CVQBThdMsgApp::SetEnterpriseOid(const char* oid) {
    VQ_CALL_BOUND(m_pfnSetEnterpriseOid, "SetEnterpriseOid", nullptr, oid);
}
long CVQBThdMsgApp::SetGenericTrapId(long id) { VQ_CALL_BOUND(m_pfnSetGenericTrapId, "SetGenericTrapId", nullptr, id); }
long CVQBThdMsgApp::SetSpecificTrapId(long id) {
    VQ_CALL_BOUND(m_pfnSetSpecificTrapId, "SetSpecificTrapId", nullptr, id);
}
long CVQBThdMsgApp::ClearParameter() { VQ_CALL_BOUND(m_pfnClearParameter, "ClearParameter", nullptr); }
long CVQBThdMsgApp::Send() { VQ_CALL_BOUND(m_pfnSend, "Send", nullptr); }
long CVQBThdMsgApp::AddParamInteger32(const char* oid, long value) {
    VQ_CALL_BOUND(m_pfnAddParamInteger32, "AddParamInteger32", oid, oid, value);
}
long CVQBThdMsgApp::AddParamBits(const char* oid, const char* value) {
    VQ_CALL_BOUND(m_pfnAddParamBits, "AddParamBits", oid, oid, value);
}
long CVQBThdMsgApp::AddParamString(const char* oid, const char* value) {
    VQ_CALL_BOUND(m_pfnAddParamString, "AddParamString", oid, oid, value);
}
long CVQBThdMsgApp::AddParamNull(const char* oid) { VQ_CALL_BOUND(m_pfnAddParamNull, "AddParamNull", oid, oid); }
long CVQBThdMsgApp::AddParamObjectId(const char* oid, const char* value) {
    VQ_CALL_BOUND(m_pfnAddParamObjectId, "AddParamObjectId", oid, oid, value);
}
long CVQBThdMsgApp::AddParamIpAddress(const char* oid, DWORD a, DWORD b, DWORD c, DWORD d) {
    VQ_CALL_BOUND(m_pfnAddParamIpAddress, "AddParamIpAddress", oid, oid, a, b, c, d);
}
long CVQBThdMsgApp::AddParamCounter32(const char* oid, DWORD value) {
    VQ_CALL_BOUND(m_pfnAddParamCounter32, "AddParamCounter32", oid, oid, value);
}
long CVQBThdMsgApp::AddParamGauge32(const char* oid, DWORD value) {
    VQ_CALL_BOUND(m_pfnAddParamGauge32, "AddParamGauge32", oid, oid, value);
}
long CVQBThdMsgApp::AddParamTimeticks(const char* oid, DWORD value) {
    VQ_CALL_BOUND(m_pfnAddParamTimeticks, "AddParamTimeticks", oid, oid, value);
}
long CVQBThdMsgApp::AddParamOpaque(const char* oid, const char* value) {
    VQ_CALL_BOUND(m_pfnAddParamOpaque, "AddParamOpaque", oid, oid, value);
}
long CVQBThdMsgApp::AddParamCounter64(const char* oid, DWORD low, DWORD high) {
    VQ_CALL_BOUND(m_pfnAddParamCounter64, "AddParamCounter64", oid, oid, low, high);
}
long CVQBThdMsgApp::AddParamUnsigned32(const char* oid, DWORD value) {
    VQ_CALL_BOUND(m_pfnAddParamUnsigned32, "AddParamUnsigned32", oid, oid, value);
}
