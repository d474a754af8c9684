// Helpers of the host's tests: a real snmptrapd on a loopback port, the host as a child
// process, and the registry layout the host reads.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vqsnmpd::test {

std::string Root();
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// A program run with posix_spawn, stdout and stderr going to one file.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string>& argv, const std::string& outFile,
            const std::map<std::string, std::string>& env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t pid() const { return pid_; }
    std::string Output() const { return ReadFile(out_); }
    // Waits until the output contains text; false after timeoutMs.
    bool WaitFor(const std::string& text, int timeoutMs = 20000) const;
    void Kill(int signal);
    // Exit code, or 128 + signal; -1 when it did not end within timeoutMs (then killed).
    int Wait(int timeoutMs = 20000);

private:
    pid_t pid_ = -1;
    std::string out_;
};

// snmptrapd on 127.0.0.1:<free port>, logging each trap as one line:
//   TRAP|<agent-addr>|<enterprise>|<generic>|<specific>|<uptime>|<security>|<vb>~<vb>...
// with numeric OIDs. Knows the v3 user "trapuser" (SHA/AES, kAuthPass/kPrivPass) for the
// engine ids given.
class TrapReceiver {
public:
    explicit TrapReceiver(const std::vector<std::string>& v3EngineIds = {});
    int port() const { return port_; }
    std::vector<std::string> Traps() const;
    // Waits until at least n traps arrived; returns them.
    std::vector<std::string> WaitTraps(size_t n, int timeoutMs = 20000) const;
    // Waits until snmptrapd has taken every datagram sent to it so far off its socket (its
    // log may still lag by the one it is decoding); false after timeoutMs. A busy host can
    // run far ahead of snmptrapd, and a datagram that finds the socket's buffer full is
    // dropped.
    bool WaitIdle(int timeoutMs = 20000) const;

private:
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

inline constexpr const char* kAuthPass = "authpass123";
inline constexpr const char* kPrivPass = "privpass456";
inline constexpr const char* kEngineId = "0x8000183B04766773746573";
inline constexpr const char* kOtherEngineId = "0x8000183B04766773746574";

// Registry setup (below HKLM).
void SetString(const std::string& key, const std::string& name, const std::string& value, bool expand = false);
// Also removes the test agents' files.
void ClearSnmpConfig();
// ExtensionAgents value "name" -> key SOFTWARE\VQTest\<name> with Pathname = path.
void AddAgent(const std::string& name, const std::string& path, bool expand = false);
void AddCommunityDestination(const std::string& versionKey, const std::string& community, const std::string& value,
                             const std::string& address);
void AddV3Destination(const std::string& name, const std::string& address, const std::string& engineId);

// The host as a child process; its log goes to $VQ_ROOT/vqsnmpd.<n>.log.
class Host {
public:
    explicit Host(const std::map<std::string, std::string>& env = {});
    // Waits for the "running:" line.
    bool Running(int timeoutMs = 20000) const { return process_.WaitFor("vqsnmpd: running:", timeoutMs); }
    std::string Log() const { return process_.Output(); }
    Process& process() { return process_; }
    // SIGTERM, then the exit code.
    int Stop();

private:
    Process process_;
};

// Writes the script of test agent id ("A" or "B") and sets its go event.
void RunScript(const std::string& id, const std::vector<std::string>& lines);

std::vector<std::string> Split(const std::string& text, char sep);

// "127.0.0.1:<port>" of a receiver, for a destination value.
std::string Addr(const TrapReceiver& r);
// The received traps whose security field starts with prefix ("TRAP, SNMP v1", "TRAP2, SNMP
// v2c", "TRAP2, SNMP v3").
std::vector<std::string> Only(const std::vector<std::string>& traps, const std::string& security);
// The "OID = TYPE: value" texts of one received trap's bindings.
std::vector<std::string> Bindings(const std::string& trap);

}  // namespace vqsnmpd::test
