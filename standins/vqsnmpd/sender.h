// Sending traps with net-snmp: one open session per destination, reused for every trap.
//
// The trap comes as the extension agent hands it over (platform SNMP types); it is turned
// into an SNMPv1 Trap-PDU for v1 destinations and an SNMPv2-Trap-PDU (RFC 3584 section
// 3.1) for v2c and v3 destinations. Nothing here keeps or frees the agent's storage.
#pragma once

#include <memory>
#include <vector>

#include "pal/snmp/snmp.h"
#include "standins/vqsnmpd/config.h"

namespace vqsnmpd {

struct Trap {
    const AsnObjectIdentifier* enterprise = nullptr;
    AsnInteger32 generic = 0;
    AsnInteger32 specific = 0;
    AsnTimeticks timestampMs = 0;  // milliseconds, as the agent gives it
    const SnmpVarBindList* bindings = nullptr;
};

struct SendResult {
    int sent = 0;     // destinations the trap went to
    int skipped = 0;  // v1 destinations passed over because of a Counter64 binding
    int failed = 0;   // destinations whose send failed (logged)
    bool refused = false;  // the trap itself is unusable (logged); nothing sent
};

class Sender {
public:
    Sender();
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Initialises net-snmp (no configuration or state files) and opens a session for each
    // destination; a destination that cannot be opened is logged and left out. Returns
    // the number of open sessions.
    size_t Open(const Config& config);
    void Close();

    SendResult Send(const Trap& trap);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vqsnmpd
