// SIDs in the Windows binary layout, their string form, and the accounts they name.
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pal/security/account.h"
#include "pal/security/security.h"
#include "pal/thread/thread.h"

namespace {

constexpr size_t kHeader = 8;  // revision, count, authority

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

uint64_t Authority(const SID* sid) {
    uint64_t a = 0;
    for (BYTE b : sid->IdentifierAuthority.Value) a = (a << 8) | b;
    return a;
}

const DWORD* SubAuthorities(const SID* sid) { return sid->SubAuthority; }

std::vector<BYTE> MakeSid(uint64_t authority, const std::vector<DWORD>& subs) {
    std::vector<BYTE> bytes(kHeader + subs.size() * 4);
    auto* sid = reinterpret_cast<SID*>(bytes.data());
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = static_cast<BYTE>(subs.size());
    for (int i = 5; i >= 0; --i, authority >>= 8) sid->IdentifierAuthority.Value[i] = static_cast<BYTE>(authority);
    if (!subs.empty()) std::memcpy(bytes.data() + kHeader, subs.data(), subs.size() * 4);
    return bytes;
}

// A copy in LocalAlloc memory, as the conversion functions hand out.
PSID LocalSid(const std::vector<BYTE>& bytes) {
    void* p = LocalAlloc(LMEM_FIXED, bytes.size());
    if (p) std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

std::string SidString(const SID* sid) {
    char buf[32];
    std::string s = "S-" + std::to_string(sid->Revision) + "-";
    const BYTE* v = sid->IdentifierAuthority.Value;
    if (v[0] == 0 && v[1] == 0) {
        s += std::to_string(Authority(sid));
    } else {
        std::snprintf(buf, sizeof buf, "0x%02X%02X%02X%02X%02X%02X", v[0], v[1], v[2], v[3], v[4], v[5]);
        s += buf;
    }
    const DWORD* subs = SubAuthorities(sid);
    for (int i = 0; i < sid->SubAuthorityCount; ++i) s += "-" + std::to_string(subs[i]);
    return s;
}

// A decimal or 0x-hexadecimal number no larger than max.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        int c = std::tolower(static_cast<unsigned char>(text[i]));
        int d = std::isdigit(c) ? c - '0' : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max) return false;
    }
    out = v;
    return true;
}

bool ParseSidString(const std::string& text, std::vector<BYTE>& out) {
    static const struct {
        const char* abbreviation;
        const char* sid;
    } kAliases[] = {{"SY", "S-1-5-18"}, {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},
                    {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"}};
    for (const auto& a : kAliases)
        if (text == a.abbreviation) return ParseSidString(a.sid, out);

    if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
    std::vector<std::string> parts;
    size_t start = 2;
    while (true) {
        size_t dash = text.find('-', start);
        parts.push_back(text.substr(start, dash == std::string::npos ? std::string::npos : dash - start));
        if (dash == std::string::npos) break;
        start = dash + 1;
    }
    uint64_t revision = 0, authority = 0;
    if (parts.size() < 2 || parts.size() > 2 + SID_MAX_SUB_AUTHORITIES) return false;
    if (!ParseNumber(parts[0], 0xFF, revision) || revision != SID_REVISION) return false;
    if (!ParseNumber(parts[1], 0xFFFFFFFFFFFFull, authority)) return false;
    std::vector<DWORD> subs;
    for (size_t i = 2; i < parts.size(); ++i) {
        uint64_t v = 0;
        if (!ParseNumber(parts[i], 0xFFFFFFFFu, v)) return false;
        subs.push_back(static_cast<DWORD>(v));
    }
    out = MakeSid(authority, subs);
    return true;
}

struct Account {
    std::string name;
    std::string domain;
    SID_NAME_USE use;
};

bool FindAccount(const SID* sid, Account& out) {
    static const struct {
        const char* sid;
        const char* name;
        const char* domain;
        SID_NAME_USE use;
    } kWellKnown[] = {
        {"S-1-1-0", "Everyone", "", SidTypeWellKnownGroup},
        {"S-1-5-18", "SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup},
        {"S-1-5-19", "LOCAL SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
        {"S-1-5-20", "NETWORK SERVICE", "NT AUTHORITY", SidTypeWellKnownGroup},
        {"S-1-5-32-544", "Administrators", "BUILTIN", SidTypeAlias},
        {"S-1-5-32-545", "Users", "BUILTIN", SidTypeAlias},
    };
    const std::string text = SidString(sid);
    for (const auto& w : kWellKnown) {
        if (text == w.sid) {
            out = {w.name, w.domain, w.use};
            return true;
        }
    }
    // S-1-5-21-0-0-0-<uid>: a Linux account.
    const DWORD* subs = SubAuthorities(sid);
    if (Authority(sid) != 5 || sid->SubAuthorityCount != 5 || subs[0] != SECURITY_NT_NON_UNIQUE || subs[1] != 0 ||
        subs[2] != 0 || subs[3] != 0)
        return false;
    struct passwd pw{};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(static_cast<uid_t>(subs[4]), &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    if (!GetComputerNameA(computer, &size)) return false;
    out = {found->pw_name, computer, SidTypeUser};
    return true;
}

}  // namespace

namespace pal::sec {

std::vector<BYTE> UserSid(uid_t uid) {
    if (uid == 0) return MakeSid(5, {SECURITY_LOCAL_SYSTEM_RID});
    return MakeSid(5, {SECURITY_NT_NON_UNIQUE, 0, 0, 0, static_cast<DWORD>(uid)});
}

bool IsLocalSystem(const char* systemName) {
    if (!systemName || !*systemName || std::strcmp(systemName, ".") == 0) return true;
    if (std::strncmp(systemName, "\\\\", 2) == 0) systemName += 2;
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    return GetComputerNameA(computer, &size) && strcasecmp(systemName, computer) == 0;
}

}  // namespace pal::sec

BOOL IsValidSid(PSID pSid) {
    const auto* sid = static_cast<const SID*>(pSid);
    return sid && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetLengthSid(PSID pSid) {
    if (!pSid) return 0;
    return static_cast<DWORD>(kHeader + 4u * static_cast<const SID*>(pSid)->SubAuthorityCount);
}

BOOL EqualSid(PSID a, PSID b) {
    if (!IsValidSid(a) || !IsValidSid(b)) return Fail(ERROR_INVALID_SID);
    SetLastError(ERROR_SUCCESS);
    DWORD len = GetLengthSid(a);
    return len == GetLengthSid(b) && std::memcmp(a, b, len) == 0;
}

BOOL CopySid(DWORD destinationLength, PSID destination, PSID source) {
    if (!IsValidSid(source)) return Fail(ERROR_INVALID_SID);
    DWORD len = GetLengthSid(source);
    if (!destination || destinationLength < len) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memmove(destination, source, len);
    return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                              DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* out) {
    if (!authority || !out || count > 8) return Fail(ERROR_INVALID_PARAMETER);
    uint64_t a = 0;
    for (BYTE b : authority->Value) a = (a << 8) | b;
    const DWORD all[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    PSID sid = LocalSid(MakeSid(a, std::vector<DWORD>(all, all + count)));
    if (!sid) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    *out = sid;
    return TRUE;
}

PVOID FreeSid(PSID pSid) {
    LocalFree(pSid);
    return nullptr;
}

BOOL ConvertSidToStringSidA(PSID Sid, LPSTR* StringSid) {
    if (!StringSid) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsValidSid(Sid)) return Fail(ERROR_INVALID_SID);
    std::string text = SidString(static_cast<const SID*>(Sid));
    auto* p = static_cast<char*>(LocalAlloc(LMEM_FIXED, text.size() + 1));
    if (!p) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(p, text.c_str(), text.size() + 1);
    *StringSid = p;
    return TRUE;
}

BOOL ConvertStringSidToSidA(LPCSTR StringSid, PSID* Sid) {
    if (!StringSid || !Sid) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> bytes;
    if (!ParseSidString(StringSid, bytes)) return Fail(ERROR_INVALID_SID);
    PSID p = LocalSid(bytes);
    if (!p) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    *Sid = p;
    return TRUE;
}

BOOL LookupAccountSidA(LPCSTR systemName, PSID Sid, LPSTR Name, LPDWORD cchName, LPSTR ReferencedDomainName,
                       LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    if (!cchName || !cchReferencedDomainName) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsValidSid(Sid)) return Fail(ERROR_INVALID_SID);
    if (!pal::sec::IsLocalSystem(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
    Account account;
    if (!FindAccount(static_cast<const SID*>(Sid), account)) return Fail(ERROR_NONE_MAPPED);
    const DWORD nameNeed = static_cast<DWORD>(account.name.size() + 1);
    const DWORD domainNeed = static_cast<DWORD>(account.domain.size() + 1);
    if (!Name || *cchName < nameNeed || !ReferencedDomainName || *cchReferencedDomainName < domainNeed) {
        *cchName = nameNeed;
        *cchReferencedDomainName = domainNeed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(Name, account.name.c_str(), nameNeed);
    std::memcpy(ReferencedDomainName, account.domain.c_str(), domainNeed);
    *cchName = nameNeed - 1;
    *cchReferencedDomainName = domainNeed - 1;
    if (peUse) *peUse = account.use;
    return TRUE;
}
