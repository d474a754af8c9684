// Sends one trap through the trap request interface of the extension agent library
// (norvik.dll, loaded as the agent service loads it).
#pragma once

#include <string>

#include "tools/vqtrap/bindings.h"

namespace vqtrap {

struct SendResult {
    long code = 0;         // the failing call's result (Send's when everything else worked)
    std::string failed;    // which call failed, "" when the trap was handed over
    std::string message;   // what a user should read
};

SendResult SendTrap(const Request& request);

// A sentence for a result code of the request interface.
std::string Explain(long code);

}  // namespace vqtrap
