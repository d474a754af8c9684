// Registered window messages: one id per name across the processes of a machine root.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "pal/windows.h"
#include "tests/support/child_process.h"

namespace {

// Registers each name and tells "name=id".
VQ_CHILD(register_names) {
    for (const std::string& name : args) vqtest::Tell(name + "=" + std::to_string(RegisterWindowMessageA(name.c_str())));
    vqtest::Tell("done");
    return 0;
}

TEST(RegisterWindowMessage, SameNameSameIdIgnoringCaseOthersDiffer) {
    UINT a = RegisterWindowMessageA("WmTestAlpha");
    UINT b = RegisterWindowMessageA("WmTestBeta");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
    EXPECT_NE(a, b);
    EXPECT_EQ(RegisterWindowMessageA("wmtestalpha"), a);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
    EXPECT_EQ(RegisterWindowMessageA("two\nlines"), 0u);
}

TEST(RegisterWindowMessage, ProcessesOfOneRootAgree) {
    // Two children register new names at the same time, in opposite orders; then the
    // parent looks them up.
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("WmShared" + std::to_string(i));
    std::vector<std::string> reversed(names.rbegin(), names.rend());
    vqtest::ChildProcess first("register_names", names);
    vqtest::ChildProcess second("register_names", reversed);
    std::map<std::string, std::set<std::string>> ids;
    for (vqtest::ChildProcess* child : {&first, &second}) {
        for (;;) {
            std::string line = child->ReadLine(30000);
            ASSERT_FALSE(line.empty());
            if (line == "done") break;
            size_t eq = line.find('=');
            ids[line.substr(0, eq)].insert(line.substr(eq + 1));
        }
        EXPECT_EQ(child->Wait(), 0);
    }
    std::set<UINT> distinct;
    for (const std::string& name : names) {
        ASSERT_EQ(ids[name].size(), 1u) << name;
        UINT mine = RegisterWindowMessageA(name.c_str());
        EXPECT_EQ(std::to_string(mine), *ids[name].begin()) << name;
        distinct.insert(mine);
    }
    EXPECT_EQ(distinct.size(), names.size());
    // Case does not matter across processes either.
    vqtest::ChildProcess upper("register_names", {"WMSHARED3"});
    EXPECT_EQ(upper.ReadLine(30000), "WMSHARED3=" + std::to_string(RegisterWindowMessageA("WmShared3")));
    upper.Wait();
}

}  // namespace
