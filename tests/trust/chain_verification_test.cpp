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

// Wine's chain engine cannot be told the time, nor to check revocation: for those outcomes the
// chain it built is given more error bits before the code under test reads them.
void AddChainErrors(ImportFaults& faults, DWORD bits) {
    faults.Answer<Api::CertGetCertificateChain>(
        [bits](HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate, LPFILETIME time,
               HCERTSTORE additional, PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
               PCCERT_CHAIN_CONTEXT* chain) {
            const BOOL built = ImportFaults::Real<Api::CertGetCertificateChain>(
                engine, certificate, time, additional, para, flags, reserved, chain);
            if (built) {
                const_cast<CERT_CHAIN_CONTEXT*>(*chain)->TrustStatus.dwErrorStatus |= bits;
            }
            return built;
        });
}

// The SSL policy's verdict as Windows gives it where Wine's differs.
void AnswerPolicy(ImportFaults& faults, DWORD error) {
    faults.Answer<Api::CertVerifyCertificateChainPolicy>([error](LPCSTR, PCCERT_CHAIN_CONTEXT,
                                                                 PCERT_CHAIN_POLICY_PARA,
                                                                 PCERT_CHAIN_POLICY_STATUS status) {
        status->dwError = error;
        return TRUE;
    });
}

// A machine on which the test chain (test-server, test-intermediate, under test-root) is
// trusted by the local machine and in date (the test certificates are valid from 2019 to 2099,
// and Wine's engine reads the real clock), so that each case changes one thing.
class VerifyServerChainTest : public TrustTest {
  protected:
    void SetUp() override {
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
    ImportFaults& faults() { return faults_; }
};

struct OutcomeCase {
    const char* name;
    std::function<void(VerifyServerChainTest&, ImportFaults&)> arrange;
    bool accepted;
    ChainTestResult result;
};

const DWORD Oom = ERROR_NOT_ENOUGH_MEMORY;
const DWORD Denied = ERROR_ACCESS_DENIED;

std::vector<BYTE> ListOf(const EncodedCertList* list, DWORD length) {
    return std::vector<BYTE>(list, list + length);
}

// Every row of the verification's outcomes.
const OutcomeCase OutcomeCases[] = {
    {"memory store not opened",
     [](auto&, auto& f) { f.template Fail<Api::CertOpenStore>(HCERTSTORE(nullptr), Oom); },
     false,
     {Oom, 1, None, None}},
    {"server chain record refused",
     [](auto&, auto& f) { f.template Fail<Api::CertAddEncodedCertificateToStore>(FALSE, Denied); },
     false,
     {Denied, 2, None, None}},
    {"additional record refused",
     [](auto&, auto& f) {
         f.template Fail<Api::CertAddEncodedCertificateToStore>(FALSE, Denied, Nth(3));
     },
     false,
     {Denied, 2, None, None}},
    {"SHA-2 exemption",
     [](auto&, auto& f) {
         f.template Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
     },
     true,
     {0, 0, 0, 0}},
    {"chain engine not created",
     [](auto&, auto& f) {
         f.template Fail<Api::CertCreateCertificateChainEngine>(FALSE,
                                                                static_cast<DWORD>(E_INVALIDARG));
     },
     false,
     {static_cast<DWORD>(E_INVALIDARG), 3, None, None}},
    {"chain not built",
     [](auto&, auto& f) { f.template Fail<Api::CertGetCertificateChain>(FALSE, Oom); },
     false,
     {Oom, 4, None, None}},
    {"clock after the validity",
     [](auto&, auto& f) { AddChainErrors(f, CERT_TRUST_IS_NOT_TIME_VALID); },
     false,
     {0, 0, CERT_TRUST_IS_NOT_TIME_VALID, None}},
    // The real carried chain under the host's roots: out of date now, and the server
    // certificate's signature does not verify with the CA's key.
    {"carried chain",
     [](auto& t, auto&) {
         t.trustRoot_ = false;
         t.serverChain_ = ListOf(ServerChainCerts, ServerChainCertsLength);
         t.additional_ = ListOf(AdditionalCerts, AdditionalCertsLength);
     },
     false,
     {0, 0, CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_SIGNATURE_VALID, None}},
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
     [](auto&, auto& f) { AddChainErrors(f, CERT_TRUST_IS_REVOKED); },
     false,
     {0, 0, CERT_TRUST_IS_REVOKED, None}},
    {"policy call failed",
     [](auto&, auto& f) { f.template Fail<Api::CertVerifyCertificateChainPolicy>(FALSE, Oom); },
     false,
     {Oom, 5, 0, 0}},
    {"policy accepts", [](auto&, auto&) {}, true, {0, 0, 0, 0}},
    // Wine's SSL policy answers an offline revocation server with CERT_E_REVOCATION_FAILURE,
    // which is refused; Windows answers CRYPT_E_REVOCATION_OFFLINE (next case).
    {"revocation server offline",
     [](auto&, auto& f) {
         AddChainErrors(f, CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
     },
     false,
     {0, 0, 0x01000040, 0x800B010E}},
    {"revocation server offline, as Windows answers",
     [](auto&, auto& f) {
         AddChainErrors(f, CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
         AnswerPolicy(f, static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE));
     },
     true,
     {0, 0, 0x01000040, 0x80092013}},
    // Wine's SSL policy lets an unknown revocation status pass; Windows answers
    // CRYPT_E_NO_REVOCATION_CHECK (next case), which is refused.
    {"revocation not checked",
     [](auto&, auto& f) { AddChainErrors(f, CERT_TRUST_REVOCATION_STATUS_UNKNOWN); },
     true,
     {0, 0, 0x00000040, 0}},
    {"revocation not checked, as Windows answers",
     [](auto&, auto& f) {
         AddChainErrors(f, CERT_TRUST_REVOCATION_STATUS_UNKNOWN);
         AnswerPolicy(f, static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK));
     },
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
        UntrustRoots();
        ResetImportFaults();
        SetUp();
        c.arrange(*this, faults_);
        if (trustRoot_) {
            TrustRoot(true, TestCertificate("test-root"));
        }
        ChainTestResult result = {1, 2, 3, 4};
        SetLastError(0xdeadbeef);
        EXPECT_EQ(Verify(&result), c.accepted);
        EXPECT_EQ(result.lastApiError, c.result.lastApiError);
        EXPECT_EQ(result.faultingFunction, c.result.faultingFunction);
        EXPECT_EQ(result.chainTrust, c.result.chainTrust) << std::hex << result.chainTrust;
        EXPECT_EQ(result.chainPolicyStatus, c.result.chainPolicyStatus)
            << std::hex << result.chainPolicyStatus;
    }
}

// Everything taken is given back on every path: each store, engine, chain and certificate.
TEST_F(VerifyServerChainTest, FreesWhatItTookOnEveryPath) {
    const Api failing[] = {Api::CertAddEncodedCertificateToStore,
                           Api::CertCreateCertificateChainEngine, Api::CertGetCertificateChain,
                           Api::CertVerifyCertificateChainPolicy};
    TrustRoot(true, TestCertificate("test-root"));
    for (size_t failAt = 0; failAt <= std::size(failing); ++failAt) {
        SCOPED_TRACE(failAt);
        ResetImportFaults();
        switch (failAt < std::size(failing) ? failing[failAt] : Api::Count) {
            case Api::CertAddEncodedCertificateToStore:
                faults_.Fail<Api::CertAddEncodedCertificateToStore>(FALSE, Oom, Nth(2));
                break;
            case Api::CertCreateCertificateChainEngine:
                faults_.Fail<Api::CertCreateCertificateChainEngine>(FALSE, Oom);
                break;
            case Api::CertGetCertificateChain:
                faults_.Fail<Api::CertGetCertificateChain>(FALSE, Oom);
                break;
            case Api::CertVerifyCertificateChainPolicy:
                faults_.Fail<Api::CertVerifyCertificateChainPolicy>(FALSE, Oom);
                break;
            default:
                break;
        }
        ChainTestResult result;
        Verify(&result);
        EXPECT_EQ(ImportFaults::Calls(Api::CertCloseStore), 1u);
        const unsigned engines = failAt >= 2 ? 1 : 0, chains = failAt >= 3 ? 1 : 0;
        EXPECT_EQ(ImportFaults::Calls(Api::CertFreeCertificateChainEngine), engines);
        EXPECT_EQ(ImportFaults::Calls(Api::CertFreeCertificateChain), chains);
        EXPECT_EQ(ImportFaults::Calls(Api::CertFreeCertificateContext), 1u);
    }
}

// The two engines differ in whose Root store they trust: the user's engine sees the machine's
// roots and the user's own. On Windows the machine's engine sees the machine's only; Wine's sees
// the user's roots too.
TEST_F(VerifyServerChainTest, EnginesTrustTheirOwnRootStores) {
    additional_.clear();
    ChainTestResult result;
    EXPECT_FALSE(Verify(&result, false));
    EXPECT_EQ(result.chainTrust, static_cast<DWORD>(CERT_TRUST_IS_PARTIAL_CHAIN));
    EXPECT_FALSE(Verify(&result, true));
    EXPECT_EQ(result.chainTrust, static_cast<DWORD>(CERT_TRUST_IS_PARTIAL_CHAIN));

    TrustRoot(false, TestCertificate("test-root"));
    EXPECT_TRUE(Verify(&result, false));
    EXPECT_TRUE(Verify(&result, true));  // Windows: false, CERT_TRUST_IS_PARTIAL_CHAIN

    UntrustRoots();
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
        ResetImportFaults();
        if (c.sha256Missing) {
            faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
        }
        std::string oid = c.oid;
        CERT_INFO info = {};
        info.SignatureAlgorithm.pszObjId = &oid[0];
        CERT_CONTEXT context = {};
        context.pCertInfo = &info;
        EXPECT_EQ(IsSha2SignatureUnverifiable(&context), c.unverifiable);
    }
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID), FromNth(1));
    EXPECT_FALSE(IsSha2SignatureUnverifiable(nullptr));
    CERT_CONTEXT noInfo = {};
    EXPECT_FALSE(IsSha2SignatureUnverifiable(&noInfo));
    CERT_INFO noOid = {};
    CERT_CONTEXT withoutOid = {};
    withoutOid.pCertInfo = &noOid;
    EXPECT_FALSE(IsSha2SignatureUnverifiable(&withoutOid));
}

TEST_F(TrustTest, Sha256ProbeUsesTheDefaultContainer) {
    // A missing default container is made, and the probe finds SHA-256 with it.
    HCRYPTPROV gone = 0;
    CryptAcquireContextW(&gone, nullptr, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    faults_.Fail<Api::CryptAcquireContextW>(FALSE, static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_FALSE(IsSha256Unsupported());
    EXPECT_EQ(ImportFaults::Calls(Api::CryptAcquireContextW), 2u);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptCreateHash), 1u);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 1u);
    // The container the probe uses is the machine's default one, which now exists.
    HCRYPTPROV provider = 0;
    EXPECT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, 0));
    CryptReleaseContext(provider, 0);

    ResetImportFaults();
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_TRUE(IsSha256Unsupported());
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 1u);

    // Any other refusal is not a missing algorithm.
    ResetImportFaults();
    faults_.Fail<Api::CryptAcquireContextW>(FALSE, static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    EXPECT_FALSE(IsSha256Unsupported());
    EXPECT_EQ(ImportFaults::Calls(Api::CryptCreateHash), 0u);
    ResetImportFaults();
    faults_.Fail<Api::CryptAcquireContextW>(FALSE, static_cast<DWORD>(NTE_BAD_KEYSET), FromNth(1));
    EXPECT_FALSE(IsSha256Unsupported());
    EXPECT_EQ(ImportFaults::Calls(Api::CryptAcquireContextW), 2u);
    EXPECT_EQ(ImportFaults::Calls(Api::CryptCreateHash), 0u);
}

TEST_F(TrustTest, Sha256ProbeTellsOtherHashFailuresApart) {
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_FLAGS));
    EXPECT_FALSE(IsSha256Unsupported());
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
    EXPECT_TRUE(IsSha256Unsupported());
    EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 2u);
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

// The carried chain as Wine's engine judges it with the host's roots (DigiCert Global Root CA
// among them) and the real clock: the server certificate is out of date (since 2021) and signed
// by a key that is not the CA's. Windows gives the same bits; the policy is never asked.
const char CarriedChainDetails[] =
    "error: \r\nProblem detected!\r\n\tDiagnostic info for developers:"
    "\r\n\tLastApiError: 0x00000000"
    "\r\n\tFaulting function: 0"
    "\r\n\tchainTrust: 0x00000009"
    "\r\n\t\t0x00000001: This certificate or one of the certificates in the certificate chain is "
    "not time valid."
    "\r\n\t\t0x00000008: The certificate or one of the certificates in the certificate chain does "
    "not have a valid signature."
    "\r\n\tchainPolicyStatus: 0xffffffff";

const char FailedEngineDetails[] =
    "error: \r\nProblem detected!\r\n\tDiagnostic info for developers:\r\n\tLastApiError: "
    "0x80070057\r\n\tFaulting function: 3 ( CertCreateCertificateChainEngine )";

TEST_F(ChainTestPrintTest, FailedEngineShowsAllTrustTexts) {
    faults_.Fail<Api::CertCreateCertificateChainEngine>(FALSE, static_cast<DWORD>(E_INVALIDARG));
    StartReport();
    RunChainTest(false);
    EXPECT_EQ(ConsoleText(), std::string("\r\n\r\nVerify chain test: [CurrentUser]") +
                                 FailedEngineDetails + NoChainDetails);
}

TEST_F(ChainTestPrintTest, ProviderWithoutSha256PassesBothRuns) {
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID), FromNth(1));
    StartReport();
    RunChainTest(false);
    RunChainTest(true);
    EXPECT_EQ(ConsoleText(),
              "\r\n\r\nVerify chain test: [CurrentUser]\r\nOK"
              "\r\n\r\nVerify chain test: [LocalMachine]\r\nOK");
    EXPECT_EQ(ImportFaults::Calls(Api::CertCreateCertificateChainEngine), 0u);
}

TEST_F(ChainTestPrintTest, LocalMachineRunGoesOnAfterTheUserRunFailed) {
    faults_.Fail<Api::CertCreateCertificateChainEngine>(FALSE, static_cast<DWORD>(E_INVALIDARG));
    StartReport();
    RunChainTest(false);
    RunChainTest(true);
    EXPECT_EQ(ConsoleText(), std::string("\r\n\r\nVerify chain test: [CurrentUser]") +
                                 FailedEngineDetails + NoChainDetails +
                                 "\r\n\r\nVerify chain test: [LocalMachine]" + CarriedChainDetails);
}

// --- /fix in the run

class FixRunTest : public TrustTest {
  protected:
    void SetUp() override {
        // The import writes to the machine's real Root store: what it adds goes again.
        ForgetRootAfterTest(true, CarriedCertificate("digicert-global-root-ca"));
    }

    int Run(std::vector<std::wstring> arguments) {
        std::wstring program = folder_ / L"skelvane.exe";
        std::vector<wchar_t*> argv = {&program[0]};
        for (std::wstring& argument : arguments) {
            argv.push_back(&argument[0]);
        }
        CapturedStreams streams(faults_);
        const int exitCode = RunDriver(static_cast<int>(argv.size()), argv.data());
        g_reportLog = nullptr;  // deleted by the run
        // The version line is the report's business: the test program has no version resource,
        // so the line is a failure on standard output.
        console_ = streams.Stderr();
        return exitCode;
    }
    std::string console_;
};

const char Prompt[] = "\r\n\r\nPress any key to quit...";
const char ImportHeading[] =
    "\r\nImporting certificate: "
    "\r\n\r\nSubject: CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US"
    "\r\nSerial number: 08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";
const char ImportBanner[] =
    "\r\n\r\nCertificate successfully imported"
    "\r\n\r\n==================\r\nTest after import\r\n==================\r\n";

// The checks that follow the banner belong to other tests; here what matters is that they run,
// the chain tests among them, with the root just imported in the machine's Root store.
TEST_F(FixRunTest, ImportsThenRunsTheChecksUnderTheBanner) {
    EXPECT_EQ(Run({L"/FIX"}), 0);
    const std::string start = std::string(ImportHeading) + ImportBanner;
    EXPECT_EQ(console_.substr(0, start.size()), start);
    const std::string chainTests =
        std::string("\r\n\r\nVerify chain test: [CurrentUser]") + CarriedChainDetails +
        "\r\n\r\nVerify chain test: [LocalMachine]" + CarriedChainDetails;
    EXPECT_NE(console_.find(chainTests, start.size()), std::string::npos) << console_;
    ASSERT_GE(console_.size(), strlen(Prompt));
    EXPECT_EQ(console_.substr(console_.size() - strlen(Prompt)), Prompt);
    EXPECT_TRUE(StoreHolds(true, L"Root", CarriedCertificate("digicert-global-root-ca")));
}

// The store opened read-only, as a user without the right to change the machine's roots has it.
void OpenStoresReadOnly(ImportFaults& faults) {
    faults.Answer<Api::CertOpenStore>([](LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY crypt,
                                         DWORD flags, const void* parameter) {
        return ImportFaults::Real<Api::CertOpenStore>(provider, encoding, crypt,
                                                      flags | CERT_STORE_READONLY_FLAG, parameter);
    });
}

TEST_F(FixRunTest, FailedImportEndsTheRunWithExitCodeOne) {
    const struct {
        const char* name;
        std::function<void(ImportFaults&)> arrange;
        const char* error;
    } cases[] = {
        {"store not opened",
         [](ImportFaults& f) {
             f.Fail<Api::CertOpenStore>(HCERTSTORE(nullptr), ERROR_ACCESS_DENIED);
         },
         "error: \r\nError: Cannot open system trusted root store"},
        // Wine refuses with HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); Windows with
        // ERROR_ACCESS_DENIED, "error 5".
        {"store read-only", OpenStoresReadOnly,
         "error: \r\nError: CertAddCertificateContextToStore returned error 2147942405\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        c.arrange(faults_);
        EXPECT_EQ(Run({L"/fix"}), 1);
        EXPECT_EQ(console_, std::string(ImportHeading) + c.error + Prompt);
    }
}

}  // namespace
