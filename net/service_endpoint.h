// The service endpoint probe: one HTTPS GET of the service's "/edf", whether the reply is the one
// the service gives, and which certificate the TLS peer presented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

// Sums up the identification of the presented certificate.
enum CertVerdict : int {
    CertUnknown = 0,       // no certificate was obtained
    CertError = 1,         // the thumbprint could not be computed
    CertNotMeeting = 2,    // the subject is not the service's
    CertSubjectMatch = 3,  // the subject matches, the issuer does not
    CertSubjectIssuerMatch = 4,
    CertThumbprintMatch = 5,
};

// SHA-1 of the DER encoding of the service's own server certificate.
extern const BYTE ExpectedServerThumbprint[20];
// The names as the platform renders them with CERT_X500_NAME_STR.
extern const std::wstring ExpectedServerSubject;
extern const std::wstring ExpectedServerIssuer;
// The body the service answers this probe's request with (no content type, no body).
extern const std::string ExpectedServiceReply;

// The bytes of the reply that are kept and shown; the rest is read and dropped.
constexpr size_t MaxShownReplyBytes = 1024 * 1024;

// Bounds past which the probe stops reading the reply, so that a server that never stops
// sending cannot hold the run: no real reply comes near them.
struct ReplyReadLimits {
    uint64_t maxDroppedBytes = 64 * 1024 * 1024;  // read beyond MaxShownReplyBytes
    DWORD maxMilliseconds = 120000;               // since the request was sent
};

// The body as far as it is kept: one chunk per non-empty read in arrival order (empty when the
// read began with a zero byte, which still makes the reply more than one chunk), at most
// MaxShownReplyBytes of them; what came after that is only counted.
struct ReplyBody {
    enum class Cut { No, Size, Time };

    std::vector<std::string> chunks;
    size_t keptBytes = 0;
    uint64_t droppedBytes = 0;
    Cut cut = Cut::No;  // reading stopped at a bound of ReplyReadLimits
    DWORD cutAfterMilliseconds = 0;

    void Append(const char* bytes, size_t length);
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

const wchar_t* CertVerdictName(int verdict);

// The wide text of UTF-8 bytes; what cannot be decoded becomes U+FFFD, one for each maximal
// ill-formed piece, so a character cut between two reads shows as replacement characters.
std::wstring WideFromUtf8Lossy(const char* bytes, size_t length);
