// Extension agents and the trap loop (see host.h).
//
// The trap hand-over follows the platform's protocol: after the trap event is set the
// host calls SnmpExtensionTrap until it returns FALSE. Each TRUE return leaves a trap in
// the out-arguments, which the host sends and then hands back untouched: the agent frees
// that storage on its next call, through the same arguments. So the out-arguments live
// with the agent, are cleared only before the first call of a round (when the agent
// holds nothing), and are never freed here.
#include "standins/vqsnmpd/host.h"

#include "standins/vqsnmpd/log.h"

namespace vqsnmpd {

namespace {
// Calls made after a stop request before a round that never ends is abandoned.
constexpr int kCallsAfterStop = 1000;
}  // namespace

struct Host::Agent {
    std::string name;
    HMODULE module = nullptr;
    PFNSNMPEXTENSIONINIT init = nullptr;
    PFNSNMPEXTENSIONTRAP trap = nullptr;
    PFNSNMPEXTENSIONQUERY query = nullptr;
    PFNSNMPEXTENSIONCLOSE close = nullptr;
    HANDLE event = nullptr;  // owned by the agent
    AsnObjectIdentifier view = {};
    // The trap out-arguments (see above).
    AsnObjectIdentifier enterprise = {};
    AsnInteger32 generic = 0;
    AsnInteger32 specific = 0;
    AsnTimeticks stamp = 0;
    SnmpVarBindList bindings = {};
    unsigned long traps = 0;
};

Host::Host() = default;
Host::~Host() { Close(); }

size_t Host::Load(const std::vector<AgentEntry>& entries) {
    for (const AgentEntry& e : entries) {
        auto agent = std::make_unique<Agent>();
        agent->name = e.pathname;
        agent->module = LoadLibraryA(e.pathname.c_str());
        if (agent->module == nullptr) {
            Log("agent %s (%s) skipped: it cannot be loaded (error %lu)", e.valueName.c_str(), e.pathname.c_str(),
                static_cast<unsigned long>(GetLastError()));
            continue;
        }
        agent->init = reinterpret_cast<PFNSNMPEXTENSIONINIT>(GetProcAddress(agent->module, "SnmpExtensionInit"));
        agent->trap = reinterpret_cast<PFNSNMPEXTENSIONTRAP>(GetProcAddress(agent->module, "SnmpExtensionTrap"));
        agent->query = reinterpret_cast<PFNSNMPEXTENSIONQUERY>(GetProcAddress(agent->module, "SnmpExtensionQuery"));
        agent->close = reinterpret_cast<PFNSNMPEXTENSIONCLOSE>(GetProcAddress(agent->module, "SnmpExtensionClose"));
        if (agent->init == nullptr || agent->trap == nullptr || agent->query == nullptr) {
            Log("agent %s (%s) skipped: it lacks SnmpExtensionInit, SnmpExtensionTrap or SnmpExtensionQuery",
                e.valueName.c_str(), e.pathname.c_str());
            FreeLibrary(agent->module);
            continue;
        }
        if (!agent->init(GetTickCount(), &agent->event, &agent->view)) {
            Log("agent %s (%s) skipped: SnmpExtensionInit failed", e.valueName.c_str(), e.pathname.c_str());
            // Objects the agent made before failing stay its own; unloading it would
            // leave them dangling, so the library stays loaded.
            continue;
        }
        std::string view = "none";
        if (agent->view.idLength > 0 && agent->view.idLength <= SNMP_MAX_OID_LEN && agent->view.ids != nullptr) {
            view.clear();
            for (UINT i = 0; i < agent->view.idLength; ++i)
                view += (i ? "." : "") + std::to_string(agent->view.ids[i]);
        }
        Log("agent %s (%s) loaded: view %s%s", e.valueName.c_str(), e.pathname.c_str(), view.c_str(),
            agent->event == nullptr ? ", no trap event" : "");
        agents_.push_back(std::move(agent));
    }
    return agents_.size();
}

void Host::Drain(Agent& agent, HANDLE stop, Sender& sender) {
    agent.enterprise = {};
    agent.generic = agent.specific = 0;
    agent.stamp = 0;
    agent.bindings = {};
    int callsLeft = -1;  // counts down once a stop is seen
    // The log line of a trap is written after the agent's next call: that call is what
    // tells the requester its trap went, and making and writing a line should not hold it
    // up. What the line names is copied first, as the call frees it.
    bool pending = false;
    std::vector<UINT>& ids = logIds_;
    AsnInteger32 generic = 0, specific = 0;
    AsnTimeticks stamp = 0;
    UINT bindings = 0;
    int sent = 0;
    auto logSent = [&] {
        if (!pending) return;
        pending = false;
        std::string oid;
        for (size_t i = 0; i < ids.size(); ++i) oid += (i ? "." : "") + std::to_string(ids[i]);
        Log("trap %s generic %d specific %d time %lu bindings %u: sent to %d destination(s)", oid.c_str(),
            static_cast<int>(generic), static_cast<int>(specific), static_cast<unsigned long>(stamp / 10), bindings,
            sent);
    };
    for (;;) {
        bool more = agent.trap(&agent.enterprise, &agent.generic, &agent.specific, &agent.stamp, &agent.bindings);
        logSent();
        if (!more) break;
        Trap trap{&agent.enterprise, agent.generic, agent.specific, agent.stamp, &agent.bindings};
        SendResult r = sender.Send(trap);
        ++agent.traps;
        if (!r.refused) {
            pending = true;
            ids.clear();
            if (agent.enterprise.ids != nullptr && agent.enterprise.idLength <= SNMP_MAX_OID_LEN)
                ids.assign(agent.enterprise.ids, agent.enterprise.ids + agent.enterprise.idLength);
            generic = agent.generic;
            specific = agent.specific;
            stamp = agent.stamp;
            bindings = agent.bindings.len;
            sent = r.sent;
        }
        if (callsLeft < 0 && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) callsLeft = kCallsAfterStop;
        if (callsLeft >= 0 && callsLeft-- == 0) {
            logSent();
            Log("agent %s keeps handing out traps after the stop request; the rest stay with it",
                agent.name.c_str());
            break;
        }
    }
}

bool Host::Run(HANDLE stop, Sender& sender) {
    std::vector<HANDLE> handles{stop};
    std::vector<Agent*> owners{nullptr};
    for (auto& agent : agents_) {
        if (agent->event == nullptr) continue;
        if (handles.size() == MAXIMUM_WAIT_OBJECTS) {
            Log("agent %s: more than %d trap events; its traps are not served", agent->name.c_str(),
                MAXIMUM_WAIT_OBJECTS - 1);
            continue;
        }
        handles.push_back(agent->event);
        owners.push_back(agent.get());
    }
    for (;;) {
        DWORD w = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
        if (w == WAIT_OBJECT_0) return true;
        if (w > WAIT_OBJECT_0 && w < WAIT_OBJECT_0 + handles.size()) {
            Drain(*owners[w - WAIT_OBJECT_0], stop, sender);
            continue;
        }
        Log("waiting for the trap events failed (result %lu, error %lu)", static_cast<unsigned long>(w),
            static_cast<unsigned long>(GetLastError()));
        return false;
    }
}

void Host::Close() {
    for (auto& agent : agents_) {
        if (agent->close != nullptr) agent->close();
        Log("agent %s closed after %lu trap(s)", agent->name.c_str(), agent->traps);
        FreeLibrary(agent->module);
    }
    agents_.clear();
}

}  // namespace vqsnmpd
