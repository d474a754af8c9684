// Values: typed data, size queries, enumeration order and key information.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pal/registry/registry.h"
#include "pal/registry/tests/reg_test_util.h"

using namespace regtest;
using Names = std::vector<std::string>;

TEST(RegValue, SizeQueriesAndShortBuffersFollowWin32) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sizes");
    ASSERT_EQ(SetSz(key, "SYSTEM_NAME", "VQ-TERMINAL"), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "system_name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 12u);
    ASSERT_EQ(RegQueryValueExA(key, "SYSTEM_NAME", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS) << "type only";

    // Too small: ERROR_MORE_DATA, the size needed, and the caller's bytes left alone.
    char small[8];
    std::memset(small, '#', sizeof small);
    size = sizeof small;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "SYSTEM_NAME", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::string(small, sizeof small), std::string(8, '#'));

    char exact[12];
    size = sizeof exact;
    ASSERT_EQ(RegQueryValueExA(key, "SYSTEM_NAME", nullptr, &type, reinterpret_cast<BYTE*>(exact), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(exact, "VQ-TERMINAL");

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "SYSTEM_NAME", nullptr, &type, reinterpret_cast<BYTE*>(exact), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);

    // "" and null both name the default value.
    ASSERT_EQ(SetSz(key, nullptr, "default"), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, ""), std::string("default\0", 8));
    RegCloseKey(key);
}

TEST(RegValue, EveryTypeIsStoredAsGiven) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Types");
    const std::string multi("A\0B\0\0C\0\0", 8);
    const ULONGLONG q = 0x0102030405060708ull;
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {"sz", REG_SZ, std::string("text\0", 5)},
        {"unterminated", REG_SZ, "raw"},
        {"expand", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15)},
        {"multi", REG_MULTI_SZ, multi},
        {"dword", REG_DWORD, std::string("\x2a\0\0\0", 4)},
        {"binary", REG_BINARY, std::string("\0\xff\x80\x01", 4)},
        {"none", REG_NONE, ""},
        {"qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&q), 8)},
        {"odd", 0x12345678u, "?"},
        {"sjis", REG_SZ, std::string("\x83\x65\x83\x58\x83\x67\0", 7)},
    };
    for (const Case& c : cases)
        ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS)
            << c.name;
    for (const Case& c : cases) {
        DWORD type = 0;
        EXPECT_EQ(Get(key, c.name, &type), c.data) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    RegCloseKey(key);
}

TEST(RegValue, EnumerationKeepsCreationOrderAndOverwritesKeepTheirPlace) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Order");
    for (const char* n : {"zeta", "Alpha", "mid", "beta"}) ASSERT_EQ(SetDword(key, n, 1), ERROR_SUCCESS);
    ASSERT_EQ(SetSz(key, "ALPHA", "now a string"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (Names{"zeta", "Alpha", "mid", "beta"}));
    DWORD type = 0;
    EXPECT_EQ(Get(key, "alpha", &type), std::string("now a string\0", 13));
    EXPECT_EQ(type, REG_SZ);

    // A deleted value that comes back is the newest.
    ASSERT_EQ(RegDeleteValueA(key, "zeta"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "zeta"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(SetDword(key, "Zeta", 2), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), (Names{"Alpha", "mid", "beta", "Zeta"}));

    for (const char* n : {"k3", "K1", "k2"}) RegCloseKey(Create(key, n));
    EXPECT_EQ(SubKeys(key), (Names{"k3", "K1", "k2"}));
    char name[256];
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 4, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST(RegValue, EnumerationReportsShortBuffersAndSizes) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\EnumSizes");
    ASSERT_EQ(SetSz(key, "WATCH_INTERVAL", "300"), ERROR_SUCCESS);
    RegCloseKey(Create(key, "FILTER_LIST"));

    char name[256];
    DWORD cch = 14;  // the name has 14 characters: no room for the terminator
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 11;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 12;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(cch, 11u);
    EXPECT_STREQ(name, "FILTER_LIST");

    // Name, type and size without the data, as an enumerator of value sizes asks.
    DWORD type = 0, size = 0;
    cch = 15;
    ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(cch, 14u);
    EXPECT_STREQ(name, "WATCH_INTERVAL");
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4u);
    char data[2] = {'#', '#'};
    size = sizeof data;
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data[0], '#');
    RegCloseKey(key);
}

TEST(RegValue, QueryInfoKeyCountsAndMeasures) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Info");
    RegCloseKey(Create(key, "ab"));
    RegCloseKey(Create(key, "abcdef"));
    SetSz(key, "n", "0123456789");
    SetDword(key, "longer_name", 1);
    DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0, cchClass = 7;
    char cls[8] = "junk";
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyA(key, cls, &cchClass, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName, &maxData,
                               nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 11u);
    EXPECT_EQ(maxData, 11u);
    EXPECT_STREQ(cls, "");
    EXPECT_EQ(cchClass, 0u);
    // A FILETIME after 2020-01-01.
    uint64_t t = (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    EXPECT_GT(t, 132223104000000000ull);
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(RegValue, ValueNamesHaveTheSystemsLimit) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\LongNames");
    std::string longest(16383, 'v');
    EXPECT_EQ(SetDword(key, longest.c_str(), 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, (longest + "v").c_str(), 1), ERROR_INVALID_PARAMETER);
    // An enumerator with the usual 256-character buffer is told the name does not fit.
    char name[256];
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(key);
}
