// The name resolution test over fixed answers: entry lines, verdicts, failures, index widths,
// and the socket library's start and clean-up per host.
#include "net/name_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/vendor_hosts.h"
#include "report/report_log.h"
#include "support/machine_fixture.h"

namespace {

using Answer = standin::Machine::NameAnswer;

const std::string ServiceWarning =
    "warning: \r\nWarning: did not find known ip address of service.tolv.com\r\n\tThere were "
    "expected one of following ip: 192.0.2.10, 192.0.2.11, 192.0.2.12, 198.51.100.10, "
    "198.51.100.11";

class NameResolutionTest : public MachineTest {
  protected:
    // The family follows the address unless given.
    void Answer(const std::string& name, const std::string& address, int family = -1,
                int socketType = 1, int protocol = 6, int flags = 0,
                const std::string& canonicalName = "") {
        if (family == -1) {
            family = address.find(':') != std::string::npos ? AF_INET6 : AF_INET;
        }
        machine().AddNameAnswer(name,
                                {address, family, socketType, protocol, flags, canonicalName});
    }
    std::string Test(const standin::Fault* fault = nullptr) {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        if (fault != nullptr) {
            machine().AddFault(*fault);
        }
        CapturedStreams streams;
        TestHostResolution(ServiceHost, 443, KnownServiceAddresses, 5);
        return streams.Stderr();
    }
};

const std::string Resolving = "\r\n\r\nResolving: service.tolv.com";

TEST_F(NameResolutionTest, KnownAddressAnywhereIsOk) {
    Answer("service.tolv.com", "203.0.113.1");
    Answer("service.tolv.com", "198.51.100.11");
    Answer("service.tolv.com", "192.0.2.10");
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 203.0.113.1:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 16"
                  "\r\n  1: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 198.51.100.11:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 16"
                  "\r\n  2: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 192.0.2.10:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 16"
                  "\r\nOK");
    EXPECT_EQ(machine().winsockStarts, 0);
    EXPECT_EQ(machine().addressListsHeld, 0);
}

TEST_F(NameResolutionTest, UnknownAndIpv6AnswersWarn) {
    Answer("service.tolv.com", "2001:db8::1");
    Answer("service.tolv.com", "::ffff:192.0.2.10");  // the known address, but as IPv6
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET6 (IPv6)  IPv6 address [2001:db8::1]:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 28"
                  "\r\n  1: Flags: 0x0, Family: AF_INET6 (IPv6)  IPv6 address "
                  "[::ffff:192.0.2.10]:443, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 28" +
                  ServiceWarning);
}

TEST_F(NameResolutionTest, EntryFieldsByValue) {
    Answer("service.tolv.com", "", 0, 0, 0, 0x2, "svc.example");
    Answer("service.tolv.com", "", 17, 2, 17, 0x400);
    Answer("service.tolv.com", "", 99, 3, 99);
    Answer("service.tolv.com", "", 99, 4, -1);
    Answer("service.tolv.com", "", 99, 5);
    Answer("service.tolv.com", "", 99, 6);
    Answer("service.tolv.com", "", 99, -1);
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x2, Family: Unspecified, Socket type: Unspecified, Protocol: "
                  "Unspecified, Length of sockaddr: 0, Canonical name: svc.example"
                  "\r\n  1: Flags: 0x400, Family: Other 17, Socket type: SOCK_DGRAM (datagram), "
                  "Protocol: IPPROTO_UDP (UDP), Length of sockaddr: 0"
                  "\r\n  2: Flags: 0x0, Family: Other 99, Socket type: SOCK_RAW (raw), Protocol: "
                  "Other 99, Length of sockaddr: 0"
                  "\r\n  3: Flags: 0x0, Family: Other 99, Socket type: SOCK_RDM (reliable "
                  "message datagram), Protocol: Other -1, Length of sockaddr: 0"
                  "\r\n  4: Flags: 0x0, Family: Other 99, Socket type: SOCK_SEQPACKET "
                  "(pseudo-stream packet), Protocol: IPPROTO_TCP (TCP), Length of sockaddr: 0"
                  "\r\n  5: Flags: 0x0, Family: Other 99, Socket type: Other 6, Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 0"
                  "\r\n  6: Flags: 0x0, Family: Other 99, Socket type: Other -1, Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 0" +
                  ServiceWarning);
}

// An address that cannot be rendered: the error inside the entry's line, and no comparison.
TEST_F(NameResolutionTest, AddressRenderingFails) {
    Answer("service.tolv.com", "192.0.2.10");
    Answer("service.tolv.com", "", 2);
    standin::Fault fault;
    fault.function = "WSAAddressToStringW";
    fault.error = WSAEFAULT;
    EXPECT_EQ(Test(&fault),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4)error: \r\nerror: WSAAddressToString "
                  "failed with 10014\r\n, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 16"
                  "\r\n  1: Flags: 0x0, Family: AF_INET (IPv4)error: \r\nerror: WSAAddressToString "
                  "failed with 10022\r\n, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 0" +
                  ServiceWarning);
}

// The longest IPv6 text with a port and a scope does not fit in 46 characters.
TEST_F(NameResolutionTest, AddressTextTooLong) {
    Answer("service.tolv.com", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295");
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET6 (IPv6) error: \r\nerror: "
                  "WSAAddressToString failed with 10014\r\n, Socket type: SOCK_STREAM (stream), "
                  "Protocol: IPPROTO_TCP (TCP), Length of sockaddr: 28" +
                  ServiceWarning);
}

TEST_F(NameResolutionTest, ResolverErrorEndsTheHost) {
    machine().SetNameError("service.tolv.com", WSAHOST_NOT_FOUND);
    EXPECT_EQ(Test(), Resolving +
                          "error: \r\nerror: GetAddrInfoW failed with code 11001 "
                          "(0x00002af9)\r\n");
    EXPECT_EQ(machine().winsockStarts, 0);
}

TEST_F(NameResolutionTest, StartFailsWithoutCleanUp) {
    Answer("service.tolv.com", "192.0.2.10");
    standin::Fault fault;
    fault.function = "WSAStartup";
    fault.error = WSASYSNOTREADY;
    // Another start is left over, so a stray clean-up would show in the count.
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(Test(&fault), Resolving + "error: \r\nerror: WSAStartup failed\r\n");
    EXPECT_EQ(machine().winsockStarts, 1);
    EXPECT_EQ(WSACleanup(), 0);
}

// Entries are numbered from 0, right-aligned in three columns.
TEST_F(NameResolutionTest, IndexWidths) {
    for (int i = 0; i < 101; ++i) {
        Answer("service.tolv.com", "", 0);
    }
    const std::string output = Test();
    EXPECT_NE(output.find("\r\n  0: Flags"), std::string::npos);
    EXPECT_NE(output.find("\r\n  9: Flags"), std::string::npos);
    EXPECT_NE(output.find("\r\n 10: Flags"), std::string::npos);
    EXPECT_NE(output.find("\r\n 99: Flags"), std::string::npos);
    // "% 3d" keeps its blank before a positive number of three digits, as Windows' printf does.
    EXPECT_NE(output.find("\r\n 100: Flags"), std::string::npos);
    EXPECT_EQ(output.find("\r\n 101: Flags"), std::string::npos);
}

TEST_F(NameResolutionTest, ThreeHostsEachWithItsOwnStart) {
    Answer("service.tolv.com", "192.0.2.11");
    machine().SetNameError("pki.tolv.com", WSATRY_AGAIN);
    Answer("iplocation.tolv.com", "203.0.113.99");
    g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
    CapturedStreams streams;
    TestNameResolution();
    EXPECT_EQ(streams.Stderr(),
              "\r\n\r\nGetAddrInfoW response test:" + Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 192.0.2.11:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 16\r\nOK"
                  "\r\n\r\nResolving: pki.tolv.comerror: \r\nerror: GetAddrInfoW failed with "
                  "code 11002 (0x00002afa)\r\n"
                  "\r\n\r\nResolving: iplocation.tolv.com"
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 203.0.113.99:80, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 16"
                  "warning: \r\nWarning: did not find known ip address of iplocation.tolv.com"
                  "\r\n\tThere were expected one of following ip: 203.0.113.30, 203.0.113.31, "
                  "203.0.113.32, 203.0.113.33");
    EXPECT_EQ(machine().winsockStarts, 0);
    EXPECT_EQ(machine().addressListsHeld, 0);
}

TEST(KnownAddresses, AreStoredInNetworkOrder) {
    const unsigned char first[4] = {192, 0, 2, 10};
    std::uint32_t stored;
    memcpy(&stored, first, 4);
    EXPECT_EQ(KnownServiceAddresses[0], stored);
    EXPECT_EQ(Ipv4(203, 0, 113, 33), 0x217100CBu);
}

}  // namespace
