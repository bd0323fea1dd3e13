#include "account_check.h"

#include <cstdlib>

#include "platform/holders.h"
#include "platform/win32.h"

namespace {

constexpr DWORD TokenAccess = TOKEN_READ | TOKEN_QUERY_SOURCE | TOKEN_ADJUST_PRIVILEGES;

bool EnableSecurityPrivilege(HANDLE token) {
    TOKEN_PRIVILEGES privileges = {};
    if (!LookupPrivilegeValueW(nullptr, L"SeSecurityPrivilege", &privileges.Privileges[0].Luid)) {
        return false;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A token without the privilege succeeds with ERROR_NOT_ALL_ASSIGNED: only the call counts.
    return AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) !=
           FALSE;
}

bool TokenUserIsLocalSystem(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return false;
    }
    const ScopedMallocBlock<void> information(calloc(size, 1));
    if (information.IsEmpty()) {
        return false;
    }
    bool localSystem = false;
    if (GetTokenInformation(token, TokenUser, information.Get(), size, &size)) {
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID allocated = nullptr;
        if (AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0,
                                     0, &allocated)) {
            const ScopedSid systemSid(allocated);
            localSystem = EqualSid(systemSid.Get(),
                                   static_cast<TOKEN_USER*>(information.Get())->User.Sid) != FALSE;
        }
    }
    return localSystem;
}

}  // namespace

bool IsLocalSystem() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TokenAccess, &opened)) {
        return false;
    }
    const ScopedKernelHandle token(opened);
    return EnableSecurityPrivilege(token.Get()) && TokenUserIsLocalSystem(token.Get());
}
