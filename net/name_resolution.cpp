#include "name_resolution.h"

#include <cstring>
#include <cwchar>

#include "report/report_log.h"
#include "vendor/vendor_hosts.h"

namespace {

const DWORD AddressTextCapacity = 46;

template <typename Table>
constexpr std::uint32_t CountOf(const Table& table) {
    return static_cast<std::uint32_t>(sizeof table / sizeof table[0]);
}

// The address with its port as WSAAddressToStringW renders it; false after printing its error.
bool PrintAddressText(const ADDRINFOW& entry, const wchar_t* format) {
    wchar_t text[AddressTextCapacity];
    DWORD length = AddressTextCapacity;
    if (WSAAddressToStringW(entry.ai_addr, static_cast<DWORD>(entry.ai_addrlen), nullptr, text,
                            &length) != 0) {
        g_reportLog->PrintError(L"\r\nerror: WSAAddressToString failed with %u\r\n",
                                WSAGetLastError());
        return false;
    }
    g_reportLog->Print(format, text);
    return true;
}

bool IsKnownAddress(const ADDRINFOW& entry, const std::uint32_t* known, std::uint32_t knownCount) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry.ai_addr);
    for (std::uint32_t i = 0; i < knownCount; ++i) {
        if (address->sin_addr.s_addr == known[i]) {
            return true;
        }
    }
    return false;
}

// Prints the entry's family and address; true when it is a known IPv4 address.
bool PrintFamilyAndAddress(const ADDRINFOW& entry, const std::uint32_t* known,
                           std::uint32_t knownCount) {
    switch (entry.ai_family) {
        case AF_UNSPEC:
            g_reportLog->Print(L"Unspecified");
            return false;
        case AF_INET:
            g_reportLog->Print(L"AF_INET (IPv4)");
            return PrintAddressText(entry, L" IPv4 address %ws") &&
                   IsKnownAddress(entry, known, knownCount);
        case AF_INET6:
            g_reportLog->Print(L"AF_INET6 (IPv6) ");
            PrintAddressText(entry, L" IPv6 address %ws");
            return false;
        default:
            g_reportLog->Print(L"Other %ld", entry.ai_family);
            return false;
    }
}

void PrintSocketType(int socketType) {
    static const wchar_t* const Names[] = {L"Unspecified",
                                           L"SOCK_STREAM (stream)",
                                           L"SOCK_DGRAM (datagram)",
                                           L"SOCK_RAW (raw)",
                                           L"SOCK_RDM (reliable message datagram)",
                                           L"SOCK_SEQPACKET (pseudo-stream packet)"};
    const unsigned int index = static_cast<unsigned int>(socketType);
    if (index < CountOf(Names)) {
        g_reportLog->Print(L"%s", Names[index]);
    } else {
        g_reportLog->Print(L"Other %ld", socketType);
    }
}

void PrintProtocol(int protocol) {
    switch (protocol) {
        case 0:
            g_reportLog->Print(L"Unspecified");
            break;
        case IPPROTO_TCP:
            g_reportLog->Print(L"IPPROTO_TCP (TCP)");
            break;
        case IPPROTO_UDP:
            g_reportLog->Print(L"IPPROTO_UDP (UDP)");
            break;
        default:
            g_reportLog->Print(L"Other %ld", protocol);
            break;
    }
}

// One line per entry; true when an IPv4 entry is a known address.
bool PrintEntry(int index, const ADDRINFOW& entry, const std::uint32_t* known,
                std::uint32_t knownCount) {
    g_reportLog->Print(L"\r\n% 3d: Flags: 0x%x, Family: ", index, entry.ai_flags);
    const bool isKnown = PrintFamilyAndAddress(entry, known, knownCount);
    g_reportLog->Print(L", Socket type: ");
    PrintSocketType(entry.ai_socktype);
    g_reportLog->Print(L", Protocol: ");
    PrintProtocol(entry.ai_protocol);
    g_reportLog->Print(L", Length of sockaddr: %d", static_cast<int>(entry.ai_addrlen));
    if (entry.ai_canonname != nullptr) {
        g_reportLog->Print(L", Canonical name: %s", entry.ai_canonname);
    }
    return isKnown;
}

void PrintKnownAddresses(const wchar_t* host, const std::uint32_t* known,
                         std::uint32_t knownCount) {
    g_reportLog->PrintWarning(
        L"\r\nWarning: did not find known ip address of %s\r\n\tThere were expected one of "
        L"following ip:",
        host);
    for (std::uint32_t i = 0; i < knownCount; ++i) {
        g_reportLog->Print(L"%s%d.%d.%d.%d", i == 0 ? L" " : L", ", known[i] & 0xFF,
                           (known[i] >> 8) & 0xFF, (known[i] >> 16) & 0xFF, known[i] >> 24);
    }
}

}  // namespace

ScopedAddressList ResolveHost(const wchar_t* host, int port) {
    wchar_t portText[16];
    swprintf(portText, 16, L"%i", port);
    ADDRINFOW hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A failed call may leave anything in its out-parameter: only a success's list is held.
    ADDRINFOW* answer = nullptr;
    const INT result = GetAddrInfoW(host, portText, &hints, &answer);
    if (result != 0) {
        g_reportLog->PrintError(L"\r\nerror: GetAddrInfoW failed with code %d (0x%08x)\r\n", result,
                                result);
        return ScopedAddressList();
    }
    return ScopedAddressList(answer);
}

void TestHostResolution(const wchar_t* host, int port, const std::uint32_t* known,
                        std::uint32_t knownCount) {
    bool matched = false;
    g_reportLog->Print(L"\r\n\r\nResolving: %s", host);
    WinsockGuard winsock;
    if (!winsock.Started()) {
        g_reportLog->PrintError(L"\r\nerror: WSAStartup failed\r\n");
        return;
    }
    ScopedAddressList list = ResolveHost(host, port);
    if (list.IsEmpty()) {
        return;
    }
    int index = 0;
    for (const ADDRINFOW* entry = list.Get(); entry != nullptr; entry = entry->ai_next) {
        if (PrintEntry(index++, *entry, known, knownCount)) {
            matched = true;
        }
    }
    list.Release();  // freed before the verdict is printed
    if (matched) {
        g_reportLog->Print(L"\r\nOK");
    } else {
        PrintKnownAddresses(host, known, knownCount);
    }
}

void TestNameResolution() {
    g_reportLog->Print(L"\r\n\r\nGetAddrInfoW response test:");
    TestHostResolution(ServiceHost, 443, KnownServiceAddresses, CountOf(KnownServiceAddresses));
    TestHostResolution(PkiHost, 80, KnownPkiAddresses, CountOf(KnownPkiAddresses));
    TestHostResolution(IpLocationHost, 80, KnownIpLocationAddresses,
                       CountOf(KnownIpLocationAddresses));
}
