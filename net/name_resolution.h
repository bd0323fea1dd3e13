// What the PC's resolver answers for three of the vendor's hosts, and whether any IPv4 address
// of an answer is one the vendor is known to use.
#pragma once

#include <cstdint>

#include "platform/holders.h"
#include "platform/win32.h"

// Starts the socket library (version 1.0) for one host's test and cleans it up again, only when
// the start succeeded.
class WinsockGuard {
  public:
    WinsockGuard() : result(WSAStartup(MAKEWORD(1, 0), &data)) {}
    ~WinsockGuard() {
        if (result == 0) {
            WSACleanup();
        }
    }
    WinsockGuard(const WinsockGuard&) = delete;
    WinsockGuard& operator=(const WinsockGuard&) = delete;

    bool Started() const { return result == 0; }

    WSADATA data;
    int result;
};

// Prints the heading and tests the service, PKI and IP location hosts in this order.
void TestNameResolution();

// Prints the host's answer entry by entry and a verdict: OK when an IPv4 entry is one of the
// `knownCount` addresses of `known`, else a warning listing them.
void TestHostResolution(const wchar_t* host, int port, const std::uint32_t* known,
                        std::uint32_t knownCount);

// The resolver's answer for a stream socket to `host` on `port`; empty after printing the
// resolver's code when there is none.
ScopedAddressList ResolveHost(const wchar_t* host, int port);
