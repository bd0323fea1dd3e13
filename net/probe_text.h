// The probe's pieces that make no platform call: the store of the reply's body, the decoding of
// its UTF-8, and the names of the certificate verdicts. Built natively too, for the sanitizers
// and the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Sums up the identification of the presented certificate.
enum CertVerdict : int {
    CertUnknown = 0,       // no certificate was obtained
    CertError = 1,         // the thumbprint could not be computed
    CertNotMeeting = 2,    // the subject is not the service's
    CertSubjectMatch = 3,  // the subject matches, the issuer does not
    CertSubjectIssuerMatch = 4,
    CertThumbprintMatch = 5,
};

// The bytes of the reply that are kept and shown; the rest is read and dropped.
constexpr size_t MaxShownReplyBytes = 1024 * 1024;

// The body as far as it is kept: one chunk per non-empty read in arrival order (empty when the
// read began with a zero byte, which still makes the reply more than one chunk), at most
// MaxShownReplyBytes of them; what came after that is only counted.
struct ReplyBody {
    enum class Cut { No, Size, Time };

    std::vector<std::string> chunks;
    size_t keptBytes = 0;
    uint64_t droppedBytes = 0;
    Cut cut = Cut::No;  // reading stopped at a bound of ReplyReadLimits
    uint32_t cutAfterMilliseconds = 0;

    void Append(const char* bytes, size_t length);
};

const wchar_t* CertVerdictName(int verdict);

// The wide text of UTF-8 bytes; what cannot be decoded becomes U+FFFD, one for each maximal
// ill-formed piece, so a character cut between two reads shows as replacement characters.
std::wstring WideFromUtf8Lossy(const char* bytes, size_t length);
