#include "app/local_system_answer.h"

void AnswerTokenUserAsLocalSystem(ImportFaults& faults) {
    faults.Answer<Api::GetTokenInformation>([](HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                               LPVOID information, DWORD size, PDWORD needed) {
        if (kind != TokenUser) {
            return ImportFaults::Real<Api::GetTokenInformation>(token, kind, information, size,
                                                                needed);
        }
        // S-1-5-18 right after the record, as the system lays it out.
        const DWORD sidSize = GetSidLengthRequired(1);
        *needed = sizeof(TOKEN_USER) + sidSize;
        if (information == nullptr || size < *needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto* user = static_cast<TOKEN_USER*>(information);
        PSID sid = reinterpret_cast<BYTE*>(user) + sizeof(TOKEN_USER);
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        InitializeSid(sid, &ntAuthority, 1);
        *GetSidSubAuthority(sid, 0) = SECURITY_LOCAL_SYSTEM_RID;
        user->User.Sid = sid;
        user->User.Attributes = 0;
        return TRUE;
    });
}
