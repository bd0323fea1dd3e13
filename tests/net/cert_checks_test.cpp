// Identification of a presented certificate: the thumbprint test with each CryptoAPI failure,
// the name test's verdicts and the verdict names.
#include <gtest/gtest.h>

#include <string>

#include "net/service_endpoint.h"
#include "net/tls_lab.h"
#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "text.h"

namespace {

class CertChecksTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
    }
};

struct ThumbprintCase {
    const char* name;
    void (*arrange)(standin::Machine&);
    int verdict;
    std::string printed;
};

class ThumbprintTest : public CertChecksTest,
                       public ::testing::WithParamInterface<ThumbprintCase> {};

TEST_P(ThumbprintTest, VerdictAndMessage) {
    GetParam().arrange(machine());
    const std::string der = CarriedServerCertificate().Der();
    CapturedStreams streams;
    const int verdict = CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()));
    EXPECT_EQ(verdict, GetParam().verdict);
    EXPECT_EQ(streams.Stderr(), GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThumbprintTest,
    ::testing::Values(
        // A new machine has no default container: the retry with a new key set serves.
        ThumbprintCase{"NewMachine", [](standin::Machine&) {}, CertThumbprintMatch, ""},
        ThumbprintCase{"AcquireFails",
                       [](standin::Machine& m) { m.FailCall("CryptAcquireContextW", 0x80090006); },
                       CertError,
                       "error: \r\nError: CryptAcquireContext failed with error gle: 0x80090006"},
        ThumbprintCase{"NewKeySetFails",
                       [](standin::Machine& m) {
                           m.FailCall("CryptAcquireContextW", 0x80090016);
                           m.FailCall("CryptAcquireContextW", 0x80090020, 1);
                       },
                       CertError,
                       "error: \r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error "
                       "gle: 0x80090020"},
        ThumbprintCase{"NoSha1", [](standin::Machine& m) { m.RemoveHashAlgorithm(CALG_SHA1); },
                       CertError, "error: \r\nError: System does not support SHA1"},
        ThumbprintCase{"CreateHashFails",
                       [](standin::Machine& m) { m.FailCall("CryptCreateHash", 0x8009000E); },
                       CertError,
                       "error: \r\nError: CryptCreateHash failed with error gle : 0x8009000e"},
        ThumbprintCase{"HashDataFails",
                       [](standin::Machine& m) { m.FailCall("CryptHashData", 0x80090002); },
                       CertError, "error: \n: CryptHashData failed with error gle : 0x80090002"},
        ThumbprintCase{"GetHashParamFails",
                       [](standin::Machine& m) { m.FailCall("CryptGetHashParam", 234); }, CertError,
                       "error: \n: CryptGetHashParam failed with error gle : 0x000000ea"}),
    [](const ::testing::TestParamInfo<ThumbprintCase>& info) { return info.param.name; });

TEST_F(CertChecksTest, OtherBytesDoNotMatch) {
    std::string der = CarriedServerCertificate().Der();
    der[der.size() - 1] ^= 1;
    EXPECT_EQ(CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()),
                                  static_cast<DWORD>(der.size())),
              CertNotMeeting);
}

TEST_F(CertChecksTest, ThumbprintReleasesWhatItAcquired) {
    // A release that fails shows the context was still there to release.
    machine().FailCall("CryptDestroyHash", 1, 0, 1);
    machine().FailCall("CryptReleaseContext", 2, 0, 1);
    const std::string der = CarriedServerCertificate().Der();
    CheckCertThumbprint(reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    // Both faults were used up by the one call of each.
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
}

struct NamesCase {
    const char* name;
    NameEntries subject;
    NameEntries issuer;
    int verdict;
    std::wstring subjectText, issuerText;
};

class CertNamesTest : public CertChecksTest, public ::testing::WithParamInterface<NamesCase> {};

TEST_P(CertNamesTest, Verdict) {
    const NamesCase& row = GetParam();
    const TestCertificate made =
        IssueCertificate({row.subject, row.issuer, nullptr, "", -1, 30, false});
    const std::string der = made.Der();
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                          reinterpret_cast<const BYTE*>(der.data()),
                                                          static_cast<DWORD>(der.size()));
    ASSERT_NE(context, nullptr);
    std::wstring subject = L"old", issuer = L"old";
    EXPECT_EQ(CheckCertNames(context, subject, issuer), row.verdict);
    EXPECT_EQ(subject, row.subjectText);
    EXPECT_EQ(issuer, row.issuerText);
    CertFreeCertificateContext(context);
}

const NameEntries Service = {{"CN", "service.tolv.com"}};
const wchar_t ThawteText[] = L"C=US, O=DigiCert Inc, OU=www.digicert.com, CN=Thawte RSA CA 2018";

INSTANTIATE_TEST_SUITE_P(
    Cases, CertNamesTest,
    ::testing::Values(NamesCase{"SubjectAndIssuer", Service, ThawteCaName(), CertSubjectIssuerMatch,
                                L"CN=service.tolv.com", ThawteText},
                      NamesCase{"SubjectOnly",
                                Service,
                                {{"CN", "Proxy CA"}},
                                CertSubjectMatch,
                                L"CN=service.tolv.com",
                                L"CN=Proxy CA"},
                      NamesCase{
                          "IssuerInOtherOrder",
                          Service,
                          {{"CN", "Thawte RSA CA 2018"},
                           {"OU", "www.digicert.com"},
                           {"O", "DigiCert Inc"},
                           {"C", "US"}},
                          CertSubjectMatch,
                          L"CN=service.tolv.com",
                          L"CN=Thawte RSA CA 2018, OU=www.digicert.com, O=DigiCert Inc, C=US"},
                      NamesCase{"OtherSubject",
                                {{"CN", "other.example"}},
                                ThawteCaName(),
                                CertNotMeeting,
                                L"CN=other.example",
                                ThawteText},
                      NamesCase{"SubjectCaseDiffers",
                                {{"CN", "Service.Tolv.com"}},
                                ThawteCaName(),
                                CertNotMeeting,
                                L"CN=Service.Tolv.com",
                                ThawteText},
                      NamesCase{"SubjectWithMore",
                                {{"CN", "service.tolv.com"}, {"O", "Tolv"}},
                                ThawteCaName(),
                                CertNotMeeting,
                                L"CN=service.tolv.com, O=Tolv",
                                ThawteText}),
    [](const ::testing::TestParamInfo<NamesCase>& info) { return info.param.name; });

TEST(CertVerdictNames, EveryCode) {
    const std::pair<int, const wchar_t*> table[] = {
        {0, L"unknown"},
        {1, L"error"},
        {2, L"certificate does not meet requirements"},
        {3, L"subject match"},
        {4, L"subject and issuer match"},
        {5, L"certificate thumbprint match"},
        {6, L"-?\?\?-"},
        {-1, L"-?\?\?-"},
    };
    for (const auto& [code, name] : table) {
        EXPECT_STREQ(CertVerdictName(code), name) << code;
    }
}

TEST(Utf8Decoding, IllFormedPiecesBecomeReplacements) {
    const std::pair<std::string, std::wstring> table[] = {
        {"plain", L"plain"},
        {"\xC3\xA9", L"\u00E9"},
        {"\xC3", L"\uFFFD"},      // cut after the lead byte
        {"\xA9", L"\uFFFD"},      // a lone continuation byte
        {"\xE2\x82", L"\uFFFD"},  // one maximal piece, one replacement
        {"\xE2\x82x", L"\uFFFDx"},
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // a surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
        {"\xFF\xFE", L"\uFFFD\uFFFD"},
    };
    for (const auto& [bytes, text] : table) {
        EXPECT_EQ(WideFromUtf8Lossy(bytes.data(), bytes.size()), text)
            << standin::Utf8FromWide(text);
    }
}

}  // namespace
