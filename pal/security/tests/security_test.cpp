#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/security/security.h"
#include "pal/thread/thread.h"

namespace {

LUID Luid(const char* name) {
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name, &luid)) << name;
    return luid;
}

// Enables or disables one privilege; returns the last error after the call (as callers
// check it), or ~0u when the call itself failed.
DWORD Set(HANDLE token, const char* name, bool enable, TOKEN_PRIVILEGES* previous = nullptr) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Luid = Luid(name);
    tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    DWORD length = 0;
    if (!AdjustTokenPrivileges(token, FALSE, &tp, previous ? sizeof *previous : 0, previous, &length)) return ~0u;
    return GetLastError();
}

// Attributes of a privilege as the token lists it; 0xFFFFFFFF when not held.
DWORD Listed(HANDLE token, const char* name) {
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buf(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buf.data(), size, &size));
    auto* tp = reinterpret_cast<TOKEN_PRIVILEGES*>(buf.data());
    const LUID_AND_ATTRIBUTES* list = tp->Privileges;
    LUID luid = Luid(name);
    for (DWORD i = 0; i < tp->PrivilegeCount; ++i)
        if (list[i].Luid.LowPart == luid.LowPart) return list[i].Attributes;
    return 0xFFFFFFFFu;
}

std::string SidText(PSID sid) {
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "<error " + std::to_string(GetLastError()) + ">";
    std::string s = text;
    LocalFree(text);
    return s;
}

std::string TokenUserSid() {
    DWORD size = 0;
    GetTokenInformation(GetCurrentProcessToken(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buf(size);
    if (!GetTokenInformation(GetCurrentProcessToken(), TokenUser, buf.data(), size, &size)) return "";
    return SidText(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
}

// Runs body in a forked child that became the user "nobody"; the child's exit code is
// the number of failed checks, reported through the parent's assertion.
int AsNobody(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

}  // namespace

TEST(Privilege, NamesAndLuidsFollowTheSystem) {
    EXPECT_EQ(Luid(SE_BACKUP_NAME).LowPart, 17u);
    EXPECT_EQ(Luid(SE_RESTORE_NAME).LowPart, 18u);
    EXPECT_EQ(Luid(SE_SHUTDOWN_NAME).LowPart, 19u);
    EXPECT_EQ(Luid("sedebugprivilege").LowPart, 20u);

    LUID luid{};
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_FALSE(LookupPrivilegeValueA("\\\\ELSEWHERE-HOST", SE_BACKUP_NAME, &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

    luid = Luid(SE_RESTORE_NAME);
    char name[8];
    DWORD cch = sizeof name;
    EXPECT_FALSE(LookupPrivilegeNameA(nullptr, &luid, name, &cch));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cch, sizeof(SE_RESTORE_NAME));
    char big[64];
    cch = sizeof big;
    ASSERT_TRUE(LookupPrivilegeNameA(nullptr, &luid, big, &cch));
    EXPECT_STREQ(big, SE_RESTORE_NAME);
    EXPECT_EQ(cch, sizeof(SE_RESTORE_NAME) - 1);
}

TEST(Privilege, RootEnablesAndRestoresWithPreviousState) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    EXPECT_FALSE(pal::PrivilegeEnabled(pal::kSeBackupPrivilege));
    EXPECT_EQ(Listed(token, SE_BACKUP_NAME), 0u);

    TOKEN_PRIVILEGES previous{};
    EXPECT_EQ(Set(token, SE_BACKUP_NAME, true, &previous), 0u);
    EXPECT_TRUE(pal::PrivilegeEnabled(pal::kSeBackupPrivilege));
    EXPECT_EQ(Listed(token, SE_BACKUP_NAME), SE_PRIVILEGE_ENABLED);
    ASSERT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 17u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u);

    // Enabling again changes nothing, so nothing is reported as previous state.
    EXPECT_EQ(Set(token, SE_BACKUP_NAME, true, &previous), 0u);
    EXPECT_EQ(previous.PrivilegeCount, 0u);

    // Feeding the previous state back restores it (what a scoped enabler does).
    EXPECT_EQ(Set(token, SE_RESTORE_NAME, true, &previous), 0u);
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &previous, 0, nullptr, nullptr));
    EXPECT_FALSE(pal::PrivilegeEnabled(pal::kSeRestorePrivilege));
    EXPECT_TRUE(pal::PrivilegeEnabled(pal::kSeBackupPrivilege));

    // A short previous-state buffer changes nothing and tells the size.
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0] = {Luid(SE_DEBUG_NAME), SE_PRIVILEGE_ENABLED};
    DWORD needed = 0;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &tp, 4, &previous, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, sizeof(TOKEN_PRIVILEGES));
    EXPECT_FALSE(pal::PrivilegeEnabled(pal::kSeDebugPrivilege));

    ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(pal::PrivilegeEnabled(pal::kSeBackupPrivilege));
    EXPECT_EQ(Listed(token, SE_CHANGE_NOTIFY_NAME), SE_PRIVILEGE_ENABLED_BY_DEFAULT) << "disabled with the rest";
    CloseHandle(token);
}

TEST(Privilege, TokenAccessIsChecked) {
    HANDLE query = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query));
    EXPECT_EQ(Set(query, SE_SHUTDOWN_NAME, true), ~0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Set(GetCurrentProcessToken(), SE_SHUTDOWN_NAME, true), ~0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE adjustOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &adjustOnly));
    TOKEN_PRIVILEGES previous{};
    EXPECT_EQ(Set(adjustOnly, SE_SHUTDOWN_NAME, true, &previous), ~0u) << "previous state needs TOKEN_QUERY";
    EXPECT_EQ(Set(adjustOnly, SE_SHUTDOWN_NAME, false), 0u);

    HANDLE other = reinterpret_cast<HANDLE>(static_cast<intptr_t>(12345));
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenProcessToken(other, TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(query);
    CloseHandle(adjustOnly);
}

TEST(Privilege, OtherUsersGetNotAllAssignedForBackupAndRestore) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    int failures = AsNobody([] {
        int bad = 0;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 50;
        TOKEN_PRIVILEGES previous{};
        // "Succeeds", but the privilege is not held and stays off.
        bad += Set(token, SE_BACKUP_NAME, true, &previous) != ERROR_NOT_ALL_ASSIGNED;
        bad += previous.PrivilegeCount != 0;
        bad += Set(token, SE_RESTORE_NAME, true) != ERROR_NOT_ALL_ASSIGNED;
        bad += pal::PrivilegeEnabled(pal::kSeBackupPrivilege);
        bad += pal::PrivilegeEnabled(pal::kSeRestorePrivilege);
        // A standard account's own privilege works.
        bad += Set(token, SE_SHUTDOWN_NAME, true) != ERROR_SUCCESS;
        bad += !pal::PrivilegeEnabled(pal::kSeShutdownPrivilege);
        bad += Listed(token, SE_BACKUP_NAME) != 0xFFFFFFFFu;
        bad += TokenUserSid() != "S-1-5-21-0-0-0-65534";
        return bad;
    });
    EXPECT_EQ(failures, 0);
}

TEST(Privilege, DroppingRootDropsEnabledPrivileges) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    ASSERT_EQ(Set(token, SE_BACKUP_NAME, true), 0u);
    int failures = AsNobody([] { return pal::PrivilegeEnabled(pal::kSeBackupPrivilege) ? 1 : 0; });
    EXPECT_EQ(failures, 0);
    Set(token, SE_BACKUP_NAME, false);
    CloseHandle(token);
}

TEST(Sid, TokenUserIsLocalSystemForRoot) {
    if (geteuid() != 0) {
        EXPECT_EQ(TokenUserSid(), "S-1-5-21-0-0-0-" + std::to_string(geteuid()));
        return;
    }
    EXPECT_EQ(TokenUserSid(), "S-1-5-18");
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(GetCurrentProcessToken(), TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(TOKEN_USER) + 12);
}

TEST(Sid, StringFormsRoundTripInTheBinaryLayout) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-21-1004336348-1177238915-682003330-512", &sid));
    const auto* bytes = static_cast<const BYTE*>(sid);
    ASSERT_EQ(GetLengthSid(sid), 8u + 5 * 4);
    const BYTE head[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, head, sizeof head), 0);
    EXPECT_EQ(SidText(sid), "S-1-5-21-1004336348-1177238915-682003330-512");

    BYTE copy[SECURITY_MAX_SID_SIZE];
    EXPECT_FALSE(CopySid(8, copy, sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(CopySid(sizeof copy, copy, sid));
    EXPECT_TRUE(EqualSid(copy, sid));
    LocalFree(sid);

    // Authorities of 2^32 and above print in hexadecimal; 0x input is accepted.
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-0x123456789ABC-7", &sid));
    EXPECT_EQ(SidText(sid), "S-1-0x123456789ABC-7");
    LocalFree(sid);
    ASSERT_TRUE(ConvertStringSidToSidA("s-1-0x10-0x20", &sid));
    EXPECT_EQ(SidText(sid), "S-1-16-32");
    LocalFree(sid);
    ASSERT_TRUE(ConvertStringSidToSidA("BA", &sid));
    EXPECT_EQ(SidText(sid), "S-1-5-32-544");
    LocalFree(sid);

    for (const char* bad : {"", "S-", "S-1", "S-2-5-18", "S-1-5-", "S-1--5", "S-1-5-18x", "X-1-5-18",
                            "S-1-5-4294967296", "S-1-0x1000000000000-1", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
        sid = nullptr;
        EXPECT_FALSE(ConvertStringSidToSidA(bad, &sid)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID)) << bad;
    }
    BYTE junk[12] = {2, 1};
    EXPECT_FALSE(IsValidSid(junk));
    LPSTR text = nullptr;
    EXPECT_FALSE(ConvertSidToStringSidA(junk, &text));
}

namespace {

struct Lookup {
    bool ok;
    DWORD error;
    std::string name, domain;
    SID_NAME_USE use;
};

Lookup LookupText(const char* sidText) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sidText, &sid)) return {false, GetLastError(), "", "", SidTypeUnknown};
    char name[64], domain[64];
    DWORD cchName = sizeof name, cchDomain = sizeof domain;
    SID_NAME_USE use = SidTypeUnknown;
    Lookup r{};
    r.ok = LookupAccountSidA(nullptr, sid, name, &cchName, domain, &cchDomain, &use);
    r.error = r.ok ? 0 : GetLastError();
    if (r.ok) {
        r.name = std::string(name, cchName);
        r.domain = std::string(domain, cchDomain);
        r.use = use;
    }
    LocalFree(sid);
    return r;
}

}  // namespace

TEST(Sid, LookupAccountSidNamesSystemAndLinuxAccounts) {
    Lookup system = LookupText("S-1-5-18");
    ASSERT_TRUE(system.ok);
    EXPECT_EQ(system.name, "SYSTEM");
    EXPECT_EQ(system.domain, "NT AUTHORITY");
    EXPECT_EQ(LookupText("S-1-5-19").name, "LOCAL SERVICE");
    EXPECT_EQ(LookupText("S-1-5-20").name, "NETWORK SERVICE");
    Lookup admins = LookupText("S-1-5-32-544");
    EXPECT_EQ(admins.name, "Administrators");
    EXPECT_EQ(admins.domain, "BUILTIN");
    EXPECT_EQ(admins.use, SidTypeAlias);

    setenv("VQ_COMPUTERNAME", "till-07", 1);
    struct passwd* pw = getpwuid(65534);
    ASSERT_NE(pw, nullptr);
    Lookup nobody = LookupText("S-1-5-21-0-0-0-65534");
    ASSERT_TRUE(nobody.ok) << nobody.error;
    EXPECT_EQ(nobody.name, pw->pw_name);
    EXPECT_EQ(nobody.domain, "TILL-07");
    EXPECT_EQ(nobody.use, SidTypeUser);
    unsetenv("VQ_COMPUTERNAME");

    EXPECT_EQ(LookupText("S-1-5-21-9-9-9-1000").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(LookupText("S-1-5-21-0-0-0-3999999").error, static_cast<DWORD>(ERROR_NONE_MAPPED)) << "no such uid";
}

TEST(Sid, LookupAccountSidSizesBuffersLikeTheSystem) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-20", &sid));
    DWORD cchName = 0, cchDomain = 0;
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountSidA(nullptr, sid, nullptr, &cchName, nullptr, &cchDomain, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cchName, sizeof("NETWORK SERVICE"));
    EXPECT_EQ(cchDomain, sizeof("NT AUTHORITY"));
    // Exactly the sizes reported are enough; one less in either is not.
    std::vector<char> name(cchName), domain(cchDomain);
    DWORD n = cchName, d = cchDomain - 1;
    EXPECT_FALSE(LookupAccountSidA(nullptr, sid, name.data(), &n, domain.data(), &d, &use));
    n = cchName;
    d = cchDomain;
    ASSERT_TRUE(LookupAccountSidA(nullptr, sid, name.data(), &n, domain.data(), &d, &use));
    EXPECT_STREQ(name.data(), "NETWORK SERVICE");
    EXPECT_EQ(n, cchName - 1);
    EXPECT_EQ(use, SidTypeWellKnownGroup);
    LocalFree(sid);
}

TEST(SecurityDescriptor, NullDaclDescriptorIsAcceptedAndReadBack) {
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(SECURITY_DESCRIPTOR_MIN_LENGTH, sizeof(void*) == 8 ? 40u : 20u);
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(&sd);
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_FALSE(defaulted);
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));

    sd.Control |= SE_SELF_RELATIVE;
    EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}
