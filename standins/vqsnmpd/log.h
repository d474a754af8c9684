// The host's log: one line per event on stderr, prefixed with the program name. Lines from
// different threads never interleave.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vqsnmpd {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Log(const char* format, ...) {
    static std::mutex lock;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "vqsnmpd: %s\n", line);
    std::fflush(stderr);
}

}  // namespace vqsnmpd
