// End to end through the real agent library: requests made with norvik's request
// interface, in this process or in child processes, leave the host as traps that
// snmptrapd decodes.
#ifdef VQ_NORVIK_LIB

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <set>

#include "pal/types.h"
#include "pal/windows.h"
#include "standins/vqsnmpd/tests/test_util.h"
#include "tests/support/child_process.h"

namespace vqsnmpd::test {
namespace {

// norvik's request interface, bound by name as its users do.
struct Norvik {
    void* lib = nullptr;
    LONG (*ClearParameter)() = nullptr;
    LONG (*SetEnterpriseOid)(const char*) = nullptr;
    LONG (*SetGenericTrapId)(LONG) = nullptr;
    LONG (*SetSpecificTrapId)(LONG) = nullptr;
    LONG (*Send)() = nullptr;
    LONG (*AddParamInteger32)(const char*, LONG) = nullptr;
    LONG (*AddParamBits)(const char*, const char*) = nullptr;
    LONG (*AddParamString)(const char*, const char*) = nullptr;
    LONG (*AddParamNull)(const char*) = nullptr;
    LONG (*AddParamObjectId)(const char*, const char*) = nullptr;
    LONG (*AddParamIpAddress)(const char*, DWORD, DWORD, DWORD, DWORD) = nullptr;
    LONG (*AddParamCounter32)(const char*, DWORD) = nullptr;
    LONG (*AddParamGauge32)(const char*, DWORD) = nullptr;
    LONG (*AddParamTimeticks)(const char*, DWORD) = nullptr;
    LONG (*AddParamOpaque)(const char*, const char*) = nullptr;
    LONG (*AddParamCounter64)(const char*, DWORD, DWORD) = nullptr;
    LONG (*AddParamUnsigned32)(const char*, DWORD) = nullptr;

    Norvik() {
        lib = dlopen(VQ_NORVIK_LIB, RTLD_NOW);
        if (lib == nullptr) return;
        Bind(ClearParameter, "ClearParameter");
        Bind(SetEnterpriseOid, "SetEnterpriseOid");
        Bind(SetGenericTrapId, "SetGenericTrapId");
        Bind(SetSpecificTrapId, "SetSpecificTrapId");
        Bind(Send, "Send");
        Bind(AddParamInteger32, "AddParamInteger32");
        Bind(AddParamBits, "AddParamBits");
        Bind(AddParamString, "AddParamString");
        Bind(AddParamNull, "AddParamNull");
        Bind(AddParamObjectId, "AddParamObjectId");
        Bind(AddParamIpAddress, "AddParamIpAddress");
        Bind(AddParamCounter32, "AddParamCounter32");
        Bind(AddParamGauge32, "AddParamGauge32");
        Bind(AddParamTimeticks, "AddParamTimeticks");
        Bind(AddParamOpaque, "AddParamOpaque");
        Bind(AddParamCounter64, "AddParamCounter64");
        Bind(AddParamUnsigned32, "AddParamUnsigned32");
    }
    template <typename F>
    void Bind(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(lib, name));
    }
    bool ok() const { return lib != nullptr && Send != nullptr && AddParamUnsigned32 != nullptr; }

    // One trap with a string binding that makes it recognisable.
    long SendMarked(long specific, const std::string& marker) {
        ClearParameter();
        SetEnterpriseOid("1.3.6.1.4.1.6203.30");
        SetGenericTrapId(6);
        SetSpecificTrapId(specific);
        AddParamString("1.3.6.1.4.1.6203.30.1", marker.c_str());
        return Send();
    }
};

Norvik& Lib() {
    static Norvik n;
    return n;
}


// The marker of a trap sent by SendMarked ("" when it has none).
std::string Marker(const std::string& trap) {
    for (const std::string& b : Bindings(trap)) {
        const std::string prefix = ".1.3.6.1.4.1.6203.30.1 = STRING: \"";
        if (b.rfind(prefix, 0) == 0) return b.substr(prefix.size(), b.size() - prefix.size() - 1);
    }
    return "";
}

size_t CountMarker(const std::vector<std::string>& traps, const std::string& marker) {
    size_t n = 0;
    for (const std::string& t : traps) n += Marker(t) == marker;
    return n;
}

// Waits until a trap with that marker arrived; returns every trap then.
std::vector<std::string> WaitForMarker(const TrapReceiver& receiver, const std::string& marker,
                                       int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::vector<std::string> traps = receiver.Traps();
        if (CountMarker(traps, marker) > 0 || std::chrono::steady_clock::now() >= end) return traps;
        usleep(20000);
    }
}

// What a child that does not answer is doing, for the failure message.
std::string ProcessState(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    std::string state = close == std::string::npos ? "?" : stat.substr(close + 2, 1);
    return " (child " + std::to_string(pid) + " state " + state + ", waiting in " +
           ReadFile("/proc/" + std::to_string(pid) + "/wchan") + ")";
}

// args: tag, count. Sends count marked traps "<tag>-<i>" and tells how many Sends failed.
// With count 0 it sends until the file "<tag>.stop" exists in the machine root, or until
// the test that started it is gone.
VQ_CHILD(norvik_sender) {
    Norvik& n = Lib();
    if (!n.ok()) return 3;
    const std::string tag = args.at(0);
    const long count = std::stol(args.at(1));
    const pid_t parent = getppid();
    long failed = 0;
    vqtest::Tell("started");
    for (long i = 0; count == 0 || i < count; ++i) {
        if (count == 0 && (FileExists(Root() + "/" + tag + ".stop") || getppid() != parent)) break;
        if (n.SendMarked(i, tag + "-" + std::to_string(i)) != 0) ++failed;
    }
    vqtest::Tell("failed " + std::to_string(failed));
    return 0;
}

class NorvikEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Lib().ok()) << dlerror();
        ClearSnmpConfig();
        AddAgent("1", VQ_NORVIK_LIB);
    }
};

void AddEveryType(Norvik& n, bool withCounter64) {
    ASSERT_EQ(n.ClearParameter(), 0);
    ASSERT_EQ(n.SetEnterpriseOid("1.3.6.1.4.1.6203.20"), 0);
    ASSERT_EQ(n.SetGenericTrapId(6), 0);
    ASSERT_EQ(n.SetSpecificTrapId(withCounter64 ? 64 : 32), 0);
    ASSERT_EQ(n.AddParamInteger32("1.3.6.1.4.1.6203.20.1", -123456), 0);
    ASSERT_EQ(n.AddParamBits("1.3.6.1.4.1.6203.20.2", "bits"), 0);
    ASSERT_EQ(n.AddParamString("1.3.6.1.4.1.6203.20.3", "text value"), 0);
    ASSERT_EQ(n.AddParamNull("1.3.6.1.4.1.6203.20.4"), 0);
    ASSERT_EQ(n.AddParamObjectId("1.3.6.1.4.1.6203.20.5", ".1.3.6.1.4.1.6203.99.7"), 0);
    ASSERT_EQ(n.AddParamIpAddress("1.3.6.1.4.1.6203.20.6", 192, 168, 1, 20), 0);
    ASSERT_EQ(n.AddParamCounter32("1.3.6.1.4.1.6203.20.7", 4000000000u), 0);
    ASSERT_EQ(n.AddParamGauge32("1.3.6.1.4.1.6203.20.8", 7), 0);
    ASSERT_EQ(n.AddParamTimeticks("1.3.6.1.4.1.6203.20.9", 360000), 0);
    ASSERT_EQ(n.AddParamOpaque("1.3.6.1.4.1.6203.20.10", "op"), 0);
    ASSERT_EQ(n.AddParamUnsigned32("1.3.6.1.4.1.6203.20.11", 4294967295u), 0);
    if (withCounter64) {
        ASSERT_EQ(n.AddParamCounter64("1.3.6.1.4.1.6203.20.12", 1, 2), 0);
    }
}

const std::vector<std::string> kEveryTypeReceived = {
    ".1.3.6.1.4.1.6203.20.1 = INTEGER: -123456",
    ".1.3.6.1.4.1.6203.20.2 = STRING: \"bits\"",
    ".1.3.6.1.4.1.6203.20.3 = STRING: \"text value\"",
    ".1.3.6.1.4.1.6203.20.4 = NULL",
    ".1.3.6.1.4.1.6203.20.5 = OID: .1.3.6.1.4.1.6203.99.7",
    ".1.3.6.1.4.1.6203.20.6 = IpAddress: 192.168.1.20",
    ".1.3.6.1.4.1.6203.20.7 = Counter32: 4000000000",
    ".1.3.6.1.4.1.6203.20.8 = Gauge32: 7",
    ".1.3.6.1.4.1.6203.20.9 = Timeticks: (360000) 1:00:00.00",
    ".1.3.6.1.4.1.6203.20.10 = OPAQUE: 6F 70 ",
    ".1.3.6.1.4.1.6203.20.11 = Gauge32: 4294967295",
};

long long UptimeOf(const std::string& binding) {
    // ".1.3.6.1.2.1.1.3.0 = Timeticks: (N) ..."
    size_t open = binding.find('(');
    return open == std::string::npos ? -1 : std::stoll(binding.substr(open + 1));
}

TEST_F(NorvikEndToEnd, EveryTypeArrivesOverV1V2cAndV3) {
    TrapReceiver receiver({kEngineId});
    AddCommunityDestination("TrapConfiguration", "public", "1", Addr(receiver));
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    AddV3Destination("manager", Addr(receiver), kEngineId);
    auto started = std::chrono::steady_clock::now();
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    Norvik& n = Lib();

    AddEveryType(n, true);
    ASSERT_EQ(n.Send(), 0) << host.Log();
    auto traps = receiver.WaitTraps(2);
    ASSERT_EQ(traps.size(), 2u) << host.Log();
    long long elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    for (const char* version : {"TRAP2, SNMP v2c", "TRAP2, SNMP v3"}) {
        auto v2 = Only(traps, version);
        ASSERT_EQ(v2.size(), 1u) << version;
        auto b = Bindings(v2[0]);
        ASSERT_EQ(b.size(), kEveryTypeReceived.size() + 4) << v2[0];
        // The agent counts milliseconds since the host started it; the trap carries hundredths.
        long long uptime = UptimeOf(b[0]);
        EXPECT_GE(uptime, 0) << b[0];
        EXPECT_LE(uptime, elapsedMs / 10 + 1) << b[0];
        EXPECT_EQ(b[1], ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.20.0.64");
        EXPECT_EQ(std::vector<std::string>(b.begin() + 2, b.end() - 2), kEveryTypeReceived);
        EXPECT_EQ(b[b.size() - 2], ".1.3.6.1.4.1.6203.20.12 = Counter64: 8589934593") << "high 2, low 1";
        EXPECT_EQ(b.back(), ".1.3.6.1.6.3.1.1.4.3.0 = OID: .1.3.6.1.4.1.6203.20");
    }
    EXPECT_TRUE(Only(traps, "TRAP, SNMP v1").empty()) << "Counter64 cannot travel in SNMPv1";

    AddEveryType(n, false);
    ASSERT_EQ(n.Send(), 0) << host.Log();
    traps = receiver.WaitTraps(5);
    ASSERT_EQ(traps.size(), 5u) << host.Log();
    auto v1 = Only(traps, "TRAP, SNMP v1");
    ASSERT_EQ(v1.size(), 1u);
    auto f = Split(v1[0], '|');
    EXPECT_EQ(f[2], ".1.3.6.1.4.1.6203.20");
    EXPECT_EQ(f[3], "6");
    EXPECT_EQ(f[4], ".32");
    EXPECT_EQ(Bindings(v1[0]), kEveryTypeReceived);
    EXPECT_EQ(host.Stop(), 0) << host.Log();
}

TEST_F(NorvikEndToEnd, ASendAfterTheHostWasKilledMidHandOverWorks) {
    TrapReceiver receiver;
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    const std::string stop = Root() + "/busy.stop";
    unlink(stop.c_str());  // left by an earlier run in this process
    {
        Host host;
        ASSERT_TRUE(host.Running()) << host.Log();
        vqtest::ChildProcess sender("norvik_sender", {"busy", "0"});
        ASSERT_TRUE(sender.Expect("started"));
        // The sender hands over request after request; kill the host among them.
        receiver.WaitTraps(20);
        ASSERT_GE(receiver.Traps().size(), 20u) << host.Log();
        host.process().Kill(SIGKILL);
        EXPECT_EQ(host.process().Wait(), 128 + SIGKILL);
        std::ofstream(stop) << "stop\n";
        // The sender holds the request mutex itself, so its last Send ends within the 5 s
        // it waits for an answer.
        std::string line = sender.ReadLine(30000);
        EXPECT_EQ(line.rfind("failed ", 0), 0u) << line << ProcessState(sender.pid());
        if (line.empty()) sender.Kill(SIGKILL);  // fail, rather than wait for it for ever
        EXPECT_EQ(sender.Wait(), 0);
    }
    // snmptrapd may still be decoding the killed host's traps, and a datagram that finds
    // its socket full is lost: let it catch up before the request that must arrive.
    ASSERT_TRUE(receiver.WaitIdle(30000));
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    EXPECT_EQ(Lib().SendMarked(1, "after-restart"), 0) << host.Log();
    // One more trap from here: the host sends it after the first, and snmptrapd reads its
    // socket in order, so once it is in the log a repeated first trap would be too.
    EXPECT_EQ(Lib().SendMarked(2, "after-restart-fence"), 0) << host.Log();
    auto traps = WaitForMarker(receiver, "after-restart-fence");
    EXPECT_EQ(CountMarker(traps, "after-restart-fence"), 1u) << host.Log();
    EXPECT_EQ(CountMarker(traps, "after-restart"), 1u) << host.Log();
    EXPECT_EQ(host.Stop(), 0) << host.Log();
}

TEST_F(NorvikEndToEnd, TwoProcessesSendingAtOnceLoseAndRepeatNothing) {
    TrapReceiver receiver;
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    constexpr int kEach = 1000;
    vqtest::ChildProcess first("norvik_sender", {"p1", std::to_string(kEach)});
    vqtest::ChildProcess second("norvik_sender", {"p2", std::to_string(kEach)});
    EXPECT_EQ(first.ReadLine(30000), "started");
    EXPECT_EQ(second.ReadLine(30000), "started");
    EXPECT_EQ(first.ReadLine(60000), "failed 0");
    EXPECT_EQ(second.ReadLine(60000), "failed 0");
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(second.Wait(), 0);
    auto traps = receiver.WaitTraps(2 * kEach, 30000);
    std::map<std::string, int> seen;
    for (const std::string& t : traps) ++seen[Marker(t)];
    for (const char* tag : {"p1", "p2"})
        for (int i = 0; i < kEach; ++i) {
            std::string marker = std::string(tag) + "-" + std::to_string(i);
            auto it = seen.find(marker);
            EXPECT_TRUE(it != seen.end() && it->second == 1) << marker << " arrived "
                                                               << (it == seen.end() ? 0 : it->second) << " times";
        }
    EXPECT_EQ(traps.size(), 2u * kEach);
    EXPECT_EQ(host.Stop(), 0) << host.Log();
}

// A requester holds the hand-over objects from one Send to the next. A host restarted
// meanwhile takes them over; while no host runs, Send says so at once.
TEST_F(NorvikEndToEnd, SendsFromOneProcessReachEachRestartedHost) {
    TrapReceiver receiver;
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    Norvik& n = Lib();
    for (const char* marker : {"restart-1", "restart-2"}) {
        Host host;  // the second starts while this process holds the objects
        ASSERT_TRUE(host.Running()) << host.Log();
        EXPECT_EQ(n.SendMarked(1, marker), 0) << host.Log();
        EXPECT_EQ(host.Stop(), 0) << host.Log();
    }
    EXPECT_EQ(n.SendMarked(2, "no-host"), 2);
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    EXPECT_EQ(n.SendMarked(3, "restart-3"), 0) << host.Log();
    EXPECT_EQ(n.SendMarked(4, "restart-fence"), 0) << host.Log();
    auto traps = WaitForMarker(receiver, "restart-fence");
    for (const char* marker : {"restart-1", "restart-2", "restart-3"})
        EXPECT_EQ(CountMarker(traps, marker), 1u) << marker << host.Log();
    EXPECT_EQ(CountMarker(traps, "no-host"), 0u);
    EXPECT_EQ(host.Stop(), 0) << host.Log();
}

// A requester killed in the middle of its Sends (mostly while it holds the request mutex)
// leaves the mutex abandoned: the next requester gets it (128 when abandoned) and its
// trap arrives once.
TEST_F(NorvikEndToEnd, ARequesterKilledAmidItsSendsLeavesTheNextOneWorking) {
    TrapReceiver receiver;
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    size_t seen = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        vqtest::ChildProcess sender("norvik_sender", {"killed" + std::to_string(round), "0"});
        ASSERT_TRUE(sender.Expect("started"));
        receiver.WaitTraps(seen + 20);
        sender.Kill(SIGKILL);
        sender.Wait();
        // Let snmptrapd catch up first: a datagram that finds its socket full is lost.
        ASSERT_TRUE(receiver.WaitIdle(30000));
        const std::string marker = "after-kill-" + std::to_string(round);
        LONG r = Lib().SendMarked(round, marker);
        EXPECT_TRUE(r == 0 || r == static_cast<LONG>(WAIT_ABANDONED)) << r << host.Log();
        EXPECT_EQ(Lib().SendMarked(round, marker + "-fence"), 0) << host.Log();
        auto traps = WaitForMarker(receiver, marker + "-fence");
        EXPECT_EQ(CountMarker(traps, marker), 1u) << host.Log();
        seen = traps.size();
    }
    EXPECT_EQ(host.Stop(), 0) << host.Log();
}

}  // namespace
}  // namespace vqsnmpd::test

#endif  // VQ_NORVIK_LIB
