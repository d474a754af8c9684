// Modules: LoadLibrary and GetProcAddress over dlopen and dlsym. An HMODULE is the
// dlopen handle of the shared object.
//
// Names. "x.dll" (any case; the ".dll" may be left off) is the shared object "libx.so";
// a name that ends in ".so" (or has a ".so." version suffix) is used as it is. Within a
// directory, file names match ignoring case, and the name as given (say a file really
// called "x.dll") is tried after "libx.so".
//
// Search order, first hit wins:
//   1. when the name has a directory: that directory; Windows paths ("C:\dir\x.dll",
//      "\dir\x.dll") are mapped into the machine root (pal::MapPath), Linux paths are used
//      as they are;
//   2. each directory of the environment variable VQ_LIBRARY_PATH (colon-separated), read
//      at each call;
//   3. the directory of the running executable, then its ../lib;
//   4. the system's own dlopen search (LD_LIBRARY_PATH, run path, ld.so cache).
// A file found in steps 1-3 ends the search: when it is not a loadable shared object of
// this machine the load fails with ERROR_BAD_EXE_FORMAT, when its dependencies are missing
// with ERROR_MOD_NOT_FOUND.
//
// Errors: ERROR_MOD_NOT_FOUND (126) when nothing is found, ERROR_PROC_NOT_FOUND (127) for a
// symbol the module does not define itself (symbols of its dependencies do not count, and
// ordinals are not supported). An HMODULE this layer never handed out is refused, not
// used: ERROR_MOD_NOT_FOUND from GetProcAddress and GetModuleFileName, ERROR_INVALID_HANDLE
// from FreeLibrary.
//
// Paths reported by GetModuleFileName are Linux paths.
#pragma once

#include "pal/types.h"

#define DONT_RESOLVE_DLL_REFERENCES 0x00000001u
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002u
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_IGNORE_CODE_AUTHZ_LEVEL 0x00000010u
#define LOAD_LIBRARY_AS_IMAGE_RESOURCE 0x00000020u
#define LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE 0x00000040u

HMODULE LoadLibraryA(LPCSTR lpLibFileName);
// hFile must be null. The data-file flags (LOAD_LIBRARY_AS_DATAFILE, _EXCLUSIVE,
// LOAD_LIBRARY_AS_IMAGE_RESOURCE) load a module for its resources only: a message-text
// module (pal/module/message_table.h; its texts serve FormatMessage FROM_HMODULE) or a
// shared object. For "x.dll" or "x" each directory is searched for "x.mc", then the name
// as given ("x.dll"), then "libx.so"; a bare name also searches C:\WINDOWS\system32 and
// C:\WINDOWS after the directories above. A file found that is neither a shared object of
// this machine nor a well-formed message module fails with ERROR_BAD_EXE_FORMAT. Each
// data-file load has a handle of its own (an odd value), released by FreeLibrary;
// GetProcAddress and GetModuleFileName refuse it. Other flags are accepted and ignored.
HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
BOOL FreeLibrary(HMODULE hLibModule);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// A module already loaded into the process (without loading it or counting a reference),
// matched by file name; null: the main program.
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
// The module's full path (null: the executable). Returns its length; when nSize is too
// small, the path cut to nSize - 1 characters, nSize, and ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

#define LoadLibrary LoadLibraryA
#define LoadLibraryEx LoadLibraryExA
#define GetModuleHandle GetModuleHandleA
#define GetModuleFileName GetModuleFileNameA
