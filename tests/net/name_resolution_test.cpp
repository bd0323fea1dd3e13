// The name resolution test over set answers of the resolver: entry lines, verdicts, failures,
// index widths, and the socket library's start and clean-up per host; and one real answer from
// the network lab's hosts file.
#include "net/name_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/net_lab.h"
#include "vendor/vendor_hosts.h"
#include "report/report_log.h"
#include "support/windows/scratch.h"

namespace {

const std::string ServiceWarning =
    "warning: \r\nWarning: did not find known ip address of service.tolv.com\r\n\tThere were "
    "expected one of following ip: 192.0.2.10, 192.0.2.11, 192.0.2.12, 198.51.100.10, "
    "198.51.100.11";
const std::string Resolving = "\r\n\r\nResolving: service.tolv.com";

// One entry of a set answer; the address is left out when empty.
struct Entry {
    std::wstring address;  // with the port
    int family = -1;       // -1: the address's
    int socketType = SOCK_STREAM;
    int protocol = IPPROTO_TCP;
    int flags = 0;
    std::wstring canonicalName;
};

class NameResolutionTest : public testing::Test {
  protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        faults_.Answer<Api::GetAddrInfoW>(
            [this](PCWSTR name, PCWSTR, const ADDRINFOW*, PADDRINFOW* result) {
                *result = nullptr;
                const auto error = errors_.find(name);
                if (error != errors_.end()) {
                    return error->second;
                }
                *result = List(answers_[name]);
                return *result == nullptr ? WSAHOST_NOT_FOUND : 0;
            });
        faults_.Answer<Api::FreeAddrInfoW>([this](PADDRINFOW list) {
            EXPECT_EQ(lists_.count(list), 1u) << "not a list of the answers";
            lists_.erase(list);
        });
    }
    void TearDown() override {
        delete g_reportLog;
        g_reportLog = nullptr;
        WSACleanup();
    }

    void Answer(const wchar_t* name, const std::wstring& address, int family = -1,
                int socketType = SOCK_STREAM, int protocol = IPPROTO_TCP, int flags = 0,
                const std::wstring& canonicalName = L"") {
        answers_[name].push_back({address, family, socketType, protocol, flags, canonicalName});
    }

    std::string Test() {
        g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
        CapturedStreams streams(faults_);
        TestHostResolution(ServiceHost, 443, KnownServiceAddresses, 5);
        return streams.Stderr();
    }

    // Every start was cleaned up and every list handed back.
    void ExpectNothingHeld() {
        EXPECT_EQ(ImportFaults::Calls(Api::WSAStartup), ImportFaults::Calls(Api::WSACleanup));
        EXPECT_TRUE(lists_.empty());
    }

    ADDRINFOW* List(const std::vector<Entry>& entries) {
        ADDRINFOW* head = nullptr;
        ADDRINFOW** tail = &head;
        for (const Entry& entry : entries) {
            nodes_.push_back(std::make_unique<Node>());
            Node& node = *nodes_.back();
            node.info.ai_flags = entry.flags;
            node.info.ai_socktype = entry.socketType;
            node.info.ai_protocol = entry.protocol;
            if (!entry.address.empty()) {
                INT size = sizeof node.address;
                std::wstring text = entry.address;
                EXPECT_EQ(
                    WSAStringToAddressW(&text[0], text.find(L'[') == 0 ? AF_INET6 : AF_INET,
                                        nullptr, reinterpret_cast<sockaddr*>(&node.address), &size),
                    0)
                    << Utf8(entry.address);
                node.info.ai_addr = reinterpret_cast<sockaddr*>(&node.address);
                node.info.ai_addrlen = size;
                node.info.ai_family = node.address.ss_family;
            }
            if (entry.family != -1) {
                node.info.ai_family = entry.family;
            }
            node.canonicalName = entry.canonicalName;
            if (!node.canonicalName.empty()) {
                node.info.ai_canonname = &node.canonicalName[0];
            }
            *tail = &node.info;
            tail = &node.info.ai_next;
        }
        if (head != nullptr) {
            lists_.insert(head);
        }
        return head;
    }

    struct Node {
        ADDRINFOW info = {};
        sockaddr_storage address = {};
        std::wstring canonicalName;
    };

    ScratchFolder folder_;
    ImportFaults faults_;
    std::map<std::wstring, std::vector<Entry>> answers_;
    std::map<std::wstring, INT> errors_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::set<ADDRINFOW*> lists_;  // handed out and not yet freed
};

TEST_F(NameResolutionTest, KnownAddressAnywhereIsOk) {
    Answer(L"service.tolv.com", L"203.0.113.1:443");
    Answer(L"service.tolv.com", L"198.51.100.11:443");
    Answer(L"service.tolv.com", L"192.0.2.10:443");
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
    EXPECT_EQ(ImportFaults::Calls(Api::WSAStartup), 1u);
    ExpectNothingHeld();
}

TEST_F(NameResolutionTest, UnknownAndIpv6AnswersWarn) {
    Answer(L"service.tolv.com", L"[2001:db8::1]:443");
    Answer(L"service.tolv.com", L"[::ffff:192.0.2.10]:443");  // the known address, as IPv6
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET6 (IPv6)  IPv6 address [2001:db8::1]:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: IPPROTO_TCP (TCP), Length of "
                  "sockaddr: 28"
                  "\r\n  1: Flags: 0x0, Family: AF_INET6 (IPv6)  IPv6 address "
                  "[::ffff:192.0.2.10]:443, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 28" +
                  ServiceWarning);
    ExpectNothingHeld();
}

TEST_F(NameResolutionTest, EntryFieldsByValue) {
    Answer(L"service.tolv.com", L"", 0, 0, 0, 0x2, L"svc.example");
    Answer(L"service.tolv.com", L"", 17, 2, 17, 0x400);
    Answer(L"service.tolv.com", L"", 99, 3, 99);
    Answer(L"service.tolv.com", L"", 99, 4, -1);
    Answer(L"service.tolv.com", L"", 99, 5);
    Answer(L"service.tolv.com", L"", 99, 6);
    Answer(L"service.tolv.com", L"", 99, -1);
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

// An address that cannot be rendered: the error inside the entry's line, and no comparison. For
// an entry without an address Wine answers WSAEFAULT (10014); Windows answers WSAEINVAL (10022).
TEST_F(NameResolutionTest, AddressRenderingFails) {
    Answer(L"service.tolv.com", L"192.0.2.10:443");
    Answer(L"service.tolv.com", L"", AF_INET);
    faults_.Fail<Api::WSAAddressToStringW>(SOCKET_ERROR, WSAEFAULT);
    EXPECT_EQ(Test(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4)error: \r\nerror: WSAAddressToString "
                  "failed with 10014\r\n, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 16"
                  "\r\n  1: Flags: 0x0, Family: AF_INET (IPv4)error: \r\nerror: WSAAddressToString "
                  "failed with 10014\r\n, Socket type: SOCK_STREAM (stream), Protocol: "
                  "IPPROTO_TCP (TCP), Length of sockaddr: 0" +
                  ServiceWarning);
}

// The longest IPv6 text with a port and a scope does not fit in 46 characters.
TEST_F(NameResolutionTest, AddressTextTooLong) {
    Answer(L"service.tolv.com", L"[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:443");
    EXPECT_EQ(Test(), Resolving +
                          "\r\n  0: Flags: 0x0, Family: AF_INET6 (IPv6) error: \r\nerror: "
                          "WSAAddressToString failed with 10014\r\n, Socket type: SOCK_STREAM "
                          "(stream), Protocol: IPPROTO_TCP (TCP), Length of sockaddr: 28" +
                          ServiceWarning);
}

TEST_F(NameResolutionTest, ResolverErrorEndsTheHost) {
    errors_[L"service.tolv.com"] = WSAHOST_NOT_FOUND;
    EXPECT_EQ(Test(), Resolving +
                          "error: \r\nerror: GetAddrInfoW failed with code 11001 "
                          "(0x00002af9)\r\n");
    EXPECT_EQ(ImportFaults::Calls(Api::FreeAddrInfoW), 0u);
    ExpectNothingHeld();
}

// What a failed call leaves in its out-parameter is not a list: it is never freed.
TEST_F(NameResolutionTest, ResolverErrorLeavingGarbageFreesNothing) {
    faults_.Answer<Api::GetAddrInfoW>([](PCWSTR, PCWSTR, const ADDRINFOW*, PADDRINFOW* result) {
        *result = reinterpret_cast<PADDRINFOW>(0xBAADF00D);
        return WSATRY_AGAIN;
    });
    EXPECT_EQ(Test(), Resolving +
                          "error: \r\nerror: GetAddrInfoW failed with code 11002 "
                          "(0x00002afa)\r\n");
    EXPECT_EQ(ImportFaults::Calls(Api::FreeAddrInfoW), 0u);
    ExpectNothingHeld();
}

TEST_F(NameResolutionTest, StartFailsWithoutCleanUp) {
    Answer(L"service.tolv.com", L"192.0.2.10:443");
    faults_.Fail<Api::WSAStartup>(WSASYSNOTREADY, WSASYSNOTREADY);
    EXPECT_EQ(Test(), Resolving + "error: \r\nerror: WSAStartup failed\r\n");
    EXPECT_EQ(ImportFaults::Calls(Api::WSACleanup), 0u);
    EXPECT_EQ(ImportFaults::Calls(Api::GetAddrInfoW), 0u);
}

// Entries are numbered from 0, right-aligned in three columns.
TEST_F(NameResolutionTest, IndexWidths) {
    for (int i = 0; i < 101; ++i) {
        Answer(L"service.tolv.com", L"", 0);
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
    Answer(L"service.tolv.com", L"192.0.2.11:443");
    errors_[L"pki.tolv.com"] = WSATRY_AGAIN;
    Answer(L"iplocation.tolv.com", L"203.0.113.99:80");
    g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
    CapturedStreams streams(faults_);
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
    EXPECT_EQ(ImportFaults::Calls(Api::WSAStartup), 3u);
    ExpectNothingHeld();
}

// Fixed answer lists for all three hosts: 101 entries for the service host (the known address
// among them), an IPv6 answer with a scope for the PKI host, a resolver error for the last one.
// The whole block as the console shows it.
TEST_F(NameResolutionTest, FixedAnswerListsForAllThreeHosts) {
    for (int i = 0; i < 100; ++i) {
        if (i == 57) {
            Answer(L"service.tolv.com", L"198.51.100.11:443");
        }
        Answer(L"service.tolv.com", L"203.0.113." + std::to_wstring(i) + L":443");
    }
    Answer(L"pki.tolv.com", L"[fe80::1%3]:80");
    errors_[L"iplocation.tolv.com"] = WSATRY_AGAIN;
    g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
    CapturedStreams streams(faults_);
    TestNameResolution();
    EXPECT_EQ(streams.Stderr(), SourceFile("tests/net/data/fixed-answers.txt"));
    ExpectNothingHeld();
}

// The resolver itself, over the network lab's hosts file.
TEST(NameResolutionInTheLab, ServiceHostFromTheHostsFile) {
    if (!InNetworkLab()) {
        GTEST_SKIP() << "not in the network lab (run by ctest, as root)";
    }
    ScratchFolder folder;
    ImportFaults faults;
    g_reportLog = new ReportLog((folder / L"skelvane.txt").c_str());
    CapturedStreams streams(faults);
    TestHostResolution(ServiceHost, 443, KnownServiceAddresses, 5);
    delete g_reportLog;
    g_reportLog = nullptr;
    // Wine answers protocol 0 where Windows answers IPPROTO_TCP for a stream socket.
    EXPECT_EQ(streams.Stderr(),
              Resolving +
                  "\r\n  0: Flags: 0x0, Family: AF_INET (IPv4) IPv4 address 192.0.2.10:443, "
                  "Socket type: SOCK_STREAM (stream), Protocol: Unspecified, Length of "
                  "sockaddr: 16\r\nOK");
}

}  // namespace
