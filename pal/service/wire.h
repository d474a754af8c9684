// The control socket's names, addresses and line format, shared by the dispatcher and
// its clients.
//
// A request is one word and a newline ("query", "stop", "pause", "continue",
// "interrogate"). The answer is one line of decimal numbers:
//   <error> <type> <state> <accepted> <win32 exit> <service exit> <checkpoint> <wait hint> <pid>
// and the connection closes.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>

#include "pal/service/service.h"

namespace pal::service::detail {

// Service names are case-insensitive; files use the lower-case form.
std::string Key(const std::string& name);
// Non-empty, at most 256 bytes, no slashes or control characters.
bool ValidName(const std::string& name);

// $VQ_ROOT/.vq/services (created).
std::string ServicesDir();
std::string LockPath(const std::string& name);

// The socket address of a path. A path too long for sun_path is replaced by an abstract
// name derived from it, which every process of the machine computes alike.
void MakeAddress(const std::string& path, sockaddr_un& addr, socklen_t& len);

const char* ControlWord(DWORD control);

std::string EncodeReply(DWORD error, const SERVICE_STATUS& status, pid_t pid);
bool ParseReply(const std::string& line, DWORD& error, SERVICE_STATUS& status, pid_t& pid);

}  // namespace pal::service::detail
