// The controller's own messages; what passes through the pipes goes to the journal instead.
#pragma once

#include "standins/standin_log.h"

namespace taskctrl {

STANDIN_LOG_FUNCTION("taskctrl")

}  // namespace taskctrl
