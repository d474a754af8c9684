// vqsample: the smallest framework process. It runs as the service "VQSAMPLE" with the
// process name "sample": it starts the process core, connects to the task controller
// through the job pipe, answers requests, and stops on SIGTERM ("vqsc stop VQSAMPLE")
// through the core's stop sequence.
//
// Besides the framework's own system requests it serves requests of its own:
// - SAMPLE ECHO TEXT, answered by the process core itself: the request's parameter text
//   with "#PID" added;
// - SAMPLE JOB RUN, a non-resident job (one thread per request): answers "#JOB=once";
// - SAMPLE RESIDENT TEXT, a resident job (one thread for the process's life): answers
//   "#JOB=resident" and how many requests it has served;
// - SAMPLE QUEUE ADD, queued in "SAMPLE_QUE" (kept in its queue file, c:\sample.SAMPLE_QUE.jpq):
//   the requester is answered at queueing; the job then waits "#WAIT" milliseconds.
#include <cstdio>
#include <mutex>

#include <new>

#include "framework/apllog.h"
#include "framework/jobthread.h"
#include "framework/vqbexception.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"
#include "pblock/exparam.h"

namespace {

constexpr char kServiceName[] = "VQSAMPLE";
constexpr char kProcessName[] = "sample";
constexpr SHORT kSample = 900, kEcho = 900, kText = 900;
constexpr SHORT kJob = 901, kRun = 901, kResident = 902, kQueue = 903, kAdd = 903;

// Sorted by word, as the lookups require.
TBL_S_JOB g_Words1[] = {{kSample, "SAMPLE    "}};
TBL_S_JOB g_Words2[] = {{kEcho, "ECHO      "}, {kJob, "JOB       "}, {kQueue, "QUEUE     "}, {kResident, "RESIDENT  "}};
TBL_S_JOB g_Words3[] = {{kAdd, "ADD       "}, {kRun, "RUN       "}, {kText, "TEXT      "}};

class COnceJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        char text[64];
        std::snprintf(text, sizeof text, "#BEGIN\n#JOB=once\n#PID=%d\n#END\n", static_cast<int>(GetCurrentProcessId()));
        SetAnswer(0, text);
        return 0;
    }
};

class CResidentJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        char text[64];
        std::snprintf(text, sizeof text, "#BEGIN\n#JOB=resident\n#SERVED=%ld\n#END\n", ++m_lServed);
        SetAnswer(0, text);
        return 0;
    }

private:
    long m_lServed = 0;
};

class CQueuedJob final : public CJobThread {
public:
    using CJobThread::CJobThread;
    long Process() override {
        CExParam param;
        param = m_Request.GetExParam();
        LONG wait = 0;
        if (param.Get("#WAIT", wait) < 0 || wait < 0) wait = 0;
        // A stop ends the wait; the record then stays at the head of the queue file.
        CVQBException::ThrowStopExceptionIfRequired(static_cast<DWORD>(wait));
        return 0;
    }
};

const SJOB_MAP_TBL g_SjobMap[] = {
    {0, 0, kSample, kJob, kRun, JobThreadRoutine<COnceJob>, nullptr, nullptr},
    {0, SJOB_FLAG_RESIDENT, kSample, kResident, kText, JobThreadRoutine<CResidentJob>, nullptr, nullptr},
    {0, SJOB_FLAG_QUEUE, kSample, kQueue, kAdd, JobThreadRoutine<CQueuedJob>, nullptr, "SAMPLE_QUE"},
    {1, 0, 0, 0, 0, nullptr, nullptr, nullptr},
};

QUE_MAP_TBL g_QueTbl[] = {
    {"SAMPLE_QUE", 100, QUE_FLAG_FILE | QUE_FLAG_STOPSAVE, nullptr},
    {nullptr, 0, 0, nullptr},
};

class CSampleApp : public CVQBThdMsg {
public:
    CSampleApp() : CVQBThdMsg(0, kProcessName, kServiceName, VQB_FLAG_NO_MSGMGR) {}

    void MakeSjobTbl() override { m_pSjobMapTbl = g_SjobMap; }
    void MakeQueTbl() override { m_pQueMapTbl = g_QueTbl; }

    short ReqReceived(CJobPipeData& record) override {
        if (record.GetSJob1() == kSample && record.GetSJob2() == kEcho && record.GetSJob3() == kText) {
            CExParam param;
            param = record.GetExParam();
            param.RemoveAt("#END");
            if (param.GetSize() == 0) param.Begin();
            param.Put("#PID", static_cast<LONG>(GetCurrentProcessId()));
            param.End();
            CJobPipeData reply(record);
            reply.SetExParam(param);
            SendAnswer(reply, 0);
            return 0;
        }
        return CVQBThdMsg::ReqReceived(record);
    }
};

std::mutex g_statusLock;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};

void Report(DWORD state, DWORD waitHint = 0) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    // A paused service still takes stop and continue.
    g_status.dwControlsAccepted = (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
                                      ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE
                                      : 0;
    g_status.dwCheckPoint =
        (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? g_status.dwCheckPoint + 1 : 0;
    g_status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &g_status);
}

void WINAPI Handler(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, 20000);
        VQBThdPostMsg(VQBMSG_PROCESS_STOP, 0, 15000);
        return;
    case SERVICE_CONTROL_PAUSE:
        VQBThdPostMsg(VQBMSG_PROCESS_PAUSE, 0, 0);
        Report(SERVICE_PAUSED);
        return;
    case SERVICE_CONTROL_CONTINUE:
        VQBThdPostMsg(VQBMSG_PROCESS_CONTINUE, 0, 0);
        Report(SERVICE_RUNNING);
        return;
    default: {
        DWORD state;
        {
            std::lock_guard<std::mutex> lock(g_statusLock);
            state = g_status.dwCurrentState;
        }
        Report(state);
    }
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_statusHandle = RegisterServiceCtrlHandlerA(kServiceName, Handler);
    if (!g_statusHandle) return;
    Report(SERVICE_START_PENDING, 10000);
    CVQBThdMsg::RegisterSJobTbl(g_Words1, 1, g_Words2, 4, g_Words3, 3);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        CSampleApp app;
        HANDLE thread = app.Main(&done);
        if (thread) {
            Report(SERVICE_RUNNING);
            WaitForSingleObject(done, INFINITE);
            Report(SERVICE_STOP_PENDING, 10000);
        } else {
            g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            g_status.dwServiceSpecificExitCode = 1;
        }
        app.CloseProc();
    }
    CloseHandle(done);
    CAplLog::Close();
    Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    char name[] = "VQSAMPLE";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        std::fprintf(stderr, "vqsample: the service dispatcher failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}
