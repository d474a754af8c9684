// The host's log: one line per event on stderr.
#pragma once

#include "standins/standin_log.h"

namespace vqsnmpd {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    standin::VLog("vqsnmpd", format, args);
    va_end(args);
}

}  // namespace vqsnmpd
