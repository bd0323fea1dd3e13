// Holders of CryptoAPI handles.
#pragma once

#include "platform/scoped_handle.h"
#include "platform/win32.h"

inline BOOL ReleaseCryptProvider(HCRYPTPROV provider) {
    return CryptReleaseContext(provider, 0);
}

using ScopedCryptProvider = ScopedHandle<HCRYPTPROV, ReleaseCryptProvider>;
using ScopedCryptHash = ScopedHandle<HCRYPTHASH, CryptDestroyHash>;
