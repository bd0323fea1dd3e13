// The ws2_32 stand-in: Windows' address texts, the resolver's codes, the start's versions and
// entries with Windows' values; and kernel32's environment expansion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_resolver.h"
#include "support/machine_fixture.h"
#include "text.h"

namespace {

class Ws2Test : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 0), &data), 0);
        EXPECT_EQ(data.wVersion, 0x0001);
        EXPECT_EQ(data.wHighVersion, 0x0202);
    }
    void TearDown() override {
        EXPECT_EQ(WSACleanup(), 0);
        MachineTest::TearDown();
    }
};

// Renders `text` (with a scope after '%') on `port`; the length given is `capacity`.
std::string Render(const std::string& text, int port, DWORD capacity, int* error) {
    standin::HostAddress address;
    EXPECT_TRUE(standin::ParseHostAddress(text, &address)) << text;
    SOCKADDR_IN v4 = {};
    SOCKADDR_IN6 v6 = {};
    sockaddr* socketAddress;
    DWORD length;
    const USHORT networkPort = static_cast<USHORT>((port >> 8) | ((port & 0xFF) << 8));
    if (address.family == AF_INET) {
        v4.sin_family = AF_INET;
        v4.sin_port = networkPort;
        memcpy(&v4.sin_addr, address.bytes, 4);
        socketAddress = reinterpret_cast<sockaddr*>(&v4);
        length = sizeof v4;
    } else {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = networkPort;
        memcpy(&v6.sin6_addr, address.bytes, 16);
        v6.sin6_scope_id = address.scope;
        socketAddress = reinterpret_cast<sockaddr*>(&v6);
        length = sizeof v6;
    }
    wchar_t buffer[64];
    DWORD size = capacity;
    SetLastError(0xdeadbeef);
    if (WSAAddressToStringW(socketAddress, length, nullptr, buffer, &size) != 0) {
        *error = WSAGetLastError();
        return "needs " + std::to_string(size);
    }
    *error = 0;
    EXPECT_EQ(size, wcslen(buffer) + 1);
    return standin::Utf8FromWide(buffer);
}

TEST_F(Ws2Test, AddressTexts) {
    struct Case {
        const char* address;
        int port;
        const char* expected;
    } cases[] = {
        {"192.0.2.10", 443, "192.0.2.10:443"},
        {"192.0.2.10", 0, "192.0.2.10"},
        {"2001:db8::1", 443, "[2001:db8::1]:443"},
        {"2001:db8::1", 0, "2001:db8::1"},
        {"::1", 80, "[::1]:80"},
        {"::", 0, "::"},
        {"fe80::1%3", 0, "fe80::1%3"},
        {"fe80::1%3", 80, "[fe80::1%3]:80"},
        {"2001:db8:0:1:1:1:1:1", 0, "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"2001:0:0:1:0:0:0:1", 0, "2001:0:0:1::1"},           // the longer run is compressed
        {"2001:db8:0:0:1:0:0:1", 0, "2001:db8::1:0:0:1"},     // the first of equal runs
        {"::ffff:192.0.2.10", 0, "::ffff:192.0.2.10"},
        {"::192.0.2.10", 0, "::192.0.2.10"},
        {"::ffff:0:192.0.2.10", 0, "::ffff:0:192.0.2.10"},
        {"fe80::5efe:192.0.2.10", 0, "fe80::5efe:192.0.2.10"},
        {"ABCD:EF01::", 0, "abcd:ef01::"},
    };
    for (const Case& c : cases) {
        int error = -1;
        EXPECT_EQ(Render(c.address, c.port, 64, &error), c.expected) << c.address;
        EXPECT_EQ(error, 0);
    }
}

TEST_F(Ws2Test, AddressTextTooLongForTheBuffer) {
    int error = 0;
    EXPECT_EQ(Render("192.0.2.10", 443, 14, &error), "needs 15");
    EXPECT_EQ(error, WSAEFAULT);
    EXPECT_EQ(Render("192.0.2.10", 443, 15, &error), "192.0.2.10:443");
    EXPECT_EQ(Render("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295", 65535, 46, &error),
              "needs 59");
    EXPECT_EQ(error, WSAEFAULT);
}

TEST_F(Ws2Test, AddressThatIsNoAddress) {
    SOCKADDR_IN v4 = {};
    v4.sin_family = AF_INET;
    wchar_t buffer[46];
    DWORD size = 46;
    EXPECT_EQ(WSAAddressToStringW(reinterpret_cast<sockaddr*>(&v4), 15, nullptr, buffer, &size),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    v4.sin_family = 99;
    EXPECT_EQ(WSAAddressToStringW(reinterpret_cast<sockaddr*>(&v4), 16, nullptr, buffer, &size),
              SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

// Numeric hosts need no resolver: the entries carry Windows' values.
TEST_F(Ws2Test, HostResolverEntriesInWindowsValues) {
    ADDRINFOW hints = {};
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* list = nullptr;
    ASSERT_EQ(GetAddrInfoW(L"::1", L"80", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, AF_INET6);
    EXPECT_EQ(list->ai_socktype, SOCK_STREAM);
    EXPECT_EQ(list->ai_protocol, IPPROTO_TCP);
    EXPECT_EQ(list->ai_addrlen, 28u);
    EXPECT_EQ(list->ai_next, nullptr);
    FreeAddrInfoW(list);
    ASSERT_EQ(GetAddrInfoW(L"127.0.0.1", L"443", &hints, &list), 0);
    EXPECT_EQ(list->ai_family, AF_INET);
    EXPECT_EQ(list->ai_addrlen, 16u);
    wchar_t text[46];
    DWORD size = 46;
    ASSERT_EQ(WSAAddressToStringW(list->ai_addr, 16, nullptr, text, &size), 0);
    EXPECT_EQ(std::wstring(text), L"127.0.0.1:443");
    FreeAddrInfoW(list);
    EXPECT_EQ(machine().addressListsHeld, 0);
}

TEST_F(MachineTest, SocketLibraryMustBeStarted) {
    ADDRINFOW* list = nullptr;
    EXPECT_EQ(GetAddrInfoW(L"127.0.0.1", L"80", nullptr, &list), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0100, &data), WSAVERNOTSUPPORTED);  // version 0.1
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(MachineTest, ExpandEnvironmentStrings) {
    machine().SetEnvironmentValue("Tool", "x");
    struct Case {
        const wchar_t* source;
        const wchar_t* expected;
    } cases[] = {
        {L"%SystemRoot%\\System32", L"C:\\windows\\System32"},
        {L"%systemroot%", L"C:\\windows"},
        {L"%NO_SUCH_VARIABLE%\\a", L"%NO_SUCH_VARIABLE%\\a"},
        {L"100% %TOOL%", L"100% x"},
        {L"%%TOOL%", L"%x"},
        {L"%", L"%"},
    };
    for (const Case& c : cases) {
        wchar_t buffer[64];
        const DWORD needed = ExpandEnvironmentStringsW(c.source, buffer, 64);
        EXPECT_EQ(std::wstring(buffer), c.expected);
        EXPECT_EQ(needed, wcslen(c.expected) + 1);  // the terminator counts
    }
    wchar_t small[4] = {L'?', L'?', L'?', L'?'};
    EXPECT_EQ(ExpandEnvironmentStringsW(L"%SystemRoot%", small, 4), 11u);
}

// Inside a drive, names match without regard to case.
TEST_F(MachineTest, DrivePathsMatchAnyCase) {
    EXPECT_EQ(standin::HostPath(L"C:\\WINDOWS\\System32\\Drivers\\ETC\\hosts"),
              machine().Prefix() + "/drive_c/windows/system32/drivers/etc/hosts");
    EXPECT_EQ(standin::HostPath(L"C:\\Windows\\NewFolder\\File"),
              machine().Prefix() + "/drive_c/windows/NewFolder/File");
}

}  // namespace
