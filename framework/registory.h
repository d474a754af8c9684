// Registry access of the framework: CRegistory (one key, typed reads and writes,
// enumeration, recursive delete, tree copy, hive load and save), CVQRegistory (the
// framework's key layout, user keys first on terminal servers) and CPrivilegeAccessToken
// (one token privilege enabled for the object's lifetime). Failures go to the CVQBObj
// error state; nothing here writes the application log.
#pragma once

#include <string>
#include <vector>

#include "framework/vqbobj.h"
#include "pal/registry/registry.h"

class CRegistory : public CVQBObj {
public:
    CRegistory();
    explicit CRegistory(HKEY root);
    // A copy gets a handle of its own to the same key, so each object closes only its own.
    CRegistory(const CRegistory& other);
    CRegistory& operator=(const CRegistory& other);
    ~CRegistory() override;

    int Create(HKEY root, const char* subKey, REGSAM access);
    int Create(const char* subKey, REGSAM access);
    int Open(HKEY root, const char* subKey, REGSAM access);
    int Open(const char* subKey, REGSAM access);
    int Close();
    int IsOpen() const { return m_hKey != kInvalidKey ? 1 : 0; }
    HKEY GetHKey() const { return m_hRoot; }
    HKEY GetSubKey() const { return m_hKey; }

    LONG Read(const char* valueName);
    int Read(const char* valueName, std::string& text);
    int Read(const char* valueName, std::vector<std::string>& texts);
    int Read(const char* valueName, DWORD& value);
    int Write(const char* valueName, const char* text);
    int Write(const char* valueName, const std::vector<std::string>& texts);
    int Write(const char* valueName, DWORD value);
    int DeleteValue(const char* valueName);
    int DeleteValue(HKEY root, const char* subKey, const char* valueName);
    int DeleteKey(HKEY root, const char* subKey);

    int EnumKeyFirst(std::string* name);
    int EnumKeyNext(std::string* name);
    int EnumValueFirst(std::string* name, DWORD* type, DWORD* size);
    int EnumValueNext(std::string* name, DWORD* type, DWORD* size);

    int Copy(HKEY dstRoot, const char* dstSubKey, HKEY srcRoot, const char* srcSubKey, int overwrite);
    int FileLoad(const char* fileName, HKEY root, const char* subKey, int mode, DWORD flags);
    int FileSave(const char* fileName, HKEY root, const char* subKey);

    static const char* ShortRootName(HKEY root);
    static const char* FullRootName(HKEY root);

protected:
    static const HKEY kInvalidKey;

    int SetKeyInfo(HKEY root, const char* subKey);
    HKEY DuplicateKey(HKEY key);
    int ReadRaw(const char* valueName, const char* target, std::vector<char>& buffer, DWORD& got);
    int DeleteKeyTree(HKEY root, const std::string& subKey);

    HKEY m_hRoot;
    HKEY m_hKey;
    std::string m_strRootName;
    std::string m_strSubKey;
    DWORD m_dwKeyIndex;
    DWORD m_dwValueIndex;
};

class CVQRegistory : public CRegistory {
public:
    explicit CVQRegistory(const char* unused = nullptr);

    static LONG GetRegTse();
    static const char* GetAplName();

    int OpenVq(const char* subKey, REGSAM access);
    int OpenApl(const char* subKey, REGSAM access);
    int OpenVqApl(const char* subKey, REGSAM access);

    static LONG m_lTse;
    static std::string m_strAplName;
    static std::string m_strUserName;

private:
    int OpenUnderRoots(const std::string& path, REGSAM access, const char* target);
};

class CPrivilegeAccessToken {
public:
    explicit CPrivilegeAccessToken(const char* privilegeName);
    CPrivilegeAccessToken& operator=(const CPrivilegeAccessToken& other) = default;
    ~CPrivilegeAccessToken();

    LONG Set() { return SetReset(1); }
    LONG Reset() { return SetReset(0); }
    LONG SetReset(int enable);

private:
    const char* m_pszPrivilege;
    LONG m_lSaved;
};
