// CVQBThdMsg: the process core of a framework process. It holds the process identity,
// reads the framework configuration, opens the application log and runs one thread, the
// thread message procedure, through which every event of the process passes as a small
// numbered message: start-up steps, received job records, job-thread events, timer ticks,
// pause, continue and stop. It also keeps up to ten timer threads, the process state
// flags, the job-thread table, the job pipe to the task controller and its connection
// protocol, and forwards application-log records to the log collector.
//
// An application derives its process class, overrides the virtual operations it needs,
// calls Main from its service main, waits for the done event and then calls CloseProc.
// Messages carry 64-bit parameters, so pointers travel intact.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "framework/binlinklist.h"
#include "framework/jobpipe.h"
#include "framework/jobpipedata.h"
#include "framework/jobthdctrl.h"
#include "framework/registory.h"
#include "framework/sjobmap.h"
#include "framework/thdmsgqueue.h"
#include "pal/types.h"

// Version text of the library, and of the header an application was built with.
#define VQBLIB_DLL_VERSION "R06.03.00-60.0.0"
#define VQBLIB_HEADER_VERSION "R06.03.00-60.0.0"

// Message numbers of the procedure.
enum : UINT {
    VQBMSG_CREATE = 1,
    VQBMSG_CREATE2 = 2,
    VQBMSG_JOBPIPE_RECONNECT = 3,
    VQBMSG_STOP_WITH_CHECK = 4,
    VQBMSG_SYSTIMER = 5,
    VQBMSG_CREATE_RESIDENT = 7,
    VQBMSG_CHK_NOTIFY_CONNECT = 8,
    VQBMSG_JOB_LOCK = 51,
    VQBMSG_JOB_UNLOCK = 52,
    VQBMSG_JOB_RECEIVED = 53,  // lParam: a heap record of 4096 bytes (new char[]), owned by the procedure
    VQBMSG_JOBTHREAD_REQRCV = 54,
    VQBMSG_JOBTHREAD_EXIT = 55,
    VQBMSG_PROCESS_STOP = 101,
    VQBMSG_PROCESS_PAUSE = 102,
    VQBMSG_PROCESS_CONTINUE = 103,
    VQBMSG_END_LOOP = 104,
};

// Run states (m_fRun).
enum : short {
    VQB_RUN_CONSTRUCTED = 0,
    VQB_RUN_INITIALIZED = 1,
    VQB_RUN_LOOP = 0x110,
    VQB_RUN_CREATED = 0x111,
    VQB_RUN_CREATED2 = 0x112,
    VQB_RUN_ENDED = 0x20,
    VQB_RUN_CLOSED = 0x21,
    VQB_RUN_FAILED = 0xFF,
    VQB_RUN_RUNNING_BIT = 0x100,
};

// Flags given to the constructor.
constexpr DWORD VQB_FLAG_NO_MSGMGR = 2;  // send no notices to the message manager

// A handler registered for an application message number.
typedef long (*VQB_MSGPROC_HANDLER)(WPARAM wParam, LPARAM lParam);
typedef long (*VQB_JOBCOM_ANSWER)(CJobPipeData& answer);

// Free functions: post (without waiting), post after a delay, and send (wait until handled).
// A post returns 0, or -1 when the procedure does not run (it is then logged and dropped;
// a refused message 53 frees its record).
long VQBThdPostMsg(UINT message, WPARAM wParam, LPARAM lParam);
long VQBThdPostMsg(UINT message, WPARAM wParam, LPARAM lParam, DWORD delayMs);
void VQBThdSendMsg(UINT message, WPARAM wParam, LPARAM lParam);

class CVQBThdMsg {
public:
    static constexpr int kTimers = 10;
    static constexpr UINT kSysTimerPeriod = 10000;

    CVQBThdMsg(short sysId, const char* processName, const char* serviceName, DWORD flags);
    virtual ~CVQBThdMsg();
    CVQBThdMsg(const CVQBThdMsg&) = delete;
    CVQBThdMsg& operator=(const CVQBThdMsg&) = delete;

    static CVQBThdMsg* GetVQBThdMsg() { return m_pVQBThdMsg; }

    // Process life.
    HANDLE Main(HANDLE* doneEvent);

    // --- virtual operations, in their order ---
    virtual long Run();
    virtual void CloseProc();
    virtual DWORD GetLanguageId();
    virtual long ComSendRequest(const char* record);
    virtual long ComOpen();
    virtual long ComClose();
    virtual const char* ComGetErrorMsg();
    virtual std::string ComGetErrorMsg2();
    virtual long InitProc();
    virtual void CloseProcSub();
    virtual long MsgProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual long MsgProcSub(UINT message, WPARAM wParam, LPARAM lParam);
    virtual long DefMsgProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual long OnCreate(WPARAM wParam, LPARAM lParam);
    virtual long OnCreate2(WPARAM wParam, LPARAM lParam);
    virtual long OnSysTimer(WPARAM tick, LPARAM time);
    virtual long SysTimer60(WPARAM tick, LPARAM time);
    virtual long OnJobReceived(WPARAM wParam, LPARAM lParam);
    virtual short AnsReceived(CJobPipeData& record);
    virtual short ReqReceived(CJobPipeData& record);
    virtual short CheckProcessCondition(CJobPipeData& record);
    virtual short CheckExclusiveTbl(CJobPipeData& record, JOBTHREAD_ROUTINE routine,
                                    const JOBTHREAD_ROUTINE* exclusive);
    virtual short ReqJobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param);
    virtual short Req2JobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param);
    virtual short ReqTJobThread(CJobPipeData& record, const SJOB_MAP_TBL* entry, short param);
    virtual long OnJobThreadReqRcv(WPARAM wParam, LPARAM lParam);
    virtual long OnJobThreadExit(WPARAM wParam, LPARAM lParam);
    virtual long OnProcessPause(WPARAM wParam, LPARAM lParam);
    virtual long OnProcessContinue(WPARAM wParam, LPARAM lParam);
    virtual long OnProcessStop(WPARAM wParam, LPARAM lParam);
    virtual long OnStopWithCheck(WPARAM rounds, LPARAM lParam);
    virtual long OnJobpipeReconnect(WPARAM wParam, LPARAM previousDelay);
    virtual long OnCreateResidentJobThread(WPARAM wParam, LPARAM lParam);
    virtual long OnChkNotifyConnect(WPARAM counter, LPARAM lParam);
    virtual long JobPipeOpen(long retryDelay);
    virtual long OnJobLock(WPARAM wParam, LPARAM lParam);
    virtual long OnJobUnlock(WPARAM wParam, LPARAM lParam);
    virtual short ReqSystemMessage(CJobPipeData& record);
    virtual short ReqSystemExitaplSdown(CJobPipeData& record);
    virtual short ReqSystemQueryConnect(CJobPipeData& record);
    virtual short ReqSystemServicePause(CJobPipeData& record);
    virtual short ReqSystemServiceContinue(CJobPipeData& record);
    virtual short ReqMessageServiceStart(CJobPipeData& record);
    virtual short ReqSystemLogNew(CJobPipeData& record);
    virtual short ReqSystemLogRequest(CJobPipeData& record);
    virtual short ReqSystemNotifyConnect(CJobPipeData& record);
    virtual short ReqSystemLanguageChanged(CJobPipeData& record);
    virtual void NotifyProcessClose();
    virtual void* GetThreadParam();
    virtual long GetJobThdKey(CJobPipeData& record, const SJOB_MAP_TBL* entry);
    virtual const SJOB_MAP_TBL* GetSjobMapTbl(short sJob1, short sJob2, short sJob3);
    virtual QUE_MAP_TBL* GetQueTbl(const char* name);
    virtual short QueJobReq(CJobPipeData& record, const char* queName);
    virtual short GetJobReqQue(QUE_MAP_TBL* entry);
    virtual short GetJobReqQue(const char* queName);
    virtual short GetJobReqQue();
    virtual short QueFlush(QUE_MAP_TBL* entry);
    virtual short QueFlush();
    virtual short QueRealFlush(QUE_MAP_TBL* entry);
    virtual short InsertReq2QueFile(CJobPipeData& record, const char* queName, int offset);
    virtual const char* GetVqblibVer();
    virtual void MakeSjobTbl();
    virtual void MakeQueTbl();

    // --- identity and configuration ---
    short GetSysId() const { return m_sSysId; }
    short GetSubNo() const { return m_sSubNo; }
    const char* GetNetworkId() const { return m_strNetworkId.c_str(); }
    const char* GetProcessName() const { return m_strProcessName.c_str(); }
    const char* GetServiceName() const { return m_strServiceName.c_str(); }
    const char* GetPcName() const { return m_strPcName.c_str(); }
    const char* GetServerPcName() const { return m_strServerPcName.c_str(); }
    const char* GetJobPipeName() const { return m_strJobPipeName.c_str(); }
    const char* GetCommunication() const { return m_strCommunication.c_str(); }
    const char* GetLogDir() const { return m_strLogDir.c_str(); }
    const char* GetQueDir() const { return m_strQueDir.c_str(); }
    DWORD GetConnectConfirmDelay() const { return m_dwConnectConfirmDelay; }
    short GetLogLevel() const { return m_sLogLevel; }
    short GetStopFlag() const { return m_sStopFlag; }
    short GetQuietPauseFlag() const { return m_sQuietPauseFlag; }
    short GetLockFlag() const { return m_sLockFlag; }
    int GetNotifyFlag() const { return m_nNotifyFlag; }
    long GetNotifyCounter() const { return m_lNotifyCounter; }
    CJobThdCtrl& GetJobThdCtrl() { return m_JobThdCtrl; }
    CJobPipe& GetJobPipe() { return m_JobPipe; }

    long WriteJobPipe(const void* buffer, DWORD length, DWORD timeoutMs);
    void SetMsgMgrPosition(long position) { m_lMsgMgrPosition = position; }
    void SetJobComAnswer(VQB_JOBCOM_ANSWER handler) { m_pJobComAnswer = handler; }
    VQB_JOBCOM_ANSWER GetJobComAnswerHandler() const { return m_pJobComAnswer; }
    void SetComModuleThreadId(DWORD id) { m_dwComModuleThreadId = id; }
    DWORD GetComModuleThreadId() const { return m_dwComModuleThreadId; }

    // Requests and answers.
    long SendRequest(const char* networkId, const char* pcName, const char* processName, short w1, short w2,
                     short w3, long serial, const char* text);
    long SendRequest(const char* pcName, const char* processName, short w1, short w2, short w3, long serial,
                     const char* text);
    long SendAnswer(CJobPipeData& request, short result);
    static void RegisterSJobTbl(TBL_S_JOB* t1, short r1, TBL_S_JOB* t2, short r2, TBL_S_JOB* t3, short r3);
    long GetJobReqQueNum(const char* queName);

    // Application message handlers.
    int RegistMsgProcHandler(UINT message, VQB_MSGPROC_HANDLER handler);
    int GetMsgProcHandlerNum(UINT message);
    int RemoveMsgProcHandlerNum(UINT message);

    // Log forwarding, installed as the application log's second write handler.
    static void AplLogWriteHandler2(WORD eventCode, DWORD errorCode, LONG idCode, const char* function,
                                    const char* head, const char* body, LONG level);

    // The transport; the free post and send functions use it.
    static CThdMsgQueue& MsgQueue();
    static long PostRecord(THDMSG_RECORD record, DWORD delayMs, bool delayed);

    static CVQBThdMsg* m_pVQBThdMsg;
    static std::atomic<short> m_fRun;
    static std::atomic<HANDLE> m_hThreadMsg;

protected:
    struct TIMER_ENTRY {
        UINT message;
        HANDLE hThread;
        HANDLE hStopEvent;
        DWORD dwPeriod;
    };

    // Timers.
    short SetTimer(UINT message, DWORD periodMs);
    void KillTimer(UINT message);
    void KillTimer();
    void KillTimerIndex(int index);

    void OpenAplLog();
    // Makes every queue's record list and fills it from its queue file.
    void LoadQueues();
    void SetAsideQueueHead(QUE_MAP_TBL* entry, const char* why);  // to <queue file>.rejected, then removed
    // Removes the record a job of this map entry has finished from the head of its queue.
    void DropQueueHead(const SJOB_MAP_TBL* entry);
    // The framework's "SYSTEM" key: under the application root when the framework names
    // an application, else under the framework root, where the framework values live.
    static int OpenSystemKey(CVQRegistory& key);
    static DWORD WINAPI _Run(LPVOID self);
    static DWORD WINAPI TimerThread(LPVOID context);
    void DispatchRecord(THDMSG_RECORD& record, bool& end);
    void ReleaseDropped(std::vector<THDMSG_RECORD>& records);
    void LogException(const char* function, const char* text);
    long PipeOrComWrite(CJobPipeData& record, DWORD timeoutMs, const char* function, const char* pipeText,
                        const char* comText, LONG idCode);
    bool IsOwnAddress(const CJobPipeData& record) const;
    // The parameter block of a connect notice to the message manager.
    std::string MsgMgrConnectParam();
    long DeliverLocally(const CJobPipeData& record);

    HANDLE* m_phDoneEvent;
    CJobPipe m_JobPipe;
    // After the pipe: destroyed first, it waits for job threads that may still write to it.
    CJobThdCtrl m_JobThdCtrl;
    TIMER_ENTRY m_TimerTbl[kTimers];
    short m_sSysId;
    short m_sSubNo;
    std::string m_strNetworkId;
    std::string m_strProcessName;
    std::string m_strServiceName;
    std::string m_strPcName;
    std::string m_strServerPcName;
    std::string m_strJobPipeName;
    std::string m_strLogDir;
    std::string m_strQueDir;
    DWORD m_dwFlags;
    const SJOB_MAP_TBL* m_pSjobMapTbl;
    QUE_MAP_TBL* m_pQueMapTbl;
    long m_lMsgMgrPosition;
    short m_sLogLevel;
    short m_sStopFlag;
    short m_sQuietPauseFlag;
    short m_sLockFlag;
    DWORD m_dwComModuleThreadId;
    CBinLinkList m_MsgHandlerList;
    std::mutex m_csMsgHandler;
    VQB_JOBCOM_ANSWER m_pJobComAnswer;
    int m_bAplLogService;
    int m_nNotifyFlag;
    long m_lNotifyCounter;
    DWORD m_dwConnectConfirmDelay;
    DWORD m_dwLanguageId;
    std::string m_strCommunication;
    bool m_bSysTimerStarted = false;
};
