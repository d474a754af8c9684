// Pipe names and where their sockets live.
//
// "\\.\PIPE\Name" and "\\SERVER\PIPE\Name" (SERVER this computer) name the same pipe as
// "\\.\pipe\name": names are compared without regard to case. The serving process binds
// $VQ_ROOT/.vq/pipes/<name>.sock (lower case; characters other than letters, digits,
// '.', '_', '-' as %XX) and holds an OFD lock on <name>.lock beside it for as long as it
// serves the name. The kernel drops the lock when the process ends however it ends, so a
// socket file whose lock is free is stale and the next server replaces it. Names whose
// path would not fit a socket address (108 bytes) use a hash of the name instead.
#pragma once

#include <string>

namespace pal::pipe {

// Splits a pipe path into its server ("." for the local form) and the name after
// "PIPE\". False when path is not a pipe path or the name is empty.
bool SplitPipePath(const char* path, std::string& server, std::string& name);

// "." or this computer's name (GetComputerNameA), compared without regard to case.
bool IsLocalServer(const std::string& server);

struct PipeFiles {
    std::string socket;
    std::string lock;
};

// The socket and lock file of a pipe name; creates the pipes directory.
PipeFiles FilesOf(const std::string& name);

// connect() and bind() of a Unix socket to a path; also for paths longer than a socket
// address holds (through the directory's /proc/self/fd entry). 0, or -1 with errno.
int ConnectPath(int fd, const std::string& path);
int BindPath(int fd, const std::string& path);

}  // namespace pal::pipe
