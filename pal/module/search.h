// Where a module name leads: the file names a Windows module name stands for, and the
// directories searched for them (the order is described in module.h).
#pragma once

#include <string>
#include <vector>

namespace pal::module {

struct LibraryName {
    std::string dir;                  // the directory given with the name (Linux path), or ""
    std::vector<std::string> files;   // file names to look for, in order
    std::vector<std::string> system;  // names handed to the system's own search
};

// "C:\dir\X.dll" -> dir "$VQ_ROOT/drive_c/dir", files {"libX.so", "X.dll"}, system
// {"libX.so", "libx.so"}. Names ending in ".so" stay as they are.
LibraryName ParseLibraryName(const std::string& name);

// The directories of search steps 1 to 3, in order.
std::vector<std::string> SearchDirectories(const LibraryName& name);

// The first of files present in dir as a regular file, matched ignoring case (an exact
// spelling wins); "" when none is.
std::string FindInDirectory(const std::string& dir, const std::vector<std::string>& files);

// True when path is a shared object this process could load (an ELF dynamic object of
// its own class, byte order and machine).
bool IsSharedObjectForThisMachine(const std::string& path);

// Case-insensitive file-name match.
bool SameFileName(const std::string& a, const std::string& b);

}  // namespace pal::module
