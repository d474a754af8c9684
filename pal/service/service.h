// Service control: the dispatcher, control handler and status reports on a Linux process.
//
// The process is the service; there is no separate control manager. The dispatcher runs
// each service main on its own thread and serves a control socket under the machine root
// ($VQ_ROOT/.vq/services/<name>.sock); SIGTERM and SIGINT are the stop control. Status
// reports are forwarded to systemd when NOTIFY_SOCKET is set. See docs/service.md.
//
// Test setting, read from the environment at each call:
//   VQ_SERVICE_FAIL_STATUS  "N": the N-th SetServiceStatus call of the process fails with
//                           ERROR_INVALID_DATA; "N-": that call and every later one fails.
#pragma once

#include <sys/types.h>

#include <string>

#include "pal/error/error.h"
#include "pal/types.h"

#define SERVICE_KERNEL_DRIVER 0x00000001u
#define SERVICE_FILE_SYSTEM_DRIVER 0x00000002u
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_WIN32_SHARE_PROCESS 0x00000020u
#define SERVICE_WIN32 (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)
#define SERVICE_INTERACTIVE_PROCESS 0x00000100u

#define SERVICE_STOPPED 0x00000001u
#define SERVICE_START_PENDING 0x00000002u
#define SERVICE_STOP_PENDING 0x00000003u
#define SERVICE_RUNNING 0x00000004u
#define SERVICE_CONTINUE_PENDING 0x00000005u
#define SERVICE_PAUSE_PENDING 0x00000006u
#define SERVICE_PAUSED 0x00000007u

#define SERVICE_ACCEPT_STOP 0x00000001u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x00000002u
#define SERVICE_ACCEPT_SHUTDOWN 0x00000004u

#define SERVICE_CONTROL_STOP 0x00000001u
#define SERVICE_CONTROL_PAUSE 0x00000002u
#define SERVICE_CONTROL_CONTINUE 0x00000003u
#define SERVICE_CONTROL_INTERROGATE 0x00000004u
#define SERVICE_CONTROL_SHUTDOWN 0x00000005u

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

struct SERVICE_STATUS_HANDLE__ {
    int unused;
};
typedef SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

typedef void(WINAPI* LPSERVICE_MAIN_FUNCTIONA)(DWORD dwNumServicesArgs, LPSTR* lpServiceArgVectors);
typedef void(WINAPI* LPHANDLER_FUNCTION)(DWORD dwControl);
typedef DWORD(WINAPI* LPHANDLER_FUNCTION_EX)(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                             LPVOID lpContext);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA, *LPSERVICE_TABLE_ENTRYA;
typedef SERVICE_TABLE_ENTRYA SERVICE_TABLE_ENTRY;
typedef LPSERVICE_TABLE_ENTRYA LPSERVICE_TABLE_ENTRY;
typedef LPSERVICE_MAIN_FUNCTIONA LPSERVICE_MAIN_FUNCTION;

// Runs the table (ended by an entry with a null name) and serves controls on the calling
// thread; returns TRUE once every service main has returned.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable);
#define StartServiceCtrlDispatcher StartServiceCtrlDispatcherA

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc);
#define RegisterServiceCtrlHandler RegisterServiceCtrlHandlerA
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext);
#define RegisterServiceCtrlHandlerEx RegisterServiceCtrlHandlerExA

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);

namespace pal::service {

// Not a Win32 control: asks for the last reported status without calling the handler.
constexpr DWORD kQuery = 0;

// The control socket of a service of this machine root (the name is case-insensitive).
std::string ControlSocketPath(const std::string& name);

// Sends a control (SERVICE_CONTROL_STOP, PAUSE, CONTINUE, INTERROGATE, or kQuery) to the named service
// over its control socket and waits up to timeoutMs for the answer. On true, status holds
// the status after the handler ran. On false, error is the Win32 number (1062 when the
// service is not running, 1052 / 1061 when it refused) and status holds the service's
// status when it answered. pid, when given, receives the service process id (0 unknown).
bool SendControl(const std::string& name, DWORD control, SERVICE_STATUS& status, DWORD& error,
                 pid_t* pid = nullptr, int timeoutMs = 30000);

// "RUNNING", "STOP_PENDING" ...; "UNKNOWN" otherwise.
const char* StateName(DWORD state);
// "STOPPABLE, NOT_PAUSABLE, ACCEPTS_SHUTDOWN" style text of dwControlsAccepted.
std::string ControlsAcceptedText(DWORD accepted);
// SERVICE_CONTROL_* from "stop", "pause", "continue", "interrogate", or kQuery from
// "query" (any case); false when unknown.
bool ControlFromName(const std::string& word, DWORD& control);

}  // namespace pal::service
