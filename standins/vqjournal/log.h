// The service's own messages (start, stop, trouble); the copied entries go to the System
// log instead.
#pragma once

#include "standins/standin_log.h"

namespace vqjournal {

STANDIN_LOG_FUNCTION("vqjournal")

}  // namespace vqjournal
