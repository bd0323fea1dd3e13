// Stand-in for advapi32's token and SID calls: the process token of the machine's account
// (LocalSystem, S-1-5-18, or an ordinary user). By default only LocalSystem holds
// SeSecurityPrivilege.
// Left out: impersonation, groups, token classes other than TokenUser.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "handles.h"
#include "machine.h"

namespace standin {
namespace {

constexpr LUID SecurityPrivilegeLuid = {8, 0};  // SE_SECURITY_PRIVILEGE on Windows

class Token : public KernelObject {
  public:
    bool localSystem = false;
    bool holdsSecurityPrivilege = false;
};

size_t SidSize(BYTE subAuthorityCount) {
    return 8 + 4u * subAuthorityCount;
}

// S-1-5-18 for LocalSystem; S-1-5-21-1000-1000-1000-1001 for the user.
void WriteAccountSid(SID* sid, bool localSystem) {
    sid->Revision = SID_REVISION;
    memset(sid->IdentifierAuthority.Value, 0, 6);
    sid->IdentifierAuthority.Value[5] = 5;
    if (localSystem) {
        sid->SubAuthorityCount = 1;
        sid->SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
        return;
    }
    sid->SubAuthorityCount = 5;
    const DWORD parts[] = {21, 1000, 1000, 1000, 1001};
    memcpy(sid->SubAuthority, parts, sizeof parts);
}

}  // namespace
}  // namespace standin

using namespace standin;

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
    if (Injected("OpenProcessToken")) {
        return FALSE;
    }
    if (process != GetCurrentProcess()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    auto object = std::make_unique<Token>();
    object->localSystem = Machine::Current().IsLocalSystem();
    object->holdsSecurityPrivilege = Machine::Current().HoldsSecurityPrivilege();
    *token = AddHandle(std::move(object));
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    if (Injected("LookupPrivilegeValueW")) {
        return FALSE;
    }
    if (systemName != nullptr && *systemName != L'\0') {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (name == nullptr || wcscmp(name, SE_SECURITY_NAME) != 0) {
        return Fail(ERROR_NO_SUCH_PRIVILEGE);
    }
    *luid = SecurityPrivilegeLuid;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES, PDWORD) {
    if (Injected("AdjustTokenPrivileges")) {
        return FALSE;
    }
    auto* object = HandleAs<Token>(token);
    if (object == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (disableAll) {
        Machine::Current().SetSecurityPrivilegeEnabled(false);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (newState == nullptr || bufferLength < sizeof(TOKEN_PRIVILEGES)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    bool allAssigned = true;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = newState->Privileges[i];
        bool isSecurity = entry.Luid.LowPart == SecurityPrivilegeLuid.LowPart &&
                          entry.Luid.HighPart == SecurityPrivilegeLuid.HighPart;
        if (!isSecurity || !object->holdsSecurityPrivilege) {
            allAssigned = false;  // the token does not hold it
            continue;
        }
        Machine::Current().SetSecurityPrivilegeEnabled((entry.Attributes & SE_PRIVILEGE_ENABLED) !=
                                                       0);
    }
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                DWORD infoLength, PDWORD returnLength) {
    if (Injected("GetTokenInformation")) {
        return FALSE;
    }
    auto* object = HandleAs<Token>(token);
    if (object == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (infoClass != TokenUser) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const BYTE subAuthorities = object->localSystem ? 1 : 5;
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + SidSize(subAuthorities));
    if (returnLength != nullptr) {
        *returnLength = needed;
    }
    if (info == nullptr || infoLength < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* user = static_cast<TOKEN_USER*>(info);
    auto* sid = reinterpret_cast<SID*>(static_cast<BYTE*>(info) + sizeof(TOKEN_USER));
    WriteAccountSid(sid, object->localSystem);
    user->User.Sid = sid;
    user->User.Attributes = 0;
    return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                                     DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                                     DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
    if (Injected("AllocateAndInitializeSid")) {
        return FALSE;
    }
    if (subAuthorityCount == 0 || subAuthorityCount > 8 || authority == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    auto* result = static_cast<SID*>(calloc(1, SidSize(subAuthorityCount)));
    if (result == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    const DWORD parts[] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
    result->Revision = SID_REVISION;
    result->SubAuthorityCount = subAuthorityCount;
    result->IdentifierAuthority = *authority;
    memcpy(result->SubAuthority, parts, 4u * subAuthorityCount);
    *sid = result;
    return TRUE;
}

BOOL WINAPI EqualSid(PSID first, PSID second) {
    auto* a = static_cast<const SID*>(first);
    auto* b = static_cast<const SID*>(second);
    SetLastError(ERROR_SUCCESS);
    return a->Revision == b->Revision && a->SubAuthorityCount == b->SubAuthorityCount &&
           memcmp(a, b, SidSize(a->SubAuthorityCount)) == 0;
}

PVOID WINAPI FreeSid(PSID sid) {
    free(sid);
    return nullptr;
}
