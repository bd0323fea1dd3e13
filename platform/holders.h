// The named holder of each kind of platform handle the tool opens: its empty value and its own
// close call with that call's extra arguments. Every close keeps the thread's last error
// (ScopedHandle), so a failure reported after a holder let go still shows the failing call's code.
#pragma once

#include <winternl.h>

#include <cstdint>
#include <cstdlib>

#include "platform/scoped_handle.h"
#include "platform/win32.h"

// --- kernel objects

inline BOOL CloseKernelHandle(HANDLE handle) {
    return CloseHandle(handle);
}
// A file or device from CreateFileW, which answers INVALID_HANDLE_VALUE when it fails.
using ScopedFile = ScopedHandle<HANDLE, CloseKernelHandle, -1>;
// A kernel handle from a call that answers null when it fails (OpenProcessToken, ...).
using ScopedKernelHandle = ScopedHandle<HANDLE, CloseKernelHandle>;

inline BOOL CloseNtHandle(HANDLE handle) {
    return NT_SUCCESS(NtClose(handle));
}
// A handle from the native API (NtOpenFile), null when empty.
using ScopedNtHandle = ScopedHandle<HANDLE, CloseNtHandle>;

inline BOOL CloseFind(HANDLE find) {
    return FindClose(find);
}
// A listing from FindFirstFileW, INVALID_HANDLE_VALUE when empty.
using ScopedFind = ScopedHandle<HANDLE, CloseFind, -1>;

// --- registry and security

inline BOOL CloseRegistryKey(HKEY key) {
    return RegCloseKey(key) == ERROR_SUCCESS;
}
using ScopedRegKey = ScopedHandle<HKEY, CloseRegistryKey>;

// FreeSid answers null when it freed the SID.
inline BOOL FreeAllocatedSid(PSID sid) {
    return FreeSid(sid) == nullptr;
}
// A SID from AllocateAndInitializeSid.
using ScopedSid = ScopedHandle<PSID, FreeAllocatedSid>;

// --- CryptoAPI

inline BOOL ReleaseCryptProvider(HCRYPTPROV provider) {
    return CryptReleaseContext(provider, 0);
}
using ScopedCryptProvider = ScopedHandle<HCRYPTPROV, ReleaseCryptProvider>;
using ScopedCryptHash = ScopedHandle<HCRYPTHASH, CryptDestroyHash>;

template <DWORD Flags>
BOOL CloseCertStoreWith(HCERTSTORE store) {
    return CertCloseStore(store, Flags);
}
// A certificate store closed with `Flags`: 0 leaves contexts still held valid until they are
// freed, CERT_CLOSE_STORE_FORCE_FLAG frees them with the store.
template <DWORD Flags>
using ScopedCertStoreClosedWith = ScopedHandle<HCERTSTORE, CloseCertStoreWith<Flags>>;
// Closing it closes every reference the tool took to the store.
using ScopedCertStore = ScopedCertStoreClosedWith<CERT_CLOSE_STORE_FORCE_FLAG>;

using ScopedCertContext = ScopedHandle<PCCERT_CONTEXT, CertFreeCertificateContext>;
using ScopedCertChain = ScopedHandle<PCCERT_CHAIN_CONTEXT, CertFreeCertificateChain>;
using ScopedCertChainEngine = ScopedHandle<HCERTCHAINENGINE, CertFreeCertificateChainEngine>;

// --- network

// A WinHTTP session, connection or request.
using ScopedInternetHandle = ScopedHandle<HINTERNET, WinHttpCloseHandle>;

inline void FreeAddressList(ADDRINFOW* list) {
    FreeAddrInfoW(list);
}
// An answer of GetAddrInfoW. Only a successful call's list is handed to it: a failed call may
// leave anything in its out-parameter.
using ScopedAddressList = ScopedHandle<ADDRINFOW*, FreeAddressList>;

// --- memory

template <typename Unit>
BOOL FreeHeapBlock(Unit* block) {
    return HeapFree(GetProcessHeap(), 0, block);
}
// A block of the process heap (AllocateZeroed).
template <typename Unit>
using ScopedHeapBlock = ScopedHandle<Unit*, FreeHeapBlock<Unit>>;
// Zero-filled text from the process heap, for texts whose size is learned at run time.
using ScopedHeapText = ScopedHeapBlock<wchar_t>;

// `count` zero-filled units from the process heap, or null when the heap has no room or the byte
// count overflows.
template <typename Unit>
Unit* AllocateZeroed(uint64_t count) {
    if (count > SIZE_MAX / sizeof(Unit)) {
        return nullptr;
    }
    return static_cast<Unit*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count * sizeof(Unit))));
}

inline wchar_t* AllocateZeroedText(uint64_t count) {
    return AllocateZeroed<wchar_t>(count);
}

template <typename Unit>
void FreeMallocBlock(Unit* block) {
    free(block);
}
// A block from malloc or calloc.
template <typename Unit>
using ScopedMallocBlock = ScopedHandle<Unit*, FreeMallocBlock<Unit>>;
