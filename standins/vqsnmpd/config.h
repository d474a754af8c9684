// The host's configuration, read once from the registry at start (docs/snmp-host.md).
//
// HKLM\SYSTEM\CurrentControlSet\Services\SNMP\Parameters
//   ExtensionAgents            value (any name) = key path below HKLM; that key's
//                              "Pathname" (REG_SZ / REG_EXPAND_SZ) is the agent library
//   TrapConfiguration\<community>      values (any name) "host" or "host:port": SNMPv1
//   TrapConfigurationV2c\<community>   the same shape: SNMPv2c
//   TrapConfigurationV3\<name>         Address, UserName, AuthProtocol, AuthPassphrase,
//                                      PrivProtocol, PrivPassphrase, SecurityLevel, EngineID
//   AgentAddress               optional IPv4 text: the agent-addr of SNMPv1 traps
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqsnmpd {

inline constexpr const char* kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters";
inline constexpr uint16_t kDefaultTrapPort = 162;

struct AgentEntry {
    std::string valueName;  // the ExtensionAgents value naming it
    std::string keyPath;    // below HKLM
    std::string pathname;   // expanded library path
};

enum class Version { V1, V2c, V3 };

enum class SecurityLevel { NoAuthNoPriv, AuthNoPriv, AuthPriv };

struct Destination {
    Version version = Version::V1;
    std::string label;  // for the log: "v1 public 127.0.0.1:162"
    std::string host;
    uint16_t port = kDefaultTrapPort;
    std::string community;  // v1, v2c
    // v3 (USM)
    std::string user;
    std::string authProtocol = "SHA";
    std::string authPassphrase;
    std::string privProtocol = "AES";
    std::string privPassphrase;
    SecurityLevel level = SecurityLevel::AuthPriv;
    std::vector<uint8_t> engineId;
};

struct Config {
    std::vector<AgentEntry> agents;
    std::vector<Destination> destinations;
    std::string agentAddress;           // empty: left to net-snmp (the machine's own address)
    uint32_t engineBoots = 1;           // SNMPv3 snmpEngineBoots of this start (NextEngineBoots)
    std::vector<std::string> problems;  // configuration entries skipped, one line each
};

Config ReadConfig();

// "host" or "host:port" (port 1..65535); "[v6addr]:port" for IPv6 literals.
bool ParseAddress(const std::string& text, std::string& host, uint16_t& port);
// Hex digits with optional "0x" prefix and optional ':' / ' ' separators; 5..32 bytes.
bool ParseEngineId(const std::string& text, std::vector<uint8_t>& id);
// The engine id used when EngineID is not set: 80 00 18 3B 04 followed by "vq:" and the
// first 24 characters of /etc/machine-id, or, without a machine id, "vqsnmpd@" and the
// host name, cut to 32 bytes in all (RFC 3411 text format, enterprise 6203). Cloned
// terminals share host names more often than machine ids.
std::vector<uint8_t> DefaultEngineId();
// The SNMPv3 engine boots count of this start: the registry value EngineBoots (REG_DWORD
// under Parameters) plus one, stored back. A receiver drops traps whose boots and time
// go back, so the count must grow across restarts of the host and of the machine.
// Capped at 2147483647 (RFC 3414).
uint32_t NextEngineBoots();
std::string HexText(const std::vector<uint8_t>& bytes);

}  // namespace vqsnmpd
