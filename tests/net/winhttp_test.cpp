// The stand-in's WinHTTP against a loopback TLS server: validation as WinHTTP's default,
// the certificate kept after a refusal, body framings and pieces, time-outs and error codes.
// Uses the host's sockets, not the stand-in's Windows socket names.
#define SKELVANE_HOST_SOCKETS

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/tls_lab.h"
#include "support/machine_fixture.h"

namespace {

class WinHttpTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        ca_ = IssueCertificate({{{"CN", "Skelvane Test CA"}}, {}, nullptr, "", -1, 3650, true});
        ca_.WritePem(workDir() + "/ca.pem");
        machine().SetHostRootBundle(workDir() + "/ca.pem");
    }
    void TearDown() override {
        for (auto it = handles_.rbegin(); it != handles_.rend(); ++it) {
            WinHttpCloseHandle(*it);
        }
        MachineTest::TearDown();
    }

    TestCertificate Server(const std::string& name = "service.tolv.com", long fromDays = -1,
                           long toDays = 30) {
        return IssueCertificate({{{"CN", name}}, {}, &ca_, name, fromDays, toDays, false});
    }

    // Session, connection and request to https://service.tolv.com/edf, routed to `port`.
    HINTERNET Request(unsigned port) {
        machine().SetHttpsRoute("service.tolv.com", "127.0.0.1", port);
        HINTERNET session = WinHttpOpen(L"Agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        EXPECT_NE(session, nullptr);
        handles_.push_back(session);
        HINTERNET connection = WinHttpConnect(session, L"service.tolv.com", 443, 0);
        EXPECT_NE(connection, nullptr);
        handles_.push_back(connection);
        HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/edf", nullptr, nullptr,
                                               nullptr, WINHTTP_FLAG_SECURE);
        EXPECT_NE(request, nullptr);
        handles_.push_back(request);
        return request;
    }

    static bool Send(HINTERNET request) {
        return WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) != FALSE;
    }

    // The body in the pieces the reads handed out.
    static std::vector<std::string> Pieces(HINTERNET request) {
        std::vector<std::string> pieces;
        for (;;) {
            DWORD available = 0;
            EXPECT_TRUE(WinHttpQueryDataAvailable(request, &available));
            if (available == 0) {
                break;
            }
            std::string piece(available, '\0');
            DWORD read = 0;
            EXPECT_TRUE(WinHttpReadData(request, &piece[0], available, &read));
            piece.resize(read);
            pieces.push_back(piece);
        }
        return pieces;
    }

    static std::string Subject(HINTERNET request) {
        PCCERT_CONTEXT certificate = nullptr;
        DWORD size = sizeof certificate;
        if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
            return "query failed " + std::to_string(GetLastError());
        }
        wchar_t text[256];
        CertNameToStrW(certificate->dwCertEncodingType, &certificate->pCertInfo->Subject,
                       CERT_X500_NAME_STR, text, 256);
        CertFreeCertificateContext(certificate);
        std::string narrow;
        for (const wchar_t* c = text; *c != 0; ++c) {
            narrow += static_cast<char>(*c);
        }
        return narrow;
    }

    TestCertificate ca_;
    std::vector<HINTERNET> handles_;
};

TEST_F(WinHttpTest, TrustedServerAndLengthBodyInTwoPieces) {
    LoopbackTlsServer server(Server(), {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nfirst",
                                        "5678"
                                        "9"});
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    EXPECT_EQ(Subject(request), "CN=service.tolv.com");
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(Pieces(request), (std::vector<std::string>{"first", "56789"}));
}

TEST_F(WinHttpTest, ChunkedBody) {
    LoopbackTlsServer server(
        Server(), {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;ext=1\r\nWiki\r\n",
                   "5\r\npedia\r\n", "0\r\nTrailer: x\r\n\r\n"});
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(Pieces(request), (std::vector<std::string>{"Wiki", "pedia"}));
}

TEST_F(WinHttpTest, BodyUntilTheConnectionCloses) {
    LoopbackTlsServer server(Server(), {"HTTP/1.0 200 OK\r\n\r\none", "two"});
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(Pieces(request), (std::vector<std::string>{"one", "two"}));
}

TEST_F(WinHttpTest, ReadsAreCappedByTheCallerAndByTheMachine) {
    LoopbackTlsServer server(Server(), {ReplyWithLength("abcdefgh")});
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(WinHttpReadData(request, buffer, 3, &read));
    EXPECT_EQ(std::string(buffer, read), "abc");
    machine().LimitTransfer("WinHttpReadData", 2);
    ASSERT_TRUE(WinHttpReadData(request, buffer, 16, &read));
    EXPECT_EQ(std::string(buffer, read), "de");
    EXPECT_EQ(Pieces(request), (std::vector<std::string>{"fgh"}));
}

struct RefusalCase {
    const char* name;
    std::string host;  // the certificate's name
    long fromDays, toDays;
    bool trusted;
};

class RefusedCertificateTest : public WinHttpTest,
                               public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedCertificateTest, SendFailsAndTheCertificateStaysQueryable) {
    const RefusalCase& row = GetParam();
    TestCertificate certificate = Server(row.host, row.fromDays, row.toDays);
    if (!row.trusted) {
        machine().SetHostRootBundle(SKELVANE_SOURCE_DIR "/tests/net/data/no-such-bundle.pem");
    }
    LoopbackTlsServer server(certificate, {ReplyWithLength("body")});
    HINTERNET request = Request(server.Port());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Send(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
    EXPECT_EQ(Subject(request), "CN=" + row.host);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCertificateTest,
    ::testing::Values(RefusalCase{"Untrusted", "service.tolv.com", -1, 30, false},
                      RefusalCase{"Expired", "service.tolv.com", -30, -1, true},
                      RefusalCase{"NotYetValid", "service.tolv.com", 2, 30, true},
                      RefusalCase{"Misnamed", "other.example", -1, 30, true}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST_F(WinHttpTest, TheMachineClockDecidesValidity) {
    SYSTEMTIME later = {2099, 1, 0, 1, 0, 0, 0, 0};
    machine().SetClock(later);
    LoopbackTlsServer server(Server(), {ReplyWithLength("body")});
    HINTERNET request = Request(server.Port());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Send(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}

TEST_F(WinHttpTest, NothingListening) {
    HINTERNET request = Request(UnusedLoopbackPort());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Send(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(Subject(request), "query failed 12019");
}

TEST_F(WinHttpTest, ReceiveTimeout) {
    standin::Machine::HttpTimeouts timeouts;
    timeouts.receive = 300;
    machine().SetHttpTimeouts(timeouts);
    LoopbackTlsServer server(Server(), {}, 0, true);
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
}

struct BrokenReplyCase {
    const char* name;
    std::string reply;
    bool headersOk;
    DWORD error;
};

class BrokenReplyTest : public WinHttpTest,
                        public ::testing::WithParamInterface<BrokenReplyCase> {};

TEST_P(BrokenReplyTest, Fails) {
    LoopbackTlsServer server(Server(), {GetParam().reply});
    HINTERNET request = Request(server.Port());
    ASSERT_TRUE(Send(request));
    SetLastError(0xdeadbeef);
    if (!GetParam().headersOk) {
        EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));
        EXPECT_EQ(GetLastError(), GetParam().error);
        return;
    }
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    DWORD available = 0;
    bool failed = false;
    for (int i = 0; i < 10 && !failed; ++i) {
        char buffer[64];
        DWORD read = 0;
        failed = !WinHttpQueryDataAvailable(request, &available) ||
                 !WinHttpReadData(request, buffer, sizeof buffer, &read);
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenReplyTest,
    ::testing::Values(BrokenReplyCase{"NotHttp", "SSH-2.0-nonsense\r\n\r\n", false,
                                      ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
                      BrokenReplyCase{"ClosedBeforeHeaders", "HTTP/1.1 200 OK\r\n", false,
                                      ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
                      BrokenReplyCase{"BadChunkSize",
                                      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
                                      true, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
                      BrokenReplyCase{"CutShort",
                                      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", true,
                                      ERROR_WINHTTP_CONNECTION_ERROR}),
    [](const ::testing::TestParamInfo<BrokenReplyCase>& info) { return info.param.name; });

TEST_F(WinHttpTest, HandlesAndOptions) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        WinHttpQueryOption(nullptr, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HINTERNET request = Request(UnusedLoopbackPort());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        WinHttpQueryOption(handles_[0], WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WinHttpConnect(request, L"host", 443, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WinHttpReceiveResponse(request, nullptr));  // never sent
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WinHttpAddRequestHeaders(request, L"no colon", static_cast<DWORD>(-1),
                                          WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_HEADER));
    ASSERT_TRUE(WinHttpCloseHandle(request));
    handles_.pop_back();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WinHttpCloseHandle(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(WinHttpTest, EveryCallCanBeMadeToFail) {
    const char* const calls[] = {"WinHttpOpen",
                                 "WinHttpConnect",
                                 "WinHttpOpenRequest",
                                 "WinHttpAddRequestHeaders",
                                 "WinHttpSendRequest",
                                 "WinHttpReceiveResponse",
                                 "WinHttpQueryDataAvailable",
                                 "WinHttpReadData",
                                 "WinHttpQueryOption",
                                 "WinHttpCloseHandle"};
    for (const char* call : calls) {
        machine().FailCall(call, ERROR_WINHTTP_NAME_NOT_RESOLVED);
    }
    DWORD value = 0;
    const std::vector<std::pair<const char*, bool>> results = {
        {"WinHttpOpen", WinHttpOpen(L"a", 0, nullptr, nullptr, 0) != nullptr},
        {"WinHttpConnect", WinHttpConnect(nullptr, L"h", 443, 0) != nullptr},
        {"WinHttpOpenRequest",
         WinHttpOpenRequest(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0) != nullptr},
        {"WinHttpAddRequestHeaders", WinHttpAddRequestHeaders(nullptr, L"a:b", 3, 0) != FALSE},
        {"WinHttpSendRequest", WinHttpSendRequest(nullptr, nullptr, 0, nullptr, 0, 0, 0) != FALSE},
        {"WinHttpReceiveResponse", WinHttpReceiveResponse(nullptr, nullptr) != FALSE},
        {"WinHttpQueryDataAvailable", WinHttpQueryDataAvailable(nullptr, &value) != FALSE},
        {"WinHttpReadData", WinHttpReadData(nullptr, nullptr, 0, &value) != FALSE},
        {"WinHttpQueryOption", WinHttpQueryOption(nullptr, 0, nullptr, &value) != FALSE},
        {"WinHttpCloseHandle", WinHttpCloseHandle(nullptr) != FALSE},
    };
    for (const auto& [call, succeeded] : results) {
        EXPECT_FALSE(succeeded) << call;
    }
    // Each failed with the injected code, not its own.
    SetLastError(0);
    machine().FailCall("WinHttpCloseHandle", ERROR_WINHTTP_NAME_NOT_RESOLVED);
    EXPECT_FALSE(WinHttpCloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_NAME_NOT_RESOLVED));
}

}  // namespace

namespace {

TEST_F(WinHttpTest, IntermediateFromTheServerCompletesTheChain) {
    // Only the root is trusted; the server sends the CA between them, as servers do.
    const TestCertificate intermediate =
        IssueCertificate({{{"CN", "Skelvane Test Intermediate"}}, {}, &ca_, "", -1, 3650, true});
    const TestCertificate leaf = IssueCertificate(
        {{{"CN", "service.tolv.com"}}, {}, &intermediate, "service.tolv.com", -1, 30, false});
    LoopbackTlsServer server(leaf, {ReplyWithLength("ok")}, 0, false, {intermediate});
    HINTERNET request = Request(server.Port());
    EXPECT_TRUE(Send(request)) << GetLastError();
}

TEST_F(WinHttpTest, WithoutTheIntermediateTheChainIsIncomplete) {
    const TestCertificate intermediate =
        IssueCertificate({{{"CN", "Skelvane Test Intermediate"}}, {}, &ca_, "", -1, 3650, true});
    const TestCertificate leaf = IssueCertificate(
        {{{"CN", "service.tolv.com"}}, {}, &intermediate, "service.tolv.com", -1, 30, false});
    LoopbackTlsServer server(leaf, {ReplyWithLength("ok")});
    HINTERNET request = Request(server.Port());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Send(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_SECURE_FAILURE));
}

TEST(MachineHttpsSettings, ConfigurationKeys) {
    char pattern[] = "/tmp/skelvane-conf-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    standin::Machine& machine = standin::Machine::Reset(pattern);
    const struct {
        const char* key;
        const char* value;
        bool accepted;
    } rows[] = {
        {"https-route", "service.tolv.com:127.0.0.1:4443", true},
        {"https-route", "service.tolv.com:127.0.0.1", false},
        {"https-route", "service.tolv.com:127.0.0.1:0", false},
        {"https-route", "service.tolv.com:127.0.0.1:70000", false},
        {"https-route", ":127.0.0.1:443", false},
        {"http-timeouts", "100:200:300", true},
        {"http-timeouts", "100:200", false},
        {"http-timeouts", "1:x:3", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(machine.Configure(row.key, row.value), row.accepted)
            << row.key << "=" << row.value;
    }
    std::string address;
    unsigned port = 0;
    ASSERT_TRUE(machine.HttpsRoute("service.tolv.com", &address, &port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, 4443u);
    EXPECT_FALSE(machine.HttpsRoute("pki.tolv.com", &address, &port));
    EXPECT_EQ(machine.DefaultHttpTimeouts().connect, 100u);
    EXPECT_EQ(machine.DefaultHttpTimeouts().send, 200u);
    EXPECT_EQ(machine.DefaultHttpTimeouts().receive, 300u);
    EXPECT_EQ(machine.DefaultHttpTimeouts().resolve, 0u);
    // A fresh machine has WinHTTP's own defaults.
    standin::Machine& fresh = standin::Machine::Reset(pattern);
    EXPECT_EQ(fresh.DefaultHttpTimeouts().connect, 60000u);
    EXPECT_EQ(fresh.DefaultHttpTimeouts().send, 30000u);
    EXPECT_EQ(fresh.DefaultHttpTimeouts().receive, 30000u);
    EXPECT_EQ(system(("rm -rf '" + std::string(pattern) + "'").c_str()), 0);
}

}  // namespace

namespace {

// A listener whose accept queue is full: the kernel drops further connection attempts, so a
// connect waits until its time-out.
class FullListener {
  public:
    FullListener() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        for (int& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), size);
        }
        usleep(100000);
    }
    ~FullListener() {
        for (int filler : fillers_) {
            close(filler);
        }
        close(listener_);
    }
    unsigned Port() const { return port_; }

  private:
    int listener_ = -1;
    int fillers_[4] = {-1, -1, -1, -1};
    unsigned port_ = 0;
};

TEST_F(WinHttpTest, ConnectTimeout) {
    standin::Machine::HttpTimeouts timeouts;
    timeouts.connect = 300;
    machine().SetHttpTimeouts(timeouts);
    FullListener listener;
    HINTERNET request = Request(listener.Port());
    const auto started = std::chrono::steady_clock::now();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Send(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace

namespace {

TEST_F(WinHttpTest, RootsOfTheMachinesRootStoreAreTrusted) {
    // As after an import into the local machine's Root: no bundle, only the store's file.
    machine().SetHostRootBundle("");
    const std::string folder = machine().CertificateStoreFolder(true, "Root");
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    WriteHostFile(folder + "/test-ca.der", ca_.Der());
    LoopbackTlsServer server(Server(), {ReplyWithLength("ok")});
    HINTERNET request = Request(server.Port());
    EXPECT_TRUE(Send(request)) << GetLastError();
}

}  // namespace
