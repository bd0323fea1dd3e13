#include "trust/reference_certs.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "net/vendor_hosts.h"
#include "text.h"
#include "trust/trust_fixture.h"

namespace {

struct Record {
    const BYTE* bytes;
    DWORD length;
};

// The records of a list, read independently of the loader.
std::vector<Record> RecordsOf(const EncodedCertList* list, DWORD totalLength) {
    std::vector<Record> records;
    for (DWORD at = 0; at + 4 <= totalLength;) {
        const DWORD length = list[at] | (list[at + 1] << 8) | (list[at + 2] << 16) |
                             (static_cast<DWORD>(list[at + 3]) << 24);
        records.push_back({list + at + 4, length});
        at += 4 + length;
    }
    return records;
}

struct ListCase {
    const char* name;
    const EncodedCertList* list;
    const DWORD* length;
    DWORD expectedLength;
    std::vector<DWORD> recordLengths;
    std::vector<std::string> thumbprints;
};

const ListCase ListCases[] = {
    {"ServerChainCerts",
     ServerChainCerts,
     &ServerChainCertsLength,
     2105,
     {932, 1165},
     {"3454DFB1F681E65B119440615DCFFA61D7A4F97F", "4DEEA7060D80BABF1643B4E0F0104C82995075B7"}},
    {"AdditionalCerts",
     AdditionalCerts,
     &AdditionalCertsLength,
     1074,
     {1070},
     {"F18B538D1BE903B6A6F056435B171589CAF36BF2"}},
    {"ImportRootCerts",
     ImportRootCerts,
     &ImportRootCertsLength,
     951,
     {947},
     {"A8985D3A65E5E5C4B2D7D66D40C6DD2FB19C5436"}},
};

TEST(ReferenceCertificates, ListsHoldTheCarriedCertificatesInOrder) {
    for (const ListCase& c : ListCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(*c.length, c.expectedLength);
        std::vector<Record> records = RecordsOf(c.list, *c.length);
        ASSERT_EQ(records.size(), c.recordLengths.size());
        DWORD sum = 0;
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].length, c.recordLengths[i]);
            EXPECT_EQ(Sha1Hex(records[i].bytes, records[i].length), c.thumbprints[i]);
            sum += 4 + records[i].length;
        }
        EXPECT_EQ(sum, *c.length);
    }
}

// The build embeds trust/certs byte for byte.
TEST(ReferenceCertificates, RecordsAreTheFilesOfTrustCerts) {
    const struct {
        const EncodedCertList* list;
        DWORD length;
        size_t index;
        const char* file;
    } files[] = {{ServerChainCerts, ServerChainCertsLength, 0, "service-server"},
                 {ServerChainCerts, ServerChainCertsLength, 1, "thawte-rsa-ca-2018"},
                 {AdditionalCerts, AdditionalCertsLength, 0, "thawte-primary-root-ca-g3"},
                 {ImportRootCerts, ImportRootCertsLength, 0, "digicert-global-root-ca"}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const Record record = RecordsOf(f.list, f.length).at(f.index);
        EXPECT_EQ(std::vector<BYTE>(record.bytes, record.bytes + record.length),
                  CarriedCertificate(f.file));
    }
}

std::string TextOfName(X509_NAME* name, int nid) {
    char text[256] = {};
    X509_NAME_get_text_by_NID(name, nid, text, sizeof text);
    return text;
}

// What the rest of the tool relies on in the server certificate: the host it names, its issuer,
// its algorithms and its validity, which is the system time check's window.
TEST(ReferenceCertificates, ServerCertificateFitsServiceHostAndTimeWindow) {
    const std::vector<Record> chain = RecordsOf(ServerChainCerts, ServerChainCertsLength);
    const unsigned char* cursor = chain[0].bytes;
    X509* server = d2i_X509(nullptr, &cursor, chain[0].length);
    cursor = chain[1].bytes;
    X509* ca = d2i_X509(nullptr, &cursor, chain[1].length);
    ASSERT_NE(server, nullptr);
    ASSERT_NE(ca, nullptr);
    const std::string host = standin::Utf8FromWide(ServiceHost);

    EXPECT_EQ(X509_get_version(server), 2);  // v3
    EXPECT_EQ(TextOfName(X509_get_subject_name(server), NID_commonName), host);
    EXPECT_EQ(X509_check_host(server, host.c_str(), host.size(),
                              X509_CHECK_FLAG_NEVER_CHECK_SUBJECT, nullptr),
              1);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(server), X509_get_subject_name(ca)), 0);
    auto* authorityKey = static_cast<AUTHORITY_KEYID*>(
        X509_get_ext_d2i(server, NID_authority_key_identifier, nullptr, nullptr));
    ASSERT_NE(authorityKey, nullptr);
    EXPECT_EQ(X509_check_akid(ca, authorityKey), X509_V_OK);
    AUTHORITY_KEYID_free(authorityKey);
    EXPECT_EQ(X509_get_signature_nid(server), NID_sha256WithRSAEncryption);
    EXPECT_EQ(X509_get_signature_nid(ca), NID_sha256WithRSAEncryption);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(server)), 2048);
    EXPECT_EQ(X509_check_ca(server), 0);
    EXPECT_NE(X509_get_extended_key_usage(server) & XKU_SSL_SERVER, 0u);

    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, chain[0].bytes, chain[0].length);
    ASSERT_NE(context, nullptr);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const uint64_t lowerBound = 131931072000000000ULL;  // 2019-01-28 00:00:00 UTC, exclusive
    const uint64_t upperBound = 132614495990000000ULL;  // 2021-03-28 23:59:59 UTC, exclusive
    const uint64_t day = 864000000000ULL;
    EXPECT_EQ(ticks(context->pCertInfo->NotBefore), lowerBound);
    const uint64_t notAfter = ticks(context->pCertInfo->NotAfter);  // 2021-03-28 12:00:00
    EXPECT_EQ(notAfter - notAfter % day + day - 10000000ULL, upperBound);
    EXPECT_EQ(notAfter % day, day / 2);
    CertFreeCertificateContext(context);
    X509_free(server);
    X509_free(ca);
}

TEST(ReferenceCertificates, ImportTextsDescribeTheImportedRoot) {
    const Record root = RecordsOf(ImportRootCerts, ImportRootCertsLength).at(0);
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, root.bytes, root.length);
    ASSERT_NE(context, nullptr);
    std::wstring serial;
    const CRYPT_INTEGER_BLOB& number = context->pCertInfo->SerialNumber;
    for (DWORD i = number.cbData; i-- > 0;) {  // kept little-endian
        wchar_t byte[4];
        swprintf(byte, 4, L"%02x", number.pbData[i]);
        serial += (serial.empty() ? L"" : L" ") + std::wstring(byte);
    }
    EXPECT_EQ(serial, ImportRootSerialText);
    EXPECT_EQ(std::wstring(ImportRootSubjectText),
              std::wstring(L"CN = DigiCert Global Root CA, OU = ") + CaWebHost +
                  L", O = DigiCert Inc, C = US");
    CertFreeCertificateContext(context);
}

// --- the store holder

TEST_F(TrustTest, ScopedCertStoreClosesOnceAndKeepsTheLastError) {
    auto openMemory = [] {
        return CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0,
                             CERT_STORE_CREATE_NEW_FLAG, nullptr);
    };
    ScopedCertStore empty;
    EXPECT_FALSE(empty.Release());

    HCERTSTORE store = openMemory();
    ScopedCertStore holder(store);
    ScopedCertStore moved(std::move(holder));
    EXPECT_EQ(holder.Get(), nullptr);
    EXPECT_EQ(moved.Get(), store);
    machine().FailCall("CertCloseStore", ERROR_INVALID_PARAMETER);
    SetLastError(0x1234);
    EXPECT_FALSE(moved.Release());  // the close call's own result
    EXPECT_EQ(GetLastError(), 0x1234u);
    EXPECT_EQ(moved.Get(), nullptr);
    EXPECT_TRUE(CertCloseStore(store, 0));  // the failed close left it open

    HCERTSTORE closedByHolder = openMemory();
    CertDuplicateStore(closedByHolder);  // the forced close ends every reference
    { ScopedCertStore scoped(closedByHolder); }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CertCloseStore(closedByHolder, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// --- the loader

class AddEncodedCertificatesTest : public TrustTest {
  protected:
    void SetUp() override {
        TrustTest::SetUp();
        store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                               CERT_STORE_CREATE_NEW_FLAG, nullptr);
        ASSERT_NE(store_, nullptr);
    }
    void TearDown() override {
        CertCloseStore(store_, CERT_CLOSE_STORE_FORCE_FLAG);
        TrustTest::TearDown();
    }
    // The thumbprints of the store's certificates, in order.
    std::vector<std::string> Contents() {
        std::vector<std::string> thumbprints;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store_, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store_, c)) {
            thumbprints.push_back(Sha1Hex(c->pbCertEncoded, c->cbCertEncoded));
        }
        return thumbprints;
    }
    HCERTSTORE store_ = nullptr;
};

TEST_F(AddEncodedCertificatesTest, ServerChainGivesBackTheServerCertificate) {
    PCCERT_CONTEXT first = nullptr;
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(AddEncodedCertificates(store_, ServerChainCerts, ServerChainCertsLength, &first));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Sha1Hex(first->pbCertEncoded, first->cbCertEncoded),
              "3454DFB1F681E65B119440615DCFFA61D7A4F97F");
    EXPECT_EQ(Contents(), (std::vector<std::string>{"3454DFB1F681E65B119440615DCFFA61D7A4F97F",
                                                    "4DEEA7060D80BABF1643B4E0F0104C82995075B7"}));
    CertFreeCertificateContext(first);
}

TEST_F(AddEncodedCertificatesTest, SecondRecordRefusedKeepsTheFirst) {
    machine().FailCall("CertAddEncodedCertificateToStore", ERROR_ACCESS_DENIED, 1);
    PCCERT_CONTEXT first = nullptr;
    EXPECT_FALSE(AddEncodedCertificates(store_, ServerChainCerts, ServerChainCertsLength, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(Contents().size(), 1u);
    CertFreeCertificateContext(first);
}

TEST_F(AddEncodedCertificatesTest, FirstRecordRefusedLeavesContextNull) {
    machine().FailCall("CertAddEncodedCertificateToStore", ERROR_NOT_ENOUGH_MEMORY);
    PCCERT_CONTEXT first = nullptr;
    EXPECT_FALSE(AddEncodedCertificates(store_, ServerChainCerts, ServerChainCertsLength, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(first, nullptr);
    EXPECT_TRUE(Contents().empty());
}

TEST_F(AddEncodedCertificatesTest, RecordThatIsNoCertificateIsRefusedByTheStore) {
    const std::vector<BYTE> list = EncodedList({{0x30, 0x03, 0x02, 0x01, 0x05}});
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        AddEncodedCertificates(store_, list.data(), static_cast<DWORD>(list.size()), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
}

// Lengths that do not fit are refused before anything is read beyond the list; each list is
// its own allocation of exactly its size, so the sanitizer sees any read past its end.
TEST_F(AddEncodedCertificatesTest, RecordsThatDoNotFitAreRefused) {
    const std::vector<BYTE> root = CarriedCertificate("digicert-global-root-ca");
    std::vector<BYTE> longRecord = EncodedList({root});
    longRecord[0] += 1;  // claims one byte more than there is
    std::vector<BYTE> secondTooLong = EncodedList({root, root});
    secondTooLong.resize(secondTooLong.size() - 10);
    std::vector<BYTE> truncatedHeader = EncodedList({root});
    truncatedHeader.insert(truncatedHeader.end(), {0x10, 0x00});
    std::vector<BYTE> hugeLength = {0xFF, 0xFF, 0xFF, 0xFF, 0x30};

    const struct {
        const char* name;
        std::vector<BYTE> list;
        size_t added;
    } cases[] = {
        {"length one past the end", longRecord, 0},
        {"second record cut short", secondTooLong, 1},
        {"header of a second record cut short", truncatedHeader, 1},
        {"length near 4 GiB", hugeLength, 0},
        {"shorter than a header", {0x05, 0x00}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = std::make_unique<BYTE[]>(c.list.size());
        std::copy(c.list.begin(), c.list.end(), exact.get());
        const size_t before = Contents().size();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(AddEncodedCertificates(store_, exact.get(), static_cast<DWORD>(c.list.size()),
                                            nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(Contents().size() - before, c.added);
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AddEncodedCertificates(store_, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

// --- the /fix import

class ImportReferenceRootTest : public TrustTest {
  protected:
    std::string RootFile() const {
        return machine_prefix() +
               "/certificates/LocalMachine/Root/"
               "A8985D3A65E5E5C4B2D7D66D40C6DD2FB19C5436.der";
    }
    std::string machine_prefix() const { return standin::Machine::Current().Prefix(); }
};

const char ImportHeading[] =
    "\r\nImporting certificate: "
    "\r\n\r\nSubject: CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US"
    "\r\nSerial number: 08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";

TEST_F(ImportReferenceRootTest, AddsTheRootAgainOnEveryRun) {
    StartReport();
    EXPECT_TRUE(ImportReferenceRoot());
    EXPECT_TRUE(ImportReferenceRoot());
    const std::string once =
        std::string(ImportHeading) + "\r\n\r\nCertificate successfully imported";
    EXPECT_EQ(ConsoleText(), once + once);
    const std::vector<BYTE> root = CarriedCertificate("digicert-global-root-ca");
    EXPECT_EQ(ReadHostFile(RootFile()), std::string(root.begin(), root.end()));
}

TEST_F(ImportReferenceRootTest, StoreThatCannotBeOpened) {
    machine().FailCall("CertOpenStore", ERROR_FILE_NOT_FOUND);
    StartReport();
    EXPECT_FALSE(ImportReferenceRoot());
    EXPECT_EQ(ConsoleText(), std::string(ImportHeading) +
                                 "error: \r\nError: Cannot open system trusted root store");
}

TEST_F(ImportReferenceRootTest, StoreThatRefusesTheRoot) {
    const struct {
        const char* name;
        void (*arrange)(standin::Machine&);
        const char* code;
    } cases[] = {
        {"read-only store", [](standin::Machine& m) { m.SetStoreReadOnly(true, "Root"); }, "5"},
        {"refused add",
         [](standin::Machine& m) {
             m.FailCall("CertAddEncodedCertificateToStore", static_cast<DWORD>(E_INVALIDARG));
         },
         "2147942487"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        c.arrange(machine());
        StartReport();
        EXPECT_FALSE(ImportReferenceRoot());
        EXPECT_EQ(ConsoleText(), std::string(ImportHeading) +
                                     "error: \r\nError: CertAddCertificateContextToStore returned "
                                     "error " +
                                     c.code + "\r\n");
        EXPECT_TRUE(ReadHostFile(RootFile()).empty());
    }
}

}  // namespace
