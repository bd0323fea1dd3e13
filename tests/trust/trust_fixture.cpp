#include "trust/trust_fixture.h"

#include "report/report_log.h"

namespace {

// A path of the source tree as the Windows program sees it: drive Z: is the host's root.
std::wstring SourcePath(const std::string& relative) {
    std::wstring path = L"Z:" + Wide(std::string(SKELVANE_SOURCE_DIR) + "/" + relative);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::vector<BYTE> ReadBytes(const std::string& relative) {
    const std::string bytes = ReadFileBytes(SourcePath(relative));
    EXPECT_FALSE(bytes.empty()) << relative;
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

HCERTSTORE OpenSystemStore(bool localMachine, const wchar_t* name) {
    return CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        localMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER, name);
}

PCCERT_CONTEXT FindByThumbprint(HCERTSTORE store, const std::vector<BYTE>& der) {
    BYTE hash[20];
    DWORD size = sizeof(hash);
    if (!CryptHashCertificate(0, CALG_SHA1, 0, der.data(), static_cast<DWORD>(der.size()), hash,
                              &size)) {
        return nullptr;
    }
    CRYPT_HASH_BLOB blob = {size, hash};
    return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                      nullptr);
}

}  // namespace

std::vector<BYTE> TestCertificate(const std::string& name) {
    return ReadBytes("tests/trust/data/" + name + ".der");
}

std::vector<BYTE> CarriedCertificate(const std::string& name) {
    return ReadBytes("trust/certs/" + name + ".der");
}

std::vector<BYTE> EncodedList(const std::vector<std::vector<BYTE>>& certificates) {
    std::vector<BYTE> list;
    for (const auto& der : certificates) {
        const uint32_t length = static_cast<uint32_t>(der.size());
        for (int shift = 0; shift < 32; shift += 8) {
            list.push_back(static_cast<BYTE>(length >> shift));
        }
        list.insert(list.end(), der.begin(), der.end());
    }
    return list;
}

std::string Sha1Hex(const BYTE* bytes, size_t length) {
    BYTE hash[20];
    DWORD size = sizeof(hash);
    EXPECT_TRUE(
        CryptHashCertificate(0, CALG_SHA1, 0, bytes, static_cast<DWORD>(length), hash, &size));
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (DWORD i = 0; i < size; ++i) {
        text += hex[hash[i] >> 4];
        text += hex[hash[i] & 15];
    }
    return text;
}

bool StoreHolds(bool localMachine, const wchar_t* name, const std::vector<BYTE>& der) {
    HCERTSTORE store = OpenSystemStore(localMachine, name);
    if (store == nullptr) {
        return false;
    }
    PCCERT_CONTEXT found = FindByThumbprint(store, der);
    if (found != nullptr) {
        CertFreeCertificateContext(found);
    }
    CertCloseStore(store, 0);
    return found != nullptr;
}

void TrustTest::TearDown() {
    EndReport();
    UntrustRoots();
}

void TrustTest::TrustRoot(bool localMachine, const std::vector<BYTE>& der) {
    // The program's own store calls: never failed or counted by the fault layer.
    if (StoreHolds(localMachine, L"Root", der)) {
        return;
    }
    HCERTSTORE store = OpenSystemStore(localMachine, L"Root");
    ASSERT_NE(store, nullptr) << GetLastError();
    EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                                 nullptr))
        << std::hex << GetLastError();
    CertCloseStore(store, 0);
    added_.push_back({localMachine, der});
}

void TrustTest::ForgetRootAfterTest(bool localMachine, const std::vector<BYTE>& der) {
    if (!StoreHolds(localMachine, L"Root", der)) {
        added_.push_back({localMachine, der});
    }
}

void TrustTest::UntrustRoots() {
    // Wine's system stores do not write a deletion back to the registry, where they keep each
    // certificate under its thumbprint: the key goes instead, as it would on Windows.
    for (const AddedRoot& root : added_) {
        const std::wstring key = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
                                 Wide(Sha1Hex(root.der.data(), root.der.size()));
        RegDeleteKeyW(root.localMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key.c_str());
        EXPECT_FALSE(StoreHolds(root.localMachine, L"Root", root.der));
    }
    added_.clear();
}

void TrustTest::StartReport() {
    EndReport();
    const std::wstring program = folder_ / L"skelvane.exe";
    ASSERT_TRUE(OpenReportLog(program.c_str()));
    streams_ = std::make_unique<CapturedStreams>(faults_);
}

std::string TrustTest::ConsoleText() {
    return streams_ ? streams_->Stderr() : std::string();
}

void TrustTest::EndReport() {
    delete g_reportLog;
    g_reportLog = nullptr;
    streams_.reset();
}
