#include "framework/jobthread.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <strings.h>
#include <vector>

#include "framework/apllog.h"
#include "framework/jobpipe.h"
#include "framework/registory.h"
#include "framework/vqbexception.h"
#include "framework/vqbthdmsg.h"
#include "pal/sync/sync.h"
#include "pblock/exparam.h"

namespace {

constexpr DWORD kRecordSize = 4096;
constexpr DWORD kAnswerWait = 4000;
constexpr int kResendSeconds = 10;
// One wait takes the stop signal and at most this many serial events.
constexpr int kWaitChunk = 63;
constexpr DWORD kChunkPoll = 20;

using Clock = std::chrono::steady_clock;

long WholeSecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
}

bool SameOwnAddress(const CJobPipeData& record, const std::string& network, const std::string& pc,
                    const std::string& process) {
    return network == record.GetDstNetworkId() && pc == record.GetDstPcName() && process == record.GetDstProcessName();
}

long PostLocally(const CJobPipeData& record) {
    char* copy = new char[kRecordSize];
    std::memcpy(copy, static_cast<const ASCII_REQUEST*>(record), kRecordSize);
    return VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));
}

std::string Words(const CJobPipeData& r, const char* format) {
    char text[128];
    std::snprintf(text, sizeof text, format, r.GetStrSJob1().c_str(), r.GetStrSJob2().c_str(),
                  r.GetStrSJob3().c_str());
    return text;
}

}  // namespace

CJobThread::CJobThread(JOB_THREAD_TBL* slot, int flag)
    : m_pJobThdTbl(slot),
      m_lIdCode(slot ? slot->lIdCode : 0),
      m_RequestTbl{},
      m_wRerror(0),
      m_dwFlag(static_cast<DWORD>(flag)),
      m_sParam(0),
      m_sAnswered(0),
      m_pJobPipe(nullptr),
      m_dwStandardEntry(1),
      m_dwAbortClass(0),
      m_dwAbortStatus(0),
      m_dwPhase(0),
      m_dwPhaseAtAbort(0) {
    for (auto& e : m_RequestTbl) e.lSerialNo = -1;
    CJobThdCtrl::ThreadStarted();
}

CJobThread::~CJobThread() {
    try {
        // Read the slot first: once message 55 is handled the slot is free.
        const SHORT kind = m_pJobThdTbl ? m_pJobThdTbl->sKind : 0;
        // The router has answered a job that missed its start time already.
        if (m_pJobThdTbl && m_pJobThdTbl->sAbandoned) m_sAnswered = 1;
        if (m_pJobThdTbl)
            VQBThdSendMsg(VQBMSG_JOBTHREAD_EXIT, reinterpret_cast<WPARAM>(m_pJobThdTbl->pMapEntry),
                          reinterpret_cast<LPARAM>(m_pJobThdTbl->hThread));
        if (kind == 1) SendAnswer(m_wRerror, m_strAnswerText.empty() ? nullptr : m_strAnswerText.c_str());
    } catch (...) {
        WriteLog(8000, 0, "CJobThread::~CJobThread", "exception", 1);
    }
    // Our serial numbers go before the core may close the receive table.
    m_SerialNoRcv.Unregist();
    CJobThdCtrl::ThreadEnded();
}

void CJobThread::WriteLog(WORD eventCode, DWORD errorCode, const char* function, const char* text, LONG level) {
    CAplLog::Write(eventCode, errorCode, m_lIdCode, function, text, level);
}

// ---------------------------------------------------------------- entries

long CJobThread::Entry() {
    static const char* kFunc = "CJobThread::Entry";
    bool released = false;
    try {
        m_dwPhase = JOBTH_PHASE_ENTRY;
        SetThreadParam();
        LogThreadStart(kFunc);
        SetEvent(m_pJobThdTbl->hReleaseEvent);
        released = true;
        Main();
        if (m_dwStandardEntry == 0) {
            if (m_pJobThdTbl->sKind == 1)
                NonresidentEntry();
            else
                ResidentEntry();
        }
        LogThreadEnd(kFunc);
        return 0;
    } catch (...) {
        WriteLog(8000, 0, kFunc, "exception", 1);
        SetAbortStatus(JOBTH_ABORT_OTHER);
        if (m_wRerror == 0) m_wRerror = 8000;
    }
    // A failure before the release would keep the starter waiting its whole confirm time.
    if (!released && m_pJobThdTbl) SetEvent(m_pJobThdTbl->hReleaseEvent);
    return 0;
}

void CJobThread::LogThreadStart(const char* function) {
    CAplLog::Write(0, m_pJobThdTbl ? static_cast<DWORD>(m_pJobThdTbl->sKind) : 0, m_lIdCode, function,
                   Words(m_Request, "Start JobThread    <<<  %s %s %s  >>>").c_str(), 0);
}

void CJobThread::LogThreadEnd(const char* function) {
    CAplLog::Write(m_wRerror, 0, m_lIdCode, function, Words(m_Request, "End   JobThread    <<<  %s %s %s  >>>").c_str(),
                   0);
}

void CJobThread::LogStartResidentRequest(const char* function) {
    CAplLog::Write(m_wRerror, 0, m_lIdCode, function,
                   Words(m_Request, "Start Request      <<<  %s %s %s  >>>").c_str(), 0);
}

void CJobThread::LogEndResidentRequest(const char* function) {
    CAplLog::Write(m_wRerror, 0, m_lIdCode, function,
                   Words(m_Request, "End   Request      <<<  %s %s %s  >>>").c_str(), 0);
}

void CJobThread::SetThreadParam() {
    m_sParam = m_pJobThdTbl->sParam;
    if (m_sParam == 1) m_sAnswered = 1;
    m_lIdCode = m_pJobThdTbl->lIdCode;
    m_ThreadStartTime = std::chrono::system_clock::now();
    m_wRerror = 0;
    const JOB_THREAD_IDENTITY* id = m_pJobThdTbl->pIdentity;
    if (id) {
        m_strNetworkId = id->szNetworkId;
        m_strProcessName = id->szProcessName;
        m_strPcName = id->szPcName;
        m_strServerPcName = id->szServerPcName;
        m_strServiceName = id->szServiceName;
        m_pJobPipe = id->pJobPipe;
    }
    RQTClear();
    if (m_pJobThdTbl->pRequest) {
        m_Request = *m_pJobThdTbl->pRequest;
        m_RequestStartTime = m_ThreadStartTime;
    }
}

long CJobThread::Main() {
    m_dwStandardEntry = 0;
    return 0;
}

void CJobThread::HandleException(const char* function, bool keepCodeOnStop) {
    try {
        throw;
    } catch (const CVQBException& e) {
        if (std::strcmp(e.GetPlace(), "EPS_StopRequest") == 0) {
            WriteLog(7000, 0, function, e.GetErrMsg(), 2);
            SetAbortStatus(JOBTH_ABORT_STOP);
            if (!keepCodeOnStop && m_wRerror == 0) m_wRerror = 7000;
            return;
        }
        WriteLog(8000, 0, function, e.GetErrMsg(), 1);
        SetAbortStatus(JOBTH_ABORT_FRAMEWORK);
    } catch (const std::bad_alloc&) {
        WriteLog(8000, 0, function, "CMemoryException", 1);
        SetAbortStatus(JOBTH_ABORT_MEMORY);
    } catch (const std::exception&) {
        WriteLog(8000, 0, function, "other CException", 1);
        SetAbortStatus(JOBTH_ABORT_LIBRARY);
    } catch (...) {
        WriteLog(8000, 0, function, "other Exception", 1);
        SetAbortStatus(JOBTH_ABORT_OTHER);
    }
    if (m_wRerror == 0) m_wRerror = 8000;
}

long CJobThread::NonresidentEntry() {
    static const char* kFunc = "CJobThread::NonresidentEntry";
    try {
        m_dwPhase = JOBTH_PHASE_INITIALIZE;
        if (Initialize() < 0) {
            WriteLog(7000, 0, kFunc, "error Initialize", 2);
            SetAbortStatus(JOBTH_ABORT_INITIALIZE);
            if (m_wRerror == 0) {
                WriteLog(7000, 0, kFunc,
                         "The return value of reply data is 0 having failed. It sets return value as WARNING.", 2);
                m_wRerror = 7000;
            }
        } else {
            m_dwPhase = JOBTH_PHASE_PROCESS;
            // A failing Process without a code of its own must not be answered as success.
            if (Process() < 0 && m_wRerror == 0) m_wRerror = 8000;
        }
    } catch (...) {
        HandleException(kFunc, false);
    }
    m_dwPhase = JOBTH_PHASE_FINALIZE;
    try {
        Finalize();
    } catch (...) {
        WriteLog(7000, 0, kFunc, "other Exception in Finalize", 2);
        SetAbortStatus(JOBTH_ABORT_OTHER);
    }
    SetAnswer(m_wRerror, nullptr);
    return 0;
}

long CJobThread::ResidentEntry() {
    static const char* kFunc = "CJobThread::ResidentEntry";
    bool initialized = false;
    m_dwPhase = JOBTH_PHASE_REGIDENT_INITIALIZE;
    try {
        if (RegidentInitialize() < 0) {
            WriteLog(7000, 0, kFunc, "error RegidentInitialize", 2);
            SetAbortStatus(JOBTH_ABORT_REGIDENT_INITIALIZE);
        } else {
            initialized = true;
        }
    } catch (...) {
        // Thrown here it would end the thread without a restart.
        HandleException(kFunc, true);
    }
    while (initialized) {
        long result = 0;
        bool taken = false;
        try {
            m_dwPhase = JOBTH_PHASE_WAIT_REQUEST;
            RcvRequest(INFINITE);
            taken = true;
            LogStartResidentRequest(kFunc);
            m_dwPhase = JOBTH_PHASE_INITIALIZE;
            if (Initialize() < 0) {
                WriteLog(7000, 0, kFunc, "error Initialize", 2);
                SetAbortStatus(JOBTH_ABORT_INITIALIZE);
            } else {
                m_dwPhase = JOBTH_PHASE_PROCESS;
                result = Process();
                if (result < 0 && m_wRerror == 0) m_wRerror = 8000;
            }
        } catch (...) {
            HandleException(kFunc, true);
        }
        // Nothing to answer or finalize when the wait itself ended.
        if (taken) {
            try {
                SendAnswer(m_wRerror, m_strAnswerText.empty() ? nullptr : m_strAnswerText.c_str());
                m_dwPhase = JOBTH_PHASE_FINALIZE;
                if (Finalize() < 0) WriteLog(7000, 0, kFunc, "error Finalize", 2);
                LogEndResidentRequest(kFunc);
            } catch (...) {
                WriteLog(8000, 0, kFunc, "other Exception in SendAnswer or Finalize", 1);
                SetAbortStatus(JOBTH_ABORT_OTHER);
            }
        }
        if (result < 0) break;
        if (m_dwAbortStatus != 0 && CanIAbort()) break;
    }
    m_dwPhase = JOBTH_PHASE_REGIDENT_FINALIZE;
    try {
        RegidentFinalize();
    } catch (...) {
        WriteLog(7000, 0, kFunc, "other Exception in RegidentFinalize", 2);
        SetAbortStatus(JOBTH_ABORT_OTHER);
    }
    if (m_dwAbortStatus != 0) PostCreateResidentJobThread();
    return 0;
}

long CJobThread::RegidentInitialize() { return 0; }
long CJobThread::RegidentFinalize() { return 0; }
long CJobThread::Initialize() { return 0; }
long CJobThread::Finalize() { return 0; }
long CJobThread::Process() { return 0; }

void CJobThread::PostCreateResidentJobThread() {
    if (!CanICreateMe()) return;
    DWORD seconds = 60;
    CVQRegistory reg;
    if (reg.OpenVqApl(m_strProcessName.c_str(), KEY_READ)) {
        DWORD value = 0;
        if (reg.Read("REJOBTH EXCP RETRY TIMER", value)) seconds = value;
    }
    VQBThdPostMsg(VQBMSG_CREATE_RESIDENT, reinterpret_cast<WPARAM>(m_pJobThdTbl->pMapEntry),
                  reinterpret_cast<LPARAM>(m_pJobThdTbl->hThread), seconds * 1000);
}

BOOL CJobThread::CanIAbort() {
    return m_dwAbortClass == JOBTH_ABORT_CLASS_EXCEPTION || m_dwAbortClass == JOBTH_ABORT_STOP;
}

BOOL CJobThread::CanICreateMe() { return m_dwAbortClass == JOBTH_ABORT_CLASS_EXCEPTION; }

void CJobThread::SetAbortStatus(DWORD status) {
    m_dwPhaseAtAbort = m_dwPhase;
    m_dwAbortStatus = status;
    m_dwAbortClass = (status != JOBTH_ABORT_STOP && status <= JOBTH_ABORT_CLASS_EXCEPTION) ? JOBTH_ABORT_CLASS_EXCEPTION
                                                                                          : status;
}

void CJobThread::CreateError(JOB_THREAD_TBL* slot) {
    if (!slot) return;
    try {
        const JOB_THREAD_IDENTITY* id = slot->pIdentity;
        if (slot->pRequest && id) {
            CJobPipeData answer = slot->pRequest->Req2Ans(JOB_RESULT_BUSY);
            std::string net, pc, process;
            answer.GetDst(&net, &pc, &process);
            answer.SetSDA(net.c_str(), pc.c_str(), process.c_str(), id->szNetworkId, id->szPcName,
                          id->szProcessName);
            CVQBThdMsg* core = CVQBThdMsg::GetVQBThdMsg();
            if (slot->pRequest->GetExcl() & JOB_EXCL_COMANSWER) {
                VQB_JOBCOM_ANSWER handler = core ? core->GetJobComAnswerHandler() : nullptr;
                if (handler) handler(answer);
            } else if (SameOwnAddress(answer, id->szNetworkId, id->szPcName, id->szProcessName)) {
                // A requester in this process is not reached through the pipe.
                PostLocally(answer);
            } else if (id->pJobPipe) {
                id->pJobPipe->Write(static_cast<const ASCII_REQUEST*>(answer), kRecordSize, kWriteTimeout);
            }
        }
    } catch (...) {
        CAplLog::Write(8000, 0, slot->lIdCode, "CJobThread::CreateError", "exception", 1);
    }
    const SJOB_MAP_TBL* entry = slot->pMapEntry;
    HANDLE thread = slot->hThread;
    SetEvent(slot->hReleaseEvent);
    VQBThdPostMsg(VQBMSG_JOBTHREAD_EXIT, reinterpret_cast<WPARAM>(entry), reinterpret_cast<LPARAM>(thread));
}

// ---------------------------------------------------------------- requests and answers

long CJobThread::RcvRequest(DWORD timeoutMs) {
    m_wRerror = 0;
    VQBThdPostMsg(VQBMSG_JOBTHREAD_REQRCV, reinterpret_cast<WPARAM>(m_pJobThdTbl->pMapEntry),
                  reinterpret_cast<LPARAM>(m_pJobThdTbl->hThread));
    HANDLE handles[2] = {CVQBException::GetStopHandle(), m_pJobThdTbl->hRequestEvent};
    const DWORD wait = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (wait == WAIT_TIMEOUT) return -1;
    if (wait == WAIT_OBJECT_0) CVQBException::ThrowStopException();
    if (wait != WAIT_OBJECT_0 + 1) {
        if (m_wRerror == 0) m_wRerror = 8000;
        char text[96];
        std::snprintf(text, sizeof text, "It fatal-error-generates by the waiting for an event. %u", wait);
        throw CVQBException("EPS_FatalError", "CJobThread::RcvRequest", text);
    }
    ResetEvent(m_pJobThdTbl->hRequestEvent);
    if (m_pJobThdTbl->pRequest) m_Request = *m_pJobThdTbl->pRequest;
    m_lIdCode = m_pJobThdTbl->lIdCode;
    m_sParam = m_pJobThdTbl->sParam;
    SetEvent(m_pJobThdTbl->hReleaseEvent);
    m_RequestStartTime = std::chrono::system_clock::now();
    // A record taken from a queue whose requester was answered then is not answered again.
    m_sAnswered = m_sParam == 1 ? 1 : 0;
    m_strAnswerText.clear();
    return 0;
}

long CJobThread::TakeAnswer(long serial, char* data) {
    if (serial > 0 && data) m_Answer = reinterpret_cast<const ASCII_REQUEST*>(data);
    delete[] data;
    if (serial < -1 && m_wRerror == 0) m_wRerror = 8000;
    return serial;
}

long CJobThread::RcvAnswer(DWORD timeoutMs) {
    char* data = nullptr;
    const int r = m_SerialNoRcv.Receive(&data, timeoutMs);
    return TakeAnswer(r, data);
}

long CJobThread::RcvAnswer(long serialNo, DWORD timeoutMs) {
    const WORD serial = static_cast<WORD>(serialNo);
    return ReceiveAny(&serial, 1, timeoutMs);
}

long CJobThread::RcvAnswer(long* serialNos, DWORD count, DWORD timeoutMs) {
    std::vector<WORD> serials;
    for (DWORD i = 0; i < count; ++i) serials.push_back(static_cast<WORD>(serialNos[i]));
    return ReceiveAny(serials.data(), static_cast<int>(serials.size()), timeoutMs);
}

long CJobThread::ReceiveAny(const WORD* serials, int count, DWORD timeoutMs) {
    char* data = nullptr;
    if (count <= kWaitChunk) {
        const int r = m_SerialNoRcv.Receive(&data, serials, count, timeoutMs);
        return TakeAnswer(r, data);
    }
    // More events than one wait takes: look at each part in turn until the time is up.
    const auto start = Clock::now();
    for (;;) {
        for (int i = 0; i < count; i += kWaitChunk) {
            const int n = count - i < kWaitChunk ? count - i : kWaitChunk;
            const int r = m_SerialNoRcv.Receive(&data, serials + i, n, 0);
            if (r != -1) return TakeAnswer(r, data);
        }
        if (timeoutMs != INFINITE &&
            Clock::now() - start >= std::chrono::milliseconds(timeoutMs))
            return -1;
        CVQBException::ThrowStopExceptionIfRequired(kChunkPoll);
    }
}

void CJobThread::SetAnswer(WORD code, const char* text) {
    if (m_wRerror == 0) m_wRerror = code;
    if (text) m_strAnswerText = text;
}

void CJobThread::SetRerror(WORD code) {
    if (m_wRerror == 0) m_wRerror = code;
}

void CJobThread::ClearRerror() { m_wRerror = 0; }

long CJobThread::SendAnswer(WORD code, const char* text) {
    if (m_Request.GetAns() == 0 || m_sAnswered) return 0;
    m_sAnswered = 1;
    CJobPipeData copy(m_Request);
    CExParam request;
    request = m_Request.GetExParam();
    std::string comAddr, comAd;
    request.Get("@ComAddr", comAddr);
    request.Get("@ComAd", comAd);
    CExParam param;
    if (text) param.Put(text);
    param.Put("@ComAddr", comAddr.c_str());
    param.Put("@ComAd", comAd.c_str());
    copy.SetExParam(param);
    const long r = SendAnswer(copy, m_pJobPipe, code);
    if (r != 0 && m_wRerror == 0) m_wRerror = 8000;
    return r;
}

void CJobThread::FillOwnSource(CJobPipeData& record) const {
    std::string net, pc, process;
    record.GetDst(&net, &pc, &process);
    record.SetSDA(net.c_str(), pc.c_str(), process.c_str(), m_strNetworkId.c_str(), m_strPcName.c_str(),
                  m_strProcessName.c_str());
}

long CJobThread::SendAnswer(CJobPipeData& request, CJobPipe* pipe, WORD code) {
    CJobPipeData answer = request.Req2Ans(code);
    FillOwnSource(answer);
    return JobPipeWrite(pipe, answer);
}

long CJobThread::SendRequest(const char* pcName, const char* processName, short w1, short w2, short w3, long serial,
                             const char* text, long answerFlag) {
    return SendRequest(nullptr, pcName, processName, w1, w2, w3, serial, text, answerFlag);
}

long CJobThread::SendRequest(const char* networkId, const char* pcName, const char* processName, short w1, short w2,
                             short w3, long serial, const char* text, long answerFlag) {
    CJobPipeData record;
    record.SetSJob(w1, w2, w3);
    if (text) record.SetExParam(text);
    return SendRequest(record, networkId, pcName, processName, serial, answerFlag);
}

long CJobThread::SendRequest(CJobPipeData& record, const char* processName, long serial, long answerFlag) {
    return SendRequest(record, nullptr, nullptr, processName, serial, answerFlag);
}

long CJobThread::SendRequest(CJobPipeData& record, const char* pcName, const char* processName, long serial,
                             long answerFlag) {
    return SendRequest(record, nullptr, pcName, processName, serial, answerFlag);
}

long CJobThread::SendRequest(CJobPipeData& record, const char* networkId, const char* pcName,
                             const char* processName, long serial, long answerFlag) {
    record.SetSDA(networkId ? networkId : m_strNetworkId.c_str(), pcName ? pcName : m_strPcName.c_str(),
                  processName ? processName : "", m_strNetworkId.c_str(), m_strPcName.c_str(),
                  m_strProcessName.c_str());
    record.SetSerialNo(static_cast<DWORD>(serial));
    record.SetAns(answerFlag != -1 ? (answerFlag == 1 ? 1 : 0) : (serial != 0 ? 1 : 0));
    const long r = JobPipeWrite(m_pJobPipe, record);
    if (r != 0 && m_wRerror == 0) m_wRerror = 8000;
    return r;
}

long CJobThread::JobPipeWrite(CJobPipe* pipe, CJobPipeData& record) {
    CVQBThdMsg* core = CVQBThdMsg::GetVQBThdMsg();
    if (record.GetExcl() & JOB_EXCL_COMANSWER) {
        VQB_JOBCOM_ANSWER handler = core ? core->GetJobComAnswerHandler() : nullptr;
        return handler ? handler(record) : -1;
    }
    if (SameOwnAddress(record, m_strNetworkId, m_strPcName, m_strProcessName)) return PostLocally(record);
    if (core && strcasecmp(core->GetCommunication(), "COM") == 0)
        return core->ComSendRequest(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(record)));
    if (!pipe) return -1;
    return pipe->Write(static_cast<const ASCII_REQUEST*>(record), kRecordSize, kWriteTimeout);
}

// ---------------------------------------------------------------- message windows

long CJobThread::DispMsgWindow(long serial, DWORD buttons, const char* message, const char* title,
                               const char* iconFile, long messageOption) {
    return DispMsgWindow(serial, buttons, message, title, nullptr, nullptr, nullptr, iconFile, messageOption);
}

long CJobThread::DispMsgWindow(long serial, DWORD buttons, const char* message, const char* title,
                               const char* button1, const char* button2, const char* button3, const char* iconFile,
                               long messageOption) {
    if (m_Request.GetSrcPcName()[0] == '\0' || m_Request.GetSrcProcessName()[0] == '\0') {
        WriteLog(8000, 0, "CJobThread::DispMsgWindow",
                 "It is going to advance a demand to a message manager that a requiring agency is the broadcloth "
                 "cast.",
                 1);
        if (m_wRerror == 0) m_wRerror = 8000;
        return -1;
    }
    CExParam param;
    param.Begin();
    param.PutTitle(title);
    param.PutMessage(message, static_cast<LONG>(messageOption));
    param.PutIconFile(iconFile);
    if (buttons != static_cast<DWORD>(-1)) {
        if (button1)
            param.PutWindowButton(buttons, button1, button2, button3);
        else
            param.PutWindowButton(buttons);
    }
    param.End();
    CJobPipeData record;
    record.SetSJob("FWMESSAGE", "FWDISPLAY", "FWWINDOW");
    record.SetExParam(param);
    return SendRequest(record, m_Request.GetSrcPcName(), "msgmgr", serial, -1);
}

long CJobThread::ClearMsgWindow(long serial) {
    CJobPipeData record;
    record.SetSJob("FWMESSAGE", "FWCLEAR", "FWWINDOW");
    return SendRequest(record, m_Request.GetSrcPcName(), "msgmgr", serial, -1);
}

// ---------------------------------------------------------------- request table

void CJobThread::RQTClear() {
    for (auto& e : m_RequestTbl) {
        e.sState = RQT_STATE_FREE;
        e.lSerialNo = -1;
        e.sResult = 0;
    }
}

CJobThread::REQUEST_TBL* CJobThread::RQTFind(long serial) {
    for (int i = 0; i < kRequestTblSize; ++i)
        if (m_RequestTbl[i].lSerialNo == serial && serial != -1) return &m_RequestTbl[i];
    return nullptr;
}

SHORT CJobThread::RQTGetState(long serial) const {
    for (int i = 0; i < kRequestTblSize; ++i)
        if (m_RequestTbl[i].lSerialNo == serial && serial != -1) return m_RequestTbl[i].sState;
    return RQT_STATE_FREE;
}

long CJobThread::RQTSendRequest(const char* pcName, const char* processName, short w1, short w2, short w3,
                                long serial, const char* text) {
    return RQTSendRequest(nullptr, pcName, processName, w1, w2, w3, serial, text);
}

long CJobThread::RQTSendRequest(const char* networkId, const char* pcName, const char* processName, short w1,
                                short w2, short w3, long serial, const char* text) {
    CJobPipeData record;
    record.SetSJob(w1, w2, w3);
    if (text) record.SetExParam(text);
    return RQTSendRequest(record, networkId, pcName, processName, serial);
}

long CJobThread::RQTSendRequest(CJobPipeData& record, const char* processName, long serial) {
    return RQTSendRequest(record, nullptr, nullptr, processName, serial);
}

long CJobThread::RQTSendRequest(CJobPipeData& record, const char* pcName, const char* processName, long serial) {
    return RQTSendRequest(record, nullptr, pcName, processName, serial);
}

long CJobThread::RQTSendRequest(CJobPipeData& record, const char* networkId, const char* pcName,
                                const char* processName, long serial) {
    if (serial == 0) {
        SendRequest(record, networkId, pcName, processName, 0, -1);
        return 0;
    }
    REQUEST_TBL* entry = nullptr;
    for (int i = 0; i < kRequestTblSize && !entry; ++i)
        if (m_RequestTbl[i].lSerialNo == -1) entry = &m_RequestTbl[i];
    if (!entry) {
        WriteLog(8000, 0, "CJobThread::RQTSendRequest", "There is no opening in RequestTbl.", 1);
        if (m_wRerror == 0) m_wRerror = 8000;
        return -1;
    }
    entry->lSerialNo = serial;
    entry->sState = RQT_STATE_SENT;
    entry->sResult = 7001;
    record.SetSDA(networkId ? networkId : m_strNetworkId.c_str(), pcName ? pcName : m_strPcName.c_str(),
                  processName ? processName : "", m_strNetworkId.c_str(), m_strPcName.c_str(),
                  m_strProcessName.c_str());
    record.SetSerialNo(static_cast<DWORD>(serial));
    record.SetAns(1);
    if (entry->Request)
        *entry->Request = record;
    else
        entry->Request = std::make_unique<CJobPipeData>(record);
    // A failed send is retried by RQTRcvAnswer, so it is not the job's failure yet.
    if (JobPipeWrite(m_pJobPipe, record) != 0) entry->sState = RQT_STATE_RESEND;
    return 0;
}

long CJobThread::RQTRcvAnswer(long timeoutMs, const short* retryCodes) {
    static const char* kFunc = "CJobThread::RQTRcvAnswer";
    const auto start = Clock::now();
    auto lastResend = start;
    bool firstRound = true;
    for (;;) {
        std::vector<WORD> waiting;
        bool resendLeft = false;
        for (int i = 0; i < kRequestTblSize; ++i) {
            const REQUEST_TBL& e = m_RequestTbl[i];
            if (e.lSerialNo == -1) continue;
            if (e.sState == RQT_STATE_SENT || e.sState == RQT_STATE_RESENT)
                waiting.push_back(static_cast<WORD>(e.lSerialNo));
            else if (e.sState == RQT_STATE_RESEND)
                resendLeft = true;
        }
        if (waiting.empty() && !resendLeft) return 0;

        // Wait no longer than the next resend round is due.
        DWORD wait = kAnswerWait;
        if (resendLeft && !firstRound) {
            const auto due = lastResend + std::chrono::seconds(kResendSeconds) + std::chrono::milliseconds(1);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
            wait = left <= 0 ? 0 : (left < kAnswerWait ? static_cast<DWORD>(left) : kAnswerWait);
        } else if (resendLeft) {
            wait = 0;
        }
        long got = -1;
        if (!waiting.empty()) {
            got = ReceiveAny(waiting.data(), static_cast<int>(waiting.size()), wait);
            if (got < -1) {
                WriteLog(8000, 0, kFunc, "JobPipeAnswer Receive error", 1);
                if (m_wRerror == 0) m_wRerror = 8000;
                return -1;
            }
        } else if (wait > 0) {
            CVQBException::ThrowStopExceptionIfRequired(wait);
        }
        if (got == -1 && timeoutMs != -1 && WholeSecondsSince(start) > timeoutMs / 1000) {
            WriteLog(7003, 0, kFunc, "JobPipeAnswer retry over", 2);
            return 7003;
        }
        if (resendLeft && (firstRound || Clock::now() - lastResend > std::chrono::seconds(kResendSeconds))) {
            for (int i = 0; i < kRequestTblSize; ++i) {
                REQUEST_TBL& e = m_RequestTbl[i];
                if (e.lSerialNo == -1 || e.sState != RQT_STATE_RESEND) continue;
                // One that cannot be written stays due for the next round instead of waiting for ever.
                if (e.Request && JobPipeWrite(m_pJobPipe, *e.Request) == 0) e.sState = RQT_STATE_RESENT;
            }
            lastResend = Clock::now();
        }
        firstRound = false;
        if (got == -1) {
            CVQBException::ThrowStopExceptionIfRequired(0);
            continue;
        }
        REQUEST_TBL* entry = RQTFind(got);
        if (!entry) {
            char text[96];
            std::snprintf(text, sizeof text, "RequestTbl to applicable SerialNo is not found. %ld", got);
            WriteLog(8000, 0, kFunc, text, 1);
            if (m_wRerror == 0) m_wRerror = 8000;
            return -1;
        }
        const WORD code = m_Answer.GetSData1();
        bool retry = false;
        if (retryCodes) {
            for (const short* p = retryCodes; *p > 0; ++p)
                if (static_cast<WORD>(*p) == code) retry = true;
        } else {
            retry = code == JOB_RESULT_BUSY;
        }
        entry->sResult = static_cast<SHORT>(code);
        if (retry) {
            entry->sState = RQT_STATE_RESEND;
        } else {
            entry->sState = code == 0 ? RQT_STATE_DONE : RQT_STATE_FAILED;
            if (entry->Answer)
                *entry->Answer = m_Answer;
            else
                entry->Answer = std::make_unique<CJobPipeData>(m_Answer);
        }
    }
}

long CJobThread::RQTGetRerror(long serial) {
    REQUEST_TBL* entry = RQTFind(serial);
    if (!entry) {
        char text[96];
        std::snprintf(text, sizeof text, "Specified SerialNo is not found. %ld", serial);
        WriteLog(8000, 0, "CJobThread::RQTGetRerror", text, 1);
        if (m_wRerror == 0) m_wRerror = 8000;
        return -1;
    }
    return entry->sResult;
}

long CJobThread::RQTGetAnswer(long serial, CJobPipeData& answer) {
    REQUEST_TBL* entry = RQTFind(serial);
    if (!entry) {
        char text[96];
        std::snprintf(text, sizeof text, "Specified SerialNo is not found.  %ld", serial);
        WriteLog(8000, 0, "CJobThread::RQTGetAnswer", text, 1);
        if (m_wRerror == 0) m_wRerror = 8000;
        return -1;
    }
    answer = entry->Answer ? *entry->Answer : CJobPipeData();
    return entry->sResult;
}

// ---------------------------------------------------------------- serial numbers, connections

long CJobThread::RegistSerialNo() {
    const int r = m_SerialNoRcv.Regist();
    if (r < 0 && m_wRerror == 0) m_wRerror = 8000;
    return r;
}

void CJobThread::UnregistSerialNo() { m_SerialNoRcv.Unregist(); }
void CJobThread::UnregistSerialNo(long serial) { m_SerialNoRcv.Unregist(static_cast<WORD>(serial)); }
long CJobThread::EnableSerialNo(long) { return 0; }

long CJobThread::GetConnectProcessNum(const char* pcName, const char* processName, DWORD timeoutMs) {
    const long serial = RegistSerialNo();
    if (serial < 0) return 0;
    const long r = SendRequest(pcName, processName, CMD1_FWSYSTEM, CMD2_FWQUERY, CMD3_FWCONNECT, serial, nullptr, -1);
    if (r != 0) {
        WriteLog(8000, static_cast<DWORD>(r), "CJobThread::GetConnectProcessNum", "It cannot transmit a request command.",
                 1);
        UnregistSerialNo(serial);
        return 0;
    }
    const bool named = pcName && *pcName && processName && *processName;
    long count = 0;
    const auto start = Clock::now();
    while (WholeSecondsSince(start) <= static_cast<long>(timeoutMs / 1000)) {
        const long got = RcvAnswer(serial, 1000);
        if (got < -1) break;
        if (got <= 0) continue;
        const WORD code = m_Answer.GetSData1();
        if (code != 7001 && code != 7002) ++count;
        if (named && (code == 7002 || count != 0)) break;
    }
    UnregistSerialNo(serial);
    return count;
}
