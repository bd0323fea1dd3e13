// The host's CA bundle as the chain engine trusts it: read once, decoded on demand, read again
// when it changes, and never hidden behind a store root that shares a subject.
#include <openssl/evp.h>

#include "host_roots.h"
#include "trust/trust_fixture.h"

namespace {

std::string Pem(const std::string& label, const std::vector<BYTE>& der) {
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    base64.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&base64[0]),
                                                      der.data(), static_cast<int>(der.size()))));
    std::string text = "-----BEGIN " + label + "-----\n";
    for (size_t at = 0; at < base64.size(); at += 64) {
        text += base64.substr(at, 64) + "\n";
    }
    return text + "-----END " + label + "-----\n";
}

std::string Pem(const std::vector<BYTE>& der) {
    return Pem("CERTIFICATE", der);
}

class HostRootsTest : public TrustTest {
  protected:
    void SetUp() override {
        TrustTest::SetUp();
        machine().SetClock(InsideValidity());
        bundle_ = workDir() + "/bundle.pem";
        machine().SetHostRootBundle(bundle_);
    }

    void WriteBundle(const std::string& text) { WriteHostFile(bundle_, text); }

    // The chain of the test server (its intermediate beside it) on one engine: the chain's
    // error status, and the DER of its last element.
    DWORD ChainStatus(HCERTCHAINENGINE engine, std::vector<BYTE>* top = nullptr) {
        HCERTSTORE memory = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0,
                                          CERT_STORE_CREATE_NEW_FLAG, nullptr);
        EXPECT_NE(memory, nullptr);
        PCCERT_CONTEXT end = nullptr;
        for (const char* name : {"test-intermediate", "test-server"}) {
            const std::vector<BYTE> der = TestCertificate(name);
            CertFreeCertificateContext(end);
            EXPECT_TRUE(CertAddEncodedCertificateToStore(memory, X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()),
                                                         CERT_STORE_ADD_NEW, &end));
        }
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        DWORD status = 0xdeadbeef;
        if (CertGetCertificateChain(engine, end, nullptr, nullptr, &para, 0, nullptr, &chain)) {
            status = chain->TrustStatus.dwErrorStatus;
            const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
            PCCERT_CONTEXT last = simple->rgpElement[simple->cElement - 1]->pCertContext;
            if (top != nullptr) {
                top->assign(last->pbCertEncoded, last->pbCertEncoded + last->cbCertEncoded);
            }
            CertFreeCertificateChain(chain);
        }
        CertFreeCertificateContext(end);
        CertCloseStore(memory, 0);
        return status;
    }

    std::string bundle_;
};

const DWORD NotTrusted = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;

TEST_F(HostRootsTest, DecodesOnlyTheRootAChainNeedsAndOnlyOnce) {
    WriteBundle(Pem(CarriedCertificate("digicert-global-root-ca")) +
                Pem(CarriedCertificate("thawte-primary-root-ca-g3")) +
                Pem(TestCertificate("test-root")) + Pem(CarriedCertificate("thawte-rsa-ca-2018")));
    const size_t before = standin::DecodedHostRootCount();
    std::vector<BYTE> top;
    EXPECT_EQ(ChainStatus(HCCE_LOCAL_MACHINE, &top), 0u);
    EXPECT_EQ(top, TestCertificate("test-root"));
    EXPECT_EQ(standin::DecodedHostRootCount() - before, 1u);

    // The other engine, and the same engine again, find it without decoding anything.
    EXPECT_EQ(ChainStatus(HCCE_CURRENT_USER), 0u);
    EXPECT_EQ(ChainStatus(HCCE_LOCAL_MACHINE), 0u);
    EXPECT_EQ(standin::DecodedHostRootCount() - before, 1u);
}

TEST_F(HostRootsTest, AChangedBundleIsReadAgain) {
    const std::string others = Pem(CarriedCertificate("digicert-global-root-ca"));
    WriteBundle(others + Pem(TestCertificate("test-root")));
    EXPECT_EQ(ChainStatus(HCCE_LOCAL_MACHINE), 0u);
    WriteBundle(others);
    EXPECT_NE(ChainStatus(HCCE_LOCAL_MACHINE) & NotTrusted, 0u);
    WriteBundle(Pem(TestCertificate("test-root")) + others);
    EXPECT_EQ(ChainStatus(HCCE_LOCAL_MACHINE), 0u);
    machine().SetHostRootBundle(workDir() + "/no-such-bundle.pem");
    EXPECT_NE(ChainStatus(HCCE_LOCAL_MACHINE) & NotTrusted, 0u);
}

TEST_F(HostRootsTest, AStoreRootWithTheSameSubjectDoesNotHideTheBundles) {
    // The decoy has the root's name on another key: the chain must still reach the real root.
    TrustRoot(true, TestCertificate("test-root-decoy"));
    WriteBundle(Pem(TestCertificate("test-root")));
    for (HCERTCHAINENGINE engine : {HCCE_LOCAL_MACHINE, HCCE_CURRENT_USER}) {
        std::vector<BYTE> top;
        EXPECT_EQ(ChainStatus(engine, &top), 0u);
        EXPECT_EQ(top, TestCertificate("test-root"));
    }
}

TEST_F(HostRootsTest, BlocksThatAreNotCertificatesAreSkipped) {
    const std::vector<BYTE> garbage = {0x30, 0x03, 0x02, 0x01, 0x05};
    const std::vector<BYTE> intermediate = TestCertificate("test-intermediate");
    const struct {
        const char* what;
        std::string block;
    } rows[] = {
        {"another kind of block", Pem("PRIVATE KEY", TestCertificate("test-server"))},
        {"a certificate block of other bytes", Pem(garbage)},
        {"a certificate block cut short",
         Pem(std::vector<BYTE>(intermediate.begin(), intermediate.begin() + 40))},
        {"text between blocks", "not a block\n"},
    };
    for (const auto& row : rows) {
        WriteBundle(row.block + Pem(TestCertificate("test-root")));
        EXPECT_EQ(ChainStatus(HCCE_LOCAL_MACHINE), 0u) << row.what;
    }
}

}  // namespace
