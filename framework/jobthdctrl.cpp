#include "framework/jobthdctrl.h"

#include <cstdio>
#include <cstring>

#include <condition_variable>
#include <mutex>

#include "framework/apllog.h"
#include "framework/jobpipedata.h"
#include "framework/registory.h"
#include "pal/error/error.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"

namespace {

constexpr DWORD kDefaultCreateConfirm = 180000;
constexpr DWORD kMinCreateConfirm = 30000;
constexpr DWORD kMaxCreateConfirm = 1200000;

void CopyLimited(char* dest, size_t size, const char* src) { std::snprintf(dest, size, "%s", src ? src : ""); }

// Job threads of the process still running; the core waits for them before it releases
// what they use.
std::mutex g_RunningMutex;
std::condition_variable g_RunningCv;
int g_nRunning = 0;

constexpr DWORD kCloseWait = 10000;

}  // namespace

int CJobThdCtrl::GetRunningThreads() {
    std::lock_guard<std::mutex> lock(g_RunningMutex);
    return g_nRunning;
}

void CJobThdCtrl::ThreadStarted() {
    std::lock_guard<std::mutex> lock(g_RunningMutex);
    ++g_nRunning;
}

void CJobThdCtrl::ThreadEnded() {
    std::lock_guard<std::mutex> lock(g_RunningMutex);
    if (g_nRunning > 0) --g_nRunning;
    g_RunningCv.notify_all();
}

bool CJobThdCtrl::WaitThreadsEnded(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(g_RunningMutex);
    return g_RunningCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_nRunning == 0; });
}

CJobThdCtrl::CJobThdCtrl() : m_Tbl{}, m_Identity{}, m_dwCreateConfirm(kDefaultCreateConfirm) {}

CJobThdCtrl::~CJobThdCtrl() {
    // A thread still running reads its slot and the identity block (and the core's pipe,
    // which outlives this table): wait for it, bounded, before releasing anything.
    if (!WaitThreadsEnded(kCloseWait)) {
        char text[96];
        std::snprintf(text, sizeof text, "%d JobThreads are still running at close.", GetRunningThreads());
        CAplLog::Write(8000, 0, 0, "CJobThdCtrl::~CJobThdCtrl", text, 1);
    }
    // Slots still used belong to threads that never reported their end; only their
    // handles are ours to release.
    for (auto& slot : m_Tbl)
        if (slot.sKind != 0) CloseJobThd(&slot);
}

void CJobThdCtrl::Open(CJobPipe* jobPipe, const char* networkId, const char* pcName, const char* processName,
                       const char* serverPcName, const char* serviceName) {
    for (auto& slot : m_Tbl)
        if (slot.sKind != 0) CloseJobThd(&slot);
    std::memset(m_Tbl, 0, sizeof m_Tbl);
    std::memset(&m_Identity, 0, sizeof m_Identity);
    m_Identity.pJobPipe = jobPipe;
    CopyLimited(m_Identity.szNetworkId, 16, networkId);
    CopyLimited(m_Identity.szProcessName, 9, processName);
    CopyLimited(m_Identity.szPcName, 16, pcName);
    CopyLimited(m_Identity.szServerPcName, 16, serverPcName);
    CopyLimited(m_Identity.szServiceName, 21, serviceName);

    m_dwCreateConfirm = kDefaultCreateConfirm;
    CVQRegistory reg;
    if (reg.OpenApl("SYSTEM", KEY_READ) || reg.OpenVq("SYSTEM", KEY_READ)) {
        DWORD value = 0;
        if (reg.Read("JOBTHREAD_CREATE_CONFIRM_TIMER", value)) m_dwCreateConfirm = value;
    }
    if (m_dwCreateConfirm < kMinCreateConfirm) m_dwCreateConfirm = kMinCreateConfirm;
    if (m_dwCreateConfirm > kMaxCreateConfirm) m_dwCreateConfirm = kMaxCreateConfirm;
}

int CJobThdCtrl::GetJobThdNum() const {
    int n = 0;
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0) ++n;
    return n;
}

int CJobThdCtrl::GetBusyJobThdNum() const {
    int n = 0;
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.sBusy != 0) ++n;
    return n;
}

int CJobThdCtrl::GetJobThdNum(JOBTHREAD_ROUTINE routine) const {
    if (!routine) {
        CAplLog::Write(8000, 0, 0, "CJobThdCtrl::GetJobThdNum", "Parameter (thread) is null.", 1);
        return 65535;
    }
    int n = 0;
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.pRoutine == routine) ++n;
    return n;
}

SHORT CJobThdCtrl::IsActive(JOBTHREAD_ROUTINE routine) const {
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.pRoutine == routine) return slot.sBusy;
    return 0;
}

SHORT CJobThdCtrl::IsActive(LONG key) const {
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.lKey == key) return slot.sBusy;
    return 0;
}

JOB_THREAD_TBL* CJobThdCtrl::GetJobThdTbl(LONG key) {
    for (auto& slot : m_Tbl)
        if (slot.sKind != 0 && !slot.sAbandoned && slot.lKey == key) return &slot;
    return nullptr;
}

JOB_THREAD_TBL* CJobThdCtrl::GetJobThdTbl(HANDLE thread) {
    for (auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.hThread == thread) return &slot;
    return nullptr;
}

JOB_THREAD_TBL* CJobThdCtrl::GetJobThdTbl(JOBTHREAD_ROUTINE routine) {
    for (auto& slot : m_Tbl) {
        if (slot.sKind != 0 && !slot.sAbandoned && slot.pRoutine == routine) {
            if (slot.sKind != 2 && slot.sKind != 3)
                CAplLog::Write(7000, 0, 0, "CJobThdCtrl::GetJobThdTbl(thread)",
                               "It is looking for an JobThread managed table by thread specification  to what is not "
                               "at permanent-residence JobThread.",
                               2);
            return &slot;
        }
    }
    return nullptr;
}

JOB_THREAD_TBL* CJobThdCtrl::GetJobThdTbl() {
    for (auto& slot : m_Tbl)
        if (slot.sKind == 0) return &slot;
    return nullptr;
}

JOBTHREAD_ROUTINE CJobThdCtrl::GetThread(HANDLE thread) const {
    for (const auto& slot : m_Tbl)
        if (slot.sKind != 0 && slot.hThread == thread) return slot.pRoutine;
    return nullptr;
}

SHORT CJobThdCtrl::CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam,
                                CJobPipeData* request, LONG idCode, SHORT param) {
    return CreateJobThd(1, routine, mapEntry, threadParam, request, idCode, -1, param);
}

SHORT CJobThdCtrl::CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam) {
    return CreateJobThd(2, routine, mapEntry, threadParam, nullptr, 0, -1, 0);
}

SHORT CJobThdCtrl::CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam,
                                LONG key) {
    return CreateJobThd(3, routine, mapEntry, threadParam, nullptr, 0, key, 0);
}

SHORT CJobThdCtrl::CreateJobThd(SHORT kind, JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry,
                                void* threadParam, CJobPipeData* request, LONG idCode, LONG key, SHORT param) {
    static const char* kFunc = "CJobThdCtrl::CreateJobThd";
    if (key >= 0 && GetJobThdTbl(key)) {
        CAplLog::Write(8000, static_cast<DWORD>(key), idCode, kFunc, "The specified key is registration ending.", 1);
        return -2;
    }
    JOB_THREAD_TBL* slot = GetJobThdTbl();
    if (!slot) {
        CAplLog::Write(7000, 0, idCode, kFunc, "There is no opening of an JobThread.", 2);
        return 7003;
    }
    std::memset(slot, 0, sizeof *slot);
    slot->sBusy = kind == 1 ? 1 : 0;
    slot->pMapEntry = mapEntry;
    slot->sParam = param;
    slot->lKey = key;
    slot->lIdCode = idCode;
    slot->pRoutine = routine;
    slot->pThreadParam = threadParam;
    auto fail = [&](const char* text) -> SHORT {
        CAplLog::Write(8000, GetLastError(), idCode, kFunc, text, 1);
        CloseJobThd(slot);
        return -1;
    };
    // The slot keeps its own copy: the caller's record lives on its stack.
    try {
        SetRequest(slot, request);
    } catch (...) {
        return fail("JobThread create error");
    }
    slot->hRequestEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!slot->hRequestEvent) return fail("Derivery event create error.");
    slot->hReleaseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!slot->hReleaseEvent) return fail("JobThread release event create error.");
    slot->pIdentity = &m_Identity;
    slot->sKind = kind;

    // No id asked for: the platform then starts the thread only on resume, without a
    // start hand-shake.
    slot->hThread = CreateThread(nullptr, 0, routine, slot, CREATE_SUSPENDED, nullptr);
    if (!slot->hThread) return fail("JobThread create error");
    if (ResumeThread(slot->hThread) == static_cast<DWORD>(-1)) {
        CAplLog::Write(8000, GetLastError(), idCode, kFunc, "Can't resume JobThrad", 1);
        // A thread that may yet run keeps its slot until its end message.
        AbandonJobThd(slot);
        return -1;
    }

    DWORD wait = WaitForSingleObject(slot->hReleaseEvent, m_dwCreateConfirm);
    if (wait == WAIT_OBJECT_0) {
        ResetEvent(slot->hReleaseEvent);
        return 0;
    }
    char text[96];
    std::snprintf(text, sizeof text, "It cannot take an JobThread and a synchronization.  %u", wait);
    CAplLog::Write(8000, GetLastError(), idCode, kFunc, text, 1);
    AbandonJobThd(slot);
    return -1;
}

void CJobThdCtrl::SetRequest(JOB_THREAD_TBL* slot, const CJobPipeData* request) {
    delete slot->pRequest;
    slot->pRequest = nullptr;
    if (request) slot->pRequest = new CJobPipeData(*request);
}

void CJobThdCtrl::AbandonJobThd(JOB_THREAD_TBL* slot) {
    slot->sAbandoned = 1;
    slot->sBusy = 1;
}

SHORT CJobThdCtrl::NotifyReceive(CJobPipeData* request, LONG key, LONG idCode, SHORT param) {
    return NotifyReceive(request, GetJobThdTbl(key), idCode, param);
}

SHORT CJobThdCtrl::NotifyReceive(CJobPipeData* request, JOBTHREAD_ROUTINE routine, LONG idCode, SHORT param) {
    JOB_THREAD_TBL* slot = nullptr;
    for (auto& s : m_Tbl)
        if (s.sKind != 0 && !s.sAbandoned && s.pRoutine == routine) {
            slot = &s;
            break;
        }
    return NotifyReceive(request, slot, idCode, param);
}

SHORT CJobThdCtrl::NotifyReceive(CJobPipeData* request, JOB_THREAD_TBL* slot, LONG idCode, SHORT param) {
    static const char* kFunc = "CJobThdCtrl::NotifyReceive";
    if (!slot) {
        CAplLog::Write(8000, 0, idCode, kFunc, "I consider that JobThread generation and SJOB map are inaccurate.", 1);
        return -1;
    }
    if (slot->sBusy) return 7003;
    try {
        SetRequest(slot, request);
    } catch (...) {
        CAplLog::Write(8000, 0, idCode, kFunc, "CMemoryException", 1);
        return -1;
    }
    slot->sParam = param;
    slot->lIdCode = idCode;
    SetEvent(slot->hRequestEvent);
    DWORD wait = WaitForSingleObject(slot->hReleaseEvent, m_dwCreateConfirm);
    if (wait == WAIT_OBJECT_0) {
        ResetEvent(slot->hReleaseEvent);
        slot->sBusy = 1;
        SetRequest(slot, nullptr);  // the thread has taken its own copy
        return 0;
    }
    char text[96];
    std::snprintf(text, sizeof text, "It cannot take a JobThread and a synchronization.. %u", wait);
    CAplLog::Write(8000, GetLastError(), idCode, kFunc, text, 1);
    // It may still wake and read the request: keep both until its end message.
    AbandonJobThd(slot);
    return -1;
}

void CJobThdCtrl::AcceptThreadWait(HANDLE thread) {
    JOB_THREAD_TBL* slot = GetJobThdTbl(thread);
    if (!slot) {
        CAplLog::Write(8000, 0, 0, "CJobThdCtrl::AcceptThreadWait", "Invarid parameter", 1);
        return;
    }
    slot->sBusy = 0;
}

void CJobThdCtrl::AcceptThreadExit(HANDLE thread) { CloseJobThd(GetJobThdTbl(thread)); }

void CJobThdCtrl::CloseJobThd(JOB_THREAD_TBL* slot) {
    if (!slot) {
        CAplLog::Write(8000, 0, 0, "CJobThdCtrl::CloseJobThd", "Parameter (pJobThdTbl) is null.", 1);
        return;
    }
    if (slot->hThread) CloseHandle(slot->hThread);
    if (slot->hRequestEvent) CloseHandle(slot->hRequestEvent);
    if (slot->hReleaseEvent) CloseHandle(slot->hReleaseEvent);
    delete slot->pRequest;
    std::memset(slot, 0, sizeof *slot);
}
