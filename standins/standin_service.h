// The service frame the stand-ins share: one service per process, its status reports
// (check points counted while pending) and a stop event that the stop and shutdown
// controls set. Every other control reports the current state again.
#pragma once

#include <mutex>

#include "pal/windows.h"
#include "standins/standin_log.h"

namespace standin {

class ServiceFrame {
public:
    explicit ServiceFrame(const char* program) : program_(program) { current_ = this; }

    // In the service main: registers the handler and creates the stop event. False (the
    // failure logged and kept as the exit code) when the service cannot run.
    bool Begin(const char* serviceName, DWORD startWaitHint) {
        handle_ = RegisterServiceCtrlHandlerA(serviceName, Handler);
        if (handle_ == nullptr) {
            exitCode = GetLastError();
            Log("RegisterServiceCtrlHandler failed (error %lu)", static_cast<unsigned long>(exitCode));
            return false;
        }
        Report(SERVICE_START_PENDING, startWaitHint);
        stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop == nullptr) {
            exitCode = GetLastError();
            Log("cannot create the stop event (error %lu)", static_cast<unsigned long>(exitCode));
            Report(SERVICE_STOPPED);
            return false;
        }
        return true;
    }

    // Runs the dispatcher for the process's one service; returns the process's exit code
    // (1 when the dispatcher could not start, or the service ended with an error).
    int Dispatch(const char* serviceName, LPSERVICE_MAIN_FUNCTIONA serviceMain) {
        SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(serviceName), serviceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherA(table)) {
            DWORD error = GetLastError();
            if (error == ERROR_SERVICE_ALREADY_RUNNING)
                Log("already running on this machine root (error %lu)", static_cast<unsigned long>(error));
            else
                Log("the service dispatcher failed (error %lu)", static_cast<unsigned long>(error));
            return 1;
        }
        return exitCode == NO_ERROR ? 0 : 1;
    }

    // Reports stopped (with the exit code) and releases the stop event.
    void End() {
        if (stop) CloseHandle(stop);
        stop = nullptr;
        Report(SERVICE_STOPPED);
    }

    void Report(DWORD state, DWORD waitHint = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status_.dwCurrentState = state;
        status_.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status_.dwWin32ExitCode = state == SERVICE_STOPPED ? exitCode : NO_ERROR;
        status_.dwCheckPoint =
            (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ? status_.dwCheckPoint + 1 : 0;
        status_.dwWaitHint = waitHint;
        if (!SetServiceStatus(handle_, &status_))
            Log("SetServiceStatus failed (error %lu)", static_cast<unsigned long>(GetLastError()));
    }

    __attribute__((format(printf, 2, 3))) void Log(const char* format, ...) {
        va_list args;
        va_start(args, format);
        VLog(program_, format, args);
        va_end(args);
    }

    HANDLE stop = nullptr;
    DWORD exitCode = NO_ERROR;

private:
    static void WINAPI Handler(DWORD control) {
        ServiceFrame& self = *current_;
        if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
            self.Report(SERVICE_STOP_PENDING, 10000);
            SetEvent(self.stop);
            return;
        }
        DWORD state;
        {
            std::lock_guard<std::mutex> lock(self.mutex_);
            state = self.status_.dwCurrentState;
        }
        self.Report(state);
    }

    static inline ServiceFrame* current_ = nullptr;
    const char* program_;
    std::mutex mutex_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    SERVICE_STATUS status_ = {};
};

}  // namespace standin
