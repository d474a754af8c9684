// The controller's own messages (start, stop, failures): one line each on stderr, prefixed
// with the program name. What passes through the pipes goes to the journal instead.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace taskctrl {

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
    std::fprintf(stderr, "taskctrl: %s\n", line);
    std::fflush(stderr);
}

}  // namespace taskctrl
