// The process core's connection to the task controller: opening the job pipe, the start
// and connect notices, the loop-back confirmation with its counter, and re-connection
// with growing delays.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "framework/apllog.h"
#include "framework/vqbthdmsg.h"
#include "pal/thread/thread.h"
#include "pblock/exparam.h"

namespace {

constexpr DWORD kRecordSize = 4096;
constexpr DWORD kNoticeTimeout = 30000;
constexpr long kFirstRetryDelay = 5000;
constexpr long kRetryStep = 5000;
constexpr long kRetryLimit = 60000;

// Tests may shorten the pause between the notices and the loop-back notice.
DWORD NoticePauseMs() {
    if (const char* text = getenv("VQ_JOBPIPE_NOTICE_PAUSE_MS")) return static_cast<DWORD>(atol(text));
    return 1000;
}

// Tests may scale the re-connection delays down (a divisor, 1 to 1000).
long ScaleDelay(long delay) {
    if (const char* text = getenv("VQ_JOBPIPE_DELAY_DIVISOR")) {
        long divisor = atol(text);
        if (divisor >= 1 && divisor <= 1000) return delay / divisor;
    }
    return delay;
}

}  // namespace

bool CVQBThdMsg::IsOwnAddress(const CJobPipeData& record) const {
    return m_strProcessName.compare(0, 8, record.GetDstProcessName()) == 0 &&
           std::strlen(record.GetDstProcessName()) == std::min<size_t>(m_strProcessName.size(), 8) &&
           m_strPcName.compare(0, 15, record.GetDstPcName()) == 0 &&
           std::strlen(record.GetDstPcName()) == std::min<size_t>(m_strPcName.size(), 15) &&
           m_strNetworkId.compare(0, 15, record.GetDstNetworkId()) == 0 &&
           std::strlen(record.GetDstNetworkId()) == std::min<size_t>(m_strNetworkId.size(), 15);
}

long CVQBThdMsg::WriteJobPipe(const void* buffer, DWORD length, DWORD timeoutMs) {
    return m_JobPipe.Write(buffer, length, timeoutMs);
}

std::string CVQBThdMsg::MsgMgrConnectParam() {
    CExParam param;
    param.Begin();
    param.PutProcessName(m_strProcessName.c_str());
    param.PutServiceName(m_strServiceName.c_str());
    param.PutPosition(m_lMsgMgrPosition);
    param.End();
    return static_cast<const char*>(param);
}

long CVQBThdMsg::JobPipeOpen(long retryDelay) {
    static const char* kFunc = "CVQBThdMsg::JobPipeOpen";
    const bool com = strcasecmp(m_strCommunication.c_str(), "COM") == 0;
    m_nNotifyFlag = 0;
    long r = com ? ComOpen() : m_JobPipe.Open(m_strJobPipeName.c_str(), kRecordSize);

    if (r == 0) {
        CJobPipeData record;
        record.SetSDA(m_strNetworkId.c_str(), m_strServerPcName.c_str(), "taskctrl", m_strNetworkId.c_str(),
                      m_strPcName.c_str(), m_strProcessName.c_str());
        record.SetSJob(CMD1_FWSYSTEM, CMD2_FWNOTIFY, CMD3_FWTASKSTAR);
        record.SetSerialNo(0);
        record.SetAns(0);
        CExParam param;
        param.Begin();
        param.PutProcessName(m_strProcessName.c_str());
        param.PutServiceName(m_strServiceName.c_str());
        param.End();
        record.SetExParam(param);
        if (com) {
            r = ComSendRequest(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(record)));
            if (r != 0) CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, "COM write error", 2);
        } else {
            r = m_JobPipe.Write(static_cast<const ASCII_REQUEST*>(record), kRecordSize, kNoticeTimeout);
            if (r != 0)
                CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, "JobPipe write error (notice of start)", 2);
        }
    }

    if (r == 0 && !(m_dwFlags & VQB_FLAG_NO_MSGMGR)) {
        r = SendRequest(m_strNetworkId.c_str(), "", "msgmgr", CMD1_FWMESSAGE, CMD2_FWSERVICE, CMD3_FWCONNECT, 0,
                        MsgMgrConnectParam().c_str());
        if (r != 0) CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, "JobPipe write error (notice of connect)", 2);
    }

    if (r == 0) {
        Sleep(NoticePauseMs());
        ++m_lNotifyCounter;
        CExParam param;
        param.Clear();
        param.Put("#COUNTER", static_cast<LONG>(m_lNotifyCounter));
        CJobPipeData record;
        record.SetSDA(m_strNetworkId.c_str(), m_strPcName.c_str(), m_strProcessName.c_str(), m_strNetworkId.c_str(),
                      m_strPcName.c_str(), m_strProcessName.c_str());
        record.SetSJob(CMD1_FWSYSTEM, CMD2_FWNOTIFY, CMD3_FWCONNECT);
        record.SetSerialNo(0);
        record.SetAns(0);
        record.SetExParam(param);
        // Written to the pipe even though it is addressed to us: the controller returns it.
        if (com) {
            r = ComSendRequest(reinterpret_cast<const char*>(static_cast<const ASCII_REQUEST*>(record)));
            if (r != 0)
                CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc, "COM write error (notice of connect to me)", 2);
        } else {
            r = m_JobPipe.Write(static_cast<const ASCII_REQUEST*>(record), kRecordSize, kNoticeTimeout);
            if (r != 0)
                CAplLog::Write(7000, static_cast<DWORD>(r), 0, kFunc,
                               "JobPipe write error (notice of connect to me)", 2);
        }
    }

    if (r == 0) {
        VQBThdPostMsg(VQBMSG_CHK_NOTIFY_CONNECT, static_cast<WPARAM>(m_lNotifyCounter), 0, m_dwConnectConfirmDelay);
        return 0;
    }
    if (!com) m_JobPipe.Close();
    VQBThdPostMsg(VQBMSG_JOBPIPE_RECONNECT, 0, static_cast<LPARAM>(retryDelay),
                  static_cast<DWORD>(ScaleDelay(retryDelay)));
    return r;
}

long CVQBThdMsg::OnJobpipeReconnect(WPARAM, LPARAM previousDelay) {
    const long previous = static_cast<long>(previousDelay);
    const long next = previous <= kRetryLimit ? previous + kRetryStep : kRetryLimit;
    if (JobPipeOpen(next) == 0)
        CAplLog::Write(0, 0, 0, "CVQBThdMsg::OnJobpipeReconnect", "It succeeded in re-connection of a JobPipe", 3);
    return 0;
}

short CVQBThdMsg::ReqSystemNotifyConnect(CJobPipeData& record) {
    static const char* kFunc = "CVQBThdMsg::ReqSystemNotifyConnect";
    CExParam param;
    param = record.GetExParam();
    LONG counter = 0;
    if (param.Get("#COUNTER", counter) < 0) counter = 0;
    char text[128];
    if (m_nNotifyFlag == 0) {
        std::snprintf(text, sizeof text, "Received FWSYSTEM-FWNOTIFY-FWCONNECT. ct=%ld:%d", m_lNotifyCounter,
                      static_cast<int>(counter));
        CAplLog::Write(0, static_cast<DWORD>(m_nNotifyFlag), 0, kFunc, text, 2);
    } else {
        std::snprintf(text, sizeof text, "Illegal NotifyConnect mode. ct=%ld:%d", m_lNotifyCounter,
                      static_cast<int>(counter));
        CAplLog::Write(7000, static_cast<DWORD>(m_nNotifyFlag), 0, kFunc, text, 2);
    }
    m_nNotifyFlag = 1;
    m_lNotifyCounter = counter;
    SendAnswer(record, 0);
    return 0;
}

long CVQBThdMsg::OnChkNotifyConnect(WPARAM counter, LPARAM) {
    static const char* kFunc = "CVQBThdMsg::OnChkNotifyConnect";
    switch (m_nNotifyFlag) {
    case 0:
        CAplLog::Write(7000, static_cast<DWORD>(counter), 0, kFunc,
                       "Not Receive FWSYSTEM-FWNOTIFY-FWCONNECT. Request JobPipe re-connect", 2);
        if (JobPipeOpen(kFirstRetryDelay) == 0)
            CAplLog::Write(0, 0, 0, kFunc, "It succeeded in re-connection of a JobPipe", 3);
        break;
    case 1:
        m_nNotifyFlag = 2;
        CAplLog::Write(0, static_cast<DWORD>(m_lNotifyCounter), 0, kFunc, "OK connect confirm", 2);
        if (m_lNotifyCounter != static_cast<long>(counter))
            CAplLog::Write(7000, static_cast<DWORD>(counter), 0, kFunc, "difference counter", 2);
        break;
    case 2:
        CAplLog::Write(7000, static_cast<DWORD>(counter), 0, kFunc, "Received connect confirm, but connected", 2);
        break;
    default:
        CAplLog::Write(8000, static_cast<DWORD>(m_nNotifyFlag), 0, kFunc, "illegal Notify flag", 2);
        break;
    }
    return 0;
}
