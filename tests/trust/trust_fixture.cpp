#include "trust/trust_fixture.h"

#include <openssl/sha.h>

#include <cstdlib>

#include "report/report_log.h"

namespace {

std::vector<BYTE> ReadBytes(const std::string& path) {
    const std::string text = MachineTest::ReadHostFile(path);
    EXPECT_FALSE(text.empty()) << path;
    return std::vector<BYTE>(text.begin(), text.end());
}

}  // namespace

std::vector<BYTE> TestCertificate(const std::string& name) {
    return ReadBytes(std::string(SKELVANE_SOURCE_DIR) + "/tests/trust/data/" + name + ".der");
}

std::vector<BYTE> CarriedCertificate(const std::string& name) {
    return ReadBytes(std::string(SKELVANE_SOURCE_DIR) + "/trust/certs/" + name + ".der");
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
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(bytes, length, digest);
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

void TrustTest::SetUp() {
    MachineTest::SetUp();
    // The host's CA bundle is the host's business; a test chooses the roots it trusts.
    machine().SetHostRootBundle("");
}

void TrustTest::TrustRoot(bool localMachine, const std::vector<BYTE>& der) {
    // Written as the store keeps it, so that no store call (and no fault set for one) is used.
    const std::string folder = machine().CertificateStoreFolder(localMachine, "Root");
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    WriteHostFile(folder + "/" + Sha1Hex(der.data(), der.size()) + ".der",
                  std::string(der.begin(), der.end()));
}

void TrustTest::StartReport() {
    ASSERT_TRUE(OpenReportLog(WindowsPath("skelvane.exe").c_str()));
    streams_ = std::make_unique<CapturedStreams>();
}

std::string TrustTest::ConsoleText() {
    return streams_ ? streams_->Stderr() : std::string();
}
