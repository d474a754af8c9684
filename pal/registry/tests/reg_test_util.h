// Small helpers shared by the registry tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/registry/registry.h"
#include "pal/security/security.h"

namespace regtest {

inline HKEY Create(HKEY parent, const char* path, DWORD* disposition = nullptr, REGSAM sam = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    LONG e = RegCreateKeyExA(parent, path, 0, nullptr, 0, sam, nullptr, &key, disposition);
    EXPECT_EQ(e, ERROR_SUCCESS) << path;
    return key;
}

inline LONG Open(HKEY parent, const char* path, HKEY& key, REGSAM sam = KEY_ALL_ACCESS) {
    return RegOpenKeyExA(parent, path, 0, sam, &key);
}

inline LONG SetSz(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

inline LONG SetDword(HKEY key, const char* name, DWORD v) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// The value's bytes, or the error as text for readable failures.
inline std::string Get(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0;
    LONG e = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (e) return "<error " + std::to_string(e) + ">";
    std::string data(size, '\0');
    e = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (e) return "<error " + std::to_string(e) + ">";
    data.resize(size);
    return data;
}

inline std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name;
        LONG e = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e) {
            names.push_back("<error " + std::to_string(e) + ">");
            break;
        }
        names.emplace_back(name, cch);
    }
    return names;
}

inline std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name;
        LONG e = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e) {
            names.push_back("<error " + std::to_string(e) + ">");
            break;
        }
        names.emplace_back(name, cch);
    }
    return names;
}

inline bool EnablePrivilege(const char* name, bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid);
    tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool ok = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

}  // namespace regtest
