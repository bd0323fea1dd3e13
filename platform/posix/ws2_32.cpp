// Stand-in for ws2_32: the socket library's start and clean-up (counted, any version from 1.0
// up), GetAddrInfoW over the host's getaddrinfo or the machine's fixed answers, with Windows'
// values in the entries and WSA codes for the resolver's failures, and WSAAddressToStringW
// rendering as Windows does. The last socket error is the thread's last error, as on Windows.
// Left out: sockets themselves, the ANSI calls, protocol information, name service providers.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "host_resolver.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

const WORD HighestVersion = MAKEWORD(2, 2);

// One answer entry with everything it points to, freed as one piece.
struct AnswerEntry {
    ADDRINFOW info;
    union {
        SOCKADDR_IN v4;
        SOCKADDR_IN6 v6;
    } address;
    wchar_t* canonicalName;
};

USHORT NetworkPort(uint16_t port) {
    return static_cast<USHORT>((port >> 8) | ((port & 0xFF) << 8));
}

uint16_t HostPort(USHORT port) {
    return static_cast<uint16_t>((port >> 8) | ((port & 0xFF) << 8));
}

AnswerEntry* NewEntry(const HostEntry& source) {
    auto* entry = new AnswerEntry();
    entry->info.ai_flags = source.flags;
    entry->info.ai_family = source.family;
    entry->info.ai_socktype = source.socketType;
    entry->info.ai_protocol = source.protocol;
    if (source.hasAddress && source.address.family == AF_INET) {
        entry->address.v4.sin_family = AF_INET;
        entry->address.v4.sin_port = NetworkPort(source.port);
        memcpy(&entry->address.v4.sin_addr, source.address.bytes, 4);
        entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address.v4);
        entry->info.ai_addrlen = sizeof(SOCKADDR_IN);
    } else if (source.hasAddress) {
        entry->address.v6.sin6_family = AF_INET6;
        entry->address.v6.sin6_port = NetworkPort(source.port);
        memcpy(&entry->address.v6.sin6_addr, source.address.bytes, 16);
        entry->address.v6.sin6_scope_id = source.address.scope;
        entry->info.ai_addr = reinterpret_cast<sockaddr*>(&entry->address.v6);
        entry->info.ai_addrlen = sizeof(SOCKADDR_IN6);
    }
    if (!source.canonicalName.empty()) {
        std::wstring name = WideFromUtf8(source.canonicalName);
        entry->canonicalName = new wchar_t[name.size() + 1];
        wmemcpy(entry->canonicalName, name.c_str(), name.size() + 1);
        entry->info.ai_canonname = entry->canonicalName;
    }
    return entry;
}

// The machine's fixed answer for `node`, if it has one: 0 with its entries, or its error.
bool FixedAnswer(const std::string& node, const char* service, int socketType,
                 std::vector<HostEntry>* entries, int* error) {
    std::vector<Machine::NameAnswer> answers;
    if (!Machine::Current().FixedNameAnswer(node, &answers, error)) {
        return false;
    }
    uint16_t port = 0;
    if (*error == 0 && !ServicePort(service, socketType, &port)) {
        *error = WSATYPE_NOT_FOUND;
    }
    for (const auto& answer : answers) {
        HostEntry entry;
        entry.flags = answer.flags;
        entry.family = answer.family;
        entry.socketType = answer.socketType;
        entry.protocol = answer.protocol;
        entry.canonicalName = answer.canonicalName;
        entry.port = port;
        entry.hasAddress =
            !answer.address.empty() && ParseHostAddress(answer.address, &entry.address);
        entries->push_back(entry);
    }
    return true;
}

INT Failed(INT error) {
    SetLastError(static_cast<DWORD>(error));
    return error;
}

// Windows' text of an IPv6 address: the longest run of two or more zero groups (the first of
// equal runs) as "::", lower-case hexadecimal, and the last 32 bits as an IPv4 address for the
// forms that embed one.
std::wstring Ipv6Text(const uint8_t* bytes) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    const bool leadingZeros = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0;
    const bool isatap = groups[5] == 0x5efe && (groups[4] & ~0x0200) == 0;
    const bool mapped = leadingZeros && groups[4] == 0 && groups[5] == 0xffff;
    const bool translated = leadingZeros && groups[4] == 0xffff && groups[5] == 0;
    const bool compatible = leadingZeros && groups[4] == 0 && groups[5] == 0;
    const bool embedsIpv4 = isatap || ((mapped || translated || compatible) && groups[6] != 0);
    const int end = embedsIpv4 ? 6 : 8;
    int gap = -1, gapLength = 1;
    for (int i = 0; i < end;) {
        int length = 0;
        while (i + length < end && groups[i + length] == 0) {
            ++length;
        }
        if (length > gapLength) {
            gap = i;
            gapLength = length;
        }
        i += length > 0 ? length : 1;
    }
    std::wstring text;
    wchar_t piece[8];
    for (int i = 0; i < end;) {
        if (i == gap) {
            text += L':';
            i += gapLength;
            if (i == end) {
                text += L':';
            }
            continue;
        }
        if (i > 0) {
            text += L':';
        }
        swprintf(piece, 8, L"%x", groups[i]);
        text += piece;
        ++i;
    }
    if (embedsIpv4) {
        if (text.empty() || text.back() != L':') {
            text += L':';
        }
        wchar_t ipv4[16];
        swprintf(ipv4, 16, L"%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
        text += ipv4;
    }
    return text;
}

// The text of a socket address; WSAEINVAL for an address too short for its family or of
// another family.
int AddressText(const sockaddr* address, DWORD length, std::wstring* text) {
    wchar_t piece[32];
    if (address->sa_family == AF_INET) {
        if (length < sizeof(SOCKADDR_IN)) {
            return WSAEINVAL;
        }
        const auto* v4 = reinterpret_cast<const SOCKADDR_IN*>(address);
        const auto& b = v4->sin_addr.S_un.S_un_b;
        swprintf(piece, 32, L"%u.%u.%u.%u", b.s_b1, b.s_b2, b.s_b3, b.s_b4);
        *text = piece;
        if (v4->sin_port != 0) {
            swprintf(piece, 32, L":%u", HostPort(v4->sin_port));
            *text += piece;
        }
        return 0;
    }
    if (address->sa_family == AF_INET6) {
        if (length < sizeof(SOCKADDR_IN6)) {
            return WSAEINVAL;
        }
        const auto* v6 = reinterpret_cast<const SOCKADDR_IN6*>(address);
        *text = Ipv6Text(v6->sin6_addr.u.Byte);
        if (v6->sin6_scope_id != 0) {
            swprintf(piece, 32, L"%%%u", v6->sin6_scope_id);
            *text += piece;
        }
        if (v6->sin6_port != 0) {
            swprintf(piece, 32, L"]:%u", HostPort(v6->sin6_port));
            *text = L"[" + *text + piece;
        }
        return 0;
    }
    return WSAEINVAL;
}

}  // namespace
}  // namespace standin

using namespace standin;

int WSAAPI WSAStartup(WORD versionRequested, LPWSADATA data) {
    FaultHit hit = Machine::Current().Check("WSAStartup");
    if (hit.fail) {
        return static_cast<int>(hit.error);  // the start answers its error, not the last error
    }
    const unsigned major = versionRequested & 0xFF, minor = versionRequested >> 8;
    if (major == 0) {
        return WSAVERNOTSUPPORTED;  // below 1.0, the lowest version there is
    }
    if (data == nullptr) {
        return WSAEFAULT;
    }
    memset(data, 0, sizeof *data);
    const bool aboveHighest = major > 2 || (major == 2 && minor > 2);
    data->wVersion = aboveHighest ? HighestVersion : versionRequested;
    data->wHighVersion = HighestVersion;
    strcpy(data->szDescription, "WinSock 2.0");
    strcpy(data->szSystemStatus, "Running");
    ++Machine::Current().winsockStarts;
    return 0;
}

int WSAAPI WSACleanup(void) {
    if (Injected("WSACleanup")) {
        return SOCKET_ERROR;
    }
    Machine& machine = Machine::Current();
    if (machine.winsockStarts == 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --machine.winsockStarts;
    return 0;
}

int WSAAPI WSAGetLastError(void) {
    return static_cast<int>(GetLastError());
}

void WSAAPI WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

INT WSAAPI GetAddrInfoW(PCWSTR nodeName, PCWSTR serviceName, const ADDRINFOW* hints,
                        PADDRINFOW* result) {
    FaultHit hit = Machine::Current().Check("GetAddrInfoW");
    if (result != nullptr) {
        *result = nullptr;
    }
    if (hit.fail) {
        return Failed(static_cast<INT>(hit.error));
    }
    if (Machine::Current().winsockStarts == 0) {
        return Failed(WSANOTINITIALISED);
    }
    if (result == nullptr) {
        return Failed(WSAEINVAL);
    }
    if (nodeName == nullptr && serviceName == nullptr) {
        return Failed(WSAHOST_NOT_FOUND);
    }
    const std::string node = nodeName == nullptr ? std::string() : Utf8FromWide(nodeName);
    const std::string service = serviceName == nullptr ? std::string() : Utf8FromWide(serviceName);
    const char* serviceText = serviceName == nullptr ? nullptr : service.c_str();
    const int socketType = hints == nullptr ? 0 : hints->ai_socktype;
    std::vector<HostEntry> entries;
    int error = 0;
    if (nodeName == nullptr || !FixedAnswer(node, serviceText, socketType, &entries, &error)) {
        error = ResolveOnHost(nodeName == nullptr ? nullptr : node.c_str(), serviceText,
                              hints == nullptr ? 0 : hints->ai_flags,
                              hints == nullptr ? 0 : hints->ai_family, socketType,
                              hints == nullptr ? 0 : hints->ai_protocol, &entries);
    }
    if (error != 0) {
        return Failed(error);
    }
    if (entries.empty()) {
        return Failed(WSANO_DATA);
    }
    ADDRINFOW** next = result;
    for (const HostEntry& entry : entries) {
        *next = &NewEntry(entry)->info;
        next = &(*next)->ai_next;
    }
    ++Machine::Current().addressListsHeld;
    SetLastError(0);
    return 0;
}

void WSAAPI FreeAddrInfoW(PADDRINFOW addressInfo) {
    if (addressInfo == nullptr) {
        return;
    }
    --Machine::Current().addressListsHeld;
    while (addressInfo != nullptr) {
        // The entry's info is its first member: the list holds the entries themselves.
        auto* entry = reinterpret_cast<AnswerEntry*>(addressInfo);
        addressInfo = addressInfo->ai_next;
        delete[] entry->canonicalName;
        delete entry;
    }
}

INT WSAAPI WSAAddressToStringW(LPSOCKADDR address, DWORD addressLength, LPWSAPROTOCOL_INFOW,
                               LPWSTR addressString, LPDWORD addressStringLength) {
    if (Injected("WSAAddressToStringW")) {
        return SOCKET_ERROR;
    }
    if (Machine::Current().winsockStarts == 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (address == nullptr || addressStringLength == nullptr) {
        SetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    std::wstring text;
    if (const int error = AddressText(address, addressLength, &text); error != 0) {
        SetLastError(static_cast<DWORD>(error));
        return SOCKET_ERROR;
    }
    // The length counts the terminator, both the one needed and the one written.
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (addressString == nullptr || *addressStringLength < needed) {
        *addressStringLength = needed;
        SetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    wmemcpy(addressString, text.c_str(), needed);
    *addressStringLength = needed;
    return 0;
}
