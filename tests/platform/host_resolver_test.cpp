// The WSA code the ws2_32 stand-in gives for each of getaddrinfo's failures, as Windows'
// ws2tcpip.h defines the EAI_ names. Apart from the Windows names: the host's headers are here.
#define SKELVANE_HOST_SOCKETS

#include "host_resolver.h"

#include <netdb.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

TEST(ResolverErrors, EachGetaddrinfoCodeHasWindowsCode) {
    struct Case {
        int code;
        int expected;
    } cases[] = {
        {EAI_AGAIN, 11002},  {EAI_BADFLAGS, 10022},   {EAI_FAIL, 11003},     {EAI_FAMILY, 10047},
        {EAI_MEMORY, 8},     {EAI_NONAME, 11001},     {EAI_SERVICE, 10109},  {EAI_SOCKTYPE, 10044},
        {EAI_NODATA, 11004}, {EAI_ADDRFAMILY, 11004}, {EAI_OVERFLOW, 10014}, {EAI_INTR, 10004},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(standin::WindowsResolverError(c.code, 0), c.expected) << c.code;
    }
    EXPECT_EQ(standin::WindowsResolverError(EAI_SYSTEM, ENOMEM), 8);
    EXPECT_EQ(standin::WindowsResolverError(EAI_SYSTEM, EIO), 11003);
}

}  // namespace
