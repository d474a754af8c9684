// The store shared by real processes: concurrent writers, and a writer killed mid-burst.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "pal/registry/registry.h"
#include "pal/registry/tests/reg_test_util.h"
#include "tests/support/child_process.h"

using namespace regtest;

namespace {

// Writes count values "<prefix><i>" = i into HKLM\SOFTWARE\Shared and, after each write,
// checks its own value and reads how far the other writer has got. Exit code: failures.
VQ_CHILD(reg_writer) {
    const std::string prefix = args.at(0);
    const int count = std::stoi(args.at(1));
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr))
        return 100;
    vqtest::Tell("ready");
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        if (SetDword(key, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS) ++failures;
        DWORD v = 0, size = sizeof v;
        if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size) ||
            v != static_cast<DWORD>(i))
            ++failures;
        DWORD values = 0;
        if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr))
            ++failures;
    }
    RegCloseKey(key);
    return failures > 99 ? 99 : failures;
}

// Creates a key and sets a value in it, over and over, telling the parent each value whose
// call returned success.
VQ_CHILD(reg_burst) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Burst", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return 100;
    for (int i = 0;; ++i) {
        const std::string name = "v" + std::to_string(i);
        const std::string data = "payload-" + std::to_string(i) + std::string(static_cast<size_t>(i % 300), 'x');
        if (SetSz(key, name.c_str(), data) != ERROR_SUCCESS) return 101;
        vqtest::Tell(name);
        if (i % 10 == 0) {
            HKEY sub = nullptr;
            if (RegCreateKeyExA(key, ("k" + std::to_string(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                nullptr))
                return 102;
            RegCloseKey(sub);
        }
    }
}

}  // namespace

TEST(RegProcess, TwoWritersSeeEachOtherAndLoseNothing) {
    const int count = 300;
    vqtest::ChildProcess a("reg_writer", {"a", std::to_string(count)});
    vqtest::ChildProcess b("reg_writer", {"b", std::to_string(count)});
    ASSERT_TRUE(a.Expect("ready"));
    ASSERT_TRUE(b.Expect("ready"));
    EXPECT_EQ(a.Wait(), 0);
    EXPECT_EQ(b.Wait(), 0);

    HKEY key = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", key), ERROR_SUCCESS);
    std::vector<std::string> names = ValueNames(key);
    EXPECT_EQ(names.size(), 2u * count);
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_EQ(Get(key, "b299"), std::string("\x2b\x01\0\0", 4));
    RegCloseKey(key);
}

TEST(RegProcess, KilledWriterLeavesEveryConfirmedValue) {
    vqtest::ChildProcess child("reg_burst");
    std::vector<std::string> confirmed;
    while (confirmed.size() < 150) {
        std::string line = child.ReadLine();
        ASSERT_FALSE(line.empty()) << "the writer stopped early";
        confirmed.push_back(line);
    }
    child.Kill(9);
    // Lines already written before the kill count too.
    for (std::string line; !(line = child.ReadLine(2000)).empty();) confirmed.push_back(line);
    EXPECT_EQ(child.Wait(), 128 + 9);

    HKEY key = nullptr;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Burst", key), ERROR_SUCCESS);
    for (size_t i = 0; i < confirmed.size(); ++i) {
        ASSERT_EQ(confirmed[i], "v" + std::to_string(i));
        const std::string data = "payload-" + std::to_string(i) + std::string(i % 300, 'x');
        ASSERT_EQ(Get(key, confirmed[i].c_str()), data + '\0') << confirmed[i];
    }
    // The store is whole: enumeration gives an unbroken run v0..vN (one more than
    // confirmed at most), and it still takes writes.
    std::vector<std::string> names = ValueNames(key);
    ASSERT_GE(names.size(), confirmed.size());
    ASSERT_LE(names.size(), confirmed.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], "v" + std::to_string(i));
    // A key follows every tenth value; the kill may fall between the two.
    const size_t keys = SubKeys(key).size();
    EXPECT_LE(keys, (names.size() + 9) / 10);
    EXPECT_GE(keys + 1, (names.size() + 9) / 10);
    EXPECT_EQ(SetDword(key, "after", 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

namespace {

// The name RegEnumValueA gives for index, or "" at the end.
std::string ValueNameAt(HKEY key, DWORD index) {
    char name[64];
    DWORD cch = sizeof name;
    return RegEnumValueA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS
               ? std::string(name, cch)
               : std::string();
}

std::string SubKeyAt(HKEY key, DWORD index) {
    char name[256];
    DWORD cch = sizeof name;
    return RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS
               ? std::string(name, cch)
               : std::string();
}

}  // namespace

VQ_CHILD(reg_delete_value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, args[0].c_str(), 0, KEY_ALL_ACCESS, &key)) return 1;
    const LONG e = RegDeleteValueA(key, args[1].c_str());
    RegCloseKey(key);
    return e == ERROR_SUCCESS ? 0 : 2;
}

// Index-by-index enumeration continues from the row the last index gave only while the
// store is unchanged; after a change by this process or another, an index means what it
// means in a fresh enumeration.
TEST(RegProcess, EnumerationByIndexFollowsChangesMadeBetweenCalls) {
    HKEY key = regtest::Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\EnumCursor");
    for (int i = 0; i < 8; ++i) ASSERT_EQ(regtest::SetDword(key, ("v" + std::to_string(i)).c_str(), i), 0);
    for (int i = 0; i < 4; ++i) RegCloseKey(regtest::Create(key, ("k" + std::to_string(i)).c_str()));

    EXPECT_EQ(ValueNameAt(key, 0), "v0");
    EXPECT_EQ(ValueNameAt(key, 1), "v1");
    EXPECT_EQ(ValueNameAt(key, 2), "v2");
    // Deleted here: index 3 is now the fifth of the original values.
    ASSERT_EQ(RegDeleteValueA(key, "v0"), 0);
    EXPECT_EQ(ValueNameAt(key, 3), "v4");
    // Deleted by another process between two calls.
    EXPECT_EQ(ValueNameAt(key, 4), "v5");
    {
        vqtest::ChildProcess child("reg_delete_value", {"SOFTWARE\\EnumCursor", "v1"});
        ASSERT_EQ(child.Wait(), 0);
    }
    EXPECT_EQ(ValueNameAt(key, 5), "v7");
    EXPECT_EQ(ValueNameAt(key, 6), "");
    // Out of order, and the same index twice.
    EXPECT_EQ(ValueNameAt(key, 3), "v5");
    EXPECT_EQ(ValueNameAt(key, 0), "v2");
    EXPECT_EQ(ValueNameAt(key, 0), "v2");
    EXPECT_EQ(ValueNameAt(key, 1), "v3");

    // Sub-keys alike; interleaving values and keys does not confuse the two.
    EXPECT_EQ(SubKeyAt(key, 0), "k0");
    EXPECT_EQ(ValueNameAt(key, 2), "v4");
    EXPECT_EQ(SubKeyAt(key, 1), "k1");
    ASSERT_EQ(RegDeleteKeyA(key, "k0"), 0);
    EXPECT_EQ(SubKeyAt(key, 2), "k3");
    EXPECT_EQ(SubKeyAt(key, 3), "");

    // A whole enumeration of many values gives each once, in order.
    HKEY many = regtest::Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\EnumCursor\\Many");
    for (int i = 0; i < 300; ++i) ASSERT_EQ(regtest::SetDword(many, ("m" + std::to_string(i)).c_str(), i), 0);
    for (DWORD i = 0; i < 300; ++i) ASSERT_EQ(ValueNameAt(many, i), "m" + std::to_string(i));
    EXPECT_EQ(ValueNameAt(many, 300), "");
    RegCloseKey(many);
    RegCloseKey(key);
}
