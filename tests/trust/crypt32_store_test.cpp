// The stand-in's stores, engine creation and policy arguments: what a caller of these calls
// relies on beyond the chain's verdicts (those are in crypt32_chain_test.cpp).
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "trust/trust_fixture.h"

namespace {

const DWORD Encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class StoreTest : public TrustTest {
  protected:
    static HCERTSTORE OpenMemory() {
        return CertOpenStore(CERT_STORE_PROV_MEMORY, Encoding, 0, CERT_STORE_CREATE_NEW_FLAG,
                             nullptr);
    }
    static HCERTSTORE OpenSystem(DWORD location, const wchar_t* name, DWORD flags = 0) {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location | flags, name);
    }
    static BOOL Add(HCERTSTORE store, const std::vector<BYTE>& der, DWORD disposition,
                    PCCERT_CONTEXT* context = nullptr) {
        return CertAddEncodedCertificateToStore(
            store, Encoding, der.data(), static_cast<DWORD>(der.size()), disposition, context);
    }
    static size_t Count(HCERTSTORE store) {
        size_t count = 0;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store, c)) {
            ++count;
        }
        return count;
    }
    std::string RootFolder(bool localMachine) {
        return machine().CertificateStoreFolder(localMachine, "Root");
    }
};

TEST_F(StoreTest, SystemStoreKeepsItsCertificatesAsFiles) {
    const std::vector<BYTE> root = TestCertificate("test-root");
    HCERTSTORE store =
        OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Count(store), 0u);
    EXPECT_TRUE(Add(store, root, CERT_STORE_ADD_ALWAYS));
    EXPECT_TRUE(Add(store, root, CERT_STORE_ADD_ALWAYS));  // keyed by thumbprint: replaced
    EXPECT_EQ(Count(store), 1u);
    EXPECT_TRUE(CertCloseStore(store, 0));
    const std::string file = RootFolder(true) + "/" + Sha1Hex(root.data(), root.size()) + ".der";
    EXPECT_EQ(ReadHostFile(file), std::string(root.begin(), root.end()));

    store = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"root", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Count(store), 1u);
    EXPECT_TRUE(CertCloseStore(store, 0));
    store = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, L"Root", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Count(store), 0u);  // the user's own store is another folder
    EXPECT_TRUE(CertCloseStore(store, 0));
}

TEST_F(StoreTest, OnlyStandardStoresExistBeforeTheyAreCreated) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(
        OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"NoSuchStore", CERT_STORE_OPEN_EXISTING_FLAG),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HCERTSTORE created = OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"NoSuchStore");
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(CertCloseStore(created, 0));
    HCERTSTORE existing =
        OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, L"NoSuchStore", CERT_STORE_OPEN_EXISTING_FLAG);
    EXPECT_NE(existing, nullptr);
    EXPECT_TRUE(CertCloseStore(existing, 0));

    for (const wchar_t* name : {L"", L"..", L"a/b", L"a\\b"}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(OpenSystem(CERT_SYSTEM_STORE_LOCAL_MACHINE, name), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenSystem(0, L"Root"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(StoreTest, ReadOnlyStoresRefuseAdditions) {
    const std::vector<BYTE> root = TestCertificate("test-root");
    machine().SetStoreReadOnly(true, "Root");
    const struct {
        DWORD location;
        DWORD flags;
        bool localMachine;
    } cases[] = {{CERT_SYSTEM_STORE_LOCAL_MACHINE, 0, true},
                 {CERT_SYSTEM_STORE_CURRENT_USER, CERT_STORE_READONLY_FLAG, false}};
    for (const auto& c : cases) {
        HCERTSTORE store = OpenSystem(c.location, L"Root", c.flags);
        ASSERT_NE(store, nullptr);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(Add(store, root, CERT_STORE_ADD_ALWAYS));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(Count(store), 0u);
        EXPECT_TRUE(CertCloseStore(store, 0));
        EXPECT_EQ(ReadHostFile(RootFolder(c.localMachine) + "/" +
                               Sha1Hex(root.data(), root.size()) + ".der"),
                  "");
    }
    HCERTSTORE user = OpenSystem(CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    EXPECT_TRUE(Add(user, root, CERT_STORE_ADD_ALWAYS));  // only the machine's is read-only
    EXPECT_TRUE(CertCloseStore(user, 0));
}

TEST_F(StoreTest, DispositionsOfAMemoryStore) {
    const std::vector<BYTE> root = TestCertificate("test-root");
    const struct {
        DWORD second;
        BOOL added;
        DWORD error;
        size_t count;
    } cases[] = {
        {CERT_STORE_ADD_NEW, FALSE, static_cast<DWORD>(CRYPT_E_EXISTS), 1},
        {CERT_STORE_ADD_USE_EXISTING, TRUE, 0xdeadbeef, 1},
        {CERT_STORE_ADD_REPLACE_EXISTING, TRUE, 0xdeadbeef, 1},
        {CERT_STORE_ADD_ALWAYS, TRUE, 0xdeadbeef, 2},
        {0, FALSE, static_cast<DWORD>(E_INVALIDARG), 1},
        {5, FALSE, static_cast<DWORD>(E_INVALIDARG), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        HCERTSTORE store = OpenMemory();
        ASSERT_TRUE(Add(store, root, CERT_STORE_ADD_NEW));
        PCCERT_CONTEXT context = nullptr;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(Add(store, root, c.second, &context), c.added);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(context != nullptr, c.added == TRUE);
        if (context != nullptr) {
            EXPECT_EQ(context->hCertStore, store);
            CertFreeCertificateContext(context);
        }
        EXPECT_EQ(Count(store), c.count);
        EXPECT_TRUE(CertCloseStore(store, 0));
    }
}

TEST_F(StoreTest, BadArgumentsAndStaleHandles) {
    const std::vector<BYTE> root = TestCertificate("test-root");
    HCERTSTORE store = OpenMemory();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CertAddEncodedCertificateToStore(
        store, 0, root.data(), static_cast<DWORD>(root.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    const std::vector<BYTE> cut(root.begin(), root.end() - 1);
    EXPECT_FALSE(Add(store, cut, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));

    HCERTSTORE second = CertDuplicateStore(store);
    EXPECT_EQ(second, store);
    EXPECT_TRUE(CertCloseStore(store, 0));
    EXPECT_TRUE(Add(second, root, CERT_STORE_ADD_ALWAYS));  // one reference left
    EXPECT_TRUE(CertCloseStore(second, 0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Add(store, root, CERT_STORE_ADD_ALWAYS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CertCloseStore(store, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CertCloseStore(nullptr, 0));

    HCERTSTORE forced = OpenMemory();
    CertDuplicateStore(forced);
    EXPECT_TRUE(CertCloseStore(forced, CERT_CLOSE_STORE_FORCE_FLAG));
    EXPECT_FALSE(CertCloseStore(forced, 0));  // closed for every reference
}

// --- chain engines

class EngineTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        TrustRoot(true, TestCertificate("test-root"));
        store_ = OpenMemory();
        ASSERT_TRUE(Add(store_, TestCertificate("test-server"), CERT_STORE_ADD_ALWAYS, &end_));
        ASSERT_TRUE(Add(store_, TestCertificate("test-intermediate"), CERT_STORE_ADD_ALWAYS));
    }
    void TearDown() override {
        CertFreeCertificateContext(end_);
        CertCloseStore(store_, CERT_CLOSE_STORE_FORCE_FLAG);
        StoreTest::TearDown();
    }
    CERT_CHAIN_ENGINE_CONFIG Config(DWORD size) {
        CERT_CHAIN_ENGINE_CONFIG config = {};
        config.cbSize = size;
        config.cAdditionalStore = 1;
        config.rghAdditionalStore = &store_;
        return config;
    }
    // The chain's error bits, or 0xFFFFFFFF when no chain was built.
    DWORD ChainErrors(HCERTCHAINENGINE engine, PCCERT_CONTEXT end, LPFILETIME time = nullptr) {
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!CertGetCertificateChain(engine, end, time, nullptr, &para, 0, nullptr, &chain)) {
            return 0xFFFFFFFF;
        }
        const DWORD errors = chain->TrustStatus.dwErrorStatus;
        CertFreeCertificateChain(chain);
        return errors;
    }
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT end_ = nullptr;
};

TEST_F(EngineTest, ConfigurationSizesFromTheOldestFormUp) {
    const struct {
        DWORD size;
        DWORD error;
    } cases[] = {
        {offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot), 0},
        {offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags), 0},
        {sizeof(CERT_CHAIN_ENGINE_CONFIG), 0},
        {offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot) - 1, static_cast<DWORD>(E_INVALIDARG)},
        {0, static_cast<DWORD>(E_INVALIDARG)},
        {sizeof(CERT_CHAIN_ENGINE_CONFIG) + 4, static_cast<DWORD>(E_INVALIDARG)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        CERT_CHAIN_ENGINE_CONFIG config = Config(c.size);
        HCERTCHAINENGINE engine = reinterpret_cast<HCERTCHAINENGINE>(1234);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CertCreateCertificateChainEngine(&config, &engine), c.error == 0);
        if (c.error == 0) {
            EXPECT_EQ(ChainErrors(engine, end_), 0u);
            CertFreeCertificateChainEngine(engine);
        } else {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(engine, nullptr);
        }
    }
}

TEST_F(EngineTest, EngineKeepsItsAdditionalStores) {
    CERT_CHAIN_ENGINE_CONFIG config = Config(sizeof config);
    HCERTCHAINENGINE engine = nullptr;
    ASSERT_TRUE(CertCreateCertificateChainEngine(&config, &engine));
    // The end certificate's own store is gone; the engine still reaches the intermediate.
    HCERTSTORE other = OpenMemory();
    PCCERT_CONTEXT alone = nullptr;
    ASSERT_TRUE(Add(other, TestCertificate("test-server"), CERT_STORE_ADD_ALWAYS, &alone));
    EXPECT_TRUE(CertCloseStore(other, 0));
    EXPECT_TRUE(CertCloseStore(store_, 0));
    store_ = nullptr;
    EXPECT_EQ(ChainErrors(engine, alone), 0u);
    EXPECT_EQ(ChainErrors(HCCE_LOCAL_MACHINE, alone),
              static_cast<DWORD>(CERT_TRUST_IS_PARTIAL_CHAIN));
    CertFreeCertificateChainEngine(engine);
    CertFreeCertificateContext(alone);
}

TEST_F(EngineTest, RefusedConfigurationsAndChainArguments) {
    CERT_CHAIN_ENGINE_CONFIG noStores = Config(sizeof noStores);
    noStores.rghAdditionalStore = nullptr;
    CERT_CHAIN_ENGINE_CONFIG restricted = Config(sizeof restricted);
    restricted.hRestrictedRoot = store_;
    HCERTSTORE closed = OpenMemory();
    CertCloseStore(closed, 0);
    CERT_CHAIN_ENGINE_CONFIG stale = Config(sizeof stale);
    stale.rghAdditionalStore = &closed;
    const struct {
        CERT_CHAIN_ENGINE_CONFIG* config;
        DWORD error;
    } cases[] = {{nullptr, static_cast<DWORD>(E_INVALIDARG)},
                 {&noStores, static_cast<DWORD>(E_INVALIDARG)},
                 {&restricted, static_cast<DWORD>(ERROR_NOT_SUPPORTED)},
                 {&stale, static_cast<DWORD>(ERROR_INVALID_HANDLE)}};
    for (const auto& c : cases) {
        HCERTCHAINENGINE engine = nullptr;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CertCreateCertificateChainEngine(c.config, &engine));
        EXPECT_EQ(GetLastError(), c.error);
    }

    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        CertGetCertificateChain(nullptr, end_, nullptr, nullptr, nullptr, 0, nullptr, &chain));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    para.cbSize = 4;
    EXPECT_FALSE(
        CertGetCertificateChain(nullptr, end_, nullptr, nullptr, &para, 0, nullptr, &chain));
    para.cbSize = sizeof para;
    EXPECT_FALSE(CertGetCertificateChain(reinterpret_cast<HCERTCHAINENGINE>(&para), end_, nullptr,
                                         nullptr, &para, 0, nullptr, &chain));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(chain, nullptr);
}

TEST_F(EngineTest, ChainTimeAndRequestedUsage) {
    SYSTEMTIME later = {2100, 1, 5, 1, 0, 0, 0, 0};
    FILETIME time;
    SystemTimeToFileTime(&later, &time);
    EXPECT_EQ(ChainErrors(HCCE_LOCAL_MACHINE, end_, &time),
              static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID));

    LPSTR codeSigning[] = {const_cast<LPSTR>("1.3.6.1.5.5.7.3.3")};
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    for (auto* usage : {codeSigning, serverAuth}) {
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof para;
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        para.RequestedUsage.Usage = {1, usage};
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        ASSERT_TRUE(CertGetCertificateChain(HCCE_LOCAL_MACHINE, end_, nullptr, nullptr, &para, 0,
                                            nullptr, &chain));
        EXPECT_EQ(
            chain->TrustStatus.dwErrorStatus,
            usage == codeSigning ? static_cast<DWORD>(CERT_TRUST_IS_NOT_VALID_FOR_USAGE) : 0u);
        CertFreeCertificateChain(chain);
    }
}

TEST_F(EngineTest, PolicyArgumentsAndIgnoreFlags) {
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(HCCE_LOCAL_MACHINE, end_, nullptr, nullptr, &para, 0,
                                        nullptr, &chain));
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<WCHAR*>(L"other.example");
    CERT_CHAIN_POLICY_PARA policyPara = {sizeof policyPara, 0, &ssl};
    CERT_CHAIN_POLICY_STATUS status = {sizeof status, 0, 0, 0, nullptr};

    EXPECT_TRUE(
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status));
    EXPECT_EQ(status.dwError, static_cast<DWORD>(CERT_E_CN_NO_MATCH));
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    EXPECT_TRUE(
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status));
    EXPECT_EQ(status.dwError, 0u);
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, nullptr, &status));
    EXPECT_EQ(status.dwError, 0u);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<LPCSTR>(99), chain, &policyPara,
                                                  &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    EXPECT_FALSE(
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CertFreeCertificateChain(chain);
    EXPECT_FALSE(
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

// Every store and chain call can be made to fail, with the error it was given.
TEST_F(EngineTest, EveryCallCanBeMadeToFail) {
    const DWORD error = 0x12345;
    CERT_CHAIN_ENGINE_CONFIG config = Config(sizeof config);
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ASSERT_TRUE(CertGetCertificateChain(HCCE_LOCAL_MACHINE, end_, nullptr, nullptr, &para, 0,
                                        nullptr, &chain));
    CERT_CHAIN_POLICY_STATUS status = {sizeof status, 0, 0, 0, nullptr};
    const std::vector<BYTE> root = TestCertificate("test-root");
    const struct {
        const char* function;
        std::function<bool()> call;  // true when the call failed
    } calls[] = {
        {"CertOpenStore", [] { return OpenMemory() == nullptr; }},
        {"CertAddEncodedCertificateToStore",
         [&] { return !Add(store_, root, CERT_STORE_ADD_ALWAYS); }},
        {"CertEnumCertificatesInStore",
         [&] { return CertEnumCertificatesInStore(store_, nullptr) == nullptr; }},
        {"CertDuplicateStore", [&] { return CertDuplicateStore(store_) == nullptr; }},
        {"CertCloseStore", [&] { return !CertCloseStore(store_, 0); }},
        {"CertCreateCertificateChainEngine",
         [&] {
             HCERTCHAINENGINE engine = nullptr;
             return !CertCreateCertificateChainEngine(&config, &engine);
         }},
        {"CertGetCertificateChain",
         [&] {
             PCCERT_CHAIN_CONTEXT other = nullptr;
             return !CertGetCertificateChain(HCCE_LOCAL_MACHINE, end_, nullptr, nullptr, &para, 0,
                                             nullptr, &other);
         }},
        {"CertVerifyCertificateChainPolicy",
         [&] {
             return !CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, nullptr,
                                                      &status);
         }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.function);
        machine().FailCall(c.function, error);
        SetLastError(0xdeadbeef);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(GetLastError(), error);
    }
    CertFreeCertificateChain(chain);
}

}  // namespace
