// The process token. Every token handle of the process names the same token, so the
// enabled-privilege bits are one process-wide word. What the token holds is decided at
// each call from the effective uid: a process that drops root loses the privileges it had
// enabled, as a token of the lesser account would not carry them.
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/security/account.h"
#include "pal/security/security.h"

namespace {

struct Privilege {
    const char* name;
    DWORD luid;
};

// The system's LUIDs for its privileges (stable across Windows versions).
constexpr Privilege kPrivileges[] = {
    {SE_CREATE_TOKEN_NAME, 2},
    {SE_ASSIGNPRIMARYTOKEN_NAME, 3},
    {SE_LOCK_MEMORY_NAME, 4},
    {SE_INCREASE_QUOTA_NAME, 5},
    {SE_MACHINE_ACCOUNT_NAME, 6},
    {SE_TCB_NAME, 7},
    {SE_SECURITY_NAME, 8},
    {SE_TAKE_OWNERSHIP_NAME, 9},
    {SE_LOAD_DRIVER_NAME, 10},
    {SE_SYSTEM_PROFILE_NAME, 11},
    {SE_SYSTEMTIME_NAME, 12},
    {SE_PROF_SINGLE_PROCESS_NAME, 13},
    {SE_INC_BASE_PRIORITY_NAME, 14},
    {SE_CREATE_PAGEFILE_NAME, 15},
    {SE_CREATE_PERMANENT_NAME, 16},
    {SE_BACKUP_NAME, 17},
    {SE_RESTORE_NAME, 18},
    {SE_SHUTDOWN_NAME, 19},
    {SE_DEBUG_NAME, 20},
    {SE_AUDIT_NAME, 21},
    {SE_SYSTEM_ENVIRONMENT_NAME, 22},
    {SE_CHANGE_NOTIFY_NAME, 23},
    {SE_REMOTE_SHUTDOWN_NAME, 24},
    {SE_UNDOCK_NAME, 25},
    {SE_SYNC_AGENT_NAME, 26},
    {SE_ENABLE_DELEGATION_NAME, 27},
    {SE_MANAGE_VOLUME_NAME, 28},
    {SE_IMPERSONATE_NAME, 29},
    {SE_CREATE_GLOBAL_NAME, 30},
    {SE_TRUSTED_CREDMAN_ACCESS_NAME, 31},
    {SE_RELABEL_NAME, 32},
    {SE_INC_WORKING_SET_NAME, 33},
    {SE_TIME_ZONE_NAME, 34},
    {SE_CREATE_SYMBOLIC_LINK_NAME, 35},
};

constexpr uint64_t Bit(DWORD luid) { return uint64_t{1} << luid; }

constexpr uint64_t kAllPrivileges = [] {
    uint64_t bits = 0;
    for (const auto& p : kPrivileges) bits |= Bit(p.luid);
    return bits;
}();
// What a standard account holds.
constexpr uint64_t kUserPrivileges = Bit(19) | Bit(23) | Bit(25) | Bit(33) | Bit(34);
// Enabled from the start (as in an elevated administrator's token).
constexpr uint64_t kRootDefaults = Bit(23) | Bit(29) | Bit(30);
constexpr uint64_t kUserDefaults = Bit(23);

const Privilege* FindByLuid(const LUID& luid) {
    if (luid.HighPart != 0) return nullptr;
    for (const auto& p : kPrivileges)
        if (p.luid == luid.LowPart) return &p;
    return nullptr;
}

uint64_t Held() { return geteuid() == 0 ? kAllPrivileges : kUserPrivileges; }
uint64_t Defaults() { return geteuid() == 0 ? kRootDefaults : kUserDefaults; }

struct TokenState {
    std::mutex mutex;  // one adjustment at a time
    std::atomic<uint64_t> enabled{Defaults()};
};

TokenState& State() {
    static TokenState* state = new TokenState();  // used by destructors of other statics
    return *state;
}

DWORD Attributes(DWORD luid, uint64_t enabled) {
    DWORD a = 0;
    if (enabled & Bit(luid)) a |= SE_PRIVILEGE_ENABLED;
    if (Defaults() & Bit(luid)) a |= SE_PRIVILEGE_ENABLED_BY_DEFAULT;
    return a;
}

class TokenObject : public pal::KernelObject {
public:
    explicit TokenObject(DWORD access) : access_(access) {}
    DWORD access() const { return access_; }

private:
    DWORD access_;
};

HANDLE const kCurrentProcessToken = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4));

// The access the handle grants, or false with the last error set.
bool TokenAccess(HANDLE token, DWORD& access) {
    if (token == kCurrentProcessToken) {
        access = TOKEN_QUERY | TOKEN_QUERY_SOURCE;
        return true;
    }
    auto obj = pal::LookupHandleAs<TokenObject>(token);
    if (!obj) return false;
    access = obj->access();
    return true;
}

DWORD MapTokenAccess(DWORD desired) {
    DWORD access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) access |= TOKEN_READ;
    if (desired & GENERIC_WRITE) access |= TOKEN_WRITE;
    if (desired & GENERIC_EXECUTE) access |= READ_CONTROL | TOKEN_IMPERSONATE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= TOKEN_ALL_ACCESS;
    return access;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

namespace pal {

bool PrivilegeEnabled(DWORD luid) {
    return luid < 64 && (State().enabled.load() & Held() & Bit(luid)) != 0;
}

}  // namespace pal

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    if (!token) return Fail(ERROR_INVALID_PARAMETER);
    if (process != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
    *token = pal::InsertHandle(std::make_shared<TokenObject>(MapTokenAccess(desiredAccess)));
    return TRUE;
}

HANDLE GetCurrentProcessToken() { return kCurrentProcessToken; }

BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    if (!name || !luid) return Fail(ERROR_INVALID_PARAMETER);
    if (!pal::sec::IsLocalSystem(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
    for (const auto& p : kPrivileges) {
        if (strcasecmp(p.name, name) == 0) {
            luid->LowPart = p.luid;
            luid->HighPart = 0;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL LookupPrivilegeNameA(LPCSTR systemName, PLUID luid, LPSTR name, LPDWORD cchName) {
    if (!luid || !cchName) return Fail(ERROR_INVALID_PARAMETER);
    if (!pal::sec::IsLocalSystem(systemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
    const Privilege* p = FindByLuid(*luid);
    if (!p) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    DWORD len = static_cast<DWORD>(std::strlen(p->name));
    if (!name || *cchName < len + 1) {
        *cchName = len + 1;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(name, p->name, len + 1);
    *cchName = len;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                           PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    DWORD access = 0;
    if (!TokenAccess(token, access)) return FALSE;
    if (!(access & TOKEN_ADJUST_PRIVILEGES) || (previousState && !(access & TOKEN_QUERY)))
        return Fail(ERROR_ACCESS_DENIED);
    if (!disableAll && !newState) return Fail(ERROR_INVALID_PARAMETER);

    TokenState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    const uint64_t held = Held();
    const uint64_t before = state.enabled.load();
    uint64_t after = before;
    bool notAll = false;
    if (disableAll) {
        after &= ~held;
    } else {
        const LUID_AND_ATTRIBUTES* entries = newState->Privileges;  // PrivilegeCount of them
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& entry = entries[i];
            const Privilege* p = FindByLuid(entry.Luid);
            if (!p || !(held & Bit(p->luid))) {
                notAll = true;
                continue;
            }
            // A removed privilege is only disabled here: tokens are never rebuilt.
            bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) && !(entry.Attributes & SE_PRIVILEGE_REMOVED);
            after = enable ? (after | Bit(p->luid)) : (after & ~Bit(p->luid));
        }
    }

    if (previousState) {
        // The previous state lists exactly the privileges this call changes.
        std::vector<DWORD> changed;
        for (const auto& p : kPrivileges)
            if (((before ^ after) & held & Bit(p.luid)) != 0) changed.push_back(p.luid);
        DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                          changed.size() * sizeof(LUID_AND_ATTRIBUTES));
        if (returnLength) *returnLength = needed;
        if (bufferLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        previousState->PrivilegeCount = static_cast<DWORD>(changed.size());
        LUID_AND_ATTRIBUTES* out = previousState->Privileges;  // runs past the declared [1]
        for (size_t i = 0; i < changed.size(); ++i) out[i] = {LUID{changed[i], 0}, Attributes(changed[i], before)};
    }
    state.enabled.store(after);
    SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info, DWORD infoLength,
                         PDWORD returnLength) {
    DWORD access = 0;
    if (!TokenAccess(token, access)) return FALSE;
    if (!(access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
    if (!returnLength) return Fail(ERROR_INVALID_PARAMETER);

    switch (infoClass) {
    case TokenUser: {
        std::vector<BYTE> sid = pal::sec::UserSid(geteuid());
        DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
        *returnLength = needed;
        if (!info || infoLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* user = static_cast<TOKEN_USER*>(info);
        BYTE* sidBytes = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
        std::memcpy(sidBytes, sid.data(), sid.size());
        user->User.Sid = sidBytes;
        user->User.Attributes = 0;
        return TRUE;
    }
    case TokenPrivileges: {
        const uint64_t held = Held();
        const uint64_t enabled = State().enabled.load();
        std::vector<LUID_AND_ATTRIBUTES> list;
        for (const auto& p : kPrivileges)
            if (held & Bit(p.luid)) list.push_back({LUID{p.luid, 0}, Attributes(p.luid, enabled)});
        DWORD needed =
            static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) + list.size() * sizeof(LUID_AND_ATTRIBUTES));
        *returnLength = needed;
        if (!info || infoLength < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        auto* privileges = static_cast<TOKEN_PRIVILEGES*>(info);
        privileges->PrivilegeCount = static_cast<DWORD>(list.size());
        std::memcpy(privileges->Privileges, list.data(), list.size() * sizeof(LUID_AND_ATTRIBUTES));
        return TRUE;
    }
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
}
