// Win32 file-name patterns. FindFirstFile matches names the DOS way: '?' matches one
// character but also nothing at a dot or at the end of the name ("a??" finds "a"), a
// '*' that stands before a dot stops at the name's last dot ("*.txt" does not find
// "a.txt.bak"), and a dot before a wildcard or at the end also matches the end of a name
// without one ("*.*" and "x.*" find "x"; "*." finds the names without extension).
// Letters compare without regard to case.
#pragma once

#include <string>

namespace pal {

bool MatchFilePattern(const std::string& pattern, const std::string& name);

// True when the pattern holds '*' or '?'.
bool HasWildcards(const std::string& pattern);

}  // namespace pal
