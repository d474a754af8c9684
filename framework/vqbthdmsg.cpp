// The process core: construction, start, the message loop, posts and sends, timers,
// process states, the stop and close sequences and the log forwarding. The job-pipe
// connection is in vqbthdmsg_jobpipe.cpp, request routing in vqbthdmsg_route.cpp.
#include "framework/vqbthdmsg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "framework/apllog.h"
#include "framework/registory.h"
#include "framework/serialnorcv.h"
#include "framework/vqbexception.h"
#include "framework/vqbutil.h"
#include "pal/error/error.h"
#include "pal/file/file.h"
#include "pal/handle/handle.h"
#include "pal/sync/sync.h"
#include "pal/thread/thread.h"
#include "pblock/exparam.h"

CVQBThdMsg* CVQBThdMsg::m_pVQBThdMsg = nullptr;
std::atomic<short> CVQBThdMsg::m_fRun{0};
std::atomic<HANDLE> CVQBThdMsg::m_hThreadMsg{nullptr};

namespace {

struct MSGPROC_ENTRY {
    UINT message;
    VQB_MSGPROC_HANDLER handler;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void Log(WORD eventCode, DWORD errorCode, LONG idCode, const char* function, const std::string& text, LONG level) {
    CAplLog::Write(eventCode, errorCode, idCode, function, text.c_str(), level);
}

// A timer's state, shared by the table entry and its thread so that neither closes what
// the other still uses.
struct TimerContext {
    UINT message = 0;
    DWORD period = 0;
    HANDLE hStop = nullptr;     // set by KillTimer
    HANDLE hHandled = nullptr;  // set once a tick has been handled
    ~TimerContext() {
        if (hStop) CloseHandle(hStop);
        if (hHandled) CloseHandle(hHandled);
    }
};

// What one tick hands to its handler; lives until the tick is handled or dropped.
struct TimerTick {
    SYSTEMTIME time{};
    std::shared_ptr<TimerContext> timer;
};

std::mutex g_TimerMutex;
std::shared_ptr<TimerContext> g_TimerContexts[CVQBThdMsg::kTimers];

// Major and minor of a version text "R06.03.00-60.0.0": the first two "."-separated parts
// after the first "-"; the minor is empty when it is the last part.
void SplitVersion(const std::string& text, std::string& major, std::string& minor) {
    major.clear();
    minor.clear();
    size_t dash = text.find('-');
    std::string rest = dash == std::string::npos ? std::string() : text.substr(dash + 1);
    size_t dot = rest.find('.');
    if (dot == std::string::npos) {
        major = rest;
        return;
    }
    major = rest.substr(0, dot);
    std::string tail = rest.substr(dot + 1);
    size_t dot2 = tail.find('.');
    if (dot2 != std::string::npos) minor = tail.substr(0, dot2);
}

thread_local bool t_bForwarding = false;

}  // namespace

// ---------------------------------------------------------------- construction

CVQBThdMsg::CVQBThdMsg(short sysId, const char* processName, const char* serviceName, DWORD flags)
    : m_phDoneEvent(nullptr),
      m_TimerTbl{},
      m_sSysId(sysId),
      m_sSubNo(0),
      m_strProcessName(processName ? processName : ""),
      m_strServiceName(serviceName ? serviceName : ""),
      m_strLogDir("c:\\"),
      m_strQueDir("c:\\"),
      m_dwFlags(flags),
      m_pSjobMapTbl(nullptr),
      m_pQueMapTbl(nullptr),
      m_lMsgMgrPosition(0),
      m_sLogLevel(3),
      m_sStopFlag(0),
      m_sQuietPauseFlag(0),
      m_sLockFlag(0),
      m_dwComModuleThreadId(0),
      m_pJobComAnswer(nullptr),
      m_bAplLogService(1),
      m_nNotifyFlag(0),
      m_lNotifyCounter(0),
      m_dwConnectConfirmDelay(60000),
      m_dwLanguageId(17),
      m_strCommunication("pipe") {
    char pcName[32] = {};
    VQBGetTsePcName(pcName);
    m_strPcName = pcName;
    m_pVQBThdMsg = this;
    m_fRun = VQB_RUN_CONSTRUCTED;
}

CVQBThdMsg::~CVQBThdMsg() {
    // Nothing may reach this object any more: refuse posts, end timers and the loop.
    KillTimer();
    std::vector<THDMSG_RECORD> left = MsgQueue().Close();
    ReleaseDropped(left);
    if (HANDLE thread = m_hThreadMsg.exchange(nullptr)) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    m_JobPipe.Close();
    if (m_pVQBThdMsg == this) m_pVQBThdMsg = nullptr;
}

CThdMsgQueue& CVQBThdMsg::MsgQueue() {
    // Never destroyed: threads that outlive the core still find a (closed) queue.
    static CThdMsgQueue* queue = new CThdMsgQueue();
    return *queue;
}

// ---------------------------------------------------------------- start

HANDLE CVQBThdMsg::Main(HANDLE* doneEvent) {
    static const char* kFunc = "CVQBThdMsg::Main";
    try {
        m_phDoneEvent = doneEvent;
        if (InitProc() < 0) {
            CAplLog::Write(8000, 0, 0, kFunc, "Process Initialize error", 1);
            return nullptr;
        }
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, _Run, this, CREATE_SUSPENDED, &id);
        if (!thread) {
            CAplLog::Write(8000, GetLastError(), 0, kFunc, "ThreadMessageProcedure create error.", 1);
            return nullptr;
        }
        MsgQueue().SetOwnerThread(id);
        m_hThreadMsg = thread;
        if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
            CAplLog::Write(8000, GetLastError(), 0, kFunc, "Can't resume ThreadMessageProcedure.", 1);
            // Nobody will read the queue: refuse posts rather than let senders wait.
            std::vector<THDMSG_RECORD> left = MsgQueue().Close();
            ReleaseDropped(left);
            return nullptr;
        }
        for (;;) {
            short run = m_fRun;
            if (run & VQB_RUN_RUNNING_BIT) return thread;
            if (run == VQB_RUN_FAILED || run == VQB_RUN_ENDED) return nullptr;
            Sleep(20);
        }
    } catch (const CVQBException& e) {
        CAplLog::Write(8000, 0, 0, kFunc, e.GetErrMsg(), 1);
    } catch (const std::bad_alloc&) {
        CAplLog::Write(8000, 0, 0, kFunc, "CMemoryException in InitProc", 1);
    } catch (...) {
        CAplLog::Write(8000, 0, 0, kFunc, "exception  in InitProc", 1);
    }
    return nullptr;
}

int CVQBThdMsg::OpenSystemKey(CVQRegistory& key) {
    if (key.OpenApl("SYSTEM", KEY_READ)) return 1;
    return key.OpenVq("SYSTEM", KEY_READ);
}

void CVQBThdMsg::OpenAplLog() {
    if (CAplLog::IsOpen()) return;
    char pcName[32] = {};
    VQBGetTsePcName(pcName);
    m_strPcName = pcName;
    std::string logDir = "c:\\";
    LONG logSize = 4000000;
    LONG logLevel = 3;
    CVQRegistory sys;
    if (OpenSystemKey(sys)) {
        std::string text;
        if (sys.Read("LOG_DIR", text)) {
            logDir = text;
            if (logDir.empty() || logDir.back() != '\\') logDir += '\\';
        }
        if (sys.Read("LOG_SIZE", text)) logSize = std::atol(text.c_str());
        if (sys.Read("APLLOG_SERVICE", text) && strcasecmp(text.c_str(), "off") == 0) m_bAplLogService = 0;
        if (sys.Read("LOG_LEVEL", text)) logLevel = std::atol(text.c_str());
    }
    m_strLogDir = logDir;
    m_sLogLevel = static_cast<short>(logLevel);
    CAplLog::Open(m_sSysId, m_strProcessName.c_str(), logDir.c_str(), logSize, 1);
    CAplLog::SetWriteHandler2(AplLogWriteHandler2);
    CVQRegistory app;
    if (app.OpenVqApl(m_strProcessName.c_str(), KEY_READ)) {
        DWORD value = 0;
        if (app.Read("SYSTEM_ID", value)) m_sSysId = static_cast<short>(value);
        if (app.Read("PACKAGE_ID", value)) m_sSubNo = static_cast<short>(value);
    }
    CAplLog::SetLog2Info(m_strPcName.c_str(), m_sSysId, m_sSubNo, m_sLogLevel, 1);
}

long CVQBThdMsg::InitProc() {
    static const char* kFunc = "CVQBThdMsg::InitProc";
    OpenAplLog();
    // Also when the log was open before this core: the forwarding belongs to the core.
    CAplLog::SetWriteHandler2(AplLogWriteHandler2);
    CVQBException::ResetStopSignal();

    CVQRegistory app;
    app.OpenVqApl(m_strProcessName.c_str(), KEY_READ);
    CVQRegistory sys;
    OpenSystemKey(sys);

    // Start banner with the program file's own time.
    std::string program;
    const char* command = GetCommandLineA();
    if (command) {
        const char* p = command;
        if (*p == '"') {
            const char* end = std::strchr(p + 1, '"');
            program = end ? std::string(p + 1, end) : std::string(p + 1);
        } else {
            const char* end = p;
            while (*end && *end != ' ' && *end != '\t') ++end;
            program.assign(p, end);
        }
    }
    SYSTEMTIME st{};
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (GetFileAttributesExA(program.c_str(), GetFileExInfoStandard, &info)) {
        FILETIME local{};
        FileTimeToLocalFileTime(&info.ftLastWriteTime, &local);
        FileTimeToSystemTime(&local, &st);
    }
    Log(0, 0, 0, kFunc,
        Format("*****  Start Process  %s  %s  %d-%d-%d %d:%d:%d  *****", m_strProcessName.c_str(), program.c_str(),
               st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond),
        0);

    m_strJobPipeName = "\\\\.\\PIPE\\taskctrl";
    if (sys.IsOpen()) {
        // These four log a failed read with the registry's own message.
        auto readText = [&](const char* name, std::string& out) {
            if (sys.Read(name, out)) return true;
            CAplLog::Write(7000, static_cast<DWORD>(sys.GetErrorCode()), 0, kFunc, sys.GetErrorMsg(), 2);
            return false;
        };
        std::string text;
        if (readText("NETWORK_ID", text)) m_strNetworkId = text;
        if (readText("SERVER_NAME", text)) m_strServerPcName = text;
        if (readText("PIPE_NAME", text)) {
            if (strcasecmp(m_strServerPcName.c_str(), m_strPcName.c_str()) == 0)
                m_strJobPipeName = "\\\\.\\PIPE\\" + text;
            else
                m_strJobPipeName = Format("\\\\%s\\PIPE\\%s", m_strServerPcName.c_str(), text.c_str());
        }
        if (readText("QUE_DIR", text)) m_strQueDir = text;
        if (m_strQueDir.empty() || m_strQueDir.back() != '\\') m_strQueDir += '\\';
        DWORD value = 0;
        if (sys.Read("CONNECT CONFIRM DELAY", value)) m_dwConnectConfirmDelay = value;
        if (sys.Read("LANGUAGE_ID", value)) m_dwLanguageId = value;
        if (m_dwComModuleThreadId != 0) {
            if (sys.Read("PROCESS COMMUNICATION", text)) m_strCommunication = text;
            if (app.IsOpen() && app.Read("PROCESS COMMUNICATION", text)) m_strCommunication = text;
        }
    }

    const char* header = GetVqblibVer();
    Log(0, 0, 0, kFunc,
        Format("    vqblib DLL:%s  Header:%s  JobPipe=%s  PcName=%s", VQBLIB_DLL_VERSION, header ? header : "",
               m_strJobPipeName.c_str(), m_strPcName.c_str()),
        3);
    Log(0, 0, 0, kFunc,
        Format("    ServerPcName=%s  ServiceName=%s  NetworkId=%s", m_strServerPcName.c_str(), m_strServiceName.c_str(),
               m_strNetworkId.c_str()),
        3);

    std::string dllMajor, dllMinor, appMajor, appMinor;
    SplitVersion(VQBLIB_DLL_VERSION, dllMajor, dllMinor);
    SplitVersion(header ? header : "", appMajor, appMinor);
    if (dllMajor != appMajor || (!dllMinor.empty() && !appMinor.empty() && dllMinor != appMinor))
        Log(7000, 0, 0, kFunc, Format("vqblib different version.  DLL:%s  Header:%s", VQBLIB_DLL_VERSION, header),
            2);

    // The message transport: a new life for the process's queue.
    std::vector<THDMSG_RECORD> stale = MsgQueue().Close();
    ReleaseDropped(stale);
    MsgQueue().SetOwnerThread(0);
    MsgQueue().Open();

    if (CSerialNoRcv::Open() < 0) return -21;

    MakeSjobTbl();
    MakeQueTbl();
    m_JobThdCtrl.Open(&m_JobPipe, m_strNetworkId.c_str(), m_strPcName.c_str(), m_strProcessName.c_str(),
                      m_strServerPcName.c_str(), m_strServiceName.c_str());
    m_fRun = VQB_RUN_INITIALIZED;
    return 0;
}

const char* CVQBThdMsg::GetVqblibVer() { return VQBLIB_HEADER_VERSION; }
void CVQBThdMsg::MakeSjobTbl() {}
void CVQBThdMsg::MakeQueTbl() {}
DWORD CVQBThdMsg::GetLanguageId() { return m_dwLanguageId; }
long CVQBThdMsg::ComSendRequest(const char*) { return -1; }
long CVQBThdMsg::ComOpen() { return -1; }
long CVQBThdMsg::ComClose() { return -1; }
const char* CVQBThdMsg::ComGetErrorMsg() { return ""; }
std::string CVQBThdMsg::ComGetErrorMsg2() {
    const char* text = ComGetErrorMsg();
    return text ? text : "";
}

// ---------------------------------------------------------------- the loop

DWORD WINAPI CVQBThdMsg::_Run(LPVOID param) {
    static const char* kFunc = "CVQBThdMsg::_Run";
    auto* self = static_cast<CVQBThdMsg*>(param);
    long result = 0;
    CAplLog::Write(0, 0, 0, kFunc, "start ThreadMessageProcedure", 3);
    try {
        result = self->Run();
    } catch (const CVQBException& e) {
        CAplLog::Write(8000, 0, 0, kFunc, e.GetErrMsg(), 1);
    } catch (const std::bad_alloc&) {
        CAplLog::Write(8000, 0, 0, kFunc, "CMemoryException", 1);
    } catch (...) {
        CAplLog::Write(8000, 0, 0, kFunc, "exception", 1);
    }
    // Refuse later posts and release whatever still waits in the queue.
    std::vector<THDMSG_RECORD> left = MsgQueue().Close();
    self->ReleaseDropped(left);
    // Run sets the ending state itself; an exception that escaped it leaves it to us (also
    // one thrown before the loop started, which Main would otherwise wait on for ever).
    if (m_fRun & VQB_RUN_RUNNING_BIT)
        m_fRun = VQB_RUN_ENDED;
    else if (m_fRun != VQB_RUN_ENDED)
        m_fRun = VQB_RUN_FAILED;
    HANDLE done = self->m_phDoneEvent ? *self->m_phDoneEvent : nullptr;
    if (done) SetEvent(done);
    if (result >= 0)
        CAplLog::Write(0, 0, 0, kFunc, "End ThreadMessageProcedure.", 3);
    else
        Log(0, 0, 0, kFunc,
            Format("End ThreadMessageProcedure.  result=%ld, hServDoneEvent=%ld", result,
                   static_cast<long>(reinterpret_cast<intptr_t>(done))),
            3);
    return static_cast<DWORD>(result);
}

void CVQBThdMsg::ReleaseDropped(std::vector<THDMSG_RECORD>& records) {
    for (auto& record : records) {
        if (record.message == VQBMSG_JOB_RECEIVED) delete[] reinterpret_cast<char*>(record.lParam);
        if (record.hEvent) SetEvent(record.hEvent);
        if (record.pWaiter) record.pWaiter->Signal();
    }
    records.clear();
}

void CVQBThdMsg::LogException(const char* function, const char* text) {
    CAplLog::Write(8000, 0, 0, function, text, 1);
}

void CVQBThdMsg::DispatchRecord(THDMSG_RECORD& record, bool& end) {
    long r1 = 0, r2 = 0;
    try {
        r1 = MsgProc(record.message, record.wParam, record.lParam);
        r2 = DefMsgProc(record.message, record.wParam, record.lParam);
    } catch (...) {
        const char* text = "exception";
        std::string saved;
        try {
            throw;
        } catch (const CVQBException& e) {
            saved = e.GetErrMsg();
            text = saved.c_str();
        } catch (const std::bad_alloc&) {
            text = "CMemoryException";
        } catch (...) {
        }
        try {
            LogException("CVQBThdMsg::Run", text);
            Log(8000, 0, 0, "CVQBThdMsg::Run",
                Format("message=%u wParam=%lu lParam=%ld", record.message, static_cast<unsigned long>(record.wParam),
                       static_cast<long>(record.lParam)),
                1);
        } catch (...) {
        }
    }
    // The sender is released on every path, also when its handler threw.
    if (record.hEvent) SetEvent(record.hEvent);
    if (record.pWaiter) record.pWaiter->Signal();
    record.keep.reset();
    if (r1 < 0 || r2 < 0) end = true;
}

long CVQBThdMsg::Run() {
    m_fRun = VQB_RUN_LOOP;
    MsgQueue().SetOwnerThread(GetCurrentThreadId());
    VQBThdPostMsg(VQBMSG_CREATE, 0, 0);
    VQBThdPostMsg(VQBMSG_CREATE2, 0, 0);
    for (;;) {
        THDMSG_RECORD record;
        if (!MsgQueue().Get(record)) {
            m_fRun = VQB_RUN_FAILED;
            CAplLog::Write(8000, GetLastError(), 0, "CVQBThdMsg::Run", "JobPipe read error", 1);
            return -1;
        }
        bool end = false;
        DispatchRecord(record, end);
        if (end) {
            Sleep(300);
            m_fRun = VQB_RUN_ENDED;
            return 0;
        }
    }
}

long CVQBThdMsg::MsgProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case VQBMSG_CREATE: return OnCreate(wParam, lParam);
    case VQBMSG_CREATE2: return OnCreate2(wParam, lParam);
    case VQBMSG_JOBPIPE_RECONNECT: return OnJobpipeReconnect(wParam, lParam);
    case VQBMSG_STOP_WITH_CHECK: return OnStopWithCheck(wParam, lParam);
    case VQBMSG_SYSTIMER: return OnSysTimer(wParam, lParam);
    case VQBMSG_CREATE_RESIDENT: return OnCreateResidentJobThread(wParam, lParam);
    case VQBMSG_CHK_NOTIFY_CONNECT: return OnChkNotifyConnect(wParam, lParam);
    case VQBMSG_JOB_LOCK: return OnJobLock(wParam, lParam);
    case VQBMSG_JOB_UNLOCK: return OnJobUnlock(wParam, lParam);
    case VQBMSG_JOB_RECEIVED: return OnJobReceived(wParam, lParam);
    case VQBMSG_JOBTHREAD_REQRCV: return OnJobThreadReqRcv(wParam, lParam);
    case VQBMSG_JOBTHREAD_EXIT: return OnJobThreadExit(wParam, lParam);
    case VQBMSG_PROCESS_STOP: return OnProcessStop(wParam, lParam);
    case VQBMSG_PROCESS_PAUSE: return OnProcessPause(wParam, lParam);
    case VQBMSG_PROCESS_CONTINUE: return OnProcessContinue(wParam, lParam);
    case VQBMSG_END_LOOP: return -1;
    default: break;
    }
    std::vector<VQB_MSGPROC_HANDLER> handlers;
    {
        std::lock_guard<std::mutex> lock(m_csMsgHandler);
        for (long i = 0; i < m_MsgHandlerList.GetCount(); ++i) {
            char* data = nullptr;
            if (m_MsgHandlerList.GetAt(i, &data) < 0 || !data) continue;
            MSGPROC_ENTRY entry;
            std::memcpy(&entry, data, sizeof entry);
            if (entry.message == message) handlers.push_back(entry.handler);
        }
    }
    for (auto handler : handlers) handler(wParam, lParam);
    if (!handlers.empty()) return 0;
    if (MsgProcSub(message, wParam, lParam) < 0)
        Log(8000, 0, 0, "CVQBThdMsg::MsgProc",
            Format("Received unknown mesage.  %u-%lu-%ld", message, static_cast<unsigned long>(wParam),
                   static_cast<long>(lParam)),
            1);
    return 0;
}

long CVQBThdMsg::MsgProcSub(UINT, WPARAM, LPARAM) { return -1; }
long CVQBThdMsg::DefMsgProc(UINT, WPARAM, LPARAM) { return 0; }

int CVQBThdMsg::RegistMsgProcHandler(UINT message, VQB_MSGPROC_HANDLER handler) {
    MSGPROC_ENTRY entry{message, handler};
    std::lock_guard<std::mutex> lock(m_csMsgHandler);
    return m_MsgHandlerList.Add(&entry, sizeof entry) < 0 ? -1 : 0;
}

int CVQBThdMsg::GetMsgProcHandlerNum(UINT message) {
    std::lock_guard<std::mutex> lock(m_csMsgHandler);
    if (message == 0) return static_cast<int>(m_MsgHandlerList.GetCount());
    int n = 0;
    for (long i = 0; i < m_MsgHandlerList.GetCount(); ++i) {
        char* data = nullptr;
        if (m_MsgHandlerList.GetAt(i, &data) < 0 || !data) continue;
        MSGPROC_ENTRY entry;
        std::memcpy(&entry, data, sizeof entry);
        if (entry.message == message) ++n;
    }
    return n;
}

int CVQBThdMsg::RemoveMsgProcHandlerNum(UINT message) {
    std::lock_guard<std::mutex> lock(m_csMsgHandler);
    int removed = 0;
    for (long i = m_MsgHandlerList.GetCount() - 1; i >= 0; --i) {
        char* data = nullptr;
        if (m_MsgHandlerList.GetAt(i, &data) < 0 || !data) continue;
        MSGPROC_ENTRY entry;
        std::memcpy(&entry, data, sizeof entry);
        if (message == 0 || entry.message == message) {
            m_MsgHandlerList.RemoveAt(i);
            ++removed;
        }
    }
    return removed;
}

// ---------------------------------------------------------------- posts and sends

long CVQBThdMsg::PostRecord(THDMSG_RECORD record, DWORD delayMs, bool delayed) {
    const UINT message = record.message;
    const WPARAM wParam = record.wParam;
    const LPARAM lParam = record.lParam;
    const HANDLE event = record.hEvent;
    CThdMsgQueue::PostResult r = CThdMsgQueue::CLOSED;
    if (m_hThreadMsg.load() != nullptr)
        r = delayed ? MsgQueue().PostDelayed(std::move(record), delayMs) : MsgQueue().Post(std::move(record));
    if (r == CThdMsgQueue::POSTED) return 0;
    // Refused: the record's cargo is freed here, and nobody will wait for it.
    if (message == VQBMSG_JOB_RECEIVED) delete[] reinterpret_cast<char*>(lParam);
    const int open = MsgQueue().IsOpen();
    Log(8000, r == CThdMsgQueue::FULL ? ERROR_NOT_ENOUGH_QUOTA : 0, 0, "CVQBThdMsg::VQBThdPostMsgSub",
        Format("It cannot perform a thread message demand. message=%u, wParam=%lu, lParam=%ld, hEvent=%p, "
               "flag=%d_%d_%d_%p",
               message, static_cast<unsigned long>(wParam), static_cast<long>(lParam), static_cast<void*>(event),
               static_cast<int>(m_fRun.load()), open, open, static_cast<void*>(m_hThreadMsg.load())),
        1);
    return -1;
}

long VQBThdPostMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    THDMSG_RECORD record;
    record.message = message;
    record.wParam = wParam;
    record.lParam = lParam;
    return CVQBThdMsg::PostRecord(std::move(record), 0, false);
}

long VQBThdPostMsg(UINT message, WPARAM wParam, LPARAM lParam, DWORD delayMs) {
    THDMSG_RECORD record;
    record.message = message;
    record.wParam = wParam;
    record.lParam = lParam;
    return CVQBThdMsg::PostRecord(std::move(record), delayMs, true);
}

void VQBThdSendMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    CVQBThdMsg* core = CVQBThdMsg::GetVQBThdMsg();
    // On the procedure's own thread a send is handled at once: waiting would be for ever.
    if (core && CVQBThdMsg::MsgQueue().GetOwnerThread() == GetCurrentThreadId() &&
        CVQBThdMsg::m_hThreadMsg.load() != nullptr) {
        core->MsgProc(message, wParam, lParam);
        core->DefMsgProc(message, wParam, lParam);
        return;
    }
    thread_local CThdMsgWaiter waiter;
    waiter.Reset();
    THDMSG_RECORD record;
    record.message = message;
    record.wParam = wParam;
    record.lParam = lParam;
    record.pWaiter = &waiter;
    if (CVQBThdMsg::PostRecord(std::move(record), 0, false) == 0) waiter.Wait();
}

// ---------------------------------------------------------------- timers

short CVQBThdMsg::SetTimer(UINT message, DWORD periodMs) {
    static const char* kFunc = "CVQBThdMsg::SetTimer";
    std::lock_guard<std::mutex> lock(g_TimerMutex);
    int index = -1;
    for (int i = 0; i < kTimers; ++i) {
        if (m_TimerTbl[i].message == 0) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        CAplLog::Write(7000, message, 0, kFunc, "There is no opening of a timer table.", 2);
        return -1;
    }
    auto context = std::make_shared<TimerContext>();
    context->message = message;
    context->period = periodMs;
    context->hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    context->hHandled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!context->hStop || !context->hHandled) {
        Log(8000, GetLastError(), 0, kFunc, Format("event create error.  meassage=%u", message), 1);
        return -1;
    }
    auto* threadRef = new std::shared_ptr<TimerContext>(context);
    HANDLE thread = CreateThread(nullptr, 0, TimerThread, threadRef, 0, nullptr);
    if (!thread) {
        delete threadRef;
        CAplLog::Write(8000, GetLastError(), 0, kFunc, "TimerThread create error.", 1);
        return -1;
    }
    m_TimerTbl[index] = TIMER_ENTRY{message, thread, context->hStop, periodMs};
    g_TimerContexts[index] = context;
    return 0;
}

DWORD WINAPI CVQBThdMsg::TimerThread(LPVOID param) {
    std::shared_ptr<TimerContext> context = std::move(*static_cast<std::shared_ptr<TimerContext>*>(param));
    delete static_cast<std::shared_ptr<TimerContext>*>(param);
    WPARAM tick = 0;
    for (;;) {
        DWORD r = WaitForSingleObject(context->hStop, context->period);
        if (r == WAIT_OBJECT_0) return 0;
        if (r != WAIT_TIMEOUT) {
            CAplLog::Write(8000, GetLastError(), 0, "CVQBThdMsg::TimerThread",
                           "It became an unjust state by the waiting for timer surveillance.", 1);
            if (WaitForSingleObject(context->hStop, 240000) == WAIT_OBJECT_0) return 0;
            ++tick;
            continue;
        }
        // A send that also watches the stop event: KillTimer on the procedure's thread
        // must not wait for a tick that waits for the procedure.
        auto data = std::make_shared<TimerTick>();
        GetLocalTime(&data->time);
        data->timer = context;
        ResetEvent(context->hHandled);
        THDMSG_RECORD record;
        record.message = context->message;
        record.wParam = tick;
        record.lParam = reinterpret_cast<LPARAM>(&data->time);
        record.hEvent = context->hHandled;
        record.keep = data;
        if (PostRecord(std::move(record), 0, false) == 0) {
            HANDLE waits[2] = {context->hStop, context->hHandled};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) return 0;
        }
        ++tick;
    }
}

void CVQBThdMsg::KillTimerIndex(int index) {
    if (index < 0 || index >= kTimers) return;
    TIMER_ENTRY entry;
    std::shared_ptr<TimerContext> context;
    {
        std::lock_guard<std::mutex> lock(g_TimerMutex);
        entry = m_TimerTbl[index];
        if (entry.message == 0) return;
        m_TimerTbl[index] = TIMER_ENTRY{};
        context = std::move(g_TimerContexts[index]);
    }
    if (context) SetEvent(context->hStop);
    if (entry.hThread) {
        if (WaitForSingleObject(entry.hThread, 5000) != WAIT_OBJECT_0)
            CAplLog::Write(7000, 0, 0, "CVQBThdMsg::KillTimer", "Deletion of a TimerThread was overdue.", 2);
        CloseHandle(entry.hThread);
    }
    // The stop event closes with the last holder of the context (the thread keeps one).
}

void CVQBThdMsg::KillTimer(UINT message) {
    for (int i = 0; i < kTimers; ++i) {
        bool match;
        {
            std::lock_guard<std::mutex> lock(g_TimerMutex);
            match = m_TimerTbl[i].message == message && message != 0;
        }
        if (match) KillTimerIndex(i);
    }
}

void CVQBThdMsg::KillTimer() {
    for (int i = 0; i < kTimers; ++i) KillTimerIndex(i);
}

// ---------------------------------------------------------------- start messages and states

long CVQBThdMsg::OnCreate(WPARAM, LPARAM) {
    static const char* kFunc = "CVQBThdMsg::OnCreate";
    long r = JobPipeOpen(5000);
    if (r != 0) {
        if (strcasecmp(m_strCommunication.c_str(), "COM") == 0) {
            CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, ComGetErrorMsg2().c_str(), 2);
        } else if (r == 2 || r == 132) {
            CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc,
                           "A JobPipe is not found. taskctrl is not started, a network is not connected or it has "
                           "mistaken a setup of a pipe name.",
                           2);
        } else {
            CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, "JobPipe connect error", 2);
        }
    }
    SetTimer(VQBMSG_SYSTIMER, kSysTimerPeriod);
    m_fRun = VQB_RUN_CREATED;
    CAplLog::Write(0, 0, 0, kFunc, "OK", 3);
    return 0;
}

long CVQBThdMsg::OnSysTimer(WPARAM tick, LPARAM time) {
    if (tick % 6 == 0) SysTimer60(tick / 6, time);
    return 0;
}

long CVQBThdMsg::SysTimer60(WPARAM, LPARAM) {
    while (GetJobReqQue() == 0)
        CAplLog::Write(7000, 0, 0, "CVQBThdMsg::SysTimer60", "Data had remained in que.", 2);
    return 0;
}

long CVQBThdMsg::OnJobLock(WPARAM, LPARAM) {
    m_sLockFlag = 1;
    return 0;
}

long CVQBThdMsg::OnJobUnlock(WPARAM, LPARAM) {
    m_sLockFlag = 0;
    return 0;
}

long CVQBThdMsg::OnProcessPause(WPARAM, LPARAM) {
    CAplLog::Write(0, 0, 0, "CVQBThdMsg::OnProcessPause", "Pause process.", 3);
    m_sStopFlag = 1;
    return 0;
}

long CVQBThdMsg::OnProcessContinue(WPARAM, LPARAM) {
    CAplLog::Write(0, 0, 0, "CVQBThdMsg::OnProcessContinue", "Continue process", 3);
    m_sStopFlag = 0;
    return 0;
}

// ---------------------------------------------------------------- stop and close

long CVQBThdMsg::OnProcessStop(WPARAM, LPARAM longestWait) {
    CAplLog::Write(0, 0, 0, "CVQBThdMsg::OnProcessStop", "Stop process", 3);
    m_sStopFlag = 1;
    if (m_pQueMapTbl)
        for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q)
            if (q->dwFlags & QUE_FLAG_STOPSAVE) QueFlush(q);
    CVQBException::SetStopSignal();
    KillTimer();
    // Signed: a wait of 0 (or a negative one) means one last check, never a wrap.
    long rounds = static_cast<long>(longestWait) / 2000;
    if (rounds < 0) rounds = 0;
    VQBThdPostMsg(VQBMSG_STOP_WITH_CHECK, static_cast<WPARAM>(rounds), 0);
    return 0;
}

long CVQBThdMsg::OnStopWithCheck(WPARAM rounds, LPARAM) {
    static const char* kFunc = "CVQBThdMsg::OnStopWithCheck";
    const int n = m_JobThdCtrl.GetJobThdNum();
    const long left = static_cast<long>(rounds) - 1;
    if (n > 0 && left > 0) {
        VQBThdPostMsg(VQBMSG_STOP_WITH_CHECK, static_cast<WPARAM>(left), 0, 2000);
        return 0;
    }
    if (n > 0)
        Log(7000, 0, 0, kFunc, Format("%d JobThreads are not completed. It ignores and ends", n), 2);
    else
        CAplLog::Write(0, 0, 0, kFunc, "There is no JobThread. Starts end processing.", 3);
    if (m_dwComModuleThreadId != 0) PostThreadMessageA(m_dwComModuleThreadId, WM_QUIT, 0, 0);
    return -1;
}

void CVQBThdMsg::CloseProc() {
    static const char* kFunc = "CVQBThdMsg::CloseProc";
    try {
        CAplLog::Write(0, 0, 0, kFunc, "start ThreadMessageProcedure close process.", 3);
        CloseProcSub();
        CAplLog::Write(0, 0, 0, kFunc, "OK", 3);
        m_fRun = VQB_RUN_CLOSED;
    } catch (const CVQBException& e) {
        CAplLog::Write(8000, 0, 0, kFunc, e.GetErrMsg(), 1);
    } catch (const std::bad_alloc&) {
        CAplLog::Write(8000, 0, 0, kFunc, "CMemoryException", 1);
    } catch (...) {
        CAplLog::Write(8000, 0, 0, kFunc, "exception", 1);
    }
}

void CVQBThdMsg::CloseProcSub() {
    KillTimer();
    NotifyProcessClose();
    if (HANDLE thread = m_hThreadMsg.load()) {
        if (m_fRun & VQB_RUN_RUNNING_BIT) {
            VQBThdPostMsg(VQBMSG_END_LOOP, 0, 0, 1);
            if (WaitForSingleObject(thread, 8000) != WAIT_OBJECT_0) {
                CAplLog::Write(8000, 0, 0, "CVQBThdMsg::CloseProcSub", "It did not end a ThreadMessageProcedure.",
                               1);
                // Its handler still runs: nothing it uses is released here. The destructor
                // joins the thread before it releases anything.
                return;
            }
        }
        WaitForSingleObject(thread, INFINITE);
        m_hThreadMsg = nullptr;
        CloseHandle(thread);
    }
    std::vector<THDMSG_RECORD> left = MsgQueue().Close();
    ReleaseDropped(left);
    if (m_pQueMapTbl)
        for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q) {
            delete q->pRecords;
            q->pRecords = nullptr;
        }
    m_JobPipe.Close();
    CSerialNoRcv::Close();
    RemoveMsgProcHandlerNum(0);
}

void CVQBThdMsg::NotifyProcessClose() {
    CExParam param;
    param.Begin();
    param.PutProcessName(m_strProcessName.c_str());
    param.End();
    const char* text = param;
    if (!(m_dwFlags & VQB_FLAG_NO_MSGMGR)) {
        long r = SendRequest(m_strNetworkId.c_str(), "", "msgmgr", CMD1_FWMESSAGE, CMD2_FWSERVICE, CMD3_FWDISCONNE, 0,
                             text);
        if (r != 0)
            CAplLog::Write(7000, static_cast<DWORD>(r), 0, "CVQBThdMsg::NotifyProcessClose",
                           "JobPipe write error (notice of discconect)", 2);
    }
    long r = SendRequest(m_strNetworkId.c_str(), m_strServerPcName.c_str(), "taskctrl", CMD1_FWSYSTEM, CMD2_FWNOTIFY,
                         CMD3_FWTASKSTOP, 0, text);
    if (r != 0)
        CAplLog::Write(7000, static_cast<DWORD>(r), 0, "CVQBThdMsg::NotifyProcessClose",
                       "JobPipe write error (notice of stop)", 2);
}

// ---------------------------------------------------------------- log forwarding

void CVQBThdMsg::AplLogWriteHandler2(WORD eventCode, DWORD, LONG, const char*, const char* head, const char* body,
                                     LONG level) {
    if (t_bForwarding) return;  // a failure while forwarding must not forward itself
    t_bForwarding = true;
    try {
        CVQBThdMsg* self = m_pVQBThdMsg;
        const short run = m_fRun;
        const bool wanted = self && (run & VQB_RUN_RUNNING_BIT) && self->m_bAplLogService &&
                            ((level >= 0 && level <= self->m_sLogLevel) || (eventCode != 0 && self->m_sLogLevel >= 2));
        if (wanted) {
            CJobPipeData record;
            record.SetSDA(self->m_strNetworkId.c_str(), self->m_strServerPcName.c_str(), "apllog",
                          self->m_strNetworkId.c_str(), self->m_strPcName.c_str(), self->m_strProcessName.c_str());
            record.SetAns(0);
            record.SetSJob(CMD1_FWAPLLOG, CMD2_FWLOG, CMD3_FWSERVICE);
            CExParam param;
            param.Begin();
            param.PutMessage((std::string(head ? head : "") + (body ? body : "")).c_str());
            param.End();
            record.SetExParam(param);
            if (strcasecmp(self->m_strCommunication.c_str(), "COM") == 0) {
                self->ComSendRequest(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(record)));
            } else if (self->m_JobPipe.IsOpen()) {
                self->m_JobPipe.WriteQuiet(static_cast<const ASCII_REQUEST*>(record), sizeof(ASCII_REQUEST), 3000);
            }
        }
    } catch (...) {
    }
    t_bForwarding = false;
}
