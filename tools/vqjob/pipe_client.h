// The client end of the task controller's pipes as vqjob uses them: the job pipe (byte
// mode, whole 4096-byte records) and the control pipe (message mode, one text per message).
#pragma once

#include <string>

#include "pal/types.h"

namespace vqjob {

// "\\.\PIPE\" + HKLM "SOFTWARE\QIR\VQ FRAMEWORK\SYSTEM" "PIPE_NAME" (default "taskctrl").
std::string JobPipeName();
// "SYSTEM" "NETWORK_ID", empty when not set.
std::string NetworkId();
// The PC name framework processes put in their records.
std::string PcName();

class PipeClient {
public:
    PipeClient();
    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // 0 or the Win32 error (2: no such pipe). While every instance is busy it waits, up to
    // timeoutMs, for a free one.
    DWORD Open(const std::string& name, bool messageMode, DWORD timeoutMs);
    void Close();
    DWORD Write(const void* data, DWORD size, DWORD timeoutMs);
    // Reads exactly size bytes (several reads if need be). 0, WAIT_TIMEOUT (258), 1 when
    // cancel was set, or the Win32 error. A time-out leaves the stream unusable: close it.
    DWORD ReadFull(void* data, DWORD size, DWORD timeoutMs, HANDLE cancel = nullptr);
    // One whole message of a message-mode pipe; results as ReadFull.
    DWORD ReadMessage(std::string& message, DWORD timeoutMs, HANDLE cancel = nullptr);

private:
    // One overlapped read; 0 with n bytes, ERROR_MORE_DATA with n bytes, or as ReadFull.
    DWORD ReadOnce(void* data, DWORD size, DWORD& n, DWORD timeoutMs, HANDLE cancel);

    HANDLE pipe_;
    HANDLE readEvent_, writeEvent_;
};

}  // namespace vqjob
