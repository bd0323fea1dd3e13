#include "sha2_support.h"

#include "platform/holders.h"
#include "platform/win32.h"
#include "report/report_log.h"

namespace {

// A verify context of the RSA/AES provider; on a machine whose default container is missing,
// a new key set serves as well.
bool AcquireAesProvider(ScopedCryptProvider& provider) {
    if (CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return true;
    }
    if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) {
        g_reportLog->PrintError(L"\r\nError: CryptAcquireContext failed with error gle: 0x%08x",
                                GetLastError());
        return false;
    }
    if (CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        return true;
    }
    g_reportLog->PrintError(
        L"\r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error gle: 0x%08x",
        GetLastError());
    return false;
}

}  // namespace

void CheckSha2Support() {
    g_reportLog->Print(L"\r\n\r\nSHA2 support:");
    ScopedCryptProvider provider;
    if (!AcquireAesProvider(provider)) {
        return;
    }
    ScopedCryptHash hash;
    if (CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put())) {
        g_reportLog->Print(L"\r\nOK");
    } else if (GetLastError() == static_cast<DWORD>(NTE_BAD_ALGID)) {
        g_reportLog->PrintError(L"\r\nError: System does not support SHA2");
    } else {
        g_reportLog->PrintError(L"\r\nError: CryptCreateHash failed with error gle : 0x%08x",
                                GetLastError());
    }
    // Destroyed and released here, hash before provider: the holders are only the safety net.
    hash.Release();
    provider.Release();
}
