// vqtrap: its command line, and the tool against the extension agent library with and
// without an agent on the other side.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/child_process.h"
#include "tools/vqtrap/bindings.h"

using vqtrap::ParseRequest;
using vqtrap::Request;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome RunTool(const std::string& args) {
    Outcome o;
    FILE* p = popen((std::string(VQ_TOOL_BIN) + " " + args + " 2>&1").c_str(), "r");
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) o.out.append(buf, n);
    int rc = pclose(p);
    o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return o;
}

bool Parses(std::vector<std::string> args, Request* out = nullptr, std::string* why = nullptr) {
    Request r;
    std::string error;
    bool ok = ParseRequest(args, r, error);
    if (out) *out = r;
    if (why) *why = error;
    return ok;
}

}  // namespace

TEST(VqtrapArgs, EveryLetterBecomesItsValue) {
    Request r;
    ASSERT_TRUE(Parses({"1.3.6.1.4.1.6203", "-7", "1.1", "i", "-2147483648", "1.2", "u", "4294967295", "1.3", "a",
                        "192.168.1.20", "1.4", "C", "18446744073709551615", "1.5", "x", "41 42:43", "1.6", "d",
                        "65.66", "1.7", "n", "", "1.8", "w", "7", "1.9", "O", "opaque", "1.10", "o", ".1.3.6"},
                       &r));
    EXPECT_EQ(r.specific, -7);
    EXPECT_EQ(r.generic, 6);
    ASSERT_EQ(r.bindings.size(), 10u);
    EXPECT_EQ(r.bindings[0].integer, INT32_MIN);
    EXPECT_EQ(r.bindings[1].number, 4294967295u);
    EXPECT_EQ(r.bindings[2].ip[0], 192);
    EXPECT_EQ(r.bindings[2].ip[3], 20);
    EXPECT_EQ(r.bindings[3].number64, UINT64_MAX);
    EXPECT_EQ(r.bindings[4].text, "ABC");
    EXPECT_EQ(r.bindings[5].text, "AB");
    EXPECT_EQ(r.bindings[7].number, 7u);
}

TEST(VqtrapArgs, BadValuesNameTheirBinding) {
    std::string why;
    EXPECT_FALSE(Parses({"1.3.6", "x"}, nullptr, &why));
    EXPECT_NE(why.find("SPECIFIC_ID"), std::string::npos);
    EXPECT_FALSE(Parses({"1.3.6", "1", "1.1", "i"}, nullptr, &why));
    EXPECT_NE(why.find("incomplete"), std::string::npos);
    for (auto [type, value] : std::vector<std::pair<std::string, std::string>>{
             {"i", "2147483648"}, {"u", "-1"}, {"c", "4294967296"}, {"a", "1.2.3"}, {"a", "1.2.3.256"},
             {"C", "18446744073709551616"}, {"U", "5"}, {"x", "00"}, {"x", "zz"}, {"d", "1.0.2"}, {"q", "1"}, {"ii", "1"}}) {
        EXPECT_FALSE(Parses({"1.3.6", "1", "1.1", "s", "ok", "1.2", type, value}, nullptr, &why)) << type << value;
        EXPECT_NE(why.find("binding 2 (1.2)"), std::string::npos) << why;
    }
}

TEST(VqtrapTool, SaysWhatFailedAndExitsNonZero) {
    Outcome o = RunTool("1.3.6.1.4.1.6203 1 1.3.6.1.2.1.1.5.0 s terminal-7");
    EXPECT_EQ(o.status, 1) << o.out;
    EXPECT_NE(o.out.find("no SNMP service host is running"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Send: 2"), std::string::npos) << o.out;

    o = RunTool("1.3.6.1.4.1.6203 1 sysName.0 s x");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("binding 1 (sysName.0)"), std::string::npos) << o.out;
    o = RunTool("enterprises.6203 1");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("enterprise OID"), std::string::npos) << o.out;

    std::string many = "1.3.6.1.4.1.6203 1";
    for (int i = 1; i <= 51; ++i) many += " 1.3.6.1.4.1.6203.9." + std::to_string(i) + " i " + std::to_string(i);
    o = RunTool(many);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("binding 51"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("too many bindings"), std::string::npos) << o.out;

    o = RunTool("--generic 9 1.3.6 1");
    EXPECT_EQ(o.status, 2);
    o = RunTool("1.3.6");
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.out.find("usage:"), std::string::npos);
    o = RunTool("--help");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("Counter64"), std::string::npos);
}
