#include "framework/registory.h"

#include <cstring>
#include <memory>

#include "pal/security/security.h"
#include "pal/windows.h"

const HKEY CRegistory::kInvalidKey = reinterpret_cast<HKEY>(static_cast<intptr_t>(-1));

LONG CVQRegistory::m_lTse = -1;
std::string CVQRegistory::m_strAplName;
std::string CVQRegistory::m_strUserName;

namespace {

const char* kFrameworkRoot = "SOFTWARE\\QIR\\VQ FRAMEWORK";
const char* kTempLoadKey = "SOFTWARE\\QIR.fwSecApi.FileLoad.$$$";

struct RootName {
    HKEY root;
    const char* shortName;
    const char* fullName;
};

const RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, "CLASSES_ROOT", "HKEY_CLASSES_ROOT"},
    {HKEY_CURRENT_USER, "CURRENT_USER", "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "LOCAL_MACHINE", "HKEY_LOCAL_MACHINE"},
    {HKEY_USERS, "USERS", "HKEY_USERS"},
};

// Predefined keys are no handles: they cannot be duplicated, and closing one does nothing.
bool IsPredefined(HKEY key) {
    const auto v = reinterpret_cast<uintptr_t>(key);
    return v >= reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT) && v <= reinterpret_cast<uintptr_t>(HKEY_DYN_DATA);
}

}  // namespace

const char* CRegistory::ShortRootName(HKEY root) {
    for (const auto& r : kRoots)
        if (r.root == root) return r.shortName;
    return "Unknown HKEY";
}

const char* CRegistory::FullRootName(HKEY root) {
    for (const auto& r : kRoots)
        if (r.root == root) return r.fullName;
    return "Unknown HKEY";
}

CRegistory::CRegistory()
    : m_hRoot(kInvalidKey), m_hKey(kInvalidKey), m_dwKeyIndex(0), m_dwValueIndex(0) {}

CRegistory::CRegistory(HKEY root) : CRegistory() {
    m_hRoot = root;
    m_strRootName = ShortRootName(root);
    if (m_strRootName == "Unknown HKEY") {
        SetTarget("CRegistory::SetKeyInfo");
        PrintfE(static_cast<LONG>(reinterpret_cast<intptr_t>(root)), "Registory invalid HKEY : %d",
                static_cast<int>(reinterpret_cast<intptr_t>(root)));
    }
}

CRegistory::CRegistory(const CRegistory& other)
    : CVQBObj(other),
      m_hRoot(other.m_hRoot),
      m_hKey(kInvalidKey),
      m_strRootName(other.m_strRootName),
      m_strSubKey(other.m_strSubKey),
      m_dwKeyIndex(other.m_dwKeyIndex),
      m_dwValueIndex(other.m_dwValueIndex) {
    m_hKey = DuplicateKey(other.m_hKey);
}

CRegistory& CRegistory::operator=(const CRegistory& other) {
    if (this == &other) return *this;
    const HKEY old = m_hKey;
    CVQBObj::operator=(other);
    m_hRoot = other.m_hRoot;
    m_strRootName = other.m_strRootName;
    m_strSubKey = other.m_strSubKey;
    m_dwKeyIndex = other.m_dwKeyIndex;
    m_dwValueIndex = other.m_dwValueIndex;
    m_hKey = DuplicateKey(other.m_hKey);
    if (old != kInvalidKey) RegCloseKey(old);
    return *this;
}

CRegistory::~CRegistory() { Close(); }

// A handle of this object's own to the key behind another's, so that both may close theirs.
// When that fails the copy has no key, and says so, rather than sharing one it would close.
HKEY CRegistory::DuplicateKey(HKEY key) {
    if (key == kInvalidKey || IsPredefined(key)) return key;
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(key), GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS))
        return reinterpret_cast<HKEY>(copy);
    const LONG rc = static_cast<LONG>(GetLastError());
    SetTarget("CRegistory::CRegistory");
    PrintfE(rc, "Registory key duplicate error : %d,  %s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
            m_strSubKey.c_str());
    return kInvalidKey;
}

int CRegistory::SetKeyInfo(HKEY root, const char* subKey) {
    m_hRoot = root;
    m_strRootName = ShortRootName(root);
    m_strSubKey = subKey ? subKey : "";
    if (m_strRootName == "Unknown HKEY") {
        SetTarget("CRegistory::SetKeyInfo");
        return PrintfE(static_cast<LONG>(reinterpret_cast<intptr_t>(root)), "Registory invalid HKEY : %d",
                       static_cast<int>(reinterpret_cast<intptr_t>(root)));
    }
    return 1;
}

int CRegistory::Create(HKEY root, const char* subKey, REGSAM access) {
    Close();
    ClearError();
    if (!SetKeyInfo(root, subKey)) return 0;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(root, m_strSubKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                              &m_hKey, &disposition);
    if (rc != ERROR_SUCCESS) {
        m_hKey = kInvalidKey;
        SetTarget("CRegistory::Create");
        return PrintfE(rc, "Registory create error : %d, %s, %s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str());
    }
    m_lErrorCode = static_cast<LONG>(disposition);
    return 1;
}

int CRegistory::Create(const char* subKey, REGSAM access) { return Create(m_hRoot, subKey, access); }

int CRegistory::Open(HKEY root, const char* subKey, REGSAM access) {
    Close();
    ClearError();
    if (!SetKeyInfo(root, subKey)) return 0;
    LONG rc = RegOpenKeyExA(root, m_strSubKey.c_str(), 0, access, &m_hKey);
    if (rc != ERROR_SUCCESS) {
        m_hKey = kInvalidKey;
        SetTarget("CRegistory::Open");
        return PrintfE(rc, "Registory open error : %d,  %s,  %s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str());
    }
    return 1;
}

int CRegistory::Open(const char* subKey, REGSAM access) { return Open(m_hRoot, subKey, access); }

int CRegistory::Close() {
    ClearError();
    if (m_hKey != kInvalidKey) {
        RegCloseKey(m_hKey);
        m_hKey = kInvalidKey;
    }
    return 1;
}

LONG CRegistory::Read(const char* valueName) {
    ClearError();
    DWORD type = 0;
    LONG rc = RegQueryValueExA(m_hKey, valueName, nullptr, &type, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::Read");
        PrintfE(rc, "Registory read error : %d,  %s\\%s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
                m_strSubKey.c_str(), valueName ? valueName : "");
        return -1;
    }
    return static_cast<LONG>(type);
}

// Size query, then the data into a buffer two bytes longer; the more-data answer of the
// size query counts as success. Failures fill the error state under the given target.
int CRegistory::ReadRaw(const char* valueName, const char* target, std::vector<char>& buffer, DWORD& got) {
    const char* name = valueName ? valueName : "";
    DWORD size = 0;
    LONG rc = RegQueryValueExA(m_hKey, valueName, nullptr, nullptr, nullptr, &size);
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) {
        SetTarget(target);
        return PrintfE(rc, "Registory size get error : %d,  %s\\%s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str(), name);
    }
    buffer.assign(size + 2, '\0');
    got = size;
    rc = RegQueryValueExA(m_hKey, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &got);
    if (rc != ERROR_SUCCESS) {
        SetTarget(target);
        return PrintfE(rc, "Registory read error : %d,  %s\\%s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str(), name);
    }
    return 1;
}

int CRegistory::Read(const char* valueName, std::string& text) {
    ClearError();
    std::vector<char> buffer;
    DWORD got = 0;
    if (!ReadRaw(valueName, "CRegistory::Read(SZ)", buffer, got)) return 0;
    buffer[got] = '\0';
    text = buffer.data();
    return 1;
}

int CRegistory::Read(const char* valueName, std::vector<std::string>& texts) {
    ClearError();
    texts.clear();
    std::vector<char> buffer;
    DWORD got = 0;
    if (!ReadRaw(valueName, "CRegistory::Read(MULTI_SZ)", buffer, got)) return 0;
    // Strings up to the first empty one or the end of the data, whichever comes first.
    size_t pos = 0;
    while (pos < got) {
        size_t len = strnlen(buffer.data() + pos, got - pos);
        if (len == 0) break;
        texts.emplace_back(buffer.data() + pos, len);
        pos += len + 1;
    }
    return 1;
}

int CRegistory::Read(const char* valueName, DWORD& value) {
    DWORD data = 0, size = sizeof data;
    LONG rc = RegQueryValueExA(m_hKey, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::Read");
        return PrintfE(rc, "Registory read error (DWORD) : %d,  %s\\%s\\%s", static_cast<int>(rc),
                       m_strRootName.c_str(), m_strSubKey.c_str(), valueName ? valueName : "");
    }
    value = data;
    return 1;
}

int CRegistory::Write(const char* valueName, const char* text) {
    ClearError();
    const char* t = text ? text : "";
    LONG rc = RegSetValueExA(m_hKey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(t),
                             static_cast<DWORD>(std::strlen(t) + 1));
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::Write");
        return PrintfE(rc, "Registory write error (SZ) : %d,  %s\\%s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str(), valueName ? valueName : "");
    }
    return 1;
}

int CRegistory::Write(const char* valueName, const std::vector<std::string>& texts) {
    ClearError();
    std::string joined;
    for (const auto& t : texts) {
        joined += t;
        joined += '\0';
    }
    joined += '\0';
    // Each string with its NUL, then one more NUL; an empty list is that one NUL alone.
    DWORD size = static_cast<DWORD>(joined.size());
    LONG rc = RegSetValueExA(m_hKey, valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(joined.data()), size);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::Write(MULTI_SZ)");
        return PrintfE(rc, "Registory write error (SZ) : %d,  %s\\%s\\%s", static_cast<int>(rc), m_strRootName.c_str(),
                       m_strSubKey.c_str(), valueName ? valueName : "");
    }
    return 1;
}

int CRegistory::Write(const char* valueName, DWORD value) {
    ClearError();
    LONG rc = RegSetValueExA(m_hKey, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::Write");
        return PrintfE(rc, "Registory write error (DWORD) : %d,  %s\\%s\\%s", static_cast<int>(rc),
                       m_strRootName.c_str(), m_strSubKey.c_str(), valueName ? valueName : "");
    }
    return 1;
}

int CRegistory::DeleteValue(const char* valueName) {
    ClearError();
    LONG rc = RegDeleteValueA(m_hKey, valueName);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::DeleteValue");
        return PrintfE(rc, "Registory delete value error : %d,  %s\\%s\\%s", static_cast<int>(rc),
                       m_strRootName.c_str(), m_strSubKey.c_str(), valueName ? valueName : "");
    }
    return 1;
}

int CRegistory::DeleteValue(HKEY root, const char* subKey, const char* valueName) {
    ClearError();
    SetTarget("CRegistory::DeleteValue");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subKey, 0, KEY_READ | KEY_WRITE, &key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return PrintfE(rc, "Registory Key not found : %d,  %s\\%s", static_cast<int>(rc), FullRootName(root), subKey);
    if (rc != ERROR_SUCCESS)
        return PrintfE(rc, "Registory open key error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(root), subKey);
    rc = RegDeleteValueA(key, valueName);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return PrintfE(rc, "Registory delete value error : %d,  %s\\%s\\%s", static_cast<int>(rc), FullRootName(root),
                       subKey, valueName ? valueName : "");
    return 1;
}

int CRegistory::DeleteKey(HKEY root, const char* subKey) {
    ClearError();
    return DeleteKeyTree(root, subKey ? subKey : "");
}

int CRegistory::DeleteKeyTree(HKEY root, const std::string& subKey) {
    SetTarget("CRegistory::DeleteKey");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ | KEY_WRITE, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return 1;
    if (rc != ERROR_SUCCESS)
        return PrintfE(rc, "Registory delete key open error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(root),
                       subKey.c_str());
    for (;;) {
        char name[256];
        DWORD len = sizeof name;
        rc = RegEnumKeyExA(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            return PrintfE(rc, "Registory delete key enum error : %d,  %s\\%s", static_cast<int>(rc),
                           FullRootName(root), subKey.c_str());
        }
        if (!DeleteKeyTree(root, subKey + "\\" + name)) {
            RegCloseKey(key);
            return 0;
        }
    }
    RegCloseKey(key);
    rc = RegDeleteKeyA(root, subKey.c_str());
    if (rc != ERROR_SUCCESS)
        return PrintfE(rc, "Registory delete key error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(root),
                       subKey.c_str());
    return 1;
}

int CRegistory::EnumKeyFirst(std::string* name) {
    ClearError();
    m_dwKeyIndex = 0;
    return EnumKeyNext(name);
}

int CRegistory::EnumKeyNext(std::string* name) {
    ClearError();
    char buffer[256];
    DWORD len = sizeof buffer;
    LONG rc = RegEnumKeyExA(m_hKey, m_dwKeyIndex, buffer, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::EnumKeyNext");
        if (rc == ERROR_NO_MORE_ITEMS)
            return PrintfE(rc, "Registory enum key read end : %s\\%s", m_strRootName.c_str(), m_strSubKey.c_str());
        return PrintfE(rc, "Registory enum key error : %s\\%s", m_strRootName.c_str(), m_strSubKey.c_str());
    }
    if (name) *name = buffer;
    ++m_dwKeyIndex;
    return 1;
}

int CRegistory::EnumValueFirst(std::string* name, DWORD* type, DWORD* size) {
    ClearError();
    m_dwValueIndex = 0;
    return EnumValueNext(name, type, size);
}

int CRegistory::EnumValueNext(std::string* name, DWORD* type, DWORD* size) {
    ClearError();
    char buffer[256];
    DWORD len = sizeof buffer;
    LONG rc = RegEnumValueA(m_hKey, m_dwValueIndex, buffer, &len, nullptr, type, nullptr, size);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::EnumValueNext");
        if (rc == ERROR_NO_MORE_ITEMS)
            return PrintfE(rc, "Registory enum value read end : %s\\%s", m_strRootName.c_str(), m_strSubKey.c_str());
        return PrintfE(rc, "Registory enum value error : %s\\%s", m_strRootName.c_str(), m_strSubKey.c_str());
    }
    if (name) *name = buffer;
    ++m_dwValueIndex;
    return 1;
}

int CRegistory::Copy(HKEY dstRoot, const char* dstSubKey, HKEY srcRoot, const char* srcSubKey, int overwrite) {
    ClearError();
    SetTarget("CRegistory::Copy");
    std::string dstPath = dstSubKey ? dstSubKey : "", srcPath = srcSubKey ? srcSubKey : "";
    HKEY src = nullptr, dst = nullptr;
    LONG rc = RegOpenKeyExA(srcRoot, srcPath.c_str(), 0, KEY_READ | KEY_WRITE, &src);
    if (rc != ERROR_SUCCESS)
        return PrintfE(rc, "Registory open key error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(srcRoot),
                       srcPath.c_str());
    DWORD disposition = 0;
    rc = RegCreateKeyExA(dstRoot, dstPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                         &dst, &disposition);
    if (rc != ERROR_SUCCESS) {
        RegCloseKey(src);
        return PrintfE(rc, "Registory create key error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(dstRoot),
                       dstPath.c_str());
    }
    int result = 1;
    for (DWORD i = 0; result; ++i) {
        char name[256];
        DWORD len = sizeof name;
        rc = RegEnumKeyExA(src, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            result = PrintfE(rc, "Registory enum Key error : %d,  %s\\%s", static_cast<int>(rc), FullRootName(srcRoot),
                             srcPath.c_str());
            break;
        }
        result = Copy(dstRoot, (dstPath + "\\" + name).c_str(), srcRoot, (srcPath + "\\" + name).c_str(), overwrite);
        SetTarget("CRegistory::Copy");
    }
    for (DWORD i = 0; result; ++i) {
        char name[256];
        DWORD len = sizeof name, size = 0;
        rc = RegEnumValueA(src, i, name, &len, nullptr, nullptr, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            result = PrintfE(rc, "Registory enum value error (1) : %d,  %s\\%s", static_cast<int>(rc),
                             FullRootName(srcRoot), srcPath.c_str());
            break;
        }
        std::vector<BYTE> data(size + 1);
        DWORD type = 0;
        len = sizeof name;
        rc = RegEnumValueA(src, i, name, &len, nullptr, &type, data.data(), &size);
        if (rc != ERROR_SUCCESS) {
            result = PrintfE(rc, "Registory enum value error (2) : %d,  %s\\%s", static_cast<int>(rc),
                             FullRootName(srcRoot), srcPath.c_str());
            break;
        }
        if (!overwrite && RegQueryValueExA(dst, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) continue;
        rc = RegSetValueExA(dst, name, 0, type, data.data(), size);
        if (rc != ERROR_SUCCESS)
            result = PrintfE(rc, "Registory write error : %d,  %s\\%s\\%s", static_cast<int>(rc),
                             FullRootName(dstRoot), dstPath.c_str(), name);
    }
    RegCloseKey(src);
    RegCloseKey(dst);
    return result;
}

int CRegistory::FileLoad(const char* fileName, HKEY root, const char* subKey, int mode, DWORD flags) {
    ClearError();
    CPrivilegeAccessToken privilege(SE_RESTORE_NAME);
    privilege.Set();
    if (mode == 2) {
        CRegistory target;
        if (!target.Create(root, subKey, KEY_ALL_ACCESS)) {
            SetTarget("CRegistory::FileLoad");
            return PrintfE(target.GetErrorCode(), "Registory create key error, %s", target.GetErrorMsg());
        }
        LONG rc = RegRestoreKeyA(target.GetSubKey(), fileName, flags);
        if (rc != ERROR_SUCCESS) {
            SetTarget("CRegistory::FileLoad");
            return PrintfE(rc, "Registory restore file error : %d,  %s  %s\\%s", static_cast<int>(rc), fileName,
                           FullRootName(root), subKey ? subKey : "");
        }
        return 1;
    }
    int result = FileLoad(fileName, HKEY_LOCAL_MACHINE, kTempLoadKey, 2, 0);
    if (result) result = Copy(root, subKey, HKEY_LOCAL_MACHINE, kTempLoadKey, mode);
    // Also after a failed restore: the key was made before the restore was tried.
    CRegistory cleaner;
    cleaner.DeleteKey(HKEY_LOCAL_MACHINE, kTempLoadKey);
    return result;
}

int CRegistory::FileSave(const char* fileName, HKEY root, const char* subKey) {
    ClearError();
    CPrivilegeAccessToken privilege(SE_BACKUP_NAME);
    privilege.Set();
    CRegistory source;
    if (!source.Open(root, subKey, KEY_READ | KEY_WRITE)) {
        SetTarget("CRegistory::FileSave");
        return PrintfE(source.GetErrorCode(), "Registory open key error,  %s", source.GetErrorMsg());
    }
    LONG rc = RegSaveKeyA(source.GetSubKey(), fileName, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetTarget("CRegistory::FileSave");
        return PrintfE(rc, "Registory save file error : %d,  %s  %s\\%s", static_cast<int>(rc), fileName,
                       FullRootName(root), subKey ? subKey : "");
    }
    return 1;
}

CVQRegistory::CVQRegistory(const char*) {
    GetRegTse();
    GetAplName();
}

LONG CVQRegistory::GetRegTse() {
    if (m_lTse < 0) {
        m_lTse = 0;
        CRegistory reg;
        std::string path = std::string(kFrameworkRoot) + "\\SYSTEM";
        if (reg.Open(HKEY_CURRENT_USER, path.c_str(), KEY_READ | KEY_WRITE)) {
            DWORD tse = 0;
            if (reg.Read("TSE", tse)) m_lTse = static_cast<LONG>(tse);
        }
    }
    return m_lTse;
}

const char* CVQRegistory::GetAplName() {
    if (m_strAplName.empty()) {
        CRegistory reg;
        std::string path = std::string(kFrameworkRoot) + "\\SYSTEM";
        std::string name;
        if (reg.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | KEY_WRITE) && reg.Read("SYSTEM_NAME", name))
            m_strAplName = name;
    }
    return m_strAplName.c_str();
}

int CVQRegistory::OpenUnderRoots(const std::string& path, REGSAM access, const char*) {
    if (GetRegTse() != 0 && Open(HKEY_CURRENT_USER, path.c_str(), access)) return 1;
    return Open(HKEY_LOCAL_MACHINE, path.c_str(), access);
}

int CVQRegistory::OpenVq(const char* subKey, REGSAM access) {
    ClearError();
    std::string path = kFrameworkRoot;
    if (subKey) path += std::string("\\") + subKey;
    return OpenUnderRoots(path, access, "CVQRegistory::OpenVq");
}

int CVQRegistory::OpenApl(const char* subKey, REGSAM access) {
    ClearError();
    std::string apl = GetAplName();
    if (apl.empty()) {
        SetTarget("CVQRegistory::OpenApl");
        return PrintfE(-1, "not found apl name : %s\\%s", apl.c_str(), subKey ? subKey : "");
    }
    std::string path = "SOFTWARE\\QIR\\" + apl;
    if (subKey) path += std::string("\\") + subKey;
    return OpenUnderRoots(path, access, "CVQRegistory::OpenApl");
}

int CVQRegistory::OpenVqApl(const char* subKey, REGSAM access) {
    if (OpenVq(subKey, access)) return 1;
    return OpenApl(subKey, access);
}

CPrivilegeAccessToken::CPrivilegeAccessToken(const char* privilegeName)
    : m_pszPrivilege(privilegeName), m_lSaved(-1) {}

CPrivilegeAccessToken::~CPrivilegeAccessToken() {
    if (m_lSaved >= 0) SetReset(m_lSaved != 0 ? 1 : 0);
}

LONG CPrivilegeAccessToken::SetReset(int enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return -static_cast<LONG>(GetLastError());
    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, m_pszPrivilege, &luid)) {
        LONG err = -static_cast<LONG>(GetLastError());
        CloseHandle(token);
        return err;
    }
    TOKEN_PRIVILEGES change{};
    change.PrivilegeCount = 1;
    change.Privileges[0].Luid = luid;
    change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    TOKEN_PRIVILEGES previous{};
    DWORD size = sizeof previous;
    SetLastError(0);
    AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &size);
    DWORD err = GetLastError();
    CloseHandle(token);
    if (err != 0) return -static_cast<LONG>(err);
    LONG state = previous.PrivilegeCount ? static_cast<LONG>(previous.Privileges[0].Attributes) : 0;
    if (m_lSaved < 0) m_lSaved = state;
    return state;
}
