// The library exports its 21 functions by name, and the platform's loader finds it as
// "norvik.dll" the way the SNMP host and the agent service load it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "pal/core/root.h"
#include "pal/file/path.h"

#include "pal/windows.h"

namespace {

const char* const kExports[] = {
    "SnmpExtensionInit", "SnmpExtensionTrap",  "SnmpExtensionQuery", "SnmpExtensionClose", "SetEnterpriseOid",
    "SetGenericTrapId",  "SetSpecificTrapId",  "ClearParameter",     "Send",               "AddParamInteger32",
    "AddParamBits",      "AddParamString",     "AddParamNull",       "AddParamObjectId",   "AddParamIpAddress",
    "AddParamCounter32", "AddParamGauge32",    "AddParamTimeticks",  "AddParamOpaque",     "AddParamCounter64",
    "AddParamUnsigned32"};

TEST(Exports, AllNamesAreExportedWithCLinkage) {
    void* lib = dlopen(NORVIK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : kExports) EXPECT_NE(dlsym(lib, name), nullptr) << name;
    // Internals stay inside.
    EXPECT_EQ(dlsym(lib, "_ZN6norvik12CheckOidTextEPKcj"), nullptr);
    dlclose(lib);
}

TEST(Exports, LoadLibraryFindsNorvikDll) {
    std::string dir = NORVIK_LIBRARY;
    dir.erase(dir.find_last_of('/'));
    setenv("VQ_LIBRARY_PATH", dir.c_str(), 1);
    HMODULE lib = LoadLibraryA("norvik.dll");
    ASSERT_NE(lib, nullptr);
    auto add = reinterpret_cast<LONG (*)(LPCSTR, LONG)>(GetProcAddress(lib, "AddParamInteger32"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(nullptr, 1), ERROR_INVALID_DATA);
    EXPECT_EQ(add("1.3.6.1.4.1.6203.1.1", 1), 0);
    auto send = reinterpret_cast<LONG (*)()>(GetProcAddress(lib, "Send"));
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send(), 2);
    FreeLibrary(lib);
    unsetenv("VQ_LIBRARY_PATH");
}

TEST(Exports, TheLibrarysLogNamesTheModuleNorvik) {
    const char* key = "SOFTWARE\\QIR\\VQ FRAMEWORK\\NORVIK\\EXT_AGENT";
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    DWORD on = 1;
    RegSetValueExA(k, "DEBUG_LOG", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    RegCloseKey(k);
    ASSERT_TRUE(pal::core::MakeDirs(pal::MapPath("c:\\temp")));

    void* lib = dlopen(NORVIK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = reinterpret_cast<PFNSNMPEXTENSIONINIT>(dlsym(lib, "SnmpExtensionInit"));
    auto close = reinterpret_cast<PFNSNMPEXTENSIONCLOSE>(dlsym(lib, "SnmpExtensionClose"));
    ASSERT_TRUE(init && close);
    HANDLE trap = nullptr;
    AsnObjectIdentifier view{};
    ASSERT_TRUE(init(0, &trap, &view));
    close();
    CloseHandle(trap);
    dlclose(lib);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);

    std::ifstream in(pal::MapPath("c:\\temp\\ExtAgent.log"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string log = s.str();
    ASSERT_EQ(log.size(), 10u + 2 * 137);
    EXPECT_EQ(log.substr(0, 10), "00000284\r\n");
    std::string first = log.substr(10, 137);
    EXPECT_EQ(first.substr(16, 19), "norvik    ,       ,");
    EXPECT_EQ(first.substr(35, 20), "SnmpExtensionInit OK");
    EXPECT_EQ(first.substr(135), "\r\n");
    EXPECT_EQ(log.substr(147 + 35, 21), "SnmpExtensionClose OK");
}

}  // namespace
