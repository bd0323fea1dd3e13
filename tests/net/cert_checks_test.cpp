// Identification of a presented certificate: the thumbprint test with each CryptoAPI failure,
// and the name test's verdicts.
#include <gtest/gtest.h>

#include <string>

#include "net/net_lab.h"
#include "net/service_endpoint.h"
#include "report/report_log.h"
#include "support/windows/scratch.h"

namespace {

class CertChecksTest : public testing::Test {
  protected:
    void SetUp() override { g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str()); }
    void TearDown() override {
        delete g_reportLog;
        g_reportLog = nullptr;
    }

    ScratchFolder folder_;
    ImportFaults faults_;
};

struct ThumbprintCase {
    const char* name;
    void (*plan)(ImportFaults&);
    int verdict;
    std::string printed;
    unsigned acquires, releases, hashesDestroyed;
};

class ThumbprintTest : public CertChecksTest, public testing::WithParamInterface<ThumbprintCase> {};

TEST_P(ThumbprintTest, VerdictMessageAndRelease) {
    const ThumbprintCase& row = GetParam();
    row.plan(faults_);
    const std::string der = CarriedDer();
    ASSERT_FALSE(der.empty());
    CapturedStreams streams(faults_);
    const int verdict = CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()));
    EXPECT_EQ(verdict, row.verdict);
    EXPECT_EQ(streams.Stderr(), row.printed);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptAcquireContextW), row.acquires);
    // Whatever was acquired is released once, whichever step failed.
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), row.releases);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptDestroyHash), row.hashesDestroyed);
}

const DWORD BadKeyset = static_cast<DWORD>(NTE_BAD_KEYSET);

INSTANTIATE_TEST_SUITE_P(
    Cases, ThumbprintTest,
    testing::Values(
        ThumbprintCase{"DefaultContainer", [](ImportFaults&) {}, CertThumbprintMatch, "", 1, 1, 1},
        // A machine without the default container: the retry with a new key set serves.
        ThumbprintCase{"NewKeySet",
                       [](ImportFaults& f) {
                           static bool first;
                           first = true;
                           f.Answer<Api::CryptAcquireContextW>([](HCRYPTPROV* provider,
                                                                  LPCWSTR container, LPCWSTR name,
                                                                  DWORD type, DWORD flags) -> BOOL {
                               if (first) {
                                   first = false;
                                   SetLastError(BadKeyset);
                                   return FALSE;
                               }
                               // The prefix has the container already: the retry gets it.
                               EXPECT_EQ(flags, static_cast<DWORD>(CRYPT_NEWKEYSET));
                               return ImportFaults::Real<Api::CryptAcquireContextW>(
                                   provider, container, name, type, DWORD(0));
                           });
                       },
                       CertThumbprintMatch, "", 2, 1, 1},
        ThumbprintCase{
            "AcquireFails",
            [](ImportFaults& f) { f.Fail<Api::CryptAcquireContextW>(FALSE, 0x80090006); },
            CertError, "error: \r\nError: CryptAcquireContext failed with error gle: 0x80090006", 1,
            0, 0},
        ThumbprintCase{"NoSha1",
                       [](ImportFaults& f) {
                           f.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
                       },
                       CertError, "error: \r\nError: System does not support SHA1", 1, 1, 0},
        ThumbprintCase{
            "CreateHashFails",
            [](ImportFaults& f) { f.Fail<Api::CryptCreateHash>(FALSE, 0x8009000E); }, CertError,
            "error: \r\nError: CryptCreateHash failed with error gle : 0x8009000e", 1, 1, 0},
        ThumbprintCase{
            "HashDataFails", [](ImportFaults& f) { f.Fail<Api::CryptHashData>(FALSE, 0x80090002); },
            CertError, "error: \n: CryptHashData failed with error gle : 0x80090002", 1, 1, 1},
        ThumbprintCase{"GetHashParamFails",
                       [](ImportFaults& f) { f.Fail<Api::CryptGetHashParam>(FALSE, 234); },
                       CertError, "error: \n: CryptGetHashParam failed with error gle : 0x000000ea",
                       1, 1, 1}),
    [](const testing::TestParamInfo<ThumbprintCase>& info) { return info.param.name; });

TEST_F(CertChecksTest, NewKeySetThatFailsIsReported) {
    // The first acquire finds no container, the second cannot make one.
    int calls = 0;
    faults_.Answer<Api::CryptAcquireContextW>(
        [&calls](HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD flags) {
            ++calls;
            SetLastError(flags == CRYPT_NEWKEYSET ? 0x80090020 : BadKeyset);
            return FALSE;
        });
    const std::string der = CarriedDer();
    CapturedStreams streams(faults_);
    EXPECT_EQ(CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()),
                                  static_cast<DWORD>(der.size())),
              CertError);
    EXPECT_EQ(streams.Stderr(),
              "error: \r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error gle: "
              "0x80090020");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 0u);
}

TEST_F(CertChecksTest, OtherBytesDoNotMatch) {
    std::string der = CarriedDer();
    der[der.size() - 1] ^= 1;
    EXPECT_EQ(CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()),
                                  static_cast<DWORD>(der.size())),
              CertNotMeeting);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptDestroyHash), 1u);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 1u);
}

// A name encoded by the platform from its string form, in the order written.
std::string EncodedName(const wchar_t* text) {
    DWORD size = 0;
    EXPECT_TRUE(CertStrToNameW(X509_ASN_ENCODING, text, CERT_X500_NAME_STR, nullptr, nullptr, &size,
                               nullptr))
        << GetLastError();
    std::string bytes(size, '\0');
    EXPECT_TRUE(CertStrToNameW(X509_ASN_ENCODING, text, CERT_X500_NAME_STR, nullptr,
                               reinterpret_cast<BYTE*>(&bytes[0]), &size, nullptr));
    bytes.resize(size);
    return bytes;
}

struct NamesCase {
    const char* name;
    const wchar_t* subject;
    const wchar_t* issuer;
    int verdict;
    const wchar_t* subjectText;
    const wchar_t* issuerText;
};

class CertNamesTest : public CertChecksTest, public testing::WithParamInterface<NamesCase> {};

// The names test reads only the certificate's names: a context with them alone serves.
TEST_P(CertNamesTest, Verdict) {
    const NamesCase& row = GetParam();
    std::string subjectBytes = EncodedName(row.subject), issuerBytes = EncodedName(row.issuer);
    CERT_INFO info = {};
    info.Subject = {static_cast<DWORD>(subjectBytes.size()),
                    reinterpret_cast<BYTE*>(&subjectBytes[0])};
    info.Issuer = {static_cast<DWORD>(issuerBytes.size()),
                   reinterpret_cast<BYTE*>(&issuerBytes[0])};
    CERT_CONTEXT context = {X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, 0, &info, nullptr};
    std::wstring subject = L"old", issuer = L"old";
    EXPECT_EQ(CheckCertNames(&context, subject, issuer), row.verdict);
    EXPECT_EQ(subject, row.subjectText);
    EXPECT_EQ(issuer, row.issuerText);
}

const wchar_t Service[] = L"CN=service.tolv.com";
const wchar_t Thawte[] = L"C=US, O=DigiCert Inc, OU=www.digicert.com, CN=Thawte RSA CA 2018";

INSTANTIATE_TEST_SUITE_P(
    Cases, CertNamesTest,
    testing::Values(NamesCase{"SubjectAndIssuer", Service, Thawte, CertSubjectIssuerMatch, Service,
                              Thawte},
                    NamesCase{"SubjectOnly", Service, L"CN=Proxy CA", CertSubjectMatch, Service,
                              L"CN=Proxy CA"},
                    NamesCase{"IssuerInOtherOrder", Service,
                              L"CN=Thawte RSA CA 2018, OU=www.digicert.com, O=DigiCert Inc, C=US",
                              CertSubjectMatch, Service,
                              L"CN=Thawte RSA CA 2018, OU=www.digicert.com, O=DigiCert Inc, C=US"},
                    NamesCase{"OtherSubject", L"CN=other.example", Thawte, CertNotMeeting,
                              L"CN=other.example", Thawte},
                    NamesCase{"SubjectCaseDiffers", L"CN=Service.Tolv.com", Thawte, CertNotMeeting,
                              L"CN=Service.Tolv.com", Thawte},
                    NamesCase{"SubjectWithMore", L"CN=service.tolv.com, O=Tolv", Thawte,
                              CertNotMeeting, L"CN=service.tolv.com, O=Tolv", Thawte}),
    [](const testing::TestParamInfo<NamesCase>& info) { return info.param.name; });

}  // namespace
