// Trap throughput and the latency of one Send (until the SNMP service host has put the
// trap on the wire: Send returns on the host's end signal, given after the send), against
// snmptrap run once per trap and against a raw UDP send of the same datagram, all to a
// loopback receiver of this program in the same run. Target: at least 50 times the
// snmptrap rate.
//   bench_trap [traps] [snmptrap runs]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/snmp_host.h"
#include "pal/windows.h"
#include "snmpext/norvik.h"

extern char** environ;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

using benchsnmp::BuildTrap;
using benchsnmp::Receiver;

}  // namespace

int main(int argc, char** argv) {
    long traps = argc > 1 ? std::atol(argv[1]) : 2000;
    long runs = argc > 2 ? std::atol(argv[2]) : 50;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    std::string bin(self, static_cast<size_t>(n));
    bin = bin.substr(0, bin.rfind('/'));

    char root[] = "/tmp/vqtrapbench.XXXXXX";
    if (mkdtemp(root) == nullptr) return 1;
    setenv("VQ_ROOT", root, 1);
    Receiver rx;
    if (!rx.Start()) return 1;
    benchsnmp::ConfigureHost(rx.port);

    std::string host = bin + "/vqsnmpd";
    char* hostArgv[] = {host.data(), nullptr};
    pid_t hostPid = -1;
    int devnull = posix_spawn(&hostPid, host.c_str(), nullptr, nullptr, hostArgv, environ);
    if (devnull != 0) return 1;
    // Ready when a trap goes through.
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
        BuildTrap(-1);
        ready = Send() == 0;
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ready || !rx.WaitFor(1, 5000)) {
        std::fprintf(stderr, "bench_trap: the SNMP service host did not start\n");
        kill(hostPid, SIGKILL);
        return 1;
    }
    long before = rx.count;

    // Through the request interface and the host.
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(traps));
    long failed = 0;
    auto t0 = Clock::now();
    for (long i = 0; i < traps; ++i) {
        BuildTrap(i);
        auto s = Clock::now();
        if (Send() != 0) ++failed;
        latencies.push_back(Seconds(Clock::now() - s) * 1e6);
    }
    double vqTime = Seconds(Clock::now() - t0);
    rx.WaitFor(before + traps, 5000);
    long received = rx.count - before;
    std::sort(latencies.begin(), latencies.end());

    // Raw UDP: the same datagram, sent by this process.
    std::vector<unsigned char> pdu = rx.last;
    int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(rx.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    before = rx.count;
    t0 = Clock::now();
    for (long i = 0; i < traps; ++i)
        sendto(out, pdu.data(), pdu.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    double rawTime = Seconds(Clock::now() - t0);
    close(out);
    rx.WaitFor(before + traps, 5000);

    // snmptrap, once per trap, with the same bindings.
    std::string target = "127.0.0.1:" + std::to_string(rx.port);
    t0 = Clock::now();
    for (long i = 0; i < runs; ++i) {
        std::vector<std::string> a = {"snmptrap", "-v", "1", "-c", "public", target, "1.3.6.1.4.1.6203.1.3", "", "6",
                                      "12", "", "1.3.6.1.4.1.6203.1.3.1.1", "i", std::to_string(i),
                                      "1.3.6.1.4.1.6203.1.3.1.2", "s", "CPU temperature out of range",
                                      "1.3.6.1.4.1.6203.1.3.1.3", "t", "4242"};
        std::vector<char*> v;
        for (auto& s : a) v.push_back(s.data());
        v.push_back(nullptr);
        pid_t p = -1;
        if (posix_spawnp(&p, "snmptrap", nullptr, nullptr, v.data(), environ) != 0) {
            std::fprintf(stderr, "bench_trap: snmptrap is missing (Debian package snmp)\n");
            break;
        }
        waitpid(p, nullptr, 0);
    }
    double snmptrapTime = Seconds(Clock::now() - t0);

    kill(hostPid, SIGTERM);
    waitpid(hostPid, nullptr, 0);
    std::system((std::string("rm -rf ") + root).c_str());

    double vqRate = traps / vqTime, rawRate = traps / rawTime, snmptrapRate = runs / snmptrapTime;
    auto pct = [&](double q) { return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
    std::printf("traps through Send and vqsnmpd: %ld sent, %ld failed, %ld received\n", traps, failed, received);
    std::printf("%-28s %12s\n", "path", "traps/s");
    std::printf("%-28s %12.0f\n", "Send + vqsnmpd", vqRate);
    std::printf("%-28s %12.0f\n", "snmptrap once per trap", snmptrapRate);
    std::printf("%-28s %12.0f\n", "raw UDP sendto (same PDU)", rawRate);
    std::printf("Send latency us: median %.0f, p99 %.0f, max %.0f\n", pct(0.5), pct(0.99), latencies.back());
    std::printf("ratio Send/snmptrap: %.1f (target >= 50: %s)\n", vqRate / snmptrapRate,
                vqRate / snmptrapRate >= 50 ? "met" : "MISSED");
    std::printf("ratio Send/raw UDP: %.3f\n", vqRate / rawRate);
    return failed == 0 ? 0 : 1;
}
