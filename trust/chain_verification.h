// The chain verification test: does the platform's chain engine (the current user's, then the
// local machine's) trust the carried server chain, and does it pass the SSL policy for the
// service host? A failure is explained: the failing call, every trust bit, the policy's code.
#pragma once

#include <cstddef>

#include "platform/win32.h"
#include "trust/reference_certs.h"

struct ChainTestResult {
    DWORD lastApiError;       // GetLastError() right after the call that failed; 0 when none
    DWORD faultingFunction;   // number of the failing call (FaultingFunctionNames); 0 when none
    DWORD chainTrust;         // TrustStatus.dwErrorStatus of the chain; 0xFFFFFFFF when none
    DWORD chainPolicyStatus;  // dwError of the SSL policy; 0xFFFFFFFF when not evaluated
};

// Prints the heading with "CurrentUser" or "LocalMachine", verifies and prints the verdict.
void RunChainTest(bool useLocalMachine);

// True when the chain from `serverChain`'s first record is accepted. `additional` may be null
// or of length 0; `result` may be null.
bool VerifyServerChain(const EncodedCertList* serverChain, DWORD serverChainLength,
                       const EncodedCertList* additional, DWORD additionalLength,
                       ChainTestResult* result, bool useLocalMachine);

// True when the certificate is signed with an SHA-2 algorithm that this system cannot hash.
bool IsSha2SignatureUnverifiable(PCCERT_CONTEXT certificate);

// True when the RSA/AES provider refuses SHA-256 with NTE_BAD_ALGID; prints nothing.
bool IsSha256Unsupported();

void PrintFaultingFunction(DWORD number);
void PrintChainTrust(DWORD bits);
void PrintChainPolicyStatus(DWORD code);

// The engine configuration's size: its first ten members, the form that every system since XP
// accepts (40 bytes on 32-bit Windows), whatever the SDK's full structure is.
constexpr DWORD ChainEngineConfigSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot);
