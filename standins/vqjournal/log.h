// The service's own messages (start, stop, trouble); the copied entries go to the System
// log instead.
#pragma once

#include "standins/standin_log.h"

namespace vqjournal {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    standin::VLog("vqjournal", format, args);
    va_end(args);
}

}  // namespace vqjournal
