// The system time check: its window follows the carried server certificate, its bounds are
// exclusive, and it prints the UTC time with a full stop before the seconds.
#include "trust/system_time.h"

#include <gtest/gtest.h>

#include <string>

#include "trust/reference_certs.h"
#include "trust/trust_fixture.h"

namespace {

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t Ticks(const SYSTEMTIME& time) {
    FILETIME converted;
    EXPECT_TRUE(SystemTimeToFileTime(&time, &converted));
    return Ticks(converted);
}

// The validity of the first record of the server chain, as the platform reads it.
void ServerCertificateValidity(uint64_t* notBefore, uint64_t* notAfter) {
    const DWORD length = ServerChainCerts[0] | (ServerChainCerts[1] << 8) |
                         (ServerChainCerts[2] << 16) |
                         (static_cast<DWORD>(ServerChainCerts[3]) << 24);
    PCCERT_CONTEXT server =
        CertCreateCertificateContext(X509_ASN_ENCODING, ServerChainCerts + 4, length);
    ASSERT_NE(server, nullptr);
    *notBefore = Ticks(server->pCertInfo->NotBefore);
    *notAfter = Ticks(server->pCertInfo->NotAfter);
    CertFreeCertificateContext(server);
}

TEST(SystemTimeWindow, FollowsTheServerCertificate) {
    uint64_t notBefore = 0, notAfter = 0;
    ServerCertificateValidity(&notBefore, &notAfter);
    const uint64_t second = 10000000ULL, day = 86400 * second;
    EXPECT_EQ(Ticks(SystemTimeLowerBound), notBefore);
    // The last whole second of the day on which the certificate expires.
    EXPECT_EQ(Ticks(SystemTimeUpperBound), notAfter - notAfter % day + day - second);
    EXPECT_EQ(Ticks(SystemTimeLowerBound), 131931072000000000ULL);
    EXPECT_EQ(Ticks(SystemTimeUpperBound), 132614495990000000ULL);
    // The day-of-week fields name the right days (Monday, Sunday), though unused.
    SYSTEMTIME lower, upper;
    FILETIME time = {static_cast<DWORD>(notBefore), static_cast<DWORD>(notBefore >> 32)};
    ASSERT_TRUE(FileTimeToSystemTime(&time, &lower));
    time = {static_cast<DWORD>(notAfter), static_cast<DWORD>(notAfter >> 32)};
    ASSERT_TRUE(FileTimeToSystemTime(&time, &upper));
    EXPECT_EQ(lower.wDayOfWeek, SystemTimeLowerBound.wDayOfWeek);
    EXPECT_EQ(upper.wDayOfWeek, SystemTimeUpperBound.wDayOfWeek);
}

class SystemTimeTest : public TrustTest {
  protected:
    // Wine's clock cannot be set from outside: the check's GetSystemTime is answered.
    std::string Check(const SYSTEMTIME& now) {
        faults_.Answer<Api::GetSystemTime>([now](SYSTEMTIME* time) { *time = now; });
        StartReport();
        CheckSystemTime();
        return ConsoleText();
    }
};

const char Invalid[] = "error: \r\nError: Windows has invalid system time";

TEST_F(SystemTimeTest, BoundsAreExclusive) {
    struct Case {
        SYSTEMTIME now;
        std::string expected;
    } cases[] = {
        {{2019, 1, 0, 28, 0, 0, 0, 0},
         std::string("\r\nSystem time is: 2019.01.28 00:00.00") + Invalid},
        {{2019, 1, 0, 28, 0, 0, 0, 1}, "\r\nSystem time is: 2019.01.28 00:00.00\r\nOK"},
        {{2021, 3, 0, 28, 23, 59, 58, 999}, "\r\nSystem time is: 2021.03.28 23:59.58\r\nOK"},
        {{2021, 3, 0, 28, 23, 59, 59, 0},
         std::string("\r\nSystem time is: 2021.03.28 23:59.59") + Invalid},
        // Past the certificate's expiry at noon, the clock still passes.
        {{2021, 3, 0, 28, 12, 0, 0, 1}, "\r\nSystem time is: 2021.03.28 12:00.00\r\nOK"},
        {{2019, 3, 0, 1, 9, 5, 7, 0}, "\r\nSystem time is: 2019.03.01 09:05.07\r\nOK"},
        {{2018, 12, 0, 31, 23, 59, 59, 999},
         std::string("\r\nSystem time is: 2018.12.31 23:59.59") + Invalid},
        {{2030, 1, 0, 1, 0, 0, 0, 0},
         std::string("\r\nSystem time is: 2030.01.01 00:00.00") + Invalid},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Check(c.now), c.expected) << c.expected;
        ResetImportFaults();
    }
}

}  // namespace
