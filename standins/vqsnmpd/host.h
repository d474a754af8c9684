// The extension agents of the host: loading them as the registry names them, and the trap
// loop that waits on their trap events and hands each trap to the sender.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pal/windows.h"
#include "standins/vqsnmpd/config.h"
#include "standins/vqsnmpd/sender.h"

namespace vqsnmpd {

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads and initialises each agent; one that fails to load, lacks an entry point or
    // whose SnmpExtensionInit fails is logged and skipped. Returns the agents running.
    size_t Load(const std::vector<AgentEntry>& agents);
    // Waits on the agents' trap events and the stop event (manual-reset) until stop is set.
    // false when the wait itself failed.
    bool Run(HANDLE stop, Sender& sender);
    // SnmpExtensionClose and unload, in load order.
    void Close();

private:
    struct Agent;
    void Drain(Agent& agent, HANDLE stop, Sender& sender);
    std::vector<std::unique_ptr<Agent>> agents_;
    std::vector<UINT> logIds_;  // Drain's copy of an enterprise, kept for its capacity
};

}  // namespace vqsnmpd
