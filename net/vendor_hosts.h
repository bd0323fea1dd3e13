// The vendor's names and addresses that the network checks compare against: fixed constants of
// the program, one place for all of them.
#pragma once

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
inline constexpr wchar_t SupportArticleUrl[] = L"https://support.tolv.com/kb332";

inline constexpr const char* KnownServiceAddresses[] = {"192.0.2.10", "192.0.2.11", "192.0.2.12",
                                                        "198.51.100.10", "198.51.100.11"};
inline constexpr const char* KnownPkiAddresses[] = {"192.0.2.20", "198.51.100.20"};
inline constexpr const char* KnownIpLocationAddresses[] = {"203.0.113.30", "203.0.113.31",
                                                           "203.0.113.32", "203.0.113.33"};
