// The service endpoint probe: one HTTPS GET of the service's "/edf", whether the reply is the one
// the service gives, and which certificate the TLS peer presented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/probe_text.h"
#include "platform/win32.h"

// SHA-1 of the DER encoding of the service's own server certificate.
extern const BYTE ExpectedServerThumbprint[20];
// The names as the platform renders them with CERT_X500_NAME_STR.
extern const std::wstring ExpectedServerSubject;
extern const std::wstring ExpectedServerIssuer;
// The body the service answers this probe's request with (no content type, no body).
extern const std::string ExpectedServiceReply;

// Bounds past which the probe stops reading the reply, so that a server that never stops
// sending cannot hold the run: no real reply comes near them.
struct ReplyReadLimits {
    uint64_t maxDroppedBytes = 64 * 1024 * 1024;  // read beyond MaxShownReplyBytes
    DWORD maxMilliseconds = 120000;               // since the request was sent
};

// The whole probe, printed through g_reportLog.
void TestServiceEndpoint();

// Reads the reply's body into `body` until it ends or a bound of `limits` is passed; `sentTick`
// is GetTickCount() when the request was sent.
void ReadReplyBody(HINTERNET request, DWORD sentTick, const ReplyReadLimits& limits,
                   ReplyBody& body);

// The content finding: "Content - OK", or the reply between two separators with a line on
// what was not shown or where reading stopped.
void PrintContentFinding(const ReplyBody& body);

// 5 when the SHA-1 of the bytes is ExpectedServerThumbprint, 2 when not, 1 (after printing the
// failure) when a CryptoAPI step fails.
int CheckCertThumbprint(const BYTE* encoded, DWORD length);

// Renders subject and issuer into the strings and compares them: 2, 3 or 4.
int CheckCertNames(PCCERT_CONTEXT certificate, std::wstring& subject, std::wstring& issuer);
