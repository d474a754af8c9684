// CJobThread: the base class of every job. The process core starts a job's thread routine
// for a request (non-resident) or once at start (resident); the routine makes the job
// object on the heap with its slot and calls Entry. The base takes the request, runs the
// application's Initialize / Process / Finalize (and RegidentInitialize / RegidentFinalize
// for resident jobs), turns every failure into an answer code, answers the requester and
// logs start and end. It also lets the job send requests of its own and wait for answers,
// one at a time or through a table of up to 64 outstanding requests.
//
// A thread routine of an application:
//     DWORD WINAPI MyJobRoutine(LPVOID slot) {
//         MyJob* job = new (std::nothrow) MyJob(static_cast<JOB_THREAD_TBL*>(slot), 1);
//         if (!job) { CJobThread::CreateError(static_cast<JOB_THREAD_TBL*>(slot)); return 0; }
//         job->Entry();
//         delete job;
//         return 0;
//     }
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "framework/jobpipedata.h"
#include <new>

#include "framework/jobthdctrl.h"
#include "framework/serialnorcv.h"
#include "pal/types.h"

// Where a job thread is (phase).
enum : DWORD {
    JOBTH_PHASE_ENTRY = 0x100,
    JOBTH_PHASE_REGIDENT_INITIALIZE = 0x200,
    JOBTH_PHASE_WAIT_REQUEST = 0x300,
    JOBTH_PHASE_INITIALIZE = 0x400,
    JOBTH_PHASE_PROCESS = 0x500,
    JOBTH_PHASE_FINALIZE = 0x600,
    JOBTH_PHASE_REGIDENT_FINALIZE = 0x700,
};

// Abort statuses given to SetAbortStatus.
enum : DWORD {
    JOBTH_ABORT_STOP = 0x10000,
    JOBTH_ABORT_FRAMEWORK = 0x20000,
    JOBTH_ABORT_MEMORY = 0x30000,
    JOBTH_ABORT_LIBRARY = 0x40000,
    JOBTH_ABORT_OTHER = 0x50000,
    JOBTH_ABORT_REGIDENT_INITIALIZE = 0x80000200,
    JOBTH_ABORT_INITIALIZE = 0x80000400,
    JOBTH_ABORT_CLASS_EXCEPTION = 0xFFF0000,
};

// States of a request-table entry.
enum : SHORT {
    RQT_STATE_FREE = 0,
    RQT_STATE_SENT = 1,
    RQT_STATE_RESEND = 2,
    RQT_STATE_RESENT = 3,
    RQT_STATE_DONE = 4,
    RQT_STATE_FAILED = -1,
};

class CJobThread {
public:
    static constexpr int kRequestTblSize = 64;
    static constexpr DWORD kWriteTimeout = 30000;

    struct REQUEST_TBL {
        SHORT sState;
        LONG lSerialNo;  // -1 = free
        SHORT sResult;
        // Made when the entry is first used: 65 pairs of full records would cost every
        // job a megabyte to clear, most of them never sending a request of their own.
        std::unique_ptr<CJobPipeData> Request;
        std::unique_ptr<CJobPipeData> Answer;
    };

    CJobThread(JOB_THREAD_TBL* slot, int flag);
    // Not virtual: the thread routine deletes the object through its own class.
    ~CJobThread();
    CJobThread(const CJobThread&) = delete;
    CJobThread& operator=(const CJobThread&) = delete;

    // --- virtual operations, in their order ---
    virtual long Entry();
    virtual void LogThreadStart(const char* function);
    virtual void LogThreadEnd(const char* function);
    virtual void LogStartResidentRequest(const char* function);
    virtual void LogEndResidentRequest(const char* function);
    virtual void SetThreadParam();
    virtual long Main();
    virtual long NonresidentEntry();
    virtual long ResidentEntry();
    virtual long RegidentInitialize();
    virtual long RegidentFinalize();
    virtual long Initialize();
    virtual long Finalize();
    virtual long Process();
    virtual void PostCreateResidentJobThread();
    virtual BOOL CanIAbort();
    virtual BOOL CanICreateMe();
    virtual void SetAbortStatus(DWORD status);

    static void CreateError(JOB_THREAD_TBL* slot);

    long RcvRequest(DWORD timeoutMs);
    long RcvAnswer(DWORD timeoutMs);
    long RcvAnswer(long serialNo, DWORD timeoutMs);
    long RcvAnswer(long* serialNos, DWORD count, DWORD timeoutMs);

    void SetAnswer(WORD code, const char* text = nullptr);
    void SetRerror(WORD code);
    void ClearRerror();
    WORD GetRerror() const { return m_wRerror; }

    long SendAnswer(WORD code, const char* text);
    long SendAnswer(CJobPipeData& request, CJobPipe* pipe, WORD code);

    long SendRequest(const char* pcName, const char* processName, short w1, short w2, short w3, long serial,
                     const char* text, long answerFlag);
    long SendRequest(const char* networkId, const char* pcName, const char* processName, short w1, short w2,
                     short w3, long serial, const char* text, long answerFlag);
    long SendRequest(CJobPipeData& record, const char* processName, long serial, long answerFlag);
    long SendRequest(CJobPipeData& record, const char* pcName, const char* processName, long serial,
                     long answerFlag);
    long SendRequest(CJobPipeData& record, const char* networkId, const char* pcName, const char* processName,
                     long serial, long answerFlag);

    long JobPipeWrite(CJobPipe* pipe, CJobPipeData& record);

    long DispMsgWindow(long serial, DWORD buttons, const char* message, const char* title, const char* iconFile,
                       long messageOption);
    long DispMsgWindow(long serial, DWORD buttons, const char* message, const char* title, const char* button1,
                       const char* button2, const char* button3, const char* iconFile, long messageOption);
    long ClearMsgWindow(long serial);

    long RQTSendRequest(const char* pcName, const char* processName, short w1, short w2, short w3, long serial,
                        const char* text);
    long RQTSendRequest(const char* networkId, const char* pcName, const char* processName, short w1, short w2,
                        short w3, long serial, const char* text);
    long RQTSendRequest(CJobPipeData& record, const char* processName, long serial);
    long RQTSendRequest(CJobPipeData& record, const char* pcName, const char* processName, long serial);
    long RQTSendRequest(CJobPipeData& record, const char* networkId, const char* pcName, const char* processName,
                        long serial);
    long RQTRcvAnswer(long timeoutMs, const short* retryCodes);
    long RQTGetRerror(long serial);
    long RQTGetAnswer(long serial, CJobPipeData& answer);
    void RQTClear();
    // State of the entry of that serial number; RQT_STATE_FREE when none.
    SHORT RQTGetState(long serial) const;

    long RegistSerialNo();
    void UnregistSerialNo();
    void UnregistSerialNo(long serial);
    long EnableSerialNo(long serial);

    long GetConnectProcessNum(const char* pcName, const char* processName, DWORD timeoutMs);

    const char* GetNetworkId() const { return m_strNetworkId.c_str(); }
    const char* GetProcessName() const { return m_strProcessName.c_str(); }
    const char* GetServiceName() const { return m_strServiceName.c_str(); }
    const char* GetPcName() const { return m_strPcName.c_str(); }
    const char* GetServerPcName() const { return m_strServerPcName.c_str(); }

    DWORD GetPhase() const { return m_dwPhase; }
    DWORD GetAbortStatus() const { return m_dwAbortStatus; }

protected:
    // Routes a caught exception: log, abort status, answer code (unless keepCodeOnStop
    // and it is the stop exception).
    void HandleException(const char* function, bool keepCodeOnStop);
    void WriteLog(WORD eventCode, DWORD errorCode, const char* function, const char* text, LONG level);
    long RQTSend(CJobPipeData& record, long serial);
    REQUEST_TBL* RQTFind(long serial);
    // Waits for an answer on the listed serials, in rounds when they are more than one
    // wait can take.
    long ReceiveAny(const WORD* serials, int count, DWORD timeoutMs);
    long TakeAnswer(long serial, char* data);
    void FillOwnSource(CJobPipeData& record) const;

    JOB_THREAD_TBL* m_pJobThdTbl;
    CJobPipeData m_Request;
    CJobPipeData m_Answer;
    LONG m_lIdCode;
    REQUEST_TBL m_RequestTbl[kRequestTblSize + 1];
    std::chrono::system_clock::time_point m_ThreadStartTime;
    std::chrono::system_clock::time_point m_RequestStartTime;
    std::string m_strNetworkId;
    std::string m_strProcessName;
    std::string m_strServiceName;
    std::string m_strPcName;
    std::string m_strServerPcName;
    WORD m_wRerror;
    DWORD m_dwFlag;
    SHORT m_sParam;
    std::string m_strAnswerText;
    SHORT m_sAnswered;
    CJobPipe* m_pJobPipe;
    DWORD m_dwStandardEntry;
    DWORD m_dwAbortClass;
    DWORD m_dwAbortStatus;
    DWORD m_dwPhase;
    DWORD m_dwPhaseAtAbort;
    CSerialNoRcv m_SerialNoRcv;
};

// The thread routine of a job class, as the SJOB map names it: makes the job with its
// slot, runs it and deletes it; when the job cannot be made, CreateError answers 7003.
template <class Job>
DWORD WINAPI JobThreadRoutine(LPVOID param) {
    auto* slot = static_cast<JOB_THREAD_TBL*>(param);
    Job* job = new (std::nothrow) Job(slot, 1);
    if (!job) {
        CJobThread::CreateError(slot);
        return 0;
    }
    job->Entry();
    delete job;
    return 0;
}
