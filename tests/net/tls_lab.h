// Certificates made for a test and a TLS server on the loopback interface that answers one
// request with bytes the test chooses, piece by piece.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// One certificate with its key.
struct TestCertificate {
    std::shared_ptr<X509> x509;
    std::shared_ptr<EVP_PKEY> key;

    std::string Der() const;
    // PEM as Windows' Base64 rendering frames it: the marker lines and "\r\n" line ends.
    std::wstring WindowsBase64() const;
    void WritePem(const std::string& path) const;
};

using NameEntries = std::vector<std::pair<std::string, std::string>>;

struct CertificateRequest {
    NameEntries subject;
    NameEntries issuerName;  // used when there is no issuer certificate; empty: the subject
    const TestCertificate* issuer = nullptr;  // signs it; null: signed with its own key
    std::string dnsName;                      // subjectAltName, when not empty
    long validFromDays = -1;                  // relative to now
    long validToDays = 365;
    bool ca = false;
};

TestCertificate IssueCertificate(const CertificateRequest& request);

// The service's carried certificate with its private key (test material).
TestCertificate CarriedServerCertificate();

// Thawte RSA CA 2018's name, in encoded order.
NameEntries ThawteCaName();

class LoopbackTlsServer {
  public:
    // Serves one connection: the handshake with `certificate` (and `chain` after it), the
    // request head, then each piece of `reply` in a TLS record of its own, `pauseMs` apart.
    // With `holdReply` it answers nothing and keeps the connection open until destroyed. With
    // `endless` it sends the last piece again and again, `pauseMs` apart, until the client
    // hangs up or the server is destroyed.
    LoopbackTlsServer(const TestCertificate& certificate, std::vector<std::string> reply,
                      int pauseMs = 60, bool holdReply = false,
                      std::vector<TestCertificate> chain = {}, bool endless = false);
    ~LoopbackTlsServer();

    unsigned Port() const { return port_; }
    // What the client sent and asked for; complete once the server is destroyed or Wait()ed.
    void Wait();
    const std::string& RequestHead() const { return requestHead_; }
    const std::string& ServerName() const { return serverName_; }

  private:
    void Serve();

    TestCertificate certificate_;
    std::vector<TestCertificate> chain_;
    std::vector<std::string> reply_;
    int pauseMs_;
    bool holdReply_;
    bool endless_;
    int listener_ = -1;
    unsigned port_ = 0;
    std::atomic<bool> stop_{false};
    std::string requestHead_, serverName_;
    std::thread thread_;
};

// A port on the loopback interface where nothing listens.
unsigned UnusedLoopbackPort();

// "HTTP/1.1 200 OK" with Content-Length and the body.
std::string ReplyWithLength(const std::string& body);
