// Windows paths on the Linux file system. "C:\WINDOWS\x.ini" lives at
// $VQ_ROOT/drive_c/WINDOWS/x.ini; each component is matched case-insensitively against
// what exists, so "c:\windows\X.INI" finds the same file. Paths that already start with
// '/' are Linux paths and pass unchanged; relative paths are taken from the current
// directory.
#pragma once

#include <string>

namespace pal {

// The Linux path for a Windows (or Linux) path. Components that do not exist yet keep
// the spelling given. Returns "" for null or empty input.
std::string MapPath(const char* path);

// True for device paths of the form "\\.\NAME" (name receives NAME, server ".") and for
// the pipe paths of a named computer, "\\SERVER\PIPE\x" (name receives "PIPE\x", server
// SERVER; the pipe family decides whether SERVER is this computer).
bool IsDevicePath(const char* path, std::string& name, std::string* server = nullptr);

}  // namespace pal
