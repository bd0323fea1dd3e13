// What the net folder's tests share: files of the source tree read through Wine's Z: drive, test
// certificates as contexts, the network lab's server chosen per connection, and a scripted
// exchange that answers the probe's WinHTTP calls without any server.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

#include "support/windows/faults.h"

// A file of the source tree (`relative` to its root), whole; empty when it cannot be read.
std::string SourceFile(const std::string& relative);
// The DER of the first certificate of a PEM text, or the bytes themselves when they are DER.
std::string DerOf(const std::string& bytes);
// The service's carried certificate, as the server of the lab presents it.
std::string CarriedDer();
// The certificate's PEM as Windows frames it: the marker lines and "\r\n" line ends.
std::string WindowsBase64Of(const std::string& pemFile);

// A certificate context of the test's own, freed when it goes.
class TestCertificateContext {
  public:
    explicit TestCertificateContext(const std::string& der);
    ~TestCertificateContext();
    TestCertificateContext(const TestCertificateContext&) = delete;
    TestCertificateContext& operator=(const TestCertificateContext&) = delete;
    PCCERT_CONTEXT Get() const { return context_; }

  private:
    PCCERT_CONTEXT context_;
};

// The network lab the program runs in (tests/e2e/netlab.py): service.tolv.com is its server.
// Absent when the program was started without it; the lab's tests then skip.
bool InNetworkLab();
// The server's behaviour from its next connection on: JSON with any of "certificate" (a name of
// the lab's, or "hang-up"), "reply" (the body's pieces), "framing" and "pause_ms".
void ChooseLabConnection(const std::string& json);
// The "reply" member of such a choice: the body's pieces, each sent in a record of its own.
std::string LabReplyPieces(const std::vector<std::string>& pieces);
// The request head the server last read.
std::string LabRequest();

// Answers the probe's send, receive, certificate query and reads: the body comes in `pieces`,
// one per read, and the certificate is `certificate` (none: null). Failures planned on the same
// faults strike before the answers.
class ScriptedExchange {
  public:
    ScriptedExchange(ImportFaults& faults, std::vector<std::string> pieces,
                     PCCERT_CONTEXT certificate);
    // Called before each QueryDataAvailable, with the number of reads so far.
    std::function<void(size_t)> beforeQuery;

  private:
    std::vector<std::string> pieces_;
    size_t next_ = 0;
};
