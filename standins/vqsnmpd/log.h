// The host's log: one line per event on stderr.
#pragma once

#include "standins/standin_log.h"

namespace vqsnmpd {

STANDIN_LOG_FUNCTION("vqsnmpd")

}  // namespace vqsnmpd
