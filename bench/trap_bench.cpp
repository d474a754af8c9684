// Trap throughput and the latency of one Send (until the SNMP service host has put the
// trap on the wire: Send returns on the host's end signal, given after the send), against
// a cross-process named-event round trip (the two wake-ups every Send needs, measured the
// way bench_pingpong does), a raw UDP send of the same datagram and snmptrap run once per
// trap, all in the same run and to a loopback receiver of this program. The trap and
// round-trip batches alternate, so a noisy moment on the machine hurts both alike.
// Targets: median Send latency at most 4 round trips; at least 0.1 of the raw UDP rate;
// at least 50 times the snmptrap rate; every trap received exactly once.
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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/event_roundtrip.h"
#include "bench/snmp_host.h"
#include "pal/windows.h"
#include "snmpext/norvik.h"

extern char** environ;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBatches = 5;
constexpr int kRoundTripsPerBatch = 2000;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

using benchsnmp::BuildTrap;
using benchsnmp::Receiver;

// One batch of named-event round trips with a child process; each one's time in us.
bool RoundTrips(const std::string& self, int rounds, std::vector<double>& out) {
    static int batch = 0;
    std::string suffix = std::to_string(getpid()) + "_" + std::to_string(batch++);
    std::string ping = "bench_trap_ping_" + suffix, pong = "bench_trap_pong_" + suffix;
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, ping.c_str());
    HANDLE b = CreateEventA(nullptr, FALSE, FALSE, pong.c_str());
    if (!a || !b) return false;
    std::string n = std::to_string(rounds + 1);
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>("--child"), ping.data(), pong.data(),
                    n.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    // Warm-up round trip: the child is attached and waiting once this returns.
    SetEvent(a);
    WaitForSingleObject(b, INFINITE);
    for (int i = 0; i < rounds; ++i) {
        auto s = Clock::now();
        SetEvent(a);
        WaitForSingleObject(b, INFINITE);
        out.push_back(Seconds(Clock::now() - s) * 1e6);
    }
    waitpid(pid, nullptr, 0);
    CloseHandle(a);
    CloseHandle(b);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
        return benchevents::EventRoundTripChild(argv[2], argv[3], std::atoi(argv[4]));
    long traps = argc > 1 ? std::max(std::atol(argv[1]), long{kBatches}) : 5000;
    long runs = argc > 2 ? std::atol(argv[2]) : 50;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    std::string exe(self, static_cast<size_t>(n));
    std::string bin = exe.substr(0, exe.rfind('/'));

    char root[] = "/tmp/vqtrapbench.XXXXXX";
    if (mkdtemp(root) == nullptr) return 1;
    setenv("VQ_ROOT", root, 1);
    Receiver rx;
    rx.poll = true;
    if (!rx.Start()) return 1;
    benchsnmp::ConfigureHost(rx.port);

    std::string host = bin + "/vqsnmpd";
    char* hostArgv[] = {host.data(), nullptr};
    pid_t hostPid = -1;
    if (posix_spawn(&hostPid, host.c_str(), nullptr, nullptr, hostArgv, environ) != 0) return 1;
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
    std::vector<unsigned char> pdu = rx.last;

    int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(rx.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    // Alternating batches: round trips, traps through Send and the host, raw UDP sends.
    std::vector<double> latencies, roundTrips;
    latencies.reserve(static_cast<size_t>(traps));
    long failed = 0, received = 0, rawReceived = 0, sent = 0;
    double vqTime = 0, rawTime = 0;
    bool roundTripsOk = true;
    for (int batch = 0; batch < kBatches; ++batch) {
        roundTripsOk = RoundTrips(exe, kRoundTripsPerBatch, roundTrips) && roundTripsOk;

        long count = traps / kBatches + (batch < traps % kBatches ? 1 : 0);
        long before = rx.count;
        auto t0 = Clock::now();
        for (long i = 0; i < count; ++i, ++sent) {
            BuildTrap(sent);
            auto s = Clock::now();
            if (Send() != 0) ++failed;
            latencies.push_back(Seconds(Clock::now() - s) * 1e6);
        }
        vqTime += Seconds(Clock::now() - t0);
        rx.WaitFor(before + count, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a repeated trap would come in now
        received += rx.count - before;

        before = rx.count;
        t0 = Clock::now();
        for (long i = 0; i < count; ++i)
            sendto(out, pdu.data(), pdu.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        rawTime += Seconds(Clock::now() - t0);
        rx.WaitFor(before + count, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rawReceived += rx.count - before;
    }
    close(out);

    // snmptrap, once per trap, with the same bindings.
    std::string target = "127.0.0.1:" + std::to_string(rx.port);
    auto t0 = Clock::now();
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

    std::sort(latencies.begin(), latencies.end());
    double vqRate = traps / vqTime, rawRate = traps / rawTime, snmptrapRate = runs / snmptrapTime;
    auto pct = [&](double q) { return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
    double sendMedian = pct(0.5), rtMedian = Median(roundTrips);
    double latencyRatio = rtMedian > 0 ? sendMedian / rtMedian : 0, rawRatio = vqRate / rawRate;
    bool exactlyOnce = received == traps;
    std::printf("traps through Send and vqsnmpd: %ld sent, %ld failed, %ld received (%s)\n", traps, failed, received,
                exactlyOnce ? "each once" : received < traps ? "LOST" : "REPEATED");
    std::printf("%-28s %12s\n", "path", "traps/s");
    std::printf("%-28s %12.0f\n", "Send + vqsnmpd", vqRate);
    std::printf("%-28s %12.0f\n", "snmptrap once per trap", snmptrapRate);
    std::printf("%-28s %12.0f   (%ld received)\n", "raw UDP sendto (same PDU)", rawRate, rawReceived);
    std::printf("Send latency us: median %.1f, p99 %.0f, max %.0f\n", sendMedian, pct(0.99), latencies.back());
    std::printf("named event round trip us: median %.1f (%zu round trips%s)\n", rtMedian, roundTrips.size(),
                roundTripsOk ? "" : ", some batches FAILED");
    std::printf("ratio Send/round trip: %.2f (target <= 4: %s)\n", latencyRatio,
                roundTripsOk && latencyRatio > 0 && latencyRatio <= 4 ? "met" : "MISSED");
    std::printf("ratio Send/raw UDP: %.3f (target >= 0.1: %s)\n", rawRatio, rawRatio >= 0.1 ? "met" : "MISSED");
    std::printf("ratio Send/snmptrap: %.1f (target >= 50: %s)\n", vqRate / snmptrapRate,
                vqRate / snmptrapRate >= 50 ? "met" : "MISSED");
    return failed == 0 && exactlyOnce ? 0 : 1;
}
