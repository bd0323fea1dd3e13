// The vendor's names and addresses that the checks compare against: fixed constants of the
// program, one place for all of them, on a floor below every folder that reads them. The support
// article's URL is configured by the build (vendor/support_article.h.in), which the signature
// carries too.
#pragma once

#include <cstddef>
#include <cstdint>

// Host of the service endpoint: the server name of the SSL policy, the first name resolved and
// searched in the hosts file, and the host of the endpoint probe.
inline constexpr wchar_t ServiceHost[] = L"service.tolv.com";
inline constexpr wchar_t PkiHost[] = L"pki.tolv.com";
inline constexpr wchar_t IpLocationHost[] = L"iplocation.tolv.com";
inline constexpr wchar_t VendorDomainCom[] = L"tolv.com";
inline constexpr wchar_t VendorDomainEu[] = L"tolv.eu";
// The web host named in the public CA certificates' own names.
inline constexpr wchar_t CaWebHost[] = L"www.digicert.com";
// Host of the XML namespace in the service's replies.
inline constexpr wchar_t VendorNamespaceHost[] = L"www.tolv.com";

// An IPv4 address as the address field of a socket address holds it (network byte order): read
// as a little-endian integer, as Windows and both builds run, the first octet is the lowest byte.
constexpr std::uint32_t Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
           static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

// The addresses the vendor is known to use for each resolved host, as 32-bit values compared
// whole with an answer's address field.
inline constexpr std::uint32_t KnownServiceAddresses[] = {
    Ipv4(192, 0, 2, 10), Ipv4(192, 0, 2, 11), Ipv4(192, 0, 2, 12), Ipv4(198, 51, 100, 10),
    Ipv4(198, 51, 100, 11)};
inline constexpr std::uint32_t KnownPkiAddresses[] = {Ipv4(192, 0, 2, 20), Ipv4(198, 51, 100, 20)};
inline constexpr std::uint32_t KnownIpLocationAddresses[] = {
    Ipv4(203, 0, 113, 30), Ipv4(203, 0, 113, 31), Ipv4(203, 0, 113, 32), Ipv4(203, 0, 113, 33)};

// A host name as single-byte ASCII text, made from its wide constant at compile time so that
// each name is written once (the hosts file is searched byte by byte).
template <std::size_t Size>
struct NarrowName {
    char text[Size];
};

template <std::size_t Size>
constexpr NarrowName<Size> Narrow(const wchar_t (&wide)[Size]) {
    NarrowName<Size> narrow{};
    for (std::size_t i = 0; i < Size; ++i) {
        narrow.text[i] = static_cast<char>(wide[i]);
    }
    return narrow;
}

// Whether a name is lower-case ASCII, as the hosts file search needs its keys.
template <std::size_t Size>
constexpr bool IsLowerAscii(const wchar_t (&wide)[Size]) {
    for (std::size_t i = 0; i + 1 < Size; ++i) {
        if (wide[i] <= 0 || wide[i] > 0x7F || (wide[i] >= L'A' && wide[i] <= L'Z')) {
            return false;
        }
    }
    return wide[Size - 1] == L'\0';
}
