#include "trust/chain_verification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "report/report_log.h"
#include "trust/trust_fixture.h"

namespace {

const DWORD None = 0xFFFFFFFF;

// A machine on which the test chain (test-server, test-intermediate, under test-root) is
// trusted by the local machine and in date, so that each case changes one thing.
class VerifyServerChainTest : public TrustTest {
  protected:
    void SetUp() override {
        TrustTest::SetUp();
        machine().SetClock(InsideValidity());
        trustRoot_ = true;
        serverChain_ =
            EncodedList({TestCertificate("test-server"), TestCertificate("test-intermediate")});
        additional_ = EncodedList({TestCertificate("test-root")});
    }

    bool Verify(ChainTestResult* result, bool useLocalMachine = true) {
        return VerifyServerChain(serverChain_.data(), static_cast<DWORD>(serverChain_.size()),
                                 additional_.data(), static_cast<DWORD>(additional_.size()), result,
                                 useLocalMachine);
    }

  public:
    std::vector<BYTE> serverChain_, additional_;
    bool trustRoot_ = true;
};

struct OutcomeCase {
    const char* name;
    std::function<void(VerifyServerChainTest&, standin::Machine&)> arrange;
    bool accepted;
    ChainTestResult result;
};

const DWORD Oom = ERROR_NOT_ENOUGH_MEMORY;
const DWORD Denied = ERROR_ACCESS_DENIED;

// Every row of the verification's outcomes.
const OutcomeCase OutcomeCases[] = {
    {"memory store not opened",
     [](auto&, auto& m) { m.FailCall("CertOpenStore", Oom); },
     false,
     {Oom, 1, None, None}},
    {"server chain record refused",
     [](auto&, auto& m) { m.FailCall("CertAddEncodedCertificateToStore", Denied, 1); },
     false,
     {Denied, 2, None, None}},
    {"additional record refused",
     [](auto&, auto& m) { m.FailCall("CertAddEncodedCertificateToStore", Denied, 2); },
     false,
     {Denied, 2, None, None}},
    {"SHA-2 exemption",
     [](auto&, auto& m) { m.RemoveHashAlgorithm(CALG_SHA_256); },
     true,
     {0, 0, 0, 0}},
    {"chain engine not created",
     [](auto&, auto& m) {
         m.FailCall("CertCreateCertificateChainEngine", static_cast<DWORD>(E_INVALIDARG));
     },
     false,
     {static_cast<DWORD>(E_INVALIDARG), 3, None, None}},
    {"chain not built",
     [](auto&, auto& m) { m.FailCall("CertGetCertificateChain", Oom); },
     false,
     {Oom, 4, None, None}},
    {"clock after the validity",
     [](auto&, auto& m) {
         m.SetClock(SYSTEMTIME{2100, 1, 5, 1, 0, 0, 0, 0});
     },
     false,
     {0, 0, CERT_TRUST_IS_NOT_TIME_VALID, None}},
    {"root carried but not trusted",
     [](auto& t, auto&) { t.trustRoot_ = false; },
     false,
     {0, 0, CERT_TRUST_IS_UNTRUSTED_ROOT, None}},
    {"root missing",
     [](auto& t, auto&) {
         t.trustRoot_ = false;
         t.additional_.clear();
     },
     false,
     {0, 0, CERT_TRUST_IS_PARTIAL_CHAIN, None}},
    {"self-signed server certificate",
     [](auto& t, auto&) { t.serverChain_ = EncodedList({TestCertificate("test-self-signed")}); },
     false,
     {0, 0, CERT_TRUST_IS_UNTRUSTED_ROOT, None}},
    {"revoked",
     [](auto&, auto& m) { m.SetRevocationStatus(CERT_TRUST_IS_REVOKED); },
     false,
     {0, 0, CERT_TRUST_IS_REVOKED, None}},
    {"policy call failed",
     [](auto&, auto& m) { m.FailCall("CertVerifyCertificateChainPolicy", Oom); },
     false,
     {Oom, 5, 0, 0}},
    {"policy accepts", [](auto&, auto&) {}, true, {0, 0, 0, 0}},
    {"revocation server offline",
     [](auto&, auto& m) {
         m.SetRevocationStatus(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                               CERT_TRUST_IS_OFFLINE_REVOCATION);
     },
     true,
     {0, 0, 0x01000040, 0x80092013}},
    {"revocation not checked",
     [](auto&, auto& m) { m.SetRevocationStatus(CERT_TRUST_REVOCATION_STATUS_UNKNOWN); },
     false,
     {0, 0, 0x00000040, 0x80092012}},
    {"certificate of another host",
     [](auto& t, auto&) {
         t.serverChain_ = EncodedList(
             {TestCertificate("test-other-host"), TestCertificate("test-intermediate")});
     },
     false,
     {0, 0, 0, 0x800B010F}},
};

TEST_F(VerifyServerChainTest, EveryOutcome) {
    for (const OutcomeCase& c : OutcomeCases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange(*this, machine());
        if (trustRoot_) {
            TrustRoot(true, TestCertificate("test-root"));
        }
        ChainTestResult result = {1, 2, 3, 4};
        EXPECT_EQ(Verify(&result), c.accepted);
        EXPECT_EQ(result.lastApiError, c.result.lastApiError);
        EXPECT_EQ(result.faultingFunction, c.result.faultingFunction);
        EXPECT_EQ(result.chainTrust, c.result.chainTrust) << std::hex << result.chainTrust;
        EXPECT_EQ(result.chainPolicyStatus, c.result.chainPolicyStatus)
            << std::hex << result.chainPolicyStatus;
    }
}

// The two engines differ only in whose Root store they trust: the user's engine sees the
// machine's roots and the user's own, the machine's engine the machine's only.
TEST_F(VerifyServerChainTest, EnginesTrustTheirOwnRootStores) {
    additional_.clear();
    TrustRoot(false, TestCertificate("test-root"));
    ChainTestResult result;
    EXPECT_TRUE(Verify(&result, false));
    EXPECT_FALSE(Verify(&result, true));
    EXPECT_EQ(result.chainTrust, static_cast<DWORD>(CERT_TRUST_IS_PARTIAL_CHAIN));

    TearDown();
    SetUp();
    additional_.clear();
    TrustRoot(true, TestCertificate("test-root"));
    EXPECT_TRUE(Verify(&result, false));
    EXPECT_TRUE(Verify(&result, true));
}

TEST_F(VerifyServerChainTest, ResultIsOptionalAndAdditionalListToo) {
    TrustRoot(true, TestCertificate("test-root"));
    EXPECT_TRUE(VerifyServerChain(serverChain_.data(), static_cast<DWORD>(serverChain_.size()),
                                  nullptr, 0, nullptr, true));
    ChainTestResult result;
    EXPECT_TRUE(VerifyServerChain(serverChain_.data(), static_cast<DWORD>(serverChain_.size()),
                                  additional_.data(), 0, &result, false));
}

// --- the SHA-2 exemption

struct SignatureCase {
    const char* oid;
    bool sha256Missing;
    bool unverifiable;
};

TEST_F(TrustTest, Sha2SignatureUnverifiableOnlyForSha2WithoutSha256) {
    const SignatureCase cases[] = {
        {"1.2.840.113549.1.1.11", true, true},   {"1.2.840.113549.1.1.12", true, true},
        {"1.2.840.113549.1.1.13", true, true},   {"1.2.840.113549.1.1.5", true, false},
        {"1.2.840.113549.1.1.110", true, false}, {"1.2.840.113549.1.1.1", true, false},
        {"1.2.840.113549.1.1.11", false, false}, {"1.2.840.113549.1.1.13", false, false},
    };
    for (const SignatureCase& c : cases) {
        SCOPED_TRACE(c.oid);
        TearDown();
        SetUp();
        if (c.sha256Missing) {
            machine().RemoveHashAlgorithm(CALG_SHA_256);
        }
        std::string oid = c.oid;
        CERT_INFO info = {};
        info.SignatureAlgorithm.pszObjId = &oid[0];
        CERT_CONTEXT context = {};
        context.pCertInfo = &info;
        EXPECT_EQ(IsSha2SignatureUnverifiable(&context), c.unverifiable);
    }
    machine().RemoveHashAlgorithm(CALG_SHA_256);
    EXPECT_FALSE(IsSha2SignatureUnverifiable(nullptr));
    CERT_CONTEXT noInfo = {};
    EXPECT_FALSE(IsSha2SignatureUnverifiable(&noInfo));
    CERT_INFO noOid = {};
    CERT_CONTEXT withoutOid = {};
    withoutOid.pCertInfo = &noOid;
    EXPECT_FALSE(IsSha2SignatureUnverifiable(&withoutOid));
}

TEST_F(TrustTest, Sha256ProbeUsesTheDefaultContainer) {
    // A new machine has no default container: the probe creates it and finds SHA-256.
    EXPECT_FALSE(IsSha256Unsupported());
    HCRYPTPROV provider = 0;
    EXPECT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, 0));
    CryptReleaseContext(provider, 0);

    machine().RemoveHashAlgorithm(CALG_SHA_256);
    EXPECT_TRUE(IsSha256Unsupported());

    // Any other refusal is not a missing algorithm.
    machine().FailCall("CryptAcquireContextW", static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    EXPECT_FALSE(IsSha256Unsupported());
    machine().FailCall("CryptAcquireContextW", static_cast<DWORD>(NTE_BAD_KEYSET), 0, 2);
    EXPECT_FALSE(IsSha256Unsupported());
}

TEST_F(TrustTest, Sha256ProbeTellsOtherHashFailuresApart) {
    machine().FailCall("CryptCreateHash", static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_FALSE(IsSha256Unsupported());
    machine().FailCall("CryptCreateHash", static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_TRUE(IsSha256Unsupported());
}

// --- the printed details

class ChainTestPrintTest : public TrustTest {};

TEST_F(ChainTestPrintTest, FaultingFunctionNamesTheKnownCalls) {
    StartReport();
    PrintFaultingFunction(0);
    PrintFaultingFunction(3);
    PrintFaultingFunction(5);
    PrintFaultingFunction(6);
    PrintFaultingFunction(0xFFFFFFFF);
    EXPECT_EQ(ConsoleText(),
              "\r\n\tFaulting function: 0"
              "\r\n\tFaulting function: 3 ( CertCreateCertificateChainEngine )"
              "\r\n\tFaulting function: 5 ( CertVerifyCertificateChainPolicy )"
              "\r\n\tFaulting function: 6"
              "\r\n\tFaulting function: -1");
}

TEST_F(ChainTestPrintTest, ChainTrustNamesEverySetBitInTableOrder) {
    StartReport();
    PrintChainTrust(0);
    PrintChainTrust(0x01110042);  // 0x2 and 0x10000 have no text
    EXPECT_EQ(ConsoleText(),
              "\r\n\tchainTrust: 0x00000000 = No error found for this certificate or chain."
              "\r\n\tchainTrust: 0x01110042"
              "\r\n\t\t0x00000040: The revocation status of the certificate or one of the "
              "certificates in the certificate chain is unknown."
              "\r\n\t\t0x01000000: The revocation status of the certificate or one of the "
              "certificates in the certificate chain is either offline or stale."
              "\r\n\t\t0x00100000: The certificate has not been strong signed. Typically this "
              "indicates that the MD2 or MD5 hashing algorithms were used to create a hash of the "
              "certificate.");
}

TEST_F(ChainTestPrintTest, PolicyStatusNamesOnlyKnownCodes) {
    StartReport();
    PrintChainPolicyStatus(0);
    PrintChainPolicyStatus(0xFFFFFFFF);
    PrintChainPolicyStatus(0x80092013);
    PrintChainPolicyStatus(0x800B0103);
    PrintChainPolicyStatus(0x800B0111);
    EXPECT_EQ(ConsoleText(),
              "\r\n\tchainPolicyStatus: 0x00000000"
              "\r\n\tchainPolicyStatus: 0xffffffff"
              "\r\n\tchainPolicyStatus: 0x80092013"
              "\r\n\t\t0x80092013: The revocation function was unable to check revocation because "
              "the revocation server was offline."
              "\r\n\tchainPolicyStatus: 0x800b0103"
              "\r\n\t\t0x800b0103: A certificate that can only be used as an end-entity is being "
              "used as a CA or vice versa."
              "\r\n\tchainPolicyStatus: 0x800b0111");
}

// No chain at all: every one of the twenty texts, in the table's order.
const char NoChainDetails[] =
    "\r\n\tchainTrust: 0xffffffff"
    "\r\n\t\t0x00000001: This certificate or one of the certificates in the certificate chain is "
    "not time valid."
    "\r\n\t\t0x00000004: Trust for this certificate or one of the certificates in the certificate "
    "chain has been revoked."
    "\r\n\t\t0x00000008: The certificate or one of the certificates in the certificate chain does "
    "not have a valid signature."
    "\r\n\t\t0x00000010: The certificate or certificate chain is not valid for its proposed usage."
    "\r\n\t\t0x00000020: The certificate or certificate chain is based on an untrusted root."
    "\r\n\t\t0x00000040: The revocation status of the certificate or one of the certificates in "
    "the certificate chain is unknown."
    "\r\n\t\t0x00000080: One of the certificates in the chain was issued by a certification "
    "authority that the original certificate had certified."
    "\r\n\t\t0x00000100: One of the certificates has an extension that is not valid."
    "\r\n\t\t0x00000200: The certificate or one of the certificates in the certificate chain has a "
    "policy constraints extension, and one of the issued certificates has a disallowed policy "
    "mapping extension or does not have a required issuance policies extension."
    "\r\n\t\t0x00000400: The certificate or one of the certificates in the certificate chain has a "
    "basic constraints extension, and either the certificate cannot be used to issue other "
    "certificates, or the chain path length has been exceeded."
    "\r\n\t\t0x00000800: The certificate or one of the certificates in the certificate chain has a "
    "name constraints extension that is not valid."
    "\r\n\t\t0x00001000: The certificate or one of the certificates in the certificate chain has a "
    "name constraints extension that contains unsupported fields. The minimum and maximum fields "
    "are not supported. Thus minimum must always be zero and maximum must always be absent. Only "
    "UPN is supported for an Other Name. The following alternative name choices are not "
    "supported:[X400 Address, EDI Party Name, Registered Id]."
    "\r\n\t\t0x00002000: The certificate or one of the certificates in the certificate chain has a "
    "name constraints extension and a name constraint is missing for one of the name choices in "
    "the end certificate."
    "\r\n\t\t0x00004000: The certificate or one of the certificates in the certificate chain has a "
    "name constraints extension, and there is not a permitted name constraint for one of the name "
    "choices in the end certificate."
    "\r\n\t\t0x00008000: The certificate or one of the certificates in the certificate chain has a "
    "name constraints extension, and one of the name choices in the end certificate is explicitly "
    "excluded."
    "\r\n\t\t0x01000000: The revocation status of the certificate or one of the certificates in "
    "the certificate chain is either offline or stale."
    "\r\n\t\t0x02000000: The end certificate does not have any resultant issuance policies, and "
    "one of the issuing certification authority certificates has a policy constraints extension "
    "requiring it."
    "\r\n\t\t0x04000000: The certificate is explicitly distrusted."
    "\r\n\t\t0x08000000: The certificate does not support a critical extension."
    "\r\n\t\t0x00100000: The certificate has not been strong signed. Typically this indicates "
    "that the MD2 or MD5 hashing algorithms were used to create a hash of the certificate."
    "\r\n\tchainPolicyStatus: 0xffffffff";

// The carried chain as the host's bundle sees it: DigiCert Global Root CA trusted, the server
// certificate signed by a key that is not the CA's.
const char CarriedChainDetails[] =
    "error: \r\nProblem detected!\r\n\tDiagnostic info for developers:"
    "\r\n\tLastApiError: 0x00000000"
    "\r\n\tFaulting function: 0"
    "\r\n\tchainTrust: 0x00000008"
    "\r\n\t\t0x00000008: The certificate or one of the certificates in the certificate chain does "
    "not have a valid signature."
    "\r\n\tchainPolicyStatus: 0xffffffff";

TEST_F(ChainTestPrintTest, FailedEngineShowsAllTrustTexts) {
    machine().FailCall("CertCreateCertificateChainEngine", static_cast<DWORD>(E_INVALIDARG));
    StartReport();
    RunChainTest(false);
    EXPECT_EQ(ConsoleText(), std::string("\r\n\r\nVerify chain test: [CurrentUser]"
                                         "error: \r\nProblem detected!\r\n\tDiagnostic info for "
                                         "developers:\r\n\tLastApiError: 0x80070057"
                                         "\r\n\tFaulting function: 3 ( "
                                         "CertCreateCertificateChainEngine )") +
                                 NoChainDetails);
}

TEST_F(ChainTestPrintTest, ProviderWithoutSha256PassesBothRuns) {
    machine().RemoveHashAlgorithm(CALG_SHA_256);
    StartReport();
    RunChainTest(false);
    RunChainTest(true);
    EXPECT_EQ(ConsoleText(),
              "\r\n\r\nVerify chain test: [CurrentUser]\r\nOK"
              "\r\n\r\nVerify chain test: [LocalMachine]\r\nOK");
}

TEST_F(ChainTestPrintTest, LocalMachineRunGoesOnAfterTheUserRunFailed) {
    machine().SetClock(InsideValidity());
    machine().SetHostRootBundle("/etc/ssl/certs/ca-certificates.crt");
    machine().FailCall("CertCreateCertificateChainEngine", static_cast<DWORD>(E_INVALIDARG));
    StartReport();
    RunChainTest(false);
    RunChainTest(true);
    EXPECT_EQ(ConsoleText(), std::string("\r\n\r\nVerify chain test: [CurrentUser]"
                                         "error: \r\nProblem detected!\r\n\tDiagnostic info for "
                                         "developers:\r\n\tLastApiError: 0x80070057"
                                         "\r\n\tFaulting function: 3 ( "
                                         "CertCreateCertificateChainEngine )") +
                                 NoChainDetails + "\r\n\r\nVerify chain test: [LocalMachine]" +
                                 CarriedChainDetails);
}

// --- /fix in the run

class FixRunTest : public TrustTest {
  protected:
    int Run(std::vector<std::wstring> arguments) {
        std::wstring program = WindowsPath("skelvane.exe");
        std::vector<wchar_t*> argv = {&program[0]};
        for (std::wstring& argument : arguments) {
            argv.push_back(&argument[0]);
        }
        CapturedStreams streams;
        const int exitCode = RunDriver(static_cast<int>(argv.size()), argv.data());
        g_reportLog = nullptr;  // deleted by the run
        console_ = streams.Stderr();
        return exitCode;
    }
    std::string console_;
};

const char VersionLine[] = "FileVersion of this tool: 1.0.0.0\n";
const char Prompt[] = "\r\n\r\nPress any key to quit...";
const char ImportHeading[] =
    "\r\nImporting certificate: "
    "\r\n\r\nSubject: CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US"
    "\r\nSerial number: 08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";
const char ImportBanner[] =
    "\r\n\r\nCertificate successfully imported"
    "\r\n\r\n==================\r\nTest after import\r\n==================\r\n";

// The checks that follow the banner belong to other tests; here what matters is that they run,
// the chain tests among them, and trust the root just imported.
TEST_F(FixRunTest, ImportsThenRunsTheChecksUnderTheBanner) {
    machine().SetClock(InsideValidity());
    EXPECT_EQ(Run({L"/FIX"}), 0);
    const std::string start = std::string(VersionLine) + ImportHeading + ImportBanner;
    EXPECT_EQ(console_.substr(0, start.size()), start);
    const std::string chainTests =
        std::string("\r\n\r\nVerify chain test: [CurrentUser]") + CarriedChainDetails +
        "\r\n\r\nVerify chain test: [LocalMachine]" + CarriedChainDetails;
    EXPECT_NE(console_.find(chainTests, start.size()), std::string::npos) << console_;
    EXPECT_EQ(console_.substr(console_.size() - strlen(Prompt)), Prompt);
}

TEST_F(FixRunTest, FailedImportEndsTheRunWithExitCodeOne) {
    const struct {
        const char* name;
        std::function<void(standin::Machine&)> arrange;
        const char* error;
    } cases[] = {
        {"store not opened", [](auto& m) { m.FailCall("CertOpenStore", ERROR_ACCESS_DENIED); },
         "error: \r\nError: Cannot open system trusted root store"},
        {"store read-only", [](auto& m) { m.SetStoreReadOnly(true, "Root"); },
         "error: \r\nError: CertAddCertificateContextToStore returned error 5\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange(machine());
        EXPECT_EQ(Run({L"/fix"}), 1);
        EXPECT_EQ(console_, std::string(VersionLine) + ImportHeading + c.error + Prompt);
    }
}

}  // namespace
