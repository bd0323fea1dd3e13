// The endpoint probe: the console text of each kind of endpoint, whole. Most of what the probe
// does with a reply is shown through answers to its WinHTTP calls (the reads, the certificate
// query, each call's failure); the network lab's TLS server serves the real exchanges.
#include "net/service_endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/net_lab.h"
#include "report/report_log.h"
#include "support/windows/guarded_heap.h"
#include "support/windows/scratch.h"
#include "trust/reference_certs.h"

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
const std::string LabCa = "O=Skelvane Tests, CN=Skelvane Test Interception CA";
const char Interceptor[] = "tests/e2e/netlab/interceptor.pem";
const std::string SubjectMatch = "warning: Server certificate - OK (subject match)\n";
const std::string Unknown = "error: \n Server certificate - unknown\n";

std::string CertificateBlock(const std::string& subject, const std::string& issuer,
                             const std::string& base64) {
    return "\n\n Server certificate:\n  Subject: " + subject + "\n  Issuer:  " + issuer + "\n" +
           base64 + Explanation;
}

class ServiceEndpointTest : public testing::Test {
  protected:
    void TearDown() override {
        delete g_reportLog;
        g_reportLog = nullptr;
        guarded_heap::Reset();
    }

    std::string Probe() {
        g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
        CapturedStreams streams(faults_);
        TestServiceEndpoint();
        return streams.Stderr();
    }

    // The probe with the reply's body in `pieces`, one per read.
    std::string Scripted(std::vector<std::string> pieces, PCCERT_CONTEXT certificate) {
        ScriptedExchange exchange(faults_, std::move(pieces), certificate);
        return Probe();
    }

    void RequireLab() {
        if (!InNetworkLab()) {
            GTEST_SKIP() << "not in the network lab (run by ctest, as root)";
        }
    }

    ScratchFolder folder_;
    ImportFaults faults_;
    TestCertificateContext interceptor_{DerOf(SourceFile(Interceptor))};
    TestCertificateContext carried_{CarriedDer()};
    const std::string interceptorBlock_ =
        CertificateBlock("CN=service.tolv.com", LabCa, WindowsBase64Of(Interceptor));
};

// --- real exchanges with the lab's server

TEST_F(ServiceEndpointTest, InterceptorWithExpectedReply) {
    RequireLab();
    ChooseLabConnection(R"({"certificate": "interceptor"})");
    EXPECT_EQ(Probe(), Heading + "\n Content - OK\n" + SubjectMatch + interceptorBlock_);
    // Windows sends "Connection: Keep-Alive" first and the added header as written
    // ("Accept:application/xml"); Wine puts a blank after the colon and the connection last.
    EXPECT_EQ(LabRequest(),
              "GET /edf HTTP/1.1\r\nAccept: application/xml\r\nUser-Agent: TOLVSkelvane\r\n"
              "Host: service.tolv.com\r\nConnection: Keep-Alive\r\n\r\n");
}

TEST_F(ServiceEndpointTest, InterceptorCopyingTheCaName) {
    RequireLab();
    // Trusted by the machine, yet named like the service's CA.
    ChooseLabConnection(R"({"certificate": "interceptor-copying-ca"})");
    const char copying[] = "tests/e2e/netlab/interceptor-copying-ca.pem";
    EXPECT_EQ(Probe(),
              Heading + "\n Content - OK\n" +
                  " Server certificate - OK (subject and issuer match)" +
                  CertificateBlock("CN=service.tolv.com", ThawteIssuer, WindowsBase64Of(copying)));
}

TEST_F(ServiceEndpointTest, ReplyInTwoRecords) {
    RequireLab();
    ChooseLabConnection(R"({"certificate": "interceptor", "pause_ms": 300, )" +
                        LabReplyPieces({Reply.substr(0, 40), Reply.substr(40)}) + "}");
    const std::string output = Probe();
    // Each read hands out what has arrived: two chunks, so not the expected reply alone.
    EXPECT_EQ(output, Heading + Separator + Reply + Separator + SubjectMatch + interceptorBlock_);
}

// The carried certificate has expired and its signature is not the CA's: the send fails. Windows
// keeps the presented certificate after the refusal and the probe identifies it; Wine drops it,
// so its query fails (below, the certificate is handed over as Windows does).
TEST_F(ServiceEndpointTest, CarriedCertificateIsRefused) {
    RequireLab();
    ChooseLabConnection(R"({"certificate": "carried"})");
    // Wine's query fails with the refusal's code, 12157 (a secure channel error).
    EXPECT_EQ(Probe(),
              Heading + "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 12157\n" +
                  Separator + Separator + Unknown + CertificateBlock("", "", ""));
}

TEST_F(ServiceEndpointTest, CarriedCertificateIsIdentifiedAfterRefusedValidation) {
    RequireLab();
    ChooseLabConnection(R"({"certificate": "carried"})");
    PCCERT_CONTEXT carried = carried_.Get();
    faults_.Answer<Api::WinHttpQueryOption>([carried](HINTERNET, DWORD, LPVOID buffer, LPDWORD) {
        *static_cast<PCCERT_CONTEXT*>(buffer) = CertDuplicateCertificateContext(carried);
        return TRUE;
    });
    EXPECT_EQ(Probe(), Heading + Separator + Separator +
                           " Server certificate - OK (certificate thumbprint match)");
}

TEST_F(ServiceEndpointTest, ServerThatHangsUp) {
    RequireLab();
    ChooseLabConnection(R"({"certificate": "hang-up"})");
    // No handshake: the send fails with a secure channel error (12157), and so does the query.
    EXPECT_EQ(Probe(),
              Heading + "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 12157\n" +
                  Separator + Separator + Unknown + CertificateBlock("", "", ""));
}

// --- the reply and the certificate through answers

TEST_F(ServiceEndpointTest, CertificateForAnotherName) {
    // Only the certificate decides the verdict: the reply is the expected one.
    const std::string der = DerOf(SourceFile("tests/e2e/netlab/other-name.pem"));
    TestCertificateContext other(der);
    EXPECT_EQ(Scripted({Reply}, other.Get()),
              Heading + "\n Content - OK\n" +
                  "error: \n Server certificate - certificate does not meet requirements\n" +
                  CertificateBlock("CN=www.other-name.example", LabCa,
                                   WindowsBase64Of("tests/e2e/netlab/other-name.pem")));
}

struct BodyCase {
    const char* name;
    std::vector<std::string> reads;
    std::string shown;  // between the separators
};

class ReplyBodyTest : public ServiceEndpointTest, public testing::WithParamInterface<BodyCase> {};

TEST_P(ReplyBodyTest, ShownBetweenSeparators) {
    EXPECT_EQ(
        Scripted(GetParam().reads, interceptor_.Get()),
        Heading + Separator + GetParam().shown + Separator + SubjectMatch + interceptorBlock_);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ReplyBodyTest,
    testing::Values(
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
    [](const testing::TestParamInfo<BodyCase>& info) { return info.param.name; });

TEST_F(ServiceEndpointTest, HugeReplyKeepsOneMebibyte) {
    const std::string piece(64 * 1024, 'x');
    const std::vector<std::string> reads(20, piece);
    const std::string note = "\n... " + std::to_string(20 * piece.size() - MaxShownReplyBytes) +
                             " more bytes of the reply were not shown\n";
    EXPECT_EQ(Scripted(reads, interceptor_.Get()),
              Heading + Separator + std::string(MaxShownReplyBytes, 'x') + note + Separator +
                  SubjectMatch + interceptorBlock_);
}

TEST_F(ServiceEndpointTest, SplitCharacterAtTheLimitIsNotCut) {
    std::string body(MaxShownReplyBytes - 1, 'a');
    body += "\xC3\xA9tail";
    const std::string output =
        Scripted({body.substr(0, 65536), body.substr(65536)}, interceptor_.Get());
    EXPECT_EQ(output, Heading + Separator + std::string(MaxShownReplyBytes - 1, 'a') +
                          "\n... 6 more bytes of the reply were not shown\n" + Separator +
                          SubjectMatch + interceptorBlock_);
}

TEST_F(ServiceEndpointTest, ReadBufferThatCannotBeAllocatedEndsTheBody) {
    ScriptedExchange exchange(faults_, {Reply}, interceptor_.Get());
    // The allocation right after the first query is the read's buffer.
    exchange.beforeQuery = [](size_t reads) {
        if (reads == 0) {
            guarded_heap::FailAllocations(1, false);
        }
    };
    EXPECT_EQ(Probe(), Heading + "error: Out of memory\n" + Separator + Separator + SubjectMatch +
                           interceptorBlock_);
}

TEST_F(ServiceEndpointTest, CertificateQueryThatYieldsNoCertificate) {
    EXPECT_EQ(Scripted({Reply}, nullptr),
              Heading + "error: Cannot get server certificate - WinHttpQueryOption 0\n" +
                  "\n Content - OK\n" + Unknown + CertificateBlock("", "", ""));
}

TEST_F(ServiceEndpointTest, ReceiveThatFailsAfterTheSendLeavesNoBody) {
    faults_.Fail<Api::WinHttpReceiveResponse>(FALSE, ERROR_WINHTTP_TIMEOUT);
    EXPECT_EQ(Scripted({Reply}, interceptor_.Get()),
              Heading + Separator + Separator + SubjectMatch + interceptorBlock_);
    EXPECT_EQ(ImportFaults::Calls(Api::WinHttpReadData), 0u);
}

TEST_F(ServiceEndpointTest, FailedReadsArePrintedAndTheBodyEnds) {
    faults_.Fail<Api::WinHttpQueryDataAvailable>(FALSE, 4243);
    faults_.Fail<Api::WinHttpReadData>(FALSE, 4244);
    EXPECT_EQ(Scripted({Reply}, interceptor_.Get()),
              Heading + "error: In WinHttpQueryDataAvailable 4243.\n" +
                  "error: In WinHttpReadData 4244.\n" + Separator + Separator + SubjectMatch +
                  interceptorBlock_);
}

TEST_F(ServiceEndpointTest, WithoutSha1TheNamesDecide) {
    faults_.Fail<Api::CryptCreateHash>(FALSE, static_cast<DWORD>(NTE_BAD_ALGID));
    DWORD count = 0;
    const std::string der = CarriedDer();
    CryptBinaryToStringA(reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                         CRYPT_STRING_BASE64HEADER, nullptr, &count);
    std::string base64(count, '\0');
    CryptBinaryToStringA(reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                         CRYPT_STRING_BASE64HEADER, &base64[0], &count);
    base64.resize(count);
    EXPECT_EQ(Scripted({Reply}, carried_.Get()),
              Heading + "error: \r\nError: System does not support SHA1" + "\n Content - OK\n" +
                  " Server certificate - OK (subject and issuer match)" +
                  CertificateBlock("CN=service.tolv.com", ThawteIssuer, base64));
}

// A crypt32 without its rendering functions (their calls fail with 127, procedure not found, and
// the count call answers 0): the names and the Base64 text stay empty, and the probe goes on.
TEST_F(ServiceEndpointTest, CertificateThatCannotBeRenderedShowsEmptyTexts) {
    faults_.Fail<Api::CertNameToStrW>(DWORD(0), ERROR_PROC_NOT_FOUND, FromNth(1));
    faults_.Fail<Api::CryptBinaryToStringW>(FALSE, ERROR_PROC_NOT_FOUND, FromNth(1));
    EXPECT_EQ(Scripted({Reply}, interceptor_.Get()),
              Heading + "\n Content - OK\n" +
                  "error: \n Server certificate - certificate does not meet requirements\n" +
                  CertificateBlock("", "", ""));
}

// A server that never stops: the reply is read until a bound of the probe, then the probe says
// where it stopped. The bounds are shortened here; the probe's own are 64 MiB and 120 s.
class EndlessReplyTest : public ServiceEndpointTest {
  protected:
    ReplyBody ReadEndless(const std::string& piece, const ReplyReadLimits& limits,
                          DWORD millisecondsPerRead) {
        faults_.Answer<Api::WinHttpQueryDataAvailable>([&piece](HINTERNET, LPDWORD available) {
            *available = static_cast<DWORD>(piece.size());
            return TRUE;
        });
        faults_.Answer<Api::WinHttpReadData>(
            [&piece](HINTERNET, LPVOID buffer, DWORD size, LPDWORD read) {
                *read = static_cast<DWORD>(std::min<size_t>(piece.size(), size));
                memcpy(buffer, piece.data(), *read);
                return TRUE;
            });
        // The clock moves by the read; it starts just short of its wrap.
        faults_.Answer<Api::GetTickCount>([millisecondsPerRead] {
            return Start + ImportFaults::Calls(Api::WinHttpReadData) * millisecondsPerRead;
        });
        g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
        CapturedStreams streams(faults_);
        ReplyBody body;
        ReadReplyBody(nullptr, Start, limits, body);
        EXPECT_EQ(streams.Stderr(), "");
        return body;
    }

    std::string Finding(const ReplyBody& body) {
        CapturedStreams streams(faults_);
        PrintContentFinding(body);
        return streams.Stderr();
    }

    static constexpr DWORD Start = 0xFFFFFF00u;
};

TEST_F(EndlessReplyTest, EndlessBodyStopsAtTheDroppedBytesBound) {
    const std::string piece(16 * 1024, 'x');
    ReplyReadLimits limits;
    limits.maxDroppedBytes = 256 * 1024;
    const ReplyBody body = ReadEndless(piece, limits, 0);
    EXPECT_EQ(body.cut, ReplyBody::Cut::Size);
    EXPECT_EQ(body.keptBytes, MaxShownReplyBytes);
    EXPECT_EQ(body.droppedBytes, limits.maxDroppedBytes + piece.size());
    const std::string read = std::to_string(body.keptBytes + body.droppedBytes);
    EXPECT_EQ(Finding(body), Separator + std::string(MaxShownReplyBytes, 'x') +
                                 "\n... the reply was cut: " + read +
                                 " bytes were read and it had not ended\n" + Separator);
}

TEST_F(EndlessReplyTest, DrippingBodyStopsAtTheTimeBoundAcrossTheClocksWrap) {
    ReplyReadLimits limits;
    limits.maxMilliseconds = 1200;
    const ReplyBody body = ReadEndless("d", limits, 100);
    EXPECT_EQ(body.cut, ReplyBody::Cut::Time);
    EXPECT_EQ(body.keptBytes, 13u);  // the read after 1.3 s is the first past the bound
    EXPECT_EQ(body.cutAfterMilliseconds, 1300u);
    EXPECT_EQ(body.droppedBytes, 0u);
    EXPECT_EQ(Finding(body), Separator + std::string(13, 'd') +
                                 "\n... the reply was cut: 13 bytes were read in 1 s and it had "
                                 "not ended\n" +
                                 Separator);
}

// --- each WinHTTP step that fails: the probe prints it and goes on to the verdict

struct WinHttpFailureCase {
    const char* name;
    void (*plan)(ImportFaults&);
    std::string messages;  // what the failure prints before the content finding
};

class ProbeFailureTest : public ServiceEndpointTest,
                         public testing::WithParamInterface<WinHttpFailureCase> {};

TEST_P(ProbeFailureTest, PrintsItsStepAndGoesOn) {
    GetParam().plan(faults_);
    EXPECT_EQ(Probe(), Heading + GetParam().messages + Separator + Separator + Unknown +
                           CertificateBlock("", "", ""));
    EXPECT_EQ(ImportFaults::Calls(Api::WinHttpReceiveResponse), 0u);
}

// A send that never connected (12029, as when nothing listens). Wine's query then fails and
// leaves the send's code; Windows answers 12019 for a request that never connected.
void NeverConnected(ImportFaults& faults) {
    faults.Fail<Api::WinHttpSendRequest>(FALSE, ERROR_WINHTTP_CANNOT_CONNECT);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProbeFailureTest,
    testing::Values(
        WinHttpFailureCase{"NothingListening", NeverConnected,
                           "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) "
                           "12029\n"},
        WinHttpFailureCase{"WinHttpOpen",
                           [](ImportFaults& f) { f.Fail<Api::WinHttpOpen>(nullptr, 4242); },
                           "error: In WinHttpOpen 4242.\n"},
        // The second message reads the last error again, after the first was printed.
        WinHttpFailureCase{
            "WinHttpConnect", [](ImportFaults& f) { f.Fail<Api::WinHttpConnect>(nullptr, 4242); },
            "error: In WinHttpOpenRequest 4242\nerror: In WinHttpSendRequest "
            "4242\nerror: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 6\n"},
        WinHttpFailureCase{"WinHttpOpenRequest",
                           [](ImportFaults& f) { f.Fail<Api::WinHttpOpenRequest>(nullptr, 4242); },
                           "error: In WinHttpSendRequest 4242\nerror: In "
                           "WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) 6\n"},
        WinHttpFailureCase{"WinHttpQueryOption",
                           [](ImportFaults& f) {
                               NeverConnected(f);
                               f.Fail<Api::WinHttpQueryOption>(FALSE, 4242);
                           },
                           "error: In WinHttpQueryOption(WINHTTP_OPTION_SERVER_CERT_CONTEXT) "
                           "4242\n"}),
    [](const testing::TestParamInfo<WinHttpFailureCase>& info) { return info.param.name; });

// --- the carried constants

std::string Sha1(const std::string& bytes) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[20] = {};
    DWORD length = sizeof digest;
    EXPECT_TRUE(
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()), 0));
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0));
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

TEST(ExpectedConstants, ThumbprintIsTheCarriedCertificates) {
    EXPECT_EQ(Sha1(CarriedDer()),
              std::string(reinterpret_cast<const char*>(ExpectedServerThumbprint), 20));
    EXPECT_EQ(ExpectedServerSubject, L"CN=service.tolv.com");
    EXPECT_EQ(ExpectedServerIssuer, Wide(ThawteIssuer));
}

TEST(ExpectedConstants, ThumbprintIsTheFirstRecordOfTheServerChain) {
    ASSERT_GE(ServerChainCertsLength, 4u);
    const DWORD length = ServerChainCerts[0] | (ServerChainCerts[1] << 8) |
                         (ServerChainCerts[2] << 16) |
                         (static_cast<DWORD>(ServerChainCerts[3]) << 24);
    ASSERT_LE(length, ServerChainCertsLength - 4);
    // The carried record is the file the lab's server presents.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ServerChainCerts + 4), length),
              CarriedDer());
}

TEST(ExpectedConstants, ServiceReply) {
    EXPECT_EQ(ExpectedServiceReply, Reply);
}

}  // namespace
