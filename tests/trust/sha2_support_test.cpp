// The SHA-2 support check's outcomes, and the provider and hash calls it and the thumbprint
// test rely on.
#include "trust/sha2_support.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "trust/crypt_holders.h"

namespace {

const std::string Heading = "\r\n\r\nSHA2 support:";

class Sha2SupportTest : public MachineTest {
  protected:
    std::string Check() {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        CheckSha2Support();
        return streams.Stderr();
    }
};

TEST_F(Sha2SupportTest, Supported) {
    EXPECT_EQ(Check(), Heading + "\r\nOK");
}

TEST_F(Sha2SupportTest, MissingSha256) {
    machine().RemoveHashAlgorithm(CALG_SHA_256);
    EXPECT_EQ(Check(), Heading + "error: \r\nError: System does not support SHA2");
}

TEST_F(Sha2SupportTest, HashCreationFailsOtherwise) {
    machine().FailCall("CryptCreateHash", 0x8009000E);
    EXPECT_EQ(Check(),
              Heading + "error: \r\nError: CryptCreateHash failed with error gle : 0x8009000e");
}

TEST_F(Sha2SupportTest, AcquisitionFails) {
    machine().FailCall("CryptAcquireContextW", 0x80090017);
    EXPECT_EQ(Check(),
              Heading + "error: \r\nError: CryptAcquireContext failed with error gle: 0x80090017");
}

TEST_F(Sha2SupportTest, MissingKeySetIsMadeAndTheCheckGoesOn) {
    machine().FailCall("CryptAcquireContextW", 0x80090016);
    EXPECT_EQ(Check(), Heading + "\r\nOK");
}

TEST_F(Sha2SupportTest, NewKeySetFails) {
    machine().FailCall("CryptAcquireContextW", 0x80090016);
    machine().FailCall("CryptAcquireContextW", 5, 1);
    EXPECT_EQ(Check(),
              Heading +
                  "error: \r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error "
                  "gle: 0x00000005");
}

class CryptProviderTest : public MachineTest {};

std::string HexDigest(HCRYPTPROV provider, ALG_ID algorithm, const std::string& data) {
    ScopedCryptHash hash;
    if (!CryptCreateHash(provider, algorithm, 0, 0, hash.Put())) {
        return "no hash";
    }
    EXPECT_TRUE(CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()), 0));
    BYTE digest[64];
    DWORD length = sizeof digest;
    EXPECT_TRUE(CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0));
    std::string hex;
    char pair[3];
    for (DWORD i = 0; i < length; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

TEST_F(CryptProviderTest, KnownDigests) {
    ScopedCryptProvider aes;
    ASSERT_TRUE(
        CryptAcquireContextW(aes.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(HexDigest(aes.Get(), CALG_SHA1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(HexDigest(aes.Get(), CALG_SHA_256, "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexDigest(aes.Get(), CALG_SHA1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    ScopedCryptProvider full;
    ASSERT_TRUE(
        CryptAcquireContextW(full.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(HexDigest(full.Get(), CALG_SHA_256, "abc"), "no hash");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_ALGID));
}

TEST_F(CryptProviderTest, DefaultContainerIsMadeOnce) {
    HCRYPTPROV provider = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
    ASSERT_TRUE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_EXISTS));
}

TEST_F(CryptProviderTest, HoldersReleaseOnceAndKeepTheLastError) {
    HCRYPTPROV raw = 0;
    {
        ScopedCryptProvider provider;
        ASSERT_TRUE(CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES,
                                         CRYPT_VERIFYCONTEXT));
        raw = provider.Get();
        ScopedCryptHash hash;
        ASSERT_TRUE(CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put()));
        EXPECT_TRUE(hash.Release());
        EXPECT_FALSE(hash.Release());  // empty now
        SetLastError(1234);
    }
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptReleaseContext(raw, 0));  // the holder released it
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

}  // namespace
