// The host side of the ws2_32 stand-in: the real getaddrinfo and inet_pton.
#define SKELVANE_HOST_SOCKETS

#include "host_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace standin {
namespace {

const int WindowsInet6 = 23;

int HostFamily(int windowsFamily) {
    return windowsFamily == WindowsInet6 ? AF_INET6 : windowsFamily;
}

int WindowsFamily(int hostFamily) {
    return hostFamily == AF_INET6 ? WindowsInet6 : hostFamily;
}

HostEntry EntryOf(const addrinfo& info) {
    HostEntry entry;
    entry.flags = info.ai_flags;
    entry.family = WindowsFamily(info.ai_family);
    entry.socketType = info.ai_socktype;
    entry.protocol = info.ai_protocol;
    if (info.ai_canonname != nullptr) {
        entry.canonicalName = info.ai_canonname;
    }
    if (info.ai_family == AF_INET && info.ai_addr != nullptr) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(info.ai_addr);
        entry.hasAddress = true;
        entry.address.family = 2;
        memcpy(entry.address.bytes, &address->sin_addr, 4);
        entry.port = ntohs(address->sin_port);
    } else if (info.ai_family == AF_INET6 && info.ai_addr != nullptr) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(info.ai_addr);
        entry.hasAddress = true;
        entry.address.family = WindowsInet6;
        memcpy(entry.address.bytes, &address->sin6_addr, 16);
        entry.address.scope = address->sin6_scope_id;
        entry.port = ntohs(address->sin6_port);
    }
    return entry;
}

}  // namespace

int WindowsResolverError(int code, int systemError) {
    // Windows' ws2tcpip.h defines the EAI_ names as these WSA codes; the glibc-only ones take
    // the code of the Windows failure they stand for.
    switch (code) {
        case EAI_AGAIN:
            return 11002;  // WSATRY_AGAIN
        case EAI_BADFLAGS:
            return 10022;  // WSAEINVAL
        case EAI_FAIL:
            return 11003;  // WSANO_RECOVERY
        case EAI_FAMILY:
            return 10047;  // WSAEAFNOSUPPORT
        case EAI_MEMORY:
            return 8;  // WSA_NOT_ENOUGH_MEMORY
        case EAI_NONAME:
            return 11001;  // WSAHOST_NOT_FOUND
        case EAI_SERVICE:
            return 10109;  // WSATYPE_NOT_FOUND
        case EAI_SOCKTYPE:
            return 10044;  // WSAESOCKTNOSUPPORT
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return 11004;  // WSANO_DATA: the name exists without an address of the family
        case EAI_OVERFLOW:
            return 10014;  // WSAEFAULT
        case EAI_INTR:
            return 10004;  // WSAEINTR
        case EAI_IDN_ENCODE:
            return 11001;  // a name no server can hold is not found
        case EAI_SYSTEM:
            return systemError == ENOMEM ? 8 : 11003;
        default:
            return 11003;  // WSANO_RECOVERY: a failure the caller cannot mend
    }
}

int ResolveOnHost(const char* node, const char* service, int flags, int family, int socketType,
                  int protocol, std::vector<HostEntry>* entries) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_flags = flags;
    hints.ai_family = HostFamily(family);
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* list = nullptr;
    errno = 0;
    const int result = getaddrinfo(node, service, &hints, &list);
    if (result != 0) {
        return WindowsResolverError(result, errno);
    }
    for (const addrinfo* info = list; info != nullptr; info = info->ai_next) {
        entries->push_back(EntryOf(*info));
    }
    freeaddrinfo(list);
    return 0;
}

bool ParseHostAddress(const std::string& text, HostAddress* address) {
    *address = HostAddress();
    if (inet_pton(AF_INET, text.c_str(), address->bytes) == 1) {
        address->family = 2;
        return true;
    }
    const size_t percent = text.find('%');
    if (percent != std::string::npos) {
        char* end = nullptr;
        const std::string scope = text.substr(percent + 1);
        const unsigned long value = strtoul(scope.c_str(), &end, 10);
        if (scope.empty() || *end != '\0' || value > 0xFFFFFFFFUL) {
            return false;
        }
        address->scope = static_cast<uint32_t>(value);
    }
    if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), address->bytes) != 1) {
        return false;
    }
    address->family = WindowsInet6;
    return true;
}

bool ServicePort(const char* service, int socketType, uint16_t* port) {
    if (service == nullptr) {
        *port = 0;
        return true;
    }
    char* end = nullptr;
    const unsigned long number = strtoul(service, &end, 10);
    if (*service != '\0' && *end == '\0') {
        if (number > 0xFFFF) {
            return false;
        }
        *port = static_cast<uint16_t>(number);
        return true;
    }
    const servent* entry = getservbyname(service, socketType == SOCK_DGRAM ? "udp" : "tcp");
    if (entry == nullptr) {
        return false;
    }
    *port = ntohs(static_cast<uint16_t>(entry->s_port));
    return true;
}

}  // namespace standin
