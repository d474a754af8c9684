// What the process core does with a job record that reaches it (message 53): answers go
// to the thread that waits for them, the framework's system requests are served here,
// every other request is routed by the application's SJOB map. Also sending requests
// and answers.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "framework/apllog.h"
#include "framework/serialnorcv.h"
#include "framework/vqbexception.h"
#include "framework/vqbthdmsg.h"
#include "pblock/exparam.h"

namespace {

constexpr DWORD kRecordSize = 4096;
constexpr DWORD kRequestTimeout = 30000;
constexpr DWORD kAnswerTimeout = 20000;

std::string CommandWords(const CJobPipeData& record) {
    const ASCII_REQUEST* ascii = record;
    return std::string(ascii->SJob1, 30);
}

bool SameName(const char* field, const std::string& own, size_t width) {
    return std::strlen(field) == std::min(own.size(), width) && own.compare(0, width, field) == 0;
}

}  // namespace

// ---------------------------------------------------------------- receiving

long CVQBThdMsg::OnJobReceived(WPARAM, LPARAM lParam) {
    char* buffer = reinterpret_cast<char*>(lParam);
    if (!buffer) return 0;
    if (memchr(buffer, '\0', kRecordSize - 1) == nullptr) {
        CAplLog::Write(8000, 0, 0, "CVQBThdMsg::OnJobReceived",
                       "null terminate of operating data which it received is not carried out.", 1);
        buffer[kRecordSize - 1] = '\0';
    }
    try {
        CJobPipeData record(reinterpret_cast<const ASCII_REQUEST*>(buffer));
        const bool forOtherProcess = record.GetDstProcessName()[0] != '\0' &&
                                     !SameName(record.GetDstProcessName(), m_strProcessName, 8);
        const bool forOtherPc = record.GetDstPcName()[0] != '\0' && !SameName(record.GetDstPcName(), m_strPcName, 15);
        if (!forOtherProcess && !forOtherPc) {
            if (record.GetExcl() & JOB_EXCL_ANSWER) {
                AnsReceived(record);
            } else {
                short r = ReqReceived(record);
                if (r > 0) SendAnswer(record, r);
            }
        }
    } catch (...) {
        delete[] buffer;
        throw;
    }
    delete[] buffer;
    return 0;
}

short CVQBThdMsg::AnsReceived(CJobPipeData& record) {
    const ASCII_REQUEST* ascii = record;
    return CSerialNoRcv::NotifyReceive(static_cast<WORD>(record.GetSerialNo()), ascii, kRecordSize) < 0 ? -1 : 0;
}

short CVQBThdMsg::ReqReceived(CJobPipeData& record) {
    static const char* kFunc = "CVQBThdMsg::ReqReceived";
    if (ReqSystemMessage(record) == 0) return 0;
    const SJOB_MAP_TBL* entry = GetSjobMapTbl(record.GetSJob1(), record.GetSJob2(), record.GetSJob3());
    if (!entry) {
        if (SameName(record.GetDstProcessName(), m_strProcessName, 8)) {
            char text[96];
            std::snprintf(text, sizeof text, "Received unknown JobPipeData  \"%.*s\"", 30, CommandWords(record).c_str());
            CAplLog::Write(8000, 0, static_cast<LONG>(record.GetIdCode()), kFunc, text, 1);
            return 8000;
        }
        return 0;
    }
    if (entry->pRoutine == SjobRoutineIgnore()) {
        char text[96];
        std::snprintf(text, sizeof text, "Demand RequestCommand ignored.  \"%.*s\"", 30, CommandWords(record).c_str());
        CAplLog::Write(7000, 0, static_cast<LONG>(record.GetIdCode()), kFunc, text, 2);
        return 0;
    }
    short r = CheckProcessCondition(record);
    if (r != 0) return r;
    if (entry->wFlags & SJOB_FLAG_QUEUE) {
        r = QueJobReq(record, entry->pszQueName);
        if (r == 0) {
            SendAnswer(record, 0);
            GetJobReqQue(entry->pszQueName);
            return 0;
        }
        GetJobReqQue(entry->pszQueName);
        return r > 0 ? r : 0;
    }
    r = ReqJobThread(record, entry, 0);
    return r < 0 ? 8000 : r;
}

short CVQBThdMsg::CheckProcessCondition(CJobPipeData&) {
    static const char* kFunc = "CVQBThdMsg::CheckProcessCondition";
    if (m_sStopFlag) {
        CAplLog::Write(0, 0, 0, kFunc,
                       "Although it received an operating demand command, since it is in a stop state, it carries out "
                       "the busy response of the process.",
                       3);
        return 7003;
    }
    if (m_sQuietPauseFlag) return 7003;
    if (m_sLockFlag) {
        CAplLog::Write(0, 0, 0, kFunc,
                       "Although it received an operating demand command, since it is in an operating lock state, it "
                       "carries out the busy response of the process.",
                       3);
        return 7003;
    }
    return 0;
}

short CVQBThdMsg::CheckExclusiveTbl(CJobPipeData&, JOBTHREAD_ROUTINE, const JOBTHREAD_ROUTINE* exclusive) {
    if (!exclusive) return 0;
    for (const JOBTHREAD_ROUTINE* p = exclusive; *p; ++p)
        if (m_JobThdCtrl.GetJobThdNum(*p) > 0) return 7003;
    return 0;
}

short CVQBThdMsg::ReqJobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param) {
    short r = CheckExclusiveTbl(record, entry->pRoutine, entry->pExclusive);
    if (r != 0) return r;
    return (entry->wFlags & SJOB_FLAG_RESIDENT) ? ReqTJobThread(record, entry, param)
                                                 : Req2JobThread(record, entry, param);
}

short CVQBThdMsg::Req2JobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param) {
    const LONG idCode = static_cast<LONG>(record.GetIdCode());
    if (SjobHasRoutine(entry->pRoutine))
        return m_JobThdCtrl.CreateJobThd(entry->pRoutine, entry, GetThreadParam(), &record, idCode, param);
    char text[96];
    std::snprintf(text, sizeof text, "It has not specified a JobThread.  %.*s", 30, CommandWords(record).c_str());
    CAplLog::Write(8000, static_cast<DWORD>(reinterpret_cast<UINT_PTR>(entry->pRoutine)), idCode,
                   "CVQBThdMsg::Req2JobThread", text, 1);
    return 8000;
}

short CVQBThdMsg::ReqTJobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param) {
    const LONG idCode = static_cast<LONG>(record.GetIdCode());
    if (SjobHasRoutine(entry->pRoutine)) return m_JobThdCtrl.NotifyReceive(&record, entry->pRoutine, idCode, param);
    return m_JobThdCtrl.NotifyReceive(&record, static_cast<LONG>(GetJobThdKey(record, entry)), idCode, param);
}

long CVQBThdMsg::GetJobThdKey(CJobPipeData&, const SJOB_MAP_TBL*) { return -1; }
void* CVQBThdMsg::GetThreadParam() { return nullptr; }

const SJOB_MAP_TBL* CVQBThdMsg::GetSjobMapTbl(short sJob1, short sJob2, short sJob3) {
    if (!m_pSjobMapTbl) return nullptr;
    auto match = [](short a, short b) { return a == b || a == 0 || b == 0; };
    for (const SJOB_MAP_TBL* e = m_pSjobMapTbl; e->wEnd == 0; ++e)
        if (match(e->sSJob1, sJob1) && match(e->sSJob2, sJob2) && match(e->sSJob3, sJob3)) return e;
    return nullptr;
}

QUE_MAP_TBL* CVQBThdMsg::GetQueTbl(const char* name) {
    if (!m_pQueMapTbl || !name) return nullptr;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q)
        if (std::strcmp(q->pszName, name) == 0) return q;
    return nullptr;
}

long CVQBThdMsg::GetJobReqQueNum(const char* queName) {
    if (!m_pQueMapTbl) return 0;
    long n = 0;
    for (QUE_MAP_TBL* q = m_pQueMapTbl; q->pszName; ++q)
        if ((!queName || std::strcmp(q->pszName, queName) == 0) && q->pRecords)
            n += static_cast<long>(q->pRecords->size());
    return n;
}

void CVQBThdMsg::RegisterSJobTbl(TBL_S_JOB* t1, short r1, TBL_S_JOB* t2, short r2, TBL_S_JOB* t3, short r3) {
    CJobPipeData::RegisterSJobTbl(t1, r1, t2, r2, t3, r3);
}

// ---------------------------------------------------------------- start of work, job-thread events

long CVQBThdMsg::OnCreate2(WPARAM, LPARAM) {
    static const char* kFunc = "CVQBThdMsg::OnCreate2";
    if (m_pSjobMapTbl) {
        for (const SJOB_MAP_TBL* e = m_pSjobMapTbl; e->wEnd == 0; ++e) {
            if (!(e->wFlags & SJOB_FLAG_RESIDENT) || !SjobHasRoutine(e->pRoutine)) continue;
            const SJOB_MAP_TBL* first = e;
            for (const SJOB_MAP_TBL* p = m_pSjobMapTbl; p != e; ++p)
                if ((p->wFlags & SJOB_FLAG_RESIDENT) && p->pRoutine == e->pRoutine) {
                    first = p;
                    break;
                }
            if (first != e) {
                const bool same = (!first->pszQueName && !e->pszQueName) ||
                                  (first->pszQueName && e->pszQueName && !std::strcmp(first->pszQueName, e->pszQueName));
                if (!same)
                    CAplLog::Write(8000, 0, 0, kFunc,
                                   "the case where two or more same permanent-residence JobThreads are specified to be "
                                   "SJOB maps -- a cue name -- not being the same -- it does not arrange",
                                   1);
                continue;
            }
            const LONG idCode = e->sSJob1 * 1000000L + e->sSJob2 * 1000L + e->sSJob3;
            short r = m_JobThdCtrl.CreateJobThd(e->pRoutine, e, GetThreadParam());
            if (r == 0)
                CAplLog::Write(0, 0, idCode, kFunc, "Create residence JobThread", 3);
            else
                CAplLog::Write(8000, static_cast<DWORD>(r), idCode, kFunc, "Residence JobThread create error", 1);
        }
    }
    LoadQueues();
    GetJobReqQue();
    m_fRun = VQB_RUN_CREATED2;
    CAplLog::Write(0, 0, 0, kFunc, "OK", 3);
    return 0;
}

long CVQBThdMsg::OnCreateResidentJobThread(WPARAM wParam, LPARAM) {
    const SJOB_MAP_TBL* e = reinterpret_cast<const SJOB_MAP_TBL*>(wParam);
    if (!e) return 0;
    const LONG idCode = e->sSJob1 * 1000000L + e->sSJob2 * 1000L + e->sSJob3;
    short r = m_JobThdCtrl.CreateJobThd(e->pRoutine, e, GetThreadParam());
    if (r == 0)
        CAplLog::Write(0, 0, idCode, "CVQBThdMsg::OnCreateResidentJobThread", "Create residence JobThread", 3);
    else
        CAplLog::Write(8000, static_cast<DWORD>(r), idCode, "CVQBThdMsg::OnCreateResidentJobThread",
                       "Residence JobThread create error", 1);
    return 0;
}

void CVQBThdMsg::DropQueueHead(const SJOB_MAP_TBL* entry) {
    // At a stop the head stays: the job did not finish it, the queue file keeps it.
    if (!entry || !entry->pszQueName || CVQBException::IsStopSignal()) return;
    QUE_MAP_TBL* q = GetQueTbl(entry->pszQueName);
    if (q && q->pRecords && !q->pRecords->empty()) {
        q->pRecords->erase(q->pRecords->begin());
        QueRealFlush(q);
    }
}

long CVQBThdMsg::OnJobThreadReqRcv(WPARAM wParam, LPARAM lParam) {
    const SJOB_MAP_TBL* e = reinterpret_cast<const SJOB_MAP_TBL*>(wParam);
    DropQueueHead(e);
    m_JobThdCtrl.AcceptThreadWait(reinterpret_cast<HANDLE>(lParam));
    if (e && e->pszQueName) GetJobReqQue(e->pszQueName);
    return 0;
}

long CVQBThdMsg::OnJobThreadExit(WPARAM wParam, LPARAM lParam) {
    DropQueueHead(reinterpret_cast<const SJOB_MAP_TBL*>(wParam));
    m_JobThdCtrl.AcceptThreadExit(reinterpret_cast<HANDLE>(lParam));
    GetJobReqQue();
    return 0;
}

// ---------------------------------------------------------------- system requests

short CVQBThdMsg::ReqSystemMessage(CJobPipeData& record) {
    const short w1 = record.GetSJob1(), w2 = record.GetSJob2(), w3 = record.GetSJob3();
    if (w1 == CMD1_FWMESSAGE) {
        if (w2 == CMD2_FWSERVICE && w3 == CMD3_FWSTART) return ReqMessageServiceStart(record);
        return 1;
    }
    if (w1 != CMD1_FWSYSTEM) return 1;
    // The second word picks where the ordered tests on the third word begin.
    int start;
    switch (w2) {
    case CMD2_FWEXITAPL: start = 0; break;
    case CMD2_FWQUERY: start = 1; break;
    case CMD2_FWLOG: start = 2; break;
    case CMD2_FWSERVICE: start = 4; break;
    case CMD2_FWLANGUAGE: start = 6; break;
    case CMD2_FWNOTIFY: start = 7; break;
    default: return 1;
    }
    struct Step {
        short word3;
        short (CVQBThdMsg::*handler)(CJobPipeData&);
    };
    static const Step kSteps[] = {
        {CMD3_FWSDOWN, &CVQBThdMsg::ReqSystemExitaplSdown},
        {CMD3_FWCONNECT, &CVQBThdMsg::ReqSystemQueryConnect},
        {CMD3_FWREQUEST, &CVQBThdMsg::ReqSystemLogRequest},
        {CMD3_FWNEW, &CVQBThdMsg::ReqSystemLogNew},
        {CMD3_FWPAUSE, &CVQBThdMsg::ReqSystemServicePause},
        {CMD3_FWCONTINUE, &CVQBThdMsg::ReqSystemServiceContinue},
        {CMD3_FWCHANGED, &CVQBThdMsg::ReqSystemLanguageChanged},
        {CMD3_FWCONNECT, &CVQBThdMsg::ReqSystemNotifyConnect},
    };
    for (size_t i = static_cast<size_t>(start); i < sizeof kSteps / sizeof kSteps[0]; ++i)
        if (kSteps[i].word3 == w3) return (this->*kSteps[i].handler)(record);
    return 1;
}

short CVQBThdMsg::ReqSystemExitaplSdown(CJobPipeData& record) {
    VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, 10000);
    SendAnswer(record, 0);
    return 0;
}

short CVQBThdMsg::ReqSystemQueryConnect(CJobPipeData& record) {
    SendAnswer(record, 0);
    return 0;
}

short CVQBThdMsg::ReqSystemLogNew(CJobPipeData& record) {
    CAplLog::RenameClear();
    SendAnswer(record, 0);
    return 0;
}

short CVQBThdMsg::ReqSystemLogRequest(CJobPipeData& record) {
    CExParam param;
    param = record.GetExParam();
    std::string text;
    if (param.Get("#LEVEL", text) >= 0 && !text.empty()) {
        const short old = m_sLogLevel;
        m_sLogLevel = static_cast<short>(std::atol(text.c_str()));
        CAplLog::SetLogLevel(m_sLogLevel);
        char line[64];
        std::snprintf(line, sizeof line, "Log Level was changed. %d -> %d", old, m_sLogLevel);
        CAplLog::Write(0, 0, 0, "CVQBThdMsg::ReqSystemLogRequest", line, 2);
    }
    text.clear();
    if (param.Get("#RESTRAIN", text) >= 0) {
        if (text == "ON")
            CAplLog::SetRestrainLogOption(1);
        else if (text == "OFF")
            CAplLog::SetRestrainLogOption(0);
    }
    SendAnswer(record, 0);
    return 0;
}

short CVQBThdMsg::ReqSystemServicePause(CJobPipeData& record) {
    CExParam param;
    param = record.GetExParam();
    LONG level = 0;
    if (param.Get("#LEVEL", level) < 0) level = 0;
    if (level != 2) {
        m_sStopFlag = 1;
        SendAnswer(record, 0);
    } else if (!m_sQuietPauseFlag && m_JobThdCtrl.GetBusyJobThdNum() == 0) {
        // A resident job waiting for its next request is not at work: counting it would
        // make a quiet pause impossible for any application that has one.
        m_sQuietPauseFlag = 1;
        SendAnswer(record, 0);
    } else {
        SendAnswer(record, 7003);
    }
    return 0;
}

short CVQBThdMsg::ReqSystemServiceContinue(CJobPipeData& record) {
    CExParam param;
    param = record.GetExParam();
    LONG level = 0;
    if (param.Get("#LEVEL", level) < 0) level = 0;
    if (level != 2)
        m_sStopFlag = 0;
    else
        m_sQuietPauseFlag = 0;
    SendAnswer(record, 0);
    return 0;
}

short CVQBThdMsg::ReqSystemLanguageChanged(CJobPipeData& record) {
    CExParam param;
    param = record.GetExParam();
    LONG lid = 0;
    if (param.Get("#LID", lid) >= 0) {
        m_dwLanguageId = static_cast<DWORD>(lid);
        SendAnswer(record, 0);
    } else {
        CAplLog::Write(7000, 0, 0, "CVQBThdMsg::ReqSystemLanguageChanged", "Not found \"#LID\" in exparam", 2);
        SendAnswer(record, 7000);
    }
    return 0;
}

short CVQBThdMsg::ReqMessageServiceStart(CJobPipeData& record) {
    if (!(m_dwFlags & VQB_FLAG_NO_MSGMGR)) {
        long r = SendRequest(m_strNetworkId.c_str(), record.GetSrcPcName(), record.GetSrcProcessName(),
                             CMD1_FWMESSAGE, CMD2_FWSERVICE, CMD3_FWCONNECT, 0, MsgMgrConnectParam().c_str());
        if (r != 0)
            CAplLog::Write(7000, static_cast<DWORD>(r), 0, "CVQBThdMsg::ReqSystemServiceStart",
                           "The notice reply of JobPipe CONNECT was not completed.", 2);
    }
    SendAnswer(record, 0);
    return 0;
}

// ---------------------------------------------------------------- sending

long CVQBThdMsg::DeliverLocally(const CJobPipeData& record) {
    char* copy = new char[kRecordSize];
    std::memcpy(copy, static_cast<const ASCII_REQUEST*>(record), kRecordSize);
    return VQBThdPostMsg(VQBMSG_JOB_RECEIVED, 0, reinterpret_cast<LPARAM>(copy));
}

long CVQBThdMsg::PipeOrComWrite(CJobPipeData& record, DWORD timeoutMs, const char* function, const char* pipeText,
                                const char* comText, LONG idCode) {
    long r;
    if (strcasecmp(m_strCommunication.c_str(), "COM") == 0) {
        r = ComSendRequest(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(record)));
        if (r != 0) CAplLog::Write(7000, static_cast<DWORD>(r), idCode, function, comText, 2);
    } else {
        r = m_JobPipe.Write(static_cast<const ASCII_REQUEST*>(record), kRecordSize, timeoutMs);
        if (r != 0) CAplLog::Write(7000, static_cast<DWORD>(r), idCode, function, pipeText, 2);
    }
    return r;
}

long CVQBThdMsg::SendRequest(const char* networkId, const char* pcName, const char* processName, short w1, short w2,
                             short w3, long serial, const char* text) {
    CJobPipeData record;
    record.SetSDA(networkId ? networkId : "", pcName ? pcName : "", processName ? processName : "",
                  m_strNetworkId.c_str(), m_strPcName.c_str(), m_strProcessName.c_str());
    record.SetSJob(w1, w2, w3);
    record.SetSerialNo(static_cast<DWORD>(serial));
    record.SetAns(serial != 0 ? 1 : 0);
    if (text) record.SetExParam(text);
    if (IsOwnAddress(record)) return DeliverLocally(record);
    return PipeOrComWrite(record, kRequestTimeout, "CVQBThdMsg::SendRequest", "JobPipe write error", "COM write error",
                          0);
}

long CVQBThdMsg::SendRequest(const char* pcName, const char* processName, short w1, short w2, short w3, long serial,
                             const char* text) {
    return SendRequest(m_strNetworkId.c_str(), pcName, processName, w1, w2, w3, serial, text);
}

long CVQBThdMsg::SendAnswer(CJobPipeData& request, short result) {
    static const char* kFunc = "CVQBThdMsg::SendAnswer";
    if (request.GetAns() == 0) return 0;
    CJobPipeData answer = request.Req2Ans(static_cast<WORD>(result));
    answer.SetNetworkId(nullptr, m_strNetworkId.c_str());
    std::string dstNet, dstPc, dstProcess;
    answer.GetDst(&dstNet, &dstPc, &dstProcess);
    answer.SetSDA(dstNet.c_str(), dstPc.c_str(), dstProcess.c_str(), m_strNetworkId.c_str(), m_strPcName.c_str(),
                  m_strProcessName.c_str());
    const LONG idCode = static_cast<LONG>(request.GetIdCode());
    if (request.GetExcl() & JOB_EXCL_COMANSWER) {
        long r = m_pJobComAnswer ? m_pJobComAnswer(answer) : -1;
        if (r != 0) CAplLog::Write(7000, static_cast<DWORD>(r), idCode, kFunc, "COM write error", 2);
        return 0;
    }
    if (IsOwnAddress(answer)) {
        DeliverLocally(answer);
        return 0;
    }
    PipeOrComWrite(answer, kAnswerTimeout, kFunc, "JobPipe write error", "COM write error", idCode);
    return 0;
}
