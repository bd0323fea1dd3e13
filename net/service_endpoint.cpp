#include "service_endpoint.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/holders.h"
#include "report/report_log.h"
#include "vendor/support_article.h"
#include "vendor/vendor_hosts.h"

namespace {

std::string AsciiOf(const wchar_t* text) {
    std::string ascii;
    for (; *text != L'\0'; ++text) {
        ascii += static_cast<char>(*text);
    }
    return ascii;
}

const wchar_t Separator[] = L"\n----------------------------------------------\n";
const wchar_t RequestPath[] = L"/edf";

struct ProbeState {
    ScopedInternetHandle session;
    ScopedInternetHandle connection;
    ScopedInternetHandle request;
    bool sent = false;
    DWORD sentTick = 0;
    int verdict = CertUnknown;
    std::wstring subject, issuer, base64;
    ReplyBody body;
};

std::wstring Base64OfCertificate(PCCERT_CONTEXT certificate) {
    DWORD count = 0;
    CryptBinaryToStringW(certificate->pbCertEncoded, certificate->cbCertEncoded,
                         CRYPT_STRING_BASE64HEADER, nullptr, &count);
    std::vector<wchar_t> text(static_cast<size_t>(count) + 1, L'\0');
    CryptBinaryToStringW(certificate->pbCertEncoded, certificate->cbCertEncoded,
                         CRYPT_STRING_BASE64HEADER, text.data(), &count);
    text.back() = L'\0';
    return text.data();
}

std::wstring RenderName(PCCERT_CONTEXT certificate, CERT_NAME_BLOB* name) {
    const DWORD encoding = certificate->dwCertEncodingType;
    DWORD count = CertNameToStrW(encoding, name, CERT_X500_NAME_STR, nullptr, 0);
    std::vector<wchar_t> text(static_cast<size_t>(count) + 1, L'\0');
    CertNameToStrW(encoding, name, CERT_X500_NAME_STR, text.data(), count);
    text.back() = L'\0';
    return text.data();
}

// The presented certificate, asked for whether or not the send succeeded: Windows keeps it
// after a failed certificate validation.
void IdentifyServerCertificate(ProbeState& probe) {
    PCCERT_CONTEXT presented = nullptr;
    DWORD size = sizeof presented;
    if (!WinHttpQueryOption(probe.request.Get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &presented,
                            &size)) {
        g_reportLog->PrintError(L"In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) %d\n",
                                GetLastError());
        return;
    }
    // Freed as soon as it is identified, when this returns.
    const ScopedCertContext held(presented);
    const PCCERT_CONTEXT certificate = held.Get();
    if (certificate == nullptr) {
        g_reportLog->PrintError(L"Cannot get server certificate - WinHttpQueryOption %d\n",
                                GetLastError());
        return;
    }
    probe.base64 = Base64OfCertificate(certificate);
    probe.verdict = CheckCertThumbprint(certificate->pbCertEncoded, certificate->cbCertEncoded);
    if (probe.verdict != CertThumbprintMatch) {
        probe.verdict = CheckCertNames(certificate, probe.subject, probe.issuer);
    }
}

bool SendRequest(ProbeState& probe) {
    probe.request.Reset(WinHttpOpenRequest(probe.connection.Get(), L"GET", RequestPath, nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           WINHTTP_FLAG_SECURE));
    if (probe.request.IsEmpty()) {
        g_reportLog->PrintError(L"In WinHttpSendRequest %d\n", GetLastError());
        return false;
    }
    WinHttpAddRequestHeaders(probe.request.Get(), L"Accept:application/xml", static_cast<DWORD>(-1),
                             WINHTTP_ADDREQ_FLAG_ADD);
    probe.sentTick = GetTickCount();
    return WinHttpSendRequest(probe.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

// Connect, request, send, identify the certificate, read the body, close: everything of the
// probe that needs the session.
void ExchangeWithEndpoint(ProbeState& probe) {
    probe.connection.Reset(
        WinHttpConnect(probe.session.Get(), ServiceHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
    if (probe.connection.IsEmpty()) {
        g_reportLog->PrintError(L"In WinHttpOpenRequest %d\n", GetLastError());
        g_reportLog->PrintError(L"In WinHttpSendRequest %d\n", GetLastError());
    } else {
        probe.sent = SendRequest(probe);
    }
    IdentifyServerCertificate(probe);
    if (probe.sent && WinHttpReceiveResponse(probe.request.Get(), nullptr)) {
        ReadReplyBody(probe.request.Get(), probe.sentTick, ReplyReadLimits(), probe.body);
    }
    // Closed here, in the reverse order of their opening, before anything is printed.
    probe.request.Release();
    probe.connection.Release();
    probe.session.Release();
}

// The verdict line; true when the probe goes on with the certificate and the explanation.
bool PrintCertificateVerdict(int verdict) {
    switch (verdict) {
        case CertThumbprintMatch:
            g_reportLog->Print(L" Server certificate - OK (%s)", CertVerdictName(verdict));
            return false;
        case CertSubjectIssuerMatch:
            g_reportLog->Print(L" Server certificate - OK (%s)", CertVerdictName(verdict));
            return true;
        case CertSubjectMatch:
            g_reportLog->PrintWarning(L"Server certificate - OK (%s)\n", CertVerdictName(verdict));
            return true;
        default:
            g_reportLog->PrintError(L"\n Server certificate - %s\n", CertVerdictName(verdict));
            return true;
    }
}

void PrintExplanation() {
    std::wstring text = L"\nTool printed received certificate from connection to ";
    text += ServiceHost;
    text +=
        L" server.\nThis happend due to certificate do not match expected certificate.\nReason "
        L"for this may be :\n - SSL/TLS communication is intercepted/scanned (it is recommended "
        L"not scan communication with TOLV servers)\n   You can find ports and addresses used by "
        L"TOLV products here: ";
    text += SupportArticleUrl;
    text +=
        L"\n - For some reason TOLV has changed certificate on its server (e.g.: certificate has "
        L"expired, ...) and you use not up-to-date version of this tool\n\nIf you wish to view "
        L"printed certificate content, copy text from \"----- BEGIN CERTIFICATE-----\" to "
        L"\"----- END CERTIFICATE-----\" and save it as file with.cer extension.Open saved file "
        L"with Windows Explorer.\n";
    g_reportLog->Print(L"%s", text.c_str());
}

void PrintFindings(const ProbeState& probe) {
    PrintContentFinding(probe.body);
    if (!PrintCertificateVerdict(probe.verdict)) {
        return;
    }
    g_reportLog->Print(L"\n\n Server certificate:\n  Subject: %s\n  Issuer:  %s\n%s",
                       probe.subject.c_str(), probe.issuer.c_str(), probe.base64.c_str());
    PrintExplanation();
}

}  // namespace

const BYTE ExpectedServerThumbprint[20] = {0x34, 0x54, 0xDF, 0xB1, 0xF6, 0x81, 0xE6,
                                           0x5B, 0x11, 0x94, 0x40, 0x61, 0x5D, 0xCF,
                                           0xFA, 0x61, 0xD7, 0xA4, 0xF9, 0x7F};

const std::wstring ExpectedServerSubject = std::wstring(L"CN=") + ServiceHost;

// The issuer is Thawte RSA CA 2018 as the platform renders its name: the RDNs in their encoded
// order, ", " between them and no blanks around "=".
const std::wstring ExpectedServerIssuer =
    std::wstring(L"C=US, O=DigiCert Inc, OU=") + CaWebHost + L", CN=Thawte RSA CA 2018";

const std::string ExpectedServiceReply =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><wxm:message xmlns:wxm=\"http://" +
    AsciiOf(VendorNamespaceHost) +
    "/2012/02/wxm\"><wxm:response><code>20101003</code><message>Unsupported Content-type: "
    "unknown</message></wxm:response></wxm:message>";

void TestServiceEndpoint() {
    g_reportLog->Print(L"\n\nResponse from request https://%s%s", ServiceHost, RequestPath);
    ProbeState probe;
    probe.session.Reset(WinHttpOpen(L"TOLVSkelvane", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (probe.session.IsEmpty()) {
        g_reportLog->PrintError(L"In WinHttpOpen %d.\n", GetLastError());
    } else {
        ExchangeWithEndpoint(probe);
    }
    PrintFindings(probe);
}

void ReadReplyBody(HINTERNET request, DWORD sentTick, const ReplyReadLimits& limits,
                   ReplyBody& body) {
    DWORD available = 0;
    do {
        available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            g_reportLog->PrintError(L"In WinHttpQueryDataAvailable %u.\n", GetLastError());
        }
        // available + 1 must not wrap where size_t has 32 bits.
        const size_t size = static_cast<size_t>(available) + 1;
        const ScopedMallocBlock<char> buffer(size != 0 ? static_cast<char*>(calloc(size, 1))
                                                       : nullptr);
        if (buffer.IsEmpty()) {
            g_reportLog->PrintError(L"Out of memory\n");
            break;
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.Get(), available, &read)) {
            g_reportLog->PrintError(L"In WinHttpReadData %u.\n", GetLastError());
        } else if (read > 0) {
            body.Append(buffer.Get(), strnlen(buffer.Get(), read));
        }
        const DWORD elapsed = GetTickCount() - sentTick;  // unsigned: right across the wrap
        if (body.droppedBytes > limits.maxDroppedBytes) {
            body.cut = ReplyBody::Cut::Size;
        } else if (elapsed > limits.maxMilliseconds) {
            body.cut = ReplyBody::Cut::Time;
        }
        body.cutAfterMilliseconds = elapsed;
    } while (available > 0 && body.cut == ReplyBody::Cut::No);
}

void PrintContentFinding(const ReplyBody& body) {
    if (body.chunks.size() == 1 && body.droppedBytes == 0 &&
        body.chunks.front() == ExpectedServiceReply) {
        g_reportLog->Print(L"\n Content - OK\n");
        return;
    }
    g_reportLog->Print(Separator);
    for (const std::string& chunk : body.chunks) {
        g_reportLog->Print(L"%s", WideFromUtf8Lossy(chunk.data(), chunk.size()).c_str());
    }
    const long long readBytes = static_cast<long long>(body.keptBytes + body.droppedBytes);
    if (body.cut == ReplyBody::Cut::Size) {
        g_reportLog->Print(L"\n... the reply was cut: %lld bytes were read and it had not ended\n",
                           readBytes);
    } else if (body.cut == ReplyBody::Cut::Time) {
        g_reportLog->Print(
            L"\n... the reply was cut: %lld bytes were read in %u s and it had not ended\n",
            readBytes, body.cutAfterMilliseconds / 1000);
    } else if (body.droppedBytes > 0) {
        g_reportLog->Print(L"\n... %lld more bytes of the reply were not shown\n",
                           static_cast<long long>(body.droppedBytes));
    }
    g_reportLog->Print(Separator);
}

int CheckCertThumbprint(const BYTE* encoded, DWORD length) {
    ScopedCryptProvider provider;
    if (!CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL, 0)) {
        if (GetLastError() != static_cast<DWORD>(NTE_BAD_KEYSET)) {
            g_reportLog->PrintError(L"\r\nError: CryptAcquireContext failed with error gle: 0x%08x",
                                    GetLastError());
            return CertError;
        }
        if (!CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_FULL,
                                  CRYPT_NEWKEYSET)) {
            g_reportLog->PrintError(
                L"\r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error gle: 0x%08x",
                GetLastError());
            return CertError;
        }
    }
    ScopedCryptHash hash;
    int verdict = CertError;
    BYTE digest[20] = {};
    DWORD digestLength = sizeof digest;
    if (!CryptCreateHash(provider.Get(), CALG_SHA1, 0, 0, hash.Put())) {
        if (GetLastError() == static_cast<DWORD>(NTE_BAD_ALGID)) {
            g_reportLog->PrintError(L"\r\nError: System does not support SHA1");
        } else {
            g_reportLog->PrintError(L"\r\nError: CryptCreateHash failed with error gle : 0x%08x",
                                    GetLastError());
        }
    } else if (!CryptHashData(hash.Get(), encoded, length, 0)) {
        g_reportLog->PrintError(L"\n: CryptHashData failed with error gle : 0x%08x",
                                GetLastError());
    } else if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &digestLength, 0)) {
        g_reportLog->PrintError(L"\n: CryptGetHashParam failed with error gle : 0x%08x",
                                GetLastError());
    } else {
        verdict = memcmp(digest, ExpectedServerThumbprint, sizeof digest) == 0 ? CertThumbprintMatch
                                                                               : CertNotMeeting;
    }
    // Destroyed and released here, hash before provider: the holders are only the safety net.
    hash.Release();
    provider.Release();
    return verdict;
}

int CheckCertNames(PCCERT_CONTEXT certificate, std::wstring& subject, std::wstring& issuer) {
    subject = RenderName(certificate, &certificate->pCertInfo->Subject);
    issuer = RenderName(certificate, &certificate->pCertInfo->Issuer);
    if (subject != ExpectedServerSubject) {
        return CertNotMeeting;
    }
    return issuer == ExpectedServerIssuer ? CertSubjectIssuerMatch : CertSubjectMatch;
}
