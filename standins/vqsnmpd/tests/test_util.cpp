#include "standins/vqsnmpd/tests/test_util.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "pal/windows.h"
#include "tests/support/free_port.h"

extern char** environ;

namespace vqsnmpd::test {

namespace {
std::atomic<int> g_counter{0};
}

std::string Root() {
    const char* root = std::getenv("VQ_ROOT");
    return root ? root : "/tmp";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

Process::Process(const std::vector<std::string>& argv, const std::string& outFile,
                 const std::map<std::string, std::string>& env)
    : out_(outFile) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0) envStore.push_back(entry);
    }
    for (const auto& [k, v] : env) envStore.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = argv;
    for (auto& a : argStore) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Process::WaitFor(const std::string& text, int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (Output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Output().find(text) != std::string::npos;
}

void Process::Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

int Process::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

TrapReceiver::TrapReceiver(const std::vector<std::string>& v3EngineIds) {
    int n = g_counter++;
    std::string conf = Root() + "/snmptrapd." + std::to_string(n) + ".conf";
    {
        std::ofstream out(conf);
        out << "disableAuthorization yes\n";
        out << "authCommunity log public\n";
        // A burst of traps must not overflow the socket while snmptrapd waits for a CPU
        // (the kernel caps this at net.core.rmem_max).
        out << "[snmp] serverRecvBuf 4194304\n";
        for (const std::string& id : v3EngineIds)
            out << "createUser -e " << id << " trapuser SHA " << kAuthPass << " AES " << kPrivPass << "\n";
    }
    // The port is free now; another test process may take it before snmptrapd binds, so a
    // failed start is retried on a new port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = vqtest::FreeUdpPort();
        std::string out = Root() + "/snmptrapd." + std::to_string(n) + "." + std::to_string(attempt) + ".out";
        process_ = std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/snmptrapd", "-f", "-Lo", "-n", "-C", "-c", conf, "-On", "-M", "/nonexistent",
                                 "-F", "TRAP|%a|%N|%w|%q|%T|%P|%V~%v\n", "udp:127.0.0.1:" + std::to_string(port_)},
                                out, std::map<std::string, std::string>{{"MIBS", ""}, {"SNMP_PERSISTENT_DIR", Root() + "/snmptrapd-state"}});
        if (process_->WaitFor("NET-SNMP version", 20000)) return;
    }
}

std::vector<std::string> TrapReceiver::Traps() const {
    std::vector<std::string> traps;
    std::string text = process_ ? process_->Output() : std::string();
    for (const std::string& line : Split(text, '\n'))
        if (line.rfind("TRAP|", 0) == 0) traps.push_back(line);
    return traps;
}

std::vector<std::string> TrapReceiver::WaitTraps(size_t n, int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> traps = Traps();
    while (traps.size() < n && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        traps = Traps();
    }
    return traps;
}

namespace {

// Bytes waiting in the receive queue of the UDP socket bound to 127.0.0.1:port, or -1 when
// there is none.
long ReceiveQueue(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        // sl local_address rem_address st tx_queue:rx_queue ...
        std::istringstream fields(line);
        std::string sl, address, remote, state, queues;
        if (!(fields >> sl >> address >> remote >> state >> queues) || address != local) continue;
        size_t colon = queues.find(':');
        return colon == std::string::npos ? -1 : std::stol(queues.substr(colon + 1), nullptr, 16);
    }
    return -1;
}

}  // namespace

bool TrapReceiver::WaitIdle(int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ReceiveQueue(port_) == 0) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void SetString(const std::string& key, const std::string& name, const std::string& value, bool expand) {
    HKEY k = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    RegSetValueExA(k, name.c_str(), 0, expand ? REG_EXPAND_SZ : REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
}

void ClearSnmpConfig() {
    for (const char* id : {"A", "B"})
        for (const char* suffix : {"script", "closed", "errors"})
            unlink((Root() + "/testagent_" + id + "." + suffix).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\SNMP");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VQTest");
}

void AddAgent(const std::string& name, const std::string& path, bool expand) {
    std::string key = "SOFTWARE\\VQTest\\" + name;
    SetString("SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\ExtensionAgents", name, key);
    SetString(key, "Pathname", path, expand);
}

void AddCommunityDestination(const std::string& versionKey, const std::string& community, const std::string& value,
                             const std::string& address) {
    SetString("SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\" + versionKey + "\\" + community, value,
              address);
}

void AddV3Destination(const std::string& name, const std::string& address, const std::string& engineId) {
    std::string key = "SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfigurationV3\\" + name;
    SetString(key, "Address", address);
    SetString(key, "UserName", "trapuser");
    SetString(key, "AuthProtocol", "SHA");
    SetString(key, "AuthPassphrase", kAuthPass);
    SetString(key, "PrivProtocol", "AES");
    SetString(key, "PrivPassphrase", kPrivPass);
    if (!engineId.empty()) SetString(key, "EngineID", engineId);
}

Host::Host(const std::map<std::string, std::string>& env)
    : process_({VQ_VQSNMPD_BIN}, Root() + "/vqsnmpd." + std::to_string(g_counter++) + ".log", env) {}

int Host::Stop() {
    process_.Kill(SIGTERM);
    return process_.Wait();
}

void RunScript(const std::string& id, const std::vector<std::string>& lines) {
    {
        std::ofstream out(Root() + "/testagent_" + id + ".script", std::ios::trunc);
        for (const std::string& line : lines) out << line << "\n";
    }
    std::string name = "VQ_TESTAGENT_" + id + "_GO";
    HANDLE go = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (go != nullptr) {
        SetEvent(go);
        CloseHandle(go);
    }
}

std::string Addr(const TrapReceiver& r) { return "127.0.0.1:" + std::to_string(r.port()); }

std::vector<std::string> Only(const std::vector<std::string>& traps, const std::string& security) {
    std::vector<std::string> out;
    for (const std::string& t : traps) {
        auto f = Split(t, '|');
        if (f.size() > 6 && f[6].rfind(security, 0) == 0) out.push_back(t);
    }
    return out;
}

std::vector<std::string> Bindings(const std::string& trap) {
    auto f = Split(trap, '|');
    return f.size() > 7 ? Split(f[7], '~') : std::vector<std::string>{};
}

}  // namespace vqsnmpd::test
