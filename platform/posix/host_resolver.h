// The host's resolver and address parsing, for the ws2_32 stand-in: kept apart because the
// host's socket headers and Windows' socket names cannot meet in one file. Families and errors
// cross this boundary already in Windows' values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

struct HostAddress {
    int family = 0;  // Windows' AF_INET (2) or AF_INET6 (23)
    uint8_t bytes[16] = {};
    uint32_t scope = 0;
};

struct HostEntry {
    int flags = 0;
    int family = 0;  // Windows' value
    int socketType = 0;
    int protocol = 0;
    bool hasAddress = false;
    HostAddress address;
    uint16_t port = 0;
    std::string canonicalName;
};

// getaddrinfo with the hints in Windows' values; 0, or the WSA code Windows gives for the
// resolver's failure.
int ResolveOnHost(const char* node, const char* service, int flags, int family, int socketType,
                  int protocol, std::vector<HostEntry>* entries);

// The WSA code for getaddrinfo's result `code` (an EAI_ value; `systemError` is errno, for
// EAI_SYSTEM).
int WindowsResolverError(int code, int systemError);

// "192.0.2.10", "2001:db8::1" or "fe80::1%4"; false for anything else.
bool ParseHostAddress(const std::string& text, HostAddress* address);

// The port of a service: a number, or a name the host's services database knows.
bool ServicePort(const char* service, int socketType, uint16_t* port);

}  // namespace standin
