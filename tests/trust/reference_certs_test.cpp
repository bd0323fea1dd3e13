#include "trust/reference_certs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "vendor/vendor_hosts.h"
#include "support/windows/guarded_heap.h"
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

// The extension `oid` of the certificate decoded as `structType`, or empty.
std::vector<BYTE> DecodedExtension(PCCERT_CONTEXT certificate, const char* oid,
                                   const char* structType) {
    PCERT_EXTENSION extension = CertFindExtension(oid, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    if (extension == nullptr) {
        return {};
    }
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, structType, extension->Value.pbData,
                             extension->Value.cbData, 0, nullptr, nullptr, &size)) {
        return {};
    }
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, structType, extension->Value.pbData,
                             extension->Value.cbData, 0, nullptr, decoded.data(), &size)) {
        return {};
    }
    return decoded;
}

// What the rest of the tool relies on in the server certificate: the host it names, its issuer,
// its algorithms and its validity, which is the system time check's window.
TEST(ReferenceCertificates, ServerCertificateFitsServiceHostAndTimeWindow) {
    const std::vector<Record> chain = RecordsOf(ServerChainCerts, ServerChainCertsLength);
    PCCERT_CONTEXT server =
        CertCreateCertificateContext(X509_ASN_ENCODING, chain[0].bytes, chain[0].length);
    PCCERT_CONTEXT ca =
        CertCreateCertificateContext(X509_ASN_ENCODING, chain[1].bytes, chain[1].length);
    ASSERT_NE(server, nullptr);
    ASSERT_NE(ca, nullptr);
    const CERT_INFO& info = *server->pCertInfo;

    EXPECT_EQ(info.dwVersion, static_cast<DWORD>(CERT_V3));
    wchar_t name[256] = {};
    CertGetNameStringW(server, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name,
                       256);
    EXPECT_EQ(std::wstring(name), ServiceHost);
    // The host among the alternative names, which is where a TLS client looks for it.
    const std::vector<BYTE> altNames =
        DecodedExtension(server, szOID_SUBJECT_ALT_NAME2, X509_ALTERNATE_NAME);
    ASSERT_FALSE(altNames.empty());
    const auto* names = reinterpret_cast<const CERT_ALT_NAME_INFO*>(altNames.data());
    bool hostNamed = false;
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        hostNamed |= names->rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DNS_NAME &&
                     std::wstring(names->rgAltEntry[i].pwszDNSName) == ServiceHost;
    }
    EXPECT_TRUE(hostNamed);
    EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &server->pCertInfo->Issuer,
                                           &ca->pCertInfo->Subject));
    const std::vector<BYTE> authority =
        DecodedExtension(server, szOID_AUTHORITY_KEY_IDENTIFIER2, X509_AUTHORITY_KEY_ID2);
    ASSERT_FALSE(authority.empty());
    const auto& keyId =
        reinterpret_cast<const CERT_AUTHORITY_KEY_ID2_INFO*>(authority.data())->KeyId;
    BYTE caKeyId[64];
    DWORD caKeyIdSize = sizeof(caKeyId);
    ASSERT_TRUE(
        CertGetCertificateContextProperty(ca, CERT_KEY_IDENTIFIER_PROP_ID, caKeyId, &caKeyIdSize));
    EXPECT_EQ(std::vector<BYTE>(keyId.pbData, keyId.pbData + keyId.cbData),
              std::vector<BYTE>(caKeyId, caKeyId + caKeyIdSize));
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
    EXPECT_STREQ(ca->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
    EXPECT_EQ(CertGetPublicKeyLength(X509_ASN_ENCODING, &server->pCertInfo->SubjectPublicKeyInfo),
              2048u);
    const std::vector<BYTE> basic =
        DecodedExtension(server, szOID_BASIC_CONSTRAINTS2, X509_BASIC_CONSTRAINTS2);
    EXPECT_TRUE(basic.empty() ||
                !reinterpret_cast<const CERT_BASIC_CONSTRAINTS2_INFO*>(basic.data())->fCA);
    BYTE usageBytes[512];
    DWORD usageSize = sizeof(usageBytes);
    ASSERT_TRUE(CertGetEnhancedKeyUsage(server, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG,
                                        reinterpret_cast<PCERT_ENHKEY_USAGE>(usageBytes),
                                        &usageSize));
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(usageBytes);
    bool serverAuth = false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        serverAuth |= strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0;
    }
    EXPECT_TRUE(serverAuth);

    const auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const uint64_t lowerBound = 131931072000000000ULL;  // 2019-01-28 00:00:00 UTC, exclusive
    const uint64_t upperBound = 132614495990000000ULL;  // 2021-03-28 23:59:59 UTC, exclusive
    const uint64_t day = 864000000000ULL;
    EXPECT_EQ(ticks(info.NotBefore), lowerBound);
    const uint64_t notAfter = ticks(info.NotAfter);  // 2021-03-28 12:00:00
    EXPECT_EQ(notAfter - notAfter % day + day - 10000000ULL, upperBound);
    EXPECT_EQ(notAfter % day, day / 2);
    CertFreeCertificateContext(server);
    CertFreeCertificateContext(ca);
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

TEST(ScopedCertStoreTest, ClosesOnceAndKeepsTheLastError) {
    ScopedCertStore empty;
    SetLastError(0x1234);
    EXPECT_FALSE(empty.Release());
    EXPECT_EQ(GetLastError(), 0x1234u);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0,
                                     CERT_STORE_CREATE_NEW_FLAG, nullptr);
    ASSERT_NE(store, nullptr);
    ScopedCertStore holder(store);
    ScopedCertStore moved(std::move(holder));
    EXPECT_EQ(holder.Get(), nullptr);
    EXPECT_EQ(moved.Get(), store);
    SetLastError(0x1234);
    EXPECT_TRUE(moved.Release());
    EXPECT_EQ(GetLastError(), 0x1234u);
    EXPECT_EQ(moved.Get(), nullptr);
    EXPECT_FALSE(moved.Release());
}

// --- the loader

class AddEncodedCertificatesTest : public TrustTest {
  protected:
    void SetUp() override {
        store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                               CERT_STORE_CREATE_NEW_FLAG, nullptr);
        ASSERT_NE(store_, nullptr);
    }
    void TearDown() override {
        CertCloseStore(store_, CERT_CLOSE_STORE_FORCE_FLAG);
        TrustTest::TearDown();
    }
    // The thumbprints of the store's certificates, sorted (Wine lists the newest first, Windows
    // the oldest).
    std::vector<std::string> Contents() {
        std::vector<std::string> thumbprints;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store_, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store_, c)) {
            thumbprints.push_back(Sha1Hex(c->pbCertEncoded, c->cbCertEncoded));
        }
        std::sort(thumbprints.begin(), thumbprints.end());
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
    handle_verifier::TakenByTest(handle_verifier::Kind::CertificateContext, first);
    CertFreeCertificateContext(first);
}

TEST_F(AddEncodedCertificatesTest, SecondRecordRefusedKeepsTheFirst) {
    faults_.Fail<Api::CertAddEncodedCertificateToStore>(FALSE, ERROR_ACCESS_DENIED, Nth(2));
    PCCERT_CONTEXT first = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AddEncodedCertificates(store_, ServerChainCerts, ServerChainCertsLength, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(Contents().size(), 1u);
    handle_verifier::TakenByTest(handle_verifier::Kind::CertificateContext, first);
    CertFreeCertificateContext(first);
}

TEST_F(AddEncodedCertificatesTest, FirstRecordRefusedLeavesContextNull) {
    faults_.Fail<Api::CertAddEncodedCertificateToStore>(FALSE, ERROR_NOT_ENOUGH_MEMORY);
    PCCERT_CONTEXT first = nullptr;
    SetLastError(0xdeadbeef);
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
    // Wine's decoder calls it corrupt; Windows' answers CRYPT_E_ASN1_BADTAG.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

// Lengths that do not fit are refused before anything is read beyond the list; each list is a
// guarded block of exactly its size, so any read past its end faults.
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
        BYTE* exact = static_cast<BYTE*>(guarded_heap::AllocateBlock(c.list.size(), false));
        std::copy(c.list.begin(), c.list.end(), exact);
        const size_t before = Contents().size();
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(
            AddEncodedCertificates(store_, exact, static_cast<DWORD>(c.list.size()), nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(Contents().size() - before, c.added);
        guarded_heap::FreeBlock(exact);
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(AddEncodedCertificates(store_, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

// --- the /fix import

const char ImportHeading[] =
    "\r\nImporting certificate: "
    "\r\n\r\nSubject: CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US"
    "\r\nSerial number: 08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";

// How the import opened and closed its store.
struct StoreCalls {
    std::vector<std::string> opened;  // provider, flags and name of each open
    std::vector<DWORD> closeFlags;
};

class ImportReferenceRootTest : public TrustTest {
  protected:
    void SetUp() override {
        // The import writes to the machine's real Root store: what it adds goes again. Wine's
        // Root store may hold this root already, from the host's CA bundle.
        root_ = CarriedCertificate("digicert-global-root-ca");
        heldBefore_ = StoreHolds(true, L"Root", root_);
        ForgetRootAfterTest(true, root_);
    }
    void WatchStoreCalls(bool readOnly = false) {
        StoreCalls* calls = &calls_;
        faults_.Answer<Api::CertOpenStore>([calls, readOnly](LPCSTR provider, DWORD encoding,
                                                             HCRYPTPROV_LEGACY crypt, DWORD flags,
                                                             const void* parameter) {
            char text[64];
            snprintf(text, sizeof text, "%lu %08lx ",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(provider)),
                     static_cast<unsigned long>(flags));
            calls->opened.push_back(text + Utf8(static_cast<const wchar_t*>(parameter)));
            // As a user without the right to change the machine's roots has the store.
            const DWORD extra = readOnly ? CERT_STORE_READONLY_FLAG : 0;
            return ImportFaults::Real<Api::CertOpenStore>(provider, encoding, crypt, flags | extra,
                                                          parameter);
        });
        faults_.Answer<Api::CertCloseStore>([calls](HCERTSTORE store, DWORD flags) {
            calls->closeFlags.push_back(flags);
            return ImportFaults::Real<Api::CertCloseStore>(store, flags);
        });
    }
    std::vector<BYTE> root_;
    bool heldBefore_ = false;
    StoreCalls calls_;
};

// The machine's Root store, opened only if it exists; closed with every reference.
const std::string OpenedRoot = "10 00024000 Root";
const DWORD ForcedClose = CERT_CLOSE_STORE_FORCE_FLAG;

TEST_F(ImportReferenceRootTest, AddsTheRootAgainOnEveryRun) {
    WatchStoreCalls();
    StartReport();
    EXPECT_TRUE(ImportReferenceRoot());
    EXPECT_TRUE(ImportReferenceRoot());
    const std::string once =
        std::string(ImportHeading) + "\r\n\r\nCertificate successfully imported";
    EXPECT_EQ(ConsoleText(), once + once);
    EXPECT_EQ(calls_.opened, (std::vector<std::string>{OpenedRoot, OpenedRoot}));
    EXPECT_EQ(calls_.closeFlags, (std::vector<DWORD>{ForcedClose, ForcedClose}));
    EXPECT_EQ(ImportFaults::Calls(Api::CertAddEncodedCertificateToStore), 2u);
    EXPECT_TRUE(StoreHolds(true, L"Root", root_));
}

TEST_F(ImportReferenceRootTest, StoreThatCannotBeOpened) {
    faults_.Fail<Api::CertOpenStore>(HCERTSTORE(nullptr), ERROR_FILE_NOT_FOUND);
    StartReport();
    EXPECT_FALSE(ImportReferenceRoot());
    EXPECT_EQ(ConsoleText(), std::string(ImportHeading) +
                                 "error: \r\nError: Cannot open system trusted root store");
    EXPECT_EQ(ImportFaults::Calls(Api::CertCloseStore), 0u);
}

TEST_F(ImportReferenceRootTest, StoreThatRefusesTheRoot) {
    const struct {
        const char* name;
        bool readOnly;
        const char* code;
    } cases[] = {
        // Wine refuses with HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); Windows with
        // ERROR_ACCESS_DENIED, "error 5".
        {"read-only store", true, "2147942405"},
        {"refused add", false, "2147942487"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        calls_ = StoreCalls();
        WatchStoreCalls(c.readOnly);
        if (!c.readOnly) {
            faults_.Fail<Api::CertAddEncodedCertificateToStore>(FALSE,
                                                                static_cast<DWORD>(E_INVALIDARG));
        }
        StartReport();
        EXPECT_FALSE(ImportReferenceRoot());
        EXPECT_EQ(ConsoleText(), std::string(ImportHeading) +
                                     "error: \r\nError: CertAddCertificateContextToStore returned "
                                     "error " +
                                     c.code + "\r\n");
        EXPECT_EQ(calls_.closeFlags, std::vector<DWORD>{ForcedClose});
        EXPECT_EQ(StoreHolds(true, L"Root", root_), heldBefore_);
    }
}

}  // namespace
