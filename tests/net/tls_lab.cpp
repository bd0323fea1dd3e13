#include "net/tls_lab.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

const std::string DataDir = SKELVANE_SOURCE_DIR "/tests/net/data/";

std::shared_ptr<EVP_PKEY> NewKey() {
    return std::shared_ptr<EVP_PKEY>(EVP_RSA_gen(2048), EVP_PKEY_free);
}

// One key for every test certificate: generating RSA keys is the slow part.
std::shared_ptr<EVP_PKEY> SharedKey() {
    static std::shared_ptr<EVP_PKEY> key = NewKey();
    return key;
}

void AddEntries(X509_NAME* name, const NameEntries& entries) {
    for (const auto& [field, value] : entries) {
        X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    }
}

void AddExtension(X509* x509, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, x509, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(x509, extension, -1);
    X509_EXTENSION_free(extension);
}

std::string FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

}  // namespace

std::string TestCertificate::Der() const {
    unsigned char* bytes = nullptr;
    int length = i2d_X509(x509.get(), &bytes);
    std::string der(reinterpret_cast<char*>(bytes), length > 0 ? length : 0);
    OPENSSL_free(bytes);
    return der;
}

std::wstring TestCertificate::WindowsBase64() const {
    BIO* memory = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(memory, x509.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(memory, &data);
    std::string pem(data, length);
    BIO_free(memory);
    std::wstring text;
    for (char c : pem) {
        if (c == '\n') {
            text += L'\r';
        }
        text += static_cast<wchar_t>(c);
    }
    return text;
}

void TestCertificate::WritePem(const std::string& path) const {
    FILE* file = fopen(path.c_str(), "w");
    PEM_write_X509(file, x509.get());
    fclose(file);
}

TestCertificate IssueCertificate(const CertificateRequest& request) {
    TestCertificate made;
    made.key = SharedKey();
    made.x509 = std::shared_ptr<X509>(X509_new(), X509_free);
    X509* x509 = made.x509.get();
    X509_set_version(x509, 2);
    static long serial = 1000;
    ASN1_INTEGER_set(X509_get_serialNumber(x509), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(x509), request.validFromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(x509), request.validToDays * 86400L);
    X509_set_pubkey(x509, made.key.get());
    AddEntries(X509_get_subject_name(x509), request.subject);
    X509* issuer = request.issuer != nullptr ? request.issuer->x509.get() : x509;
    if (request.issuer != nullptr) {
        X509_set_issuer_name(x509, X509_get_subject_name(issuer));
    } else {
        X509_NAME* name = X509_NAME_new();
        AddEntries(name, request.issuerName.empty() ? request.subject : request.issuerName);
        X509_set_issuer_name(x509, name);
        X509_NAME_free(name);
    }
    AddExtension(x509, issuer, NID_basic_constraints, request.ca ? "critical,CA:TRUE" : "CA:FALSE");
    AddExtension(x509, issuer, NID_subject_key_identifier, "hash");
    if (request.ca) {
        AddExtension(x509, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x509, issuer, NID_ext_key_usage, "serverAuth");
    }
    if (!request.dnsName.empty()) {
        AddExtension(x509, issuer, NID_subject_alt_name, ("DNS:" + request.dnsName).c_str());
    }
    EVP_PKEY* signer = request.issuer != nullptr ? request.issuer->key.get() : made.key.get();
    X509_sign(x509, signer, EVP_sha256());
    return made;
}

TestCertificate CarriedServerCertificate() {
    TestCertificate carried;
    const std::string der = FileBytes(DataDir + "service-server.der");
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    carried.x509 =
        std::shared_ptr<X509>(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), X509_free);
    FILE* file = fopen((DataDir + "service-server.key.pem").c_str(), "r");
    carried.key = std::shared_ptr<EVP_PKEY>(
        file == nullptr ? nullptr : PEM_read_PrivateKey(file, nullptr, nullptr, nullptr),
        EVP_PKEY_free);
    if (file != nullptr) {
        fclose(file);
    }
    return carried;
}

NameEntries ThawteCaName() {
    return {{"C", "US"},
            {"O", "DigiCert Inc"},
            {"OU", "www.digicert.com"},
            {"CN", "Thawte RSA CA 2018"}};
}

LoopbackTlsServer::LoopbackTlsServer(const TestCertificate& certificate,
                                     std::vector<std::string> reply, int pauseMs, bool holdReply,
                                     std::vector<TestCertificate> chain, bool endless)
    : certificate_(certificate),
      chain_(std::move(chain)),
      reply_(std::move(reply)),
      pauseMs_(pauseMs),
      holdReply_(holdReply),
      endless_(endless) {
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the test
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackTlsServer::~LoopbackTlsServer() {
    stop_ = true;
    Wait();
    close(listener_);
}

void LoopbackTlsServer::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LoopbackTlsServer::Serve() {
    pollfd wait = {listener_, POLLIN, 0};
    for (int waited = 0; poll(&wait, 1, 100) == 0; waited += 100) {
        if (stop_ || waited > 20000) {
            return;
        }
    }
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) {
        return;
    }
    timeval timeout = {5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, certificate_.x509.get());
    SSL_CTX_use_PrivateKey(context, certificate_.key.get());
    for (const TestCertificate& extra : chain_) {
        SSL_CTX_add1_chain_cert(context, extra.x509.get());
    }
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, client);
    if (SSL_accept(ssl) == 1) {
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        serverName_ = name != nullptr ? name : "";
        char buffer[4096];
        while (requestHead_.find("\r\n\r\n") == std::string::npos) {
            int got = SSL_read(ssl, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            requestHead_.append(buffer, got);
        }
        if (holdReply_) {
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        bool open = true;
        for (size_t i = 0; open && !holdReply_ && !stop_ && i < reply_.size(); ++i) {
            if (i > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs_));
            }
            for (size_t at = 0; open && at < reply_[i].size();) {
                int sent =
                    SSL_write(ssl, reply_[i].data() + at,
                              static_cast<int>(std::min<size_t>(reply_[i].size() - at, 16384)));
                open = sent > 0;
                at += open ? static_cast<size_t>(sent) : 0;
            }
            if (endless_ && i + 1 == reply_.size()) {
                --i;  // the last piece once more
            }
        }
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    close(client);
}

unsigned UnusedLoopbackPort() {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);  // nothing listens there now
    return ntohs(address.sin_port);
}

std::string ReplyWithLength(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}
