// The registry layout the host reads, and the texts in it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "pal/windows.h"
#include "standins/vqsnmpd/config.h"
#include "standins/vqsnmpd/tests/test_util.h"

namespace vqsnmpd::test {
namespace {

const std::string kParams = "SYSTEM\\CurrentControlSet\\Services\\SNMP\\Parameters";

TEST(ConfigTest, AddressesTakeAnOptionalPort) {
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(ParseAddress("manager.example", host, port));
    EXPECT_EQ(host, "manager.example");
    EXPECT_EQ(port, 162);
    EXPECT_TRUE(ParseAddress("10.0.0.1:1162", host, port));
    EXPECT_EQ(host, "10.0.0.1");
    EXPECT_EQ(port, 1162);
    EXPECT_TRUE(ParseAddress("[::1]:2162", host, port));
    EXPECT_EQ(host, "[::1]");
    EXPECT_EQ(port, 2162);
    EXPECT_TRUE(ParseAddress("[fe80::1]", host, port));
    EXPECT_EQ(port, 162);
    for (const char* bad : {"", ":162", "host:", "host:0", "host:65536", "host:16x", "::1", "[::1", "a b", "[]:5"})
        EXPECT_FALSE(ParseAddress(bad, host, port)) << bad;
}

TEST(ConfigTest, EngineIdsAreFiveToThirtyTwoBytesOfHex) {
    std::vector<uint8_t> id;
    EXPECT_TRUE(ParseEngineId("0x8000183B04", id));
    EXPECT_EQ(id, (std::vector<uint8_t>{0x80, 0x00, 0x18, 0x3B, 0x04}));
    EXPECT_TRUE(ParseEngineId("80:00:18:3b:04:41", id));
    EXPECT_EQ(id.size(), 6u);
    EXPECT_FALSE(ParseEngineId("0x80001803", id)) << "4 bytes";
    EXPECT_FALSE(ParseEngineId(std::string(66, 'a'), id)) << "33 bytes";
    EXPECT_FALSE(ParseEngineId("0x8000183B0", id)) << "odd digit count";
    EXPECT_FALSE(ParseEngineId("0x8000183B0g", id));

    id = DefaultEngineId();
    ASSERT_GE(id.size(), 6u);
    ASSERT_LE(id.size(), 32u);
    EXPECT_EQ(std::vector<uint8_t>(id.begin(), id.begin() + 5), (std::vector<uint8_t>{0x80, 0x00, 0x18, 0x3B, 0x04}));
    EXPECT_EQ(DefaultEngineId(), id);  // stable from one start to the next
}

TEST(ConfigTest, EngineBootsGrowAtEveryStartAndAreKept) {
    EXPECT_EQ(NextEngineBoots(), 1u);
    EXPECT_EQ(NextEngineBoots(), 2u);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    DWORD top = 2147483647u;
    ASSERT_EQ(RegSetValueExA(key, "EngineBoots", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&top), sizeof top),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(NextEngineBoots(), 2147483647u);  // the RFC 3414 ceiling: it stays there
}

TEST(ConfigTest, ReadsAgentsAndDestinationsAndReportsWhatItSkips) {
    ClearSnmpConfig();
    AddAgent("1", "/opt/a/libone.so");
    setenv("VQ_CONFIG_TEST_DIR", "/opt/b", 1);
    AddAgent("2", "%VQ_CONFIG_TEST_DIR%/libtwo.so", true);
    SetString(kParams + "\\ExtensionAgents", "3", "SOFTWARE\\VQTest\\Missing");
    AddCommunityDestination("TrapConfiguration", "public", "1", "10.0.0.1");
    AddCommunityDestination("TrapConfiguration", "public", "2", "10.0.0.2:bad");
    AddCommunityDestination("TrapConfigurationV2c", "private", "x", "10.0.0.3:1162");
    AddV3Destination("good", "10.0.0.4", "");
    SetString(kParams + "\\TrapConfigurationV3\\nouser", "Address", "10.0.0.5");
    AddV3Destination("badlevel", "10.0.0.6", "");
    SetString(kParams + "\\TrapConfigurationV3\\badlevel", "SecurityLevel", "secret");
    AddV3Destination("badengine", "10.0.0.7", "0x12");
    AddV3Destination("authonly", "10.0.0.8", "0x8000183B0441");
    SetString(kParams + "\\TrapConfigurationV3\\authonly", "SecurityLevel", "authNoPriv");
    SetString(kParams + "\\TrapConfigurationV3\\authonly", "AuthProtocol", "md5");
    SetString(kParams, "AgentAddress", "192.0.2.1");

    Config c = ReadConfig();
    ASSERT_EQ(c.agents.size(), 2u);
    EXPECT_EQ(c.agents[0].pathname, "/opt/a/libone.so");
    EXPECT_EQ(c.agents[1].pathname, "/opt/b/libtwo.so");
    EXPECT_EQ(c.agents[1].keyPath, "SOFTWARE\\VQTest\\2");

    ASSERT_EQ(c.destinations.size(), 4u);
    EXPECT_EQ(c.destinations[0].label, "v1 public 10.0.0.1:162");
    EXPECT_EQ(c.destinations[1].label, "v2c private 10.0.0.3:1162");
    const Destination& good = c.destinations[2];
    EXPECT_EQ(good.version, Version::V3);
    EXPECT_EQ(good.user, "trapuser");
    EXPECT_EQ(good.level, SecurityLevel::AuthPriv);
    EXPECT_EQ(good.authProtocol, "SHA");
    EXPECT_EQ(good.privProtocol, "AES");
    EXPECT_EQ(good.engineId, DefaultEngineId());
    const Destination& authOnly = c.destinations[3];
    EXPECT_EQ(authOnly.level, SecurityLevel::AuthNoPriv);
    EXPECT_EQ(authOnly.authProtocol, "MD5");
    EXPECT_EQ(HexText(authOnly.engineId), "0x8000183B0441");
    EXPECT_EQ(c.agentAddress, "192.0.2.1");

    std::string problems;
    for (const std::string& p : c.problems) problems += p + "\n";
    EXPECT_EQ(c.problems.size(), 5u) << problems;
    for (const char* what : {"ExtensionAgents\\3: HKLM\\SOFTWARE\\VQTest\\Missing has no Pathname",
                             "TrapConfiguration\\public\\2: not a host or host:port",
                             "TrapConfigurationV3\\nouser: UserName is missing",
                             "TrapConfigurationV3\\badlevel: SecurityLevel \"secret\"",
                             "TrapConfigurationV3\\badengine: EngineID is not 5 to 32 bytes of hex"})
        EXPECT_NE(problems.find(what), std::string::npos) << what << "\n" << problems;
}

}  // namespace
}  // namespace vqsnmpd::test
