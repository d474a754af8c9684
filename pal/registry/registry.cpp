// The Reg* calls: each resolves its handle, then does its whole work in one store
// transaction (see store.h), so a call either happened completely or not at all.
#include "pal/registry/registry.h"

#include <cstring>
#include <memory>

#include "pal/registry/key_object.h"
#include "pal/registry/store.h"
#include "pal/security/security.h"

using pal::reg::KeyId;
using pal::reg::KeyRef;
using pal::reg::Store;
using pal::reg::Txn;

namespace pal::reg {

KeyId RootOf(HKEY key) {
    const auto v = reinterpret_cast<uintptr_t>(key);
    const auto low = static_cast<uint32_t>(v);
    const uintptr_t high = v - low;
    // Sign-extended as the macros make them, or zero-extended from a 32-bit store.
    if (high != 0 && high != (~uintptr_t{0} - 0xFFFFFFFFu)) return 0;
    switch (low) {
    case 0x80000000u: return kClassesRoot;
    case 0x80000001u: return kCurrentUser;
    case 0x80000002u: return kLocalMachine;
    case 0x80000003u: return kUsers;
    default: return 0;
    }
}

LONG ResolveKey(HKEY key, KeyRef& out) {
    if (KeyId root = RootOf(key)) {
        out = KeyRef{root, KEY_ALL_ACCESS, true};
        return ERROR_SUCCESS;
    }
    if ((reinterpret_cast<uintptr_t>(key) & 0x80000000u) != 0) return ERROR_INVALID_HANDLE;  // other predefined
    auto object = LookupHandleAs<KeyObject>(reinterpret_cast<HANDLE>(key));
    if (!object) return ERROR_INVALID_HANDLE;
    out = KeyRef{object->id(), object->access(), false};
    return ERROR_SUCCESS;
}

LONG SplitPath(const char* subKey, std::vector<std::string>& names) {
    names.clear();
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    std::string path = subKey;
    if (path[0] == '\\') return ERROR_BAD_PATHNAME;
    if (path.back() == '\\') path.pop_back();
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        names.push_back(std::move(name));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

LONG WalkPath(Txn& txn, KeyId id, const std::vector<std::string>& names, bool create, KeyId& out, bool* created) {
    if (created) *created = false;
    int depth = -1;  // of id, found when a key has to be made
    for (size_t i = 0; i < names.size(); ++i) {
        KeyId next = 0;
        LONG e = txn.Child(id, names[i], next);
        if (e == ERROR_FILE_NOT_FOUND && create) {
            if (depth < 0 && (e = txn.Depth(id, depth))) return e;
            if (depth + 1 > kMaxDepth) return ERROR_INVALID_PARAMETER;
            e = txn.CreateChild(id, names[i], next);
            if (created) *created = true;  // and so is every key below it
        }
        if (e) return e;
        id = next;
        if (depth >= 0) ++depth;
    }
    out = id;
    return ERROR_SUCCESS;
}

LONG CheckDeletable(Txn& txn, KeyId id) {
    if (id <= kUsers) return ERROR_ACCESS_DENIED;
    std::string file;
    LONG e = txn.MountFile(id, file);
    if (e == ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    return e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e;
}

DWORD MapKeyAccess(REGSAM desired) {
    DWORD access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED |
                               KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (desired & GENERIC_READ) access |= KEY_READ;
    if (desired & GENERIC_WRITE) access |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access;
}

}  // namespace pal::reg

namespace {

// Resolves the handle and checks it grants all of needed.
LONG Key(HKEY key, DWORD needed, KeyRef& ref) {
    if (LONG e = pal::reg::ResolveKey(key, ref)) return e;
    return (ref.access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::string ValueName(LPCSTR name) { return name ? name : ""; }

// Copies a name into a caller's buffer of *size characters (terminator included).
LONG PutName(const std::string& name, LPSTR buffer, LPDWORD size) {
    if (name.size() + 1 > *size) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Hands a value's data out the way RegQueryValueEx and RegEnumValue do.
LONG PutData(const pal::reg::Value& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type) *type = value.type;
    const auto needed = static_cast<DWORD>(value.data.size());
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data && needed) std::memcpy(data, value.data.data(), needed);
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                     const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    if (dwOptions & REG_OPTION_CREATE_LINK) return ERROR_NOT_SUPPORTED;
    KeyRef parent;
    if (LONG e = pal::reg::ResolveKey(hKey, parent)) return e;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    KeyId id = 0;
    bool created = false;
    // Most calls open a key that exists: try that without taking the write lock.
    auto open = [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(parent.id)) return c;
        return pal::reg::WalkPath(txn, parent.id, names, false, id);
    };
    LONG e = Store::Run(false, open);
    if (e == ERROR_FILE_NOT_FOUND) {
        e = Store::Run(true, [&](Txn& txn) -> LONG {
            if (LONG w = open(txn); w != ERROR_FILE_NOT_FOUND) return w;  // made meanwhile, or gone
            if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
            return pal::reg::WalkPath(txn, parent.id, names, true, id, &created);
        });
    }
    if (e) return e;
    *phkResult = reinterpret_cast<HKEY>(
        pal::InsertHandle(std::make_shared<pal::reg::KeyObject>(id, pal::reg::MapKeyAccess(samDesired))));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyRef parent;
    if (LONG e = pal::reg::ResolveKey(hKey, parent)) return e;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    KeyId id = 0;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(parent.id)) return c;
        return pal::reg::WalkPath(txn, parent.id, names, false, id);
    });
    if (e) return e;
    *phkResult = reinterpret_cast<HKEY>(
        pal::InsertHandle(std::make_shared<pal::reg::KeyObject>(id, pal::reg::MapKeyAccess(samDesired))));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegCreateKeyExA(hKey, lpSubKey ? lpSubKey : "", 0, nullptr, 0, MAXIMUM_ALLOWED, nullptr, phkResult,
                           nullptr);
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LONG RegCloseKey(HKEY hKey) {
    if (pal::reg::RootOf(hKey)) return ERROR_SUCCESS;
    if (!pal::LookupHandleAs<pal::reg::KeyObject>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
    return CloseHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = Key(hKey, KEY_QUERY_VALUE, key)) return e;
    pal::reg::Value value;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.GetValue(key.id, ValueName(lpValueName), value);
    });
    if (e) return e;
    return PutData(value, lpType, lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (!lpData && cbData) return ERROR_NOACCESS;
    constexpr DWORD kMaxData = 64u << 20;  // far beyond anything the registry should hold
    if (cbData > kMaxData) return ERROR_INVALID_PARAMETER;
    pal::reg::Value value{ValueName(lpValueName), dwType, {}};
    if (!pal::reg::ValidValueName(value.name)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = Key(hKey, KEY_SET_VALUE, key)) return e;
    if (cbData) value.data.assign(lpData, lpData + cbData);
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.SetValue(key.id, value);
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeyRef key;
    if (LONG e = Key(hKey, KEY_SET_VALUE, key)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.DeleteValue(key.id, ValueName(lpValueName));
    });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = Key(hKey, KEY_ENUMERATE_SUB_KEYS, key)) return e;
    std::string name;
    FILETIME lastWrite{};
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.ChildAt(key.id, dwIndex, name, lastWrite);
    });
    if (e) return e;
    if (LONG p = PutName(name, lpName, lpcchName)) return p;
    if (lpClass) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = lastWrite;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    return RegEnumKeyExA(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = Key(hKey, KEY_QUERY_VALUE, key)) return e;
    pal::reg::Value value;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.ValueAt(key.id, dwIndex, value);
    });
    if (e) return e;
    if (LONG p = PutName(value.name, lpValueName, lpcchValueName)) return p;
    return PutData(value, lpType, lpData, lpcbData);
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    KeyRef parent;
    if (LONG e = pal::reg::ResolveKey(hKey, parent)) return e;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(parent.id)) return c;
        KeyId id = 0;
        if (LONG w = pal::reg::WalkPath(txn, parent.id, names, false, id)) return w;
        if (LONG d = pal::reg::CheckDeletable(txn, id)) return d;
        DWORD children = 0;
        if (LONG c = txn.ChildCount(id, children)) return c;
        if (children) return ERROR_ACCESS_DENIED;  // Win32 deletes leaves only
        return txn.DeleteKey(id);
    });
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    KeyRef parent;
    if (LONG e = pal::reg::ResolveKey(hKey, parent)) return e;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(parent.id)) return c;
        KeyId id = 0;
        if (LONG w = pal::reg::WalkPath(txn, parent.id, names, false, id)) return w;
        if (names.empty()) return txn.DeleteContents(id);
        if (LONG d = pal::reg::CheckDeletable(txn, id)) return d;
        if (LONG d = txn.DeleteContents(id)) return d;
        return txn.DeleteKey(id);
    });
}

LONG RegCopyTreeA(HKEY hKeySrc, LPCSTR lpSubKey, HKEY hKeyDest) {
    KeyRef source, dest;
    if (LONG e = Key(hKeySrc, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, source)) return e;
    if (LONG e = Key(hKeyDest, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, dest)) return e;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(source.id)) return c;
        if (LONG c = txn.CheckKey(dest.id)) return c;
        KeyId id = 0;
        if (LONG w = pal::reg::WalkPath(txn, source.id, names, false, id)) return w;
        pal::reg::Tree tree;
        if (LONG r = txn.ReadTree(id, tree)) return r;
        return txn.WriteTree(dest.id, tree, true);
    });
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    KeyRef key;
    if (LONG e = Key(hKey, KEY_QUERY_VALUE, key)) return e;
    pal::reg::KeyInfo info;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        return txn.Info(key.id, info);
    });
    if (e) return e;
    if (lpClass) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = '\0';
    }
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = info.subKeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.maxSubKeyLen;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = info.values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.maxValueNameLen;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = info.maxValueLen;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = info.lastWrite;
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey) {
    KeyRef key;
    if (LONG e = pal::reg::ResolveKey(hKey, key)) return e;
    if (LONG e = Store::Run(false, [&](Txn& txn) { return txn.CheckKey(key.id); })) return e;
    return Store::Flush();
}
