// The stand-ins' own messages (start, stop, failures): one line each on stderr, prefixed
// with the program name; lines from different threads never interleave.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace standin {

inline void VLog(const char* program, const char* format, va_list args) {
    static std::mutex lock;
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "%s: %s\n", program, line);
    std::fflush(stderr);
}

}  // namespace standin

// Defines Log(format, ...) for one program, with printf checking of its arguments; each
// stand-in's log.h uses it inside its own namespace.
#define STANDIN_LOG_FUNCTION(program)                                  \
    __attribute__((format(printf, 1, 2))) inline void Log(const char* format, ...) { \
        va_list args;                                                  \
        va_start(args, format);                                        \
        ::standin::VLog(program, format, args);                        \
        va_end(args);                                                  \
    }
