// CJobThdCtrl: the table of a process's running job threads (1000 slots). The process
// core starts threads through it, counts them (a stop waits until none is left) and frees
// a slot when its thread reports its end. Used on the message procedure thread only;
// a job thread reads its own slot.
#pragma once

#include <string>

#include "framework/sjobmap.h"
#include "pal/types.h"

class CJobPipe;
class CJobPipeData;

// What every job thread of the process shares: the pipe and the process's identity.
typedef struct _JOB_THREAD_IDENTITY {
    CJobPipe* pJobPipe;
    char szNetworkId[16];
    char szProcessName[9];
    char szPcName[16];
    char szServerPcName[16];
    char szServiceName[21];
} JOB_THREAD_IDENTITY;

typedef struct _JOB_THREAD_TBL {
    SHORT sKind;  // 0 free; 1 non-resident; 2 resident; 3 resident with key
    SHORT sBusy;
    LONG lKey;
    SHORT sParam;
    HANDLE hThread;
    HANDLE hRequestEvent;
    HANDLE hReleaseEvent;
    JOBTHREAD_ROUTINE pRoutine;
    CJobPipeData* pRequest;  // the slot's own copy of the request to take (null when none)
    LONG lIdCode;
    JOB_THREAD_IDENTITY* pIdentity;
    const SJOB_MAP_TBL* pMapEntry;
    void* pThreadParam;
    // 1 when the thread missed its start or hand-over time: it may still run, so the slot
    // stays taken (and is never handed work) until its end message frees it.
    SHORT sAbandoned;
} JOB_THREAD_TBL;

class CJobThdCtrl {
public:
    static constexpr int kSlots = 1000;

    CJobThdCtrl();
    ~CJobThdCtrl();
    CJobThdCtrl(const CJobThdCtrl&) = delete;
    CJobThdCtrl& operator=(const CJobThdCtrl&) = delete;

    void Open(CJobPipe* jobPipe, const char* networkId, const char* pcName, const char* processName,
              const char* serverPcName, const char* serviceName);

    int GetJobThdNum() const;
    int GetJobThdNum(JOBTHREAD_ROUTINE routine) const;
    // Threads at work: every non-resident one, and resident ones busy with a request.
    int GetBusyJobThdNum() const;
    SHORT IsActive(JOBTHREAD_ROUTINE routine) const;
    SHORT IsActive(LONG key) const;
    JOB_THREAD_TBL* GetJobThdTbl(LONG key);
    JOB_THREAD_TBL* GetJobThdTbl(HANDLE thread);
    JOB_THREAD_TBL* GetJobThdTbl(JOBTHREAD_ROUTINE routine);
    JOB_THREAD_TBL* GetJobThdTbl();
    JOBTHREAD_ROUTINE GetThread(HANDLE thread) const;

    SHORT CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam,
                       CJobPipeData* request, LONG idCode, SHORT param);
    SHORT CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam);
    SHORT CreateJobThd(JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam, LONG key);
    SHORT CreateJobThd(SHORT kind, JOBTHREAD_ROUTINE routine, const SJOB_MAP_TBL* mapEntry, void* threadParam,
                       CJobPipeData* request, LONG idCode, LONG key, SHORT param);

    SHORT NotifyReceive(CJobPipeData* request, LONG key, LONG idCode, SHORT param);
    SHORT NotifyReceive(CJobPipeData* request, JOBTHREAD_ROUTINE routine, LONG idCode, SHORT param);
    SHORT NotifyReceive(CJobPipeData* request, JOB_THREAD_TBL* slot, LONG idCode, SHORT param);

    void AcceptThreadWait(HANDLE thread);
    void AcceptThreadExit(HANDLE thread);

    DWORD GetCreateConfirmTime() const { return m_dwCreateConfirm; }
    void SetCreateConfirmTime(DWORD ms) { m_dwCreateConfirm = ms; }  // for tests: no clamping
    const JOB_THREAD_IDENTITY& GetIdentity() const { return m_Identity; }

    // Job objects of the process that have not finished yet (counted by CJobThread from
    // its construction to the end of its destructor).
    static int GetRunningThreads();
    static void ThreadStarted();
    static void ThreadEnded();
    // Waits until no job thread runs any more, at most timeoutMs; true when none runs.
    static bool WaitThreadsEnded(DWORD timeoutMs);

protected:
    void CloseJobThd(JOB_THREAD_TBL* slot);
    // Marks a slot whose thread did not answer in time; freed by its end message.
    void AbandonJobThd(JOB_THREAD_TBL* slot);
    static void SetRequest(JOB_THREAD_TBL* slot, const CJobPipeData* request);

    JOB_THREAD_TBL m_Tbl[kSlots];
    JOB_THREAD_IDENTITY m_Identity;
    DWORD m_dwCreateConfirm;
};
