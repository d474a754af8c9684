// The host end to end: a real snmptrapd receives what the host sends for the scripted test
// agents, over SNMPv1, SNMPv2c and SNMPv3.
#include <gtest/gtest.h>

#include <algorithm>

#include "standins/vqsnmpd/config.h"

#include "standins/vqsnmpd/tests/test_util.h"

namespace vqsnmpd::test {
namespace {

const std::string kAgentDir = [] {
    std::string a = VQ_TESTAGENT_A;
    return a.substr(0, a.rfind('/'));
}();


class HostTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSnmpConfig(); }
};

// One binding of every type the agent can hand over, in order.
const char* kAllTypes =
    "1.3.6.1.4.1.6203.5 6 42 123456 "
    "1.3.6.1.4.1.6203.9.1 i -7 "
    "1.3.6.1.4.1.6203.9.2 s hello "
    "1.3.6.1.4.1.6203.9.3 b bitsy "
    "1.3.6.1.4.1.6203.9.4 n - "
    "1.3.6.1.4.1.6203.9.5 o 1.3.6.1.4.1.6203.77.1 "
    "1.3.6.1.4.1.6203.9.6 a 192.168.1.20 "
    "1.3.6.1.4.1.6203.9.7 c 4000000000 "
    "1.3.6.1.4.1.6203.9.8 g 12345 "
    "1.3.6.1.4.1.6203.9.9 t 98765 "
    "1.3.6.1.4.1.6203.9.10 u 4294967295 "
    "1.3.6.1.4.1.6203.9.11 q opq "
    "1.3.6.1.4.1.6203.9.12 S seq";

const std::vector<std::string> kAllTypesReceived = {
    ".1.3.6.1.4.1.6203.9.1 = INTEGER: -7",
    ".1.3.6.1.4.1.6203.9.2 = STRING: \"hello\"",
    ".1.3.6.1.4.1.6203.9.3 = STRING: \"bitsy\"",
    ".1.3.6.1.4.1.6203.9.4 = NULL",
    ".1.3.6.1.4.1.6203.9.5 = OID: .1.3.6.1.4.1.6203.77.1",
    ".1.3.6.1.4.1.6203.9.6 = IpAddress: 192.168.1.20",
    ".1.3.6.1.4.1.6203.9.7 = Counter32: 4000000000",
    ".1.3.6.1.4.1.6203.9.8 = Gauge32: 12345",
    ".1.3.6.1.4.1.6203.9.9 = Timeticks: (98765) 0:16:27.65",
    ".1.3.6.1.4.1.6203.9.10 = Gauge32: 4294967295",
    ".1.3.6.1.4.1.6203.9.11 = OPAQUE: 6F 70 71 ",
    ".1.3.6.1.4.1.6203.9.12 = STRING: \"seq\"",
};

namespace {
// Test agent A, and the receiver as one SNMPv1 and one SNMPv2c destination.
void AgentAToV1AndV2c(const TrapReceiver& receiver) {
    AddAgent("1", VQ_TESTAGENT_A);
    AddCommunityDestination("TrapConfiguration", "public", "1", Addr(receiver));
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
}
}  // namespace

TEST_F(HostTest, EveryTypeArrivesOverV1V2cAndV3) {
    // The receiver knows the configured engine id and the documented default one.
    const std::string defaultEngine = HexText(DefaultEngineId());
    TrapReceiver receiver({kEngineId, defaultEngine, kOtherEngineId});
    AgentAToV1AndV2c(receiver);
    AddV3Destination("manager", Addr(receiver), kEngineId);
    AddV3Destination("defaulted", Addr(receiver), "");
    // Encrypted with a key the receiver does not have: must not be readable there.
    AddV3Destination("wrongpriv", Addr(receiver), kOtherEngineId);
    SetString("SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfigurationV3\\wrongpriv",
              "PrivPassphrase", "not-the-key");
    // USM keeps one set of keys per user and engine: a second, different set is refused.
    AddV3Destination("conflict", Addr(receiver), kEngineId);
    SetString("SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters\\TrapConfigurationV3\\conflict",
              "AuthPassphrase", "another-pass");
    SetString("SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters", "AgentAddress", "10.9.8.7");
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    EXPECT_NE(host.Log().find("destination v3 conflict " + Addr(receiver) + " left out"), std::string::npos)
        << host.Log();
    RunScript("A", {kAllTypes});
    auto traps = receiver.WaitTraps(4);
    ASSERT_EQ(traps.size(), 4u) << host.Log();
    // A second trap as a sentinel: once it is in everywhere, nothing more of the first.
    RunScript("A", {"1.3.6.1.4.1.6203.5 6 43 0"});
    traps = receiver.WaitTraps(8);
    ASSERT_EQ(traps.size(), 8u) << host.Log();
    traps.resize(4);

    auto v1 = Only(traps, "TRAP, SNMP v1");
    ASSERT_EQ(v1.size(), 1u);
    auto f = Split(v1[0], '|');
    EXPECT_EQ(f[1], "10.9.8.7");
    EXPECT_EQ(f[2], ".1.3.6.1.4.1.6203.5");
    EXPECT_EQ(f[3], "6");
    EXPECT_EQ(f[4], ".42");
    EXPECT_EQ(f[5], "12345") << "the agent's 123456 ms are 12345 hundredths";
    EXPECT_EQ(Bindings(v1[0]), kAllTypesReceived);

    EXPECT_EQ(Only(traps, "TRAP2, SNMP v3").size(), 2u);
    for (const char* version : {"TRAP2, SNMP v2c", "TRAP2, SNMP v3"}) {
        auto v2 = Only(traps, version);
        ASSERT_FALSE(v2.empty()) << version;
        auto b = Bindings(v2[0]);
        ASSERT_EQ(b.size(), kAllTypesReceived.size() + 3) << v2[0];
        EXPECT_EQ(b[0], ".1.3.6.1.2.1.1.3.0 = Timeticks: (12345) 0:02:03.45");
        EXPECT_EQ(b[1], ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.5.0.42");
        EXPECT_EQ(std::vector<std::string>(b.begin() + 2, b.end() - 1), kAllTypesReceived);
        EXPECT_EQ(b.back(), ".1.3.6.1.6.3.1.1.4.3.0 = OID: .1.3.6.1.4.1.6203.5");
    }
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_FALSE(FileExists(Root() + "/testagent_A.errors")) << ReadFile(Root() + "/testagent_A.errors");
}


TEST_F(HostTest, Counter64NeverTravelsOverV1AndGenericTrapsMapToSnmpTraps) {
    TrapReceiver receiver;
    AgentAToV1AndV2c(receiver);
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    // Both traps on one event: the host takes traps until the agent has no more.
    RunScript("A", {"1.3.6.1.4.1.6203.5 6 1 1000 1.3.6.1.4.1.6203.9.1 C 18446744073709551615 "
                    "1.3.6.1.4.1.6203.9.2 i 5",
                    "1.3.6.1.4.1.6203.5 3 0 2000 1.3.6.1.2.1.2.2.1.1.7 i 7 1.3.6.1.4.1.6203.9.3 X 5"});
    auto traps = receiver.WaitTraps(3);
    ASSERT_EQ(traps.size(), 3u) << host.Log();

    auto v2 = Only(traps, "TRAP2, SNMP v2c");
    ASSERT_EQ(v2.size(), 2u);
    std::sort(v2.begin(), v2.end());  // the Counter64 one ("...5.0.1") before linkUp ("...5.4")
    auto b = Bindings(v2[0]);
    ASSERT_EQ(b.size(), 5u) << v2[0];
    EXPECT_EQ(b[1], ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.5.0.1");
    EXPECT_EQ(b[2], ".1.3.6.1.4.1.6203.9.1 = Counter64: 18446744073709551615");
    b = Bindings(v2[1]);
    ASSERT_EQ(b.size(), 4u) << v2[1] << "\n" << host.Log();
    EXPECT_EQ(b[0], ".1.3.6.1.2.1.1.3.0 = Timeticks: (200) 0:00:02.00");
    EXPECT_EQ(b[1], ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.6.3.1.1.5.4") << "linkUp";
    EXPECT_EQ(b[2], ".1.3.6.1.2.1.2.2.1.1.7 = INTEGER: 7");
    EXPECT_EQ(b[3], ".1.3.6.1.6.3.1.1.4.3.0 = OID: .1.3.6.1.4.1.6203.5");

    // RFC 3584: a notification with a Counter64 binding is not sent as SNMPv1 at all.
    auto v1 = Only(traps, "TRAP, SNMP v1");
    ASSERT_EQ(v1.size(), 1u);
    auto f = Split(v1[0], '|');
    // Without AgentAddress the agent-addr is this machine's own address, as logged.
    EXPECT_NE(host.Log().find("SNMPv1 agent-addr " + f[1] + "\n"), std::string::npos) << f[1] << "\n" << host.Log();
    EXPECT_EQ(f[3], "3");
    EXPECT_EQ(f[5], "200");
    EXPECT_EQ(Bindings(v1[0]), std::vector<std::string>{".1.3.6.1.2.1.2.2.1.1.7 = INTEGER: 7"});
    EXPECT_NE(host.Log().find("Counter64 binding cannot travel in SNMPv1"), std::string::npos) << host.Log();
    EXPECT_NE(host.Log().find("binding 2 left out: its type 0x99"), std::string::npos) << host.Log();
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_FALSE(FileExists(Root() + "/testagent_A.errors")) << ReadFile(Root() + "/testagent_A.errors");
}

TEST_F(HostTest, AnEnterpriseTooLongForTheV2TrapOidGoesOverV1Only) {
    TrapReceiver receiver;
    AgentAToV1AndV2c(receiver);
    Host host;
    ASSERT_TRUE(host.Running()) << host.Log();
    std::string enterprise = "1.3";  // 127 sub-identifiers: enterprise.0.specific needs 129
    for (int i = 2; i < 127; ++i) enterprise += ".1";
    RunScript("A", {enterprise + " 6 9 100 1.3.6.1.4.1.6203.9.2 i 5"});
    auto traps = receiver.WaitTraps(1);
    ASSERT_EQ(traps.size(), 1u) << host.Log();
    EXPECT_EQ(Only(traps, "TRAP, SNMP v1").size(), 1u);
    EXPECT_TRUE(Only(receiver.WaitTraps(2, 500), "TRAP2").empty());
    EXPECT_NE(host.Log().find("not sent to SNMPv2c/v3 destinations"), std::string::npos) << host.Log();
    EXPECT_EQ(host.Stop(), 0);
}

TEST_F(HostTest, ServesEveryAgentThatStartsAndSkipsTheRest) {
    TrapReceiver receiver;
    AddAgent("1", VQ_TESTAGENT_A);
    AddAgent("2", "/nonexistent/libnothing.so");
    AddAgent("3", "%VQ_TEST_AGENT_DIR%/libvqsnmpd_testagent_b.so", true);
    AddCommunityDestination("TrapConfigurationV2c", "public", "1", Addr(receiver));
    Host host(std::map<std::string, std::string>{{"VQ_TEST_AGENT_DIR", kAgentDir}});
    ASSERT_TRUE(host.Running()) << host.Log();
    EXPECT_NE(host.Log().find("agent 2 (/nonexistent/libnothing.so) skipped: it cannot be loaded"), std::string::npos)
        << host.Log();
    EXPECT_NE(host.Log().find("running: 2 agent(s), 1 destination(s)"), std::string::npos) << host.Log();
    RunScript("A", {"1.3.6.1.4.1.6203.10 6 1 0", "1.3.6.1.4.1.6203.10 6 2 0"});
    RunScript("B", {"1.3.6.1.4.1.6203.11 6 1 0", "1.3.6.1.4.1.6203.11 6 2 0"});
    auto traps = receiver.WaitTraps(4);
    ASSERT_EQ(traps.size(), 4u) << host.Log();
    std::vector<std::string> ids;
    for (const std::string& t : traps) ids.push_back(Bindings(t).at(1));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.10.0.1",
                                             ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.10.0.2",
                                             ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.11.0.1",
                                             ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.6203.11.0.2"}));
    // SIGTERM: a clean stop that closes every agent.
    EXPECT_EQ(host.Stop(), 0) << host.Log();
    EXPECT_TRUE(FileExists(Root() + "/testagent_A.closed"));
    EXPECT_TRUE(FileExists(Root() + "/testagent_B.closed"));
    EXPECT_NE(host.Log().find("vqsnmpd: stopped"), std::string::npos);
}

TEST_F(HostTest, AnAgentWhoseInitFailsIsSkipped) {
    TrapReceiver receiver;
    AddAgent("1", VQ_TESTAGENT_B);
    AddAgent("2", VQ_TESTAGENT_A);
    AddCommunityDestination("TrapConfiguration", "public", "1", Addr(receiver));
    Host host(std::map<std::string, std::string>{{"VQ_TESTAGENT_B_FAIL", "1"}});
    ASSERT_TRUE(host.Running()) << host.Log();
    EXPECT_NE(host.Log().find("agent 1 (" + std::string(VQ_TESTAGENT_B) + ") skipped: SnmpExtensionInit failed"),
              std::string::npos)
        << host.Log();
    RunScript("A", {"1.3.6.1.4.1.6203.10 6 9 0"});
    auto traps = receiver.WaitTraps(1);
    ASSERT_EQ(traps.size(), 1u) << host.Log();
    EXPECT_EQ(Split(traps[0], '|')[4], ".9");
    EXPECT_EQ(host.Stop(), 0) << host.Log();
    EXPECT_TRUE(FileExists(Root() + "/testagent_A.closed"));
    EXPECT_FALSE(FileExists(Root() + "/testagent_B.closed")) << "an agent that did not start is not closed";
}

}  // namespace
}  // namespace vqsnmpd::test
