// The SHA-2 support check's outcomes, against the real RSA/AES provider and through failures of
// its calls; and the holders of the provider and hash handles.
#include "trust/sha2_support.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/holders.h"
#include "report/report_log.h"
#include "trust/trust_fixture.h"

namespace {

const std::string Heading = "\r\n\r\nSHA2 support:";

class Sha2SupportTest : public TrustTest {
  protected:
    std::string Check() {
        StartReport();
        CheckSha2Support();
        return ConsoleText();
    }
};

TEST_F(Sha2SupportTest, OutcomesOfTheHashCreation) {
    const struct {
        const char* name;
        bool fail;
        DWORD error;
        std::string expected;
    } cases[] = {
        {"supported", false, 0, Heading + "\r\nOK"},
        {"missing SHA-256", true, static_cast<DWORD>(NTE_BAD_ALGID),
         Heading + "error: \r\nError: System does not support SHA2"},
        {"other failure", true, 0x8009000E,
         Heading + "error: \r\nError: CryptCreateHash failed with error gle : 0x8009000e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        if (c.fail) {
            faults_.Fail<Api::CryptCreateHash>(FALSE, c.error);
        }
        EXPECT_EQ(Check(), c.expected);
        // The hash (when made) and the provider are given back.
        EXPECT_EQ(ImportFaults::Calls(Api::CryptDestroyHash), c.fail ? 0u : 1u);
        EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), 1u);
    }
}

// The provider's acquisitions, answered in turn: the first with its flags, then the second.
struct Acquisitions {
    DWORD firstError;   // 0: the real call
    DWORD secondError;  // 0: the real call
    DWORD flags[2] = {0, 0};
    unsigned calls = 0;
};

void AnswerAcquisitions(ImportFaults& faults, Acquisitions* plan) {
    faults.Answer<Api::CryptAcquireContextW>(
        [plan](HCRYPTPROV* provider, LPCWSTR container, LPCWSTR name, DWORD type, DWORD flags) {
            const unsigned n = plan->calls++;
            if (n < 2) {
                plan->flags[n] = flags;
            }
            const DWORD error = n == 0 ? plan->firstError : n == 1 ? plan->secondError : 0;
            if (error != 0) {
                SetLastError(error);
                return FALSE;
            }
            return ImportFaults::Real<Api::CryptAcquireContextW>(provider, container, name, type,
                                                                 flags);
        });
}

TEST_F(Sha2SupportTest, OutcomesOfTheAcquisition) {
    const struct {
        const char* name;
        DWORD firstError, secondError;
        unsigned calls;
        std::string expected;
    } cases[] = {
        {"verify context", 0, 0, 1, Heading + "\r\nOK"},
        {"refused", 0x80090017, 0, 1,
         Heading + "error: \r\nError: CryptAcquireContext failed with error gle: 0x80090017"},
        // A missing key set is made, and the check goes on with it.
        {"missing key set", static_cast<DWORD>(NTE_BAD_KEYSET), 0, 2, Heading + "\r\nOK"},
        {"new key set refused", static_cast<DWORD>(NTE_BAD_KEYSET), ERROR_ACCESS_DENIED, 2,
         Heading + "error: \r\nError: CryptAcquireContext(CRYPT_NEWKEYSET) failed with error gle: "
                   "0x00000005"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        // The default container is made by the check: it must not be there yet.
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, nullptr, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET);
        Acquisitions plan = {c.firstError, c.secondError};
        AnswerAcquisitions(faults_, &plan);
        EXPECT_EQ(Check(), c.expected);
        EXPECT_EQ(plan.calls, c.calls);
        EXPECT_EQ(plan.flags[0], static_cast<DWORD>(CRYPT_VERIFYCONTEXT));
        if (c.calls > 1) {
            EXPECT_EQ(plan.flags[1], static_cast<DWORD>(CRYPT_NEWKEYSET));
        }
        // Nothing is released that was not acquired.
        const bool acquired = c.expected == Heading + "\r\nOK";
        EXPECT_EQ(ImportFaults::Calls(Api::CryptReleaseContext), acquired ? 1u : 0u);
    }
}

TEST(CryptHolders, ReleaseOnceAndKeepTheLastError) {
    {
        ScopedCryptProvider provider;
        ASSERT_TRUE(CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES,
                                         CRYPT_VERIFYCONTEXT));
        ScopedCryptHash hash;
        ASSERT_TRUE(CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put()));
        EXPECT_TRUE(hash.Release());
        EXPECT_EQ(hash.Get(), 0u);
        EXPECT_FALSE(hash.Release());  // empty now
        ScopedCryptHash held;
        ASSERT_TRUE(CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, held.Put()));
        SetLastError(1234);
    }
    // The hash and then the provider were released on the way out, the last error kept.
    EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
