// The endpoint probe against a TLS server on the loopback interface: the console text of each
// kind of endpoint, whole.
#include "net/service_endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/tls_lab.h"
#include "report/report_log.h"
#include "trust/reference_certs.h"
#include "support/machine_fixture.h"
#include "text.h"

namespace {

const std::string Heading = "\n\nResponse from request https://service.tolv.com/edf";
const std::string Separator = "\n----------------------------------------------\n";
const std::string Explanation =
    "\nTool printed received certificate from connection to service.tolv.com server.\n"
    "This happend due to certificate do not match expected certificate.\n"
    "Reason for this may be :\n"
    " - SSL/TLS communication is intercepted/scanned (it is recommended not scan communication "
    "with TOLV servers)\n"
    "   You can find ports and addresses used by TOLV products here: "
    "https://support.tolv.com/kb332\n"
    " - For some reason TOLV has changed certificate on its server (e.g.: certificate has "
    "expired, ...) and you use not up-to-date version of this tool\n\n"
    "If you wish to view printed certificate content, copy text from \"----- BEGIN "
    "CERTIFICATE-----\" to \"----- END CERTIFICATE-----\" and save it as file with.cer "
    "extension.Open saved file with Windows Explorer.\n";
// The service's reply, spelled out here: the cases are made before other files' constants.
const std::string Reply =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><wxm:message "
    "xmlns:wxm=\"http://www.tolv.com/2012/02/wxm\"><wxm:response><code>20101003</"
    "code><message>Unsupported Content-type: unknown</message></wxm:response></"
    "wxm:message>";

const std::string ThawteIssuer = "C=US, O=DigiCert Inc, OU=www.digicert.com, CN=Thawte RSA CA 2018";

std::string CertificateBlock(const std::string& subject, const std::string& issuer,
                             const TestCertificate* certificate) {
    const std::string base64 =
        certificate == nullptr ? "" : standin::Utf8FromWide(certificate->WindowsBase64());
    return "\n\n Server certificate:\n  Subject: " + subject + "\n  Issuer:  " + issuer + "\n" +
           base64 + Explanation;
}

class ServiceEndpointTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        testCa_ = IssueCertificate(
            {{{"CN", "Skelvane Test Interception CA"}}, {}, nullptr, "", -1, 3650, true});
        testCa_.WritePem(workDir() + "/ca.pem");
        machine().SetHostRootBundle(workDir() + "/ca.pem");
    }

    // A certificate for the service's name from the machine's trusted test CA.
    TestCertificate Interceptor(const std::string& name = "service.tolv.com") {
        return IssueCertificate({{{"CN", name}}, {}, &testCa_, name, -1, 365, false});
    }

    std::string Probe(unsigned port) {
        machine().SetHttpsRoute("service.tolv.com", "127.0.0.1", port);
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        TestServiceEndpoint();
        return streams.Stderr();
    }

    std::string ProbeReply(const TestCertificate& certificate, std::vector<std::string> reply) {
        LoopbackTlsServer server(certificate, std::move(reply));
        return Probe(server.Port());
    }

    TestCertificate testCa_;
};

TEST_F(ServiceEndpointTest, CarriedCertificateIsIdentifiedAfterRefusedValidation) {
    // The carried certificate has expired and its signature is not the CA's: the send fails,
    // and the certificate the server presented is still identified.
    const std::string output =
        ProbeReply(CarriedServerCertificate(), {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output, Heading + Separator + Separator +
                          " Server certificate - OK (certificate thumbprint match)");
}

TEST_F(ServiceEndpointTest, InterceptorWithExpectedReply) {
    const TestCertificate interceptor = Interceptor();
    const std::string output = ProbeReply(interceptor, {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output, Heading + "\n Content - OK\n" +
                          "warning: Server certificate - OK (subject match)\n" +
                          CertificateBlock("CN=service.tolv.com",
                                           "CN=Skelvane Test Interception CA", &interceptor));
}

TEST_F(ServiceEndpointTest, InterceptorCopyingTheCaName) {
    // Trusted by the machine, yet named like the service's CA.
    const TestCertificate copyingCa =
        IssueCertificate({ThawteCaName(), {}, nullptr, "", -1, 3650, true});
    copyingCa.WritePem(workDir() + "/ca.pem");
    const TestCertificate interceptor = IssueCertificate(
        {{{"CN", "service.tolv.com"}}, {}, &copyingCa, "service.tolv.com", -1, 365, false});
    const std::string output = ProbeReply(interceptor, {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output, Heading + "\n Content - OK\n" +
                          " Server certificate - OK (subject and issuer match)" +
                          CertificateBlock("CN=service.tolv.com", ThawteIssuer, &interceptor));
}

TEST_F(ServiceEndpointTest, CertificateForAnotherName) {
    const TestCertificate other = Interceptor("other.example");
    const std::string output = ProbeReply(other, {ReplyWithLength(ExpectedServiceReply)});
    // Misnamed: the send fails, so there is no body, but the certificate is shown.
    EXPECT_EQ(output,
              Heading + Separator + Separator +
                  "error: \n Server certificate - certificate does not meet requirements\n" +
                  CertificateBlock("CN=other.example", "CN=Skelvane Test Interception CA", &other));
}

struct BodyCase {
    const char* name;
    std::vector<std::string> pieces;  // after the head, each in a record of its own
    std::string shown;                // between the separators
};

class ReplyBodyTest : public ServiceEndpointTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ReplyBodyTest, ShownBetweenSeparators) {
    const BodyCase& row = GetParam();
    std::string body;
    for (const std::string& piece : row.pieces) {
        body += piece;
    }
    std::vector<std::string> reply = row.pieces;
    reply.front() = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + reply.front();
    const TestCertificate interceptor = Interceptor();
    const std::string output = ProbeReply(interceptor, reply);
    EXPECT_EQ(output, Heading + Separator + row.shown + Separator +
                          "warning: Server certificate - OK (subject match)\n" +
                          CertificateBlock("CN=service.tolv.com",
                                           "CN=Skelvane Test Interception CA", &interceptor));
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ReplyBodyTest,
    ::testing::Values(
        BodyCase{"ExpectedReplyInTwoReads", {Reply.substr(0, 40), Reply.substr(40)}, Reply},
        BodyCase{"TrailingLineBreak", {Reply + "\n"}, Reply + "\n"},
        BodyCase{"PercentSigns", {"100% of %s and %d%%"}, "100% of %s and %d%%"},
        BodyCase{"ZeroByteCutsTheRead", {std::string("before\0after", 12), "next"}, "beforenext"},
        // An empty second chunk: the reply is not the expected one alone.
        BodyCase{"ReadBeginningWithZeroByte", {Reply, std::string("\0tail", 5)}, Reply},
        BodyCase{"IllFormedUtf8",
                 {"caf\xC3", "\xA9 \xFF ok \xE2\x82"},
                 "caf\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD ok \xEF\xBF\xBD"},
        BodyCase{"WellFormedUtf8",
                 {"Gr\xC3\xBC\xC3\x9F"
                  "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
                 "Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC \xF0\x9F\x98\x80"}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

TEST_F(ServiceEndpointTest, HugeReplyKeepsOneMebibyte) {
    // Chunked, so the server need not say how much is coming.
    std::vector<std::string> reply = {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"};
    const std::string piece(64 * 1024, 'x');
    const int pieces = 20;
    for (int i = 0; i < pieces; ++i) {
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", piece.size());
        reply.push_back(size + piece + "\r\n");
    }
    reply.push_back("0\r\n\r\n");
    LoopbackTlsServer server(Interceptor(), reply, 0);
    const std::string output = Probe(server.Port());
    const size_t start = output.find(Separator) + Separator.size();
    const size_t end = output.find(Separator, start);
    ASSERT_NE(end, std::string::npos);
    const std::string shown = output.substr(start, end - start);
    const std::string note = "\n... " + std::to_string(pieces * piece.size() - MaxShownReplyBytes) +
                             " more bytes of the reply were not shown\n";
    EXPECT_EQ(shown, std::string(MaxShownReplyBytes, 'x') + note);
}

// A server that never stops: the reply is read until a bound of the probe, then the probe
// says where it stopped. The bounds are shortened here; the probe's own are 64 MiB and 120 s.
class EndlessReplyTest : public ServiceEndpointTest {
  protected:
    ReplyBody ReadEndless(std::vector<std::string> reply, int pauseMs,
                          const ReplyReadLimits& limits) {
        LoopbackTlsServer server(Interceptor(), std::move(reply), pauseMs, false, {}, true);
        machine().SetHttpsRoute("service.tolv.com", "127.0.0.1", server.Port());
        HINTERNET session = WinHttpOpen(L"TOLVSkelvane", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        HINTERNET connection = WinHttpConnect(session, L"service.tolv.com", 443, 0);
        HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/edf", nullptr, nullptr,
                                               nullptr, WINHTTP_FLAG_SECURE);
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        ReplyBody body;
        const DWORD sent = GetTickCount();
        EXPECT_TRUE(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0));
        received_ = WinHttpReceiveResponse(request, nullptr) != FALSE;
        receiveError_ = GetLastError();
        if (received_) {
            ReadReplyBody(request, sent, limits, body);
        }
        elapsed_ = GetTickCount() - sent;
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connection);
        WinHttpCloseHandle(session);
        readOutput_ = streams.Stderr();
        return body;
    }

    std::string Finding(const ReplyBody& body) {
        CapturedStreams streams;
        PrintContentFinding(body);
        return streams.Stderr();
    }

    DWORD elapsed_ = 0;
    bool received_ = false;
    DWORD receiveError_ = 0;
    std::string readOutput_;  // what reading printed, after the version line
};

TEST_F(EndlessReplyTest, EndlessChunkedBodyStopsAtTheDroppedBytesBound) {
    const std::string piece(16 * 1024, 'x');
    ReplyReadLimits limits;
    limits.maxDroppedBytes = 256 * 1024;
    const ReplyBody body = ReadEndless(
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "4000\r\n" + piece + "\r\n"}, 0,
        limits);
    EXPECT_EQ(body.cut, ReplyBody::Cut::Size);
    EXPECT_EQ(body.keptBytes, MaxShownReplyBytes);
    EXPECT_GT(body.droppedBytes, limits.maxDroppedBytes);
    EXPECT_LE(body.droppedBytes, limits.maxDroppedBytes + piece.size());
    const std::string read = std::to_string(body.keptBytes + body.droppedBytes);
    EXPECT_EQ(Finding(body), Separator + std::string(MaxShownReplyBytes, 'x') +
                                 "\n... the reply was cut: " + read +
                                 " bytes were read and it had not ended\n" + Separator);
}

TEST_F(EndlessReplyTest, DrippingBodyStopsAtTheTimeBound) {
    ReplyReadLimits limits;
    limits.maxMilliseconds = 1200;
    const ReplyBody body =
        ReadEndless({"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n", "d"}, 100, limits);
    EXPECT_EQ(body.cut, ReplyBody::Cut::Time);
    EXPECT_GE(elapsed_, 1200u);
    EXPECT_LT(elapsed_, 5000u);
    EXPECT_GE(body.keptBytes, 5u);
    EXPECT_EQ(body.droppedBytes, 0u);
    const std::string output = Finding(body);
    const std::string line = "\n... the reply was cut: " + std::to_string(body.keptBytes) +
                             " bytes were read in 1 s and it had not ended\n";
    EXPECT_EQ(output, Separator + std::string(body.keptBytes, 'd') + line + Separator);
}

TEST_F(EndlessReplyTest, EndlessTrailersAndInterimRepliesEndTheRead) {
    // The platform bounds what is not body: the read fails, and the probe ends with what it has.
    std::string trailer = "X-Trailer: " + std::string(1000, 't') + "\r\n";
    const ReplyBody trailers = ReadEndless(
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n", trailer}, 0,
        ReplyReadLimits());
    EXPECT_EQ(trailers.cut, ReplyBody::Cut::No);
    EXPECT_EQ(trailers.chunks, std::vector<std::string>{"ok"});
    EXPECT_NE(readOutput_.find("error: In WinHttpQueryDataAvailable 12183.\n"), std::string::npos)
        << readOutput_;
    delete g_reportLog;
    const ReplyBody interim = ReadEndless({"HTTP/1.1 100 Continue\r\n\r\n"}, 0, ReplyReadLimits());
    EXPECT_TRUE(interim.chunks.empty());
    EXPECT_FALSE(received_);
    EXPECT_EQ(receiveError_, static_cast<DWORD>(ERROR_WINHTTP_INVALID_SERVER_RESPONSE));
}

TEST_F(ServiceEndpointTest, ReadBufferThatCannotBeAllocatedEndsTheBody) {
    g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
    g_reportLog->LogOnly(L"%s", std::wstring(2000, L'x').c_str());  // the buffers need not grow
    CapturedStreams streams;
    const TestCertificate interceptor = Interceptor();
    LoopbackTlsServer trusted(interceptor, {ReplyWithLength(ExpectedServiceReply)});
    machine().SetHttpsRoute("service.tolv.com", "127.0.0.1", trusted.Port());
    machine().FailCall("ToolAllocation", ERROR_NOT_ENOUGH_MEMORY);  // the first read's buffer
    TestServiceEndpoint();
    EXPECT_FALSE(machine().FaultPending("ToolAllocation"));
    EXPECT_EQ(streams.Stderr(),
              Heading + "error: Out of memory\n" + Separator + Separator +
                  "warning: Server certificate - OK (subject match)\n" +
                  CertificateBlock("CN=service.tolv.com", "CN=Skelvane Test Interception CA",
                                   &interceptor));
}

TEST_F(ServiceEndpointTest, CertificateQueryThatYieldsNoCertificate) {
    machine().LimitTransfer("WinHttpQueryOption", 0);
    const std::string output = ProbeReply(Interceptor(), {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output, Heading + "error: Cannot get server certificate - WinHttpQueryOption 0\n" +
                          "\n Content - OK\n" + "error: \n Server certificate - unknown\n" +
                          CertificateBlock("", "", nullptr));
}

TEST_F(ServiceEndpointTest, ReceiveThatFailsAfterTheSendLeavesNoBody) {
    machine().FailCall("WinHttpReceiveResponse", ERROR_WINHTTP_TIMEOUT);
    const TestCertificate interceptor = Interceptor();
    const std::string output = ProbeReply(interceptor, {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output, Heading + Separator + Separator +
                          "warning: Server certificate - OK (subject match)\n" +
                          CertificateBlock("CN=service.tolv.com",
                                           "CN=Skelvane Test Interception CA", &interceptor));
}

// The store keeps whole characters up to the bound: a character that would straddle it is
// dropped with the rest, whichever of its bytes fell on the bound.
TEST(ReplyBodyStore, CutsOnlyBetweenCharacters) {
    struct Case {
        std::string tail;  // after MaxShownReplyBytes - 3 bytes of 'a'
        size_t kept;       // beyond the 'a's
    };
    const Case cases[] = {
        {"bcd", 3},          {"b\xC3\xA9", 3},     {"bc\xC3\xA9", 2},
        {"\xE2\x82\xAC", 3}, {"b\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 0},
    };
    for (const auto& c : cases) {
        ReplyBody body;
        const std::string bytes = std::string(MaxShownReplyBytes - 3, 'a') + c.tail;
        body.Append(bytes.data(), bytes.size());
        EXPECT_EQ(body.keptBytes, MaxShownReplyBytes - 3 + c.kept) << c.tail;
        EXPECT_EQ(body.droppedBytes, c.tail.size() - c.kept) << c.tail;
        body.Append("more", 4);  // once dropping, everything after is dropped
        EXPECT_EQ(body.chunks.size(), 1u);
        EXPECT_EQ(body.droppedBytes, c.tail.size() - c.kept + 4);
    }
}

TEST_F(ServiceEndpointTest, SplitCharacterAtTheLimitIsNotCut) {
    std::string body(MaxShownReplyBytes - 1, 'a');
    body += "\xC3\xA9tail";
    LoopbackTlsServer server(Interceptor(), {ReplyWithLength(body)}, 0);
    const std::string output = Probe(server.Port());
    EXPECT_NE(output.find(Separator + std::string(MaxShownReplyBytes - 1, 'a') +
                          "\n... 6 more bytes of the reply were not shown\n" + Separator),
              std::string::npos);
}

TEST_F(ServiceEndpointTest, NothingListening) {
    const std::string output = Probe(UnusedLoopbackPort());
    EXPECT_EQ(output,
              Heading + "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 12019\n" +
                  Separator + Separator + "error: \n Server certificate - unknown\n" +
                  CertificateBlock("", "", nullptr));
}

struct WinHttpFailureCase {
    const char* function;
    std::string messages;  // what the failure prints before the content finding
};

class ProbeFailureTest : public ServiceEndpointTest,
                         public ::testing::WithParamInterface<WinHttpFailureCase> {};

TEST_P(ProbeFailureTest, PrintsItsStepAndGoesOn) {
    machine().FailCall(GetParam().function, 4242);
    const std::string output = Probe(UnusedLoopbackPort());
    EXPECT_EQ(output, Heading + GetParam().messages + Separator + Separator +
                          "error: \n Server certificate - unknown\n" +
                          CertificateBlock("", "", nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProbeFailureTest,
    ::testing::Values(
        WinHttpFailureCase{"WinHttpOpen", "error: In WinHttpOpen 4242.\n"},
        // The second message reads the last error again, after the first was printed.
        WinHttpFailureCase{"WinHttpConnect",
                           "error: In WinHttpOpenRequest 4242\nerror: In WinHttpSendRequest "
                           "4242\nerror: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_"
                           "CONTEXT) 6\n"},
        WinHttpFailureCase{"WinHttpOpenRequest",
                           "error: In WinHttpSendRequest 4242\nerror: In "
                           "WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 6\n"},
        WinHttpFailureCase{"WinHttpQueryOption",
                           "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) "
                           "4242\n"}),
    [](const ::testing::TestParamInfo<WinHttpFailureCase>& info) {
        return std::string(info.param.function);
    });

TEST_F(ServiceEndpointTest, FailedReadsArePrintedAndTheBodyEnds) {
    machine().FailCall("WinHttpQueryDataAvailable", 4243);
    machine().FailCall("WinHttpReadData", 4244);
    const TestCertificate interceptor = Interceptor();
    const std::string output = ProbeReply(interceptor, {ReplyWithLength(ExpectedServiceReply)});
    EXPECT_EQ(output.substr(0, output.find("warning: ")),
              Heading + "error: In WinHttpQueryDataAvailable 4243.\n" +
                  "error: In WinHttpReadData 4244.\n" + Separator + Separator);
}

TEST_F(ServiceEndpointTest, WithoutSha1TheNamesDecide) {
    machine().RemoveHashAlgorithm(CALG_SHA1);
    const std::string output =
        ProbeReply(CarriedServerCertificate(), {ReplyWithLength(ExpectedServiceReply)});
    const TestCertificate carried = CarriedServerCertificate();
    EXPECT_EQ(output, Heading + "error: \r\nError: System does not support SHA1" + Separator +
                          Separator + " Server certificate - OK (subject and issuer match)" +
                          CertificateBlock("CN=service.tolv.com", ThawteIssuer, &carried));
}

TEST_F(ServiceEndpointTest, RequestAsTheProbeSendsIt) {
    LoopbackTlsServer server(Interceptor(), {ReplyWithLength(ExpectedServiceReply)});
    Probe(server.Port());
    server.Wait();
    EXPECT_EQ(server.ServerName(), "service.tolv.com");
    EXPECT_EQ(server.RequestHead(),
              "GET /edf HTTP/1.1\r\nConnection: Keep-Alive\r\nAccept:application/xml\r\n"
              "User-Agent: TOLVSkelvane\r\nHost: service.tolv.com\r\n\r\n");
}

TEST(ExpectedConstants, ThumbprintIsTheCarriedCertificates) {
    const TestCertificate carried = CarriedServerCertificate();
    const std::string der = carried.Der();
    unsigned char digest[20];
    unsigned int length = 0;
    EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr);
    ASSERT_EQ(length, 20u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(digest), 20),
              std::string(reinterpret_cast<const char*>(ExpectedServerThumbprint), 20));
    EXPECT_EQ(ExpectedServerSubject, L"CN=service.tolv.com");
    EXPECT_EQ(ExpectedServerIssuer, standin::WideFromUtf8(ThawteIssuer));
}

TEST(ExpectedConstants, ThumbprintIsTheFirstRecordOfTheServerChain) {
    ASSERT_GE(ServerChainCertsLength, 4u);
    const DWORD length = ServerChainCerts[0] | (ServerChainCerts[1] << 8) |
                         (ServerChainCerts[2] << 16) |
                         (static_cast<DWORD>(ServerChainCerts[3]) << 24);
    ASSERT_LE(length, ServerChainCertsLength - 4);
    unsigned char digest[20];
    unsigned int digestLength = 0;
    EVP_Digest(ServerChainCerts + 4, length, digest, &digestLength, EVP_sha1(), nullptr);
    ASSERT_EQ(digestLength, 20u);
    EXPECT_EQ(memcmp(digest, ExpectedServerThumbprint, 20), 0);
    // The carried record is the file the lab's servers present.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ServerChainCerts + 4), length),
              CarriedServerCertificate().Der());
}

TEST(ExpectedConstants, ServiceReply) {
    EXPECT_EQ(ExpectedServiceReply, Reply);
}

}  // namespace
