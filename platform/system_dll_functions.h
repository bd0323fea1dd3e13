// The functions the program calls in the system DLLs it loads on first use (crypt32, winhttp,
// version and shell32), and how such a call finds its function: in the DLL loaded by its full
// path in the system folder, never by a bare name. A DLL that will not load (damaged, blocked by
// policy, a failing DllMain) or lacks a function fails that call, as the call fails on its own,
// and the run goes on.
#pragma once

#include "platform/win32.h"

// Each function of those DLLs that the program calls, with its DLL. A function missing here
// still resolves where its DLL has it, but has no stand-in to fail with.
#define SKELVANE_SYSTEM_DLL_FUNCTIONS(X)         \
    X(crypt32, CertAddEncodedCertificateToStore) \
    X(crypt32, CertCloseStore)                   \
    X(crypt32, CertCreateCertificateChainEngine) \
    X(crypt32, CertFreeCertificateChain)         \
    X(crypt32, CertFreeCertificateChainEngine)   \
    X(crypt32, CertFreeCertificateContext)       \
    X(crypt32, CertGetCertificateChain)          \
    X(crypt32, CertNameToStrW)                   \
    X(crypt32, CertOpenStore)                    \
    X(crypt32, CertVerifyCertificateChainPolicy) \
    X(crypt32, CryptBinaryToStringW)             \
    X(shell32, SHGetSpecialFolderPathW)          \
    X(version, GetFileVersionInfoSizeW)          \
    X(version, GetFileVersionInfoW)              \
    X(version, VerQueryValueW)                   \
    X(winhttp, WinHttpAddRequestHeaders)         \
    X(winhttp, WinHttpCloseHandle)               \
    X(winhttp, WinHttpConnect)                   \
    X(winhttp, WinHttpOpen)                      \
    X(winhttp, WinHttpOpenRequest)               \
    X(winhttp, WinHttpQueryDataAvailable)        \
    X(winhttp, WinHttpQueryOption)               \
    X(winhttp, WinHttpReadData)                  \
    X(winhttp, WinHttpReceiveResponse)           \
    X(winhttp, WinHttpSendRequest)

// Where Windows has SetDefaultDllDirectories (8 and later, 7 with KB2533623), limits every later
// load by a bare name to the system folder, those made inside system DLLs included. Elsewhere
// loads the DLLs above that are no KnownDLLs by full path, so that a later load by their name
// finds them loaded instead of searching the program's folder first.
void SearchSystemFolderFirst();

// `function` of the system DLL `dll` ("crypt32.dll"): the DLL's own, or, for a function listed
// above, a stand-in when the DLL cannot be loaded from the system folder (the call fails with
// ERROR_MOD_NOT_FOUND) or has no such function (ERROR_PROC_NOT_FOUND). A stand-in returns zero
// of the call's result type (null, FALSE, 0) after setting that last error; one without a result
// does nothing. Null only for an unlisted function that cannot be had.
FARPROC SystemDllFunction(const char* dll, const char* function);
