// vqsample: the smallest framework process. It runs as the service "VQSAMPLE" with the
// process name "sample": it starts the process core, connects to the task controller
// through the job pipe, answers requests, and stops on SIGTERM ("vqsc stop VQSAMPLE")
// through the core's stop sequence.
//
// Besides the framework's own system requests it serves one request of its own,
// SAMPLE ECHO TEXT: the answer (result 0) carries the request's parameter text with
// "#PID" added. Tests and the docs use it to show a request and its answer end to end.
#include <cstdio>
#include <mutex>

#include "framework/apllog.h"
#include "framework/vqbthdmsg.h"
#include "pal/windows.h"
#include "pblock/exparam.h"

namespace {

constexpr char kServiceName[] = "VQSAMPLE";
constexpr char kProcessName[] = "sample";
constexpr SHORT kSample = 900, kEcho = 900, kText = 900;

TBL_S_JOB g_Words1[] = {{kSample, "SAMPLE    "}};
TBL_S_JOB g_Words2[] = {{kEcho, "ECHO      "}};
TBL_S_JOB g_Words3[] = {{kText, "TEXT      "}};

class CSampleApp : public CVQBThdMsg {
public:
    CSampleApp() : CVQBThdMsg(0, kProcessName, kServiceName, VQB_FLAG_NO_MSGMGR) {}

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
    CVQBThdMsg::RegisterSJobTbl(g_Words1, 1, g_Words2, 1, g_Words3, 1);
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
