// The stand-in's chain engine and SSL policy against what Wine's crypt32 gives for the same
// certificates (measured with a probe program under Wine 8.0, fresh prefix, the test root put
// into the machine's Root store where a case trusts it): the chain's error bits, its length and
// the policy's code. One difference is kept on purpose: for a chain that reaches no root
// (CERT_TRUST_IS_PARTIAL_CHAIN) Wine's SSL policy answers 0, or CERT_E_EXPIRED when a
// certificate is also out of date, where Windows answers CERT_E_CHAINING; the stand-in answers
// as Windows does. The chain test itself never asks the policy about such a chain.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "trust/trust_fixture.h"

namespace {

struct ChainCase {
    const char* name;
    std::vector<std::string> certificates;  // end certificate first; "carried:" for trust/certs
    bool trustTestRoot;
    bool trustHostBundle;
    SYSTEMTIME clock;
    const wchar_t* host;
    DWORD chainErrors;
    std::vector<DWORD> elementErrors;  // end certificate first
    DWORD policyError;
    LONG policyElement;
};

const SYSTEMTIME In2020 = {2020, 6, 1, 1, 12, 0, 0, 0};
const SYSTEMTIME In2026 = {2026, 12, 2, 8, 1, 40, 0, 0};
const SYSTEMTIME In2100 = {2100, 6, 2, 1, 0, 0, 0, 0};
const wchar_t Service[] = L"service.tolv.com";

const ChainCase ChainCases[] = {
    // The carried chain: DigiCert Global Root CA from the host's bundle.
    {"carried-now",
     {"carried:service-server", "carried:thawte-rsa-ca-2018", "carried:thawte-primary-root-ca-g3"},
     false,
     true,
     In2026,
     Service,
     0x00000009,
     {0x9, 0, 0},
     0x80096004,
     0},
    {"carried-2020",
     {"carried:service-server", "carried:thawte-rsa-ca-2018", "carried:thawte-primary-root-ca-g3"},
     false,
     true,
     In2020,
     Service,
     0x00000008,
     {0x8, 0, 0},
     0x80096004,
     0},
    {"carried-untrusted-root",
     {"carried:service-server", "carried:thawte-rsa-ca-2018"},
     false,
     false,
     In2026,
     Service,
     0x00010009,
     {0x9, 0},
     0x800B010A,
     0},
    {"server-alone",
     {"carried:service-server"},
     false,
     true,
     In2026,
     Service,
     0x00010001,
     {0x1},
     0x800B010A,
     0},
    {"test-trusted",
     {"test-server", "test-intermediate"},
     true,
     false,
     In2026,
     Service,
     0,
     {0, 0, 0},
     0,
     -1},
    {"test-wrong-host",
     {"test-server", "test-intermediate"},
     true,
     false,
     In2026,
     L"other.example",
     0,
     {0, 0, 0},
     0x800B010F,
     0},
    {"test-expired",
     {"test-server", "test-intermediate"},
     true,
     false,
     In2100,
     Service,
     0x00000001,
     {0x1, 0x1, 0x1},
     0x800B0101,
     0},
    {"other-host",
     {"test-other-host", "test-intermediate"},
     true,
     false,
     In2026,
     Service,
     0,
     {0, 0, 0},
     0x800B010F,
     0},
    {"client-only",
     {"test-client-only", "test-intermediate"},
     true,
     false,
     In2026,
     Service,
     0,
     {0, 0, 0},
     0,
     -1},
    {"critical-unknown",
     {"test-critical-unknown", "test-intermediate"},
     true,
     false,
     In2026,
     Service,
     0x08000100,
     {0x08000100, 0, 0},
     0x800B0105,
     0},
    {"issued-by-end-certificate",
     {"test-under-leaf", "test-server", "test-intermediate"},
     true,
     false,
     In2026,
     Service,
     0x00000410,
     {0, 0x410, 0x400, 0},
     0x800B0110,
     1},
    {"no-intermediate",
     {"test-server"},
     true,
     false,
     In2026,
     Service,
     0x00010000,
     {0},
     0x800B010A,
     0},
    {"self-signed",
     {"test-self-signed"},
     false,
     false,
     In2026,
     Service,
     0x00000020,
     {0x20},
     0x800B0109,
     0},
    {"root-itself",
     {"carried:digicert-global-root-ca"},
     false,
     true,
     In2026,
     Service,
     0,
     {0},
     0x800B010F,
     0},
};

class ChainEngineTest : public TrustTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(ChainEngineTest, AgreesWithWine) {
    const ChainCase& c = GetParam();
    machine().SetClock(c.clock);
    if (c.trustHostBundle) {
        machine().SetHostRootBundle("/etc/ssl/certs/ca-certificates.crt");
    }
    if (c.trustTestRoot) {
        TrustRoot(true, TestCertificate("test-root"));
    }
    HCERTSTORE memory =
        CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                      CERT_STORE_CREATE_NEW_FLAG, nullptr);
    ASSERT_NE(memory, nullptr);
    PCCERT_CONTEXT end = nullptr;
    for (const std::string& name : c.certificates) {
        std::vector<BYTE> der = name.rfind("carried:", 0) == 0 ? CarriedCertificate(name.substr(8))
                                                               : TestCertificate(name);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(
            memory, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
            CERT_STORE_ADD_ALWAYS, end == nullptr ? &end : nullptr));
    }
    CERT_CHAIN_ENGINE_CONFIG config = {};
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot);
    config.cAdditionalStore = 1;
    config.rghAdditionalStore = &memory;
    config.dwFlags = CERT_CHAIN_CACHE_END_CERT;
    HCERTCHAINENGINE engine = nullptr;
    ASSERT_TRUE(CertCreateCertificateChainEngine(&config, &engine));
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(engine, end, nullptr, nullptr, &para,
                                        CERT_CHAIN_CACHE_END_CERT, nullptr, &chain));
    EXPECT_EQ(chain->TrustStatus.dwErrorStatus, c.chainErrors)
        << std::hex << chain->TrustStatus.dwErrorStatus;
    ASSERT_EQ(chain->cChain, 1u);
    std::vector<DWORD> elementErrors;
    for (DWORD i = 0; i < chain->rgpChain[0]->cElement; ++i) {
        elementErrors.push_back(chain->rgpChain[0]->rgpElement[i]->TrustStatus.dwErrorStatus);
    }
    EXPECT_EQ(elementErrors, c.elementErrors);
    EXPECT_EQ(chain->rgpChain[0]->rgpElement[0]->pCertContext->cbCertEncoded, end->cbCertEncoded);

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<WCHAR*>(c.host);
    CERT_CHAIN_POLICY_PARA policyPara = {sizeof policyPara, 0, &ssl};
    CERT_CHAIN_POLICY_STATUS status = {sizeof status, 0xdeadbeef, 7, 7, nullptr};
    ASSERT_TRUE(
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status));
    EXPECT_EQ(status.dwError, c.policyError) << std::hex << status.dwError;
    EXPECT_EQ(status.lElementIndex, c.policyElement);

    CertFreeCertificateChain(chain);
    CertFreeCertificateChainEngine(engine);
    CertFreeCertificateContext(end);
    EXPECT_TRUE(CertCloseStore(memory, 0));
}

INSTANTIATE_TEST_SUITE_P(Cases, ChainEngineTest, ::testing::ValuesIn(ChainCases),
                         [](const ::testing::TestParamInfo<ChainCase>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 c = c == '-' ? '_' : c;
                             }
                             return name;
                         });

}  // namespace
