// The controller's own messages; what passes through the pipes goes to the journal instead.
#pragma once

#include "standins/standin_log.h"

namespace taskctrl {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    standin::VLog("taskctrl", format, args);
    va_end(args);
}

}  // namespace taskctrl
