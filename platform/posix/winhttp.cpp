// Stand-in for winhttp: synchronous sessions, connections and requests over real sockets and
// OpenSSL. A send resolves the host (real getaddrinfo, or the machine's HTTPS route), connects
// within the connect time-out, shakes hands with SNI and validates the server certificate as
// WinHTTP does by default (trusted by the machine's roots, valid at the machine's time,
// issued to the host); a refused certificate fails the send with ERROR_WINHTTP_SECURE_FAILURE
// and stays queryable. Bodies: Content-Length, chunked, or up to the end of the connection,
// handed out in the pieces the connection delivers. Left out: proxies (the machine's WinHTTP
// proxy setting is "none"), asynchronous sessions, redirects, authentication, keep-alive reuse.
// Uses the host's sockets, not the stand-in's Windows socket names.
#define SKELVANE_HOST_SOCKETS

#include <dirent.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cert_context.h"
#include "handles.h"
#include "host_roots.h"
#include "http_reader.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

using Timeouts = Machine::HttpTimeouts;

class Session : public KernelObject {
  public:
    std::string agent;
    Timeouts timeouts;
};

class Connection : public KernelObject {
  public:
    std::string agent;
    Timeouts timeouts;
    std::string host;
    unsigned port = 0;
};

class Request : public KernelObject {
  public:
    ~Request() override { CloseConnection(); }
    void CloseConnection();

    std::string agent, host, verb, path, version;
    unsigned port = 0;
    bool secure = false;
    Timeouts timeouts;
    std::string addedHeaders;  // "Name: value\r\n" lines

    bool sent = false;
    bool responseReceived = false;
    std::vector<BYTE> serverCertificate;  // DER, kept after a refused validation
    DWORD failure = 0;                    // the error that ended the connection, for later calls

    int fd = -1;
    SSL_CTX* tls = nullptr;
    SSL* ssl = nullptr;

    HttpResponseReader reader;
};

void Request::CloseConnection() {
    if (ssl != nullptr) {
        SSL_free(ssl);
        ssl = nullptr;
    }
    if (tls != nullptr) {
        SSL_CTX_free(tls);
        tls = nullptr;
    }
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

HINTERNET Failed(DWORD error) {
    SetLastError(error);
    return nullptr;
}

std::string Narrow(LPCWSTR text) {
    return text == nullptr ? std::string() : Utf8FromWide(text, wcslen(text));
}

// The object behind a handle of the expected kind, or null with the last error set.
template <class T>
T* Object(HINTERNET handle) {
    KernelObject* object = LiveObject(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    T* typed = dynamic_cast<T*>(object);
    if (typed == nullptr) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    }
    return typed;
}

int PollTimeout(DWORD milliseconds) {
    return milliseconds == 0 ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, 0x7FFFFFFF));
}

void SetSocketTimeout(int fd, int option, DWORD milliseconds) {
    timeval time = {static_cast<time_t>(milliseconds / 1000),
                    static_cast<suseconds_t>((milliseconds % 1000) * 1000)};
    setsockopt(fd, SOL_SOCKET, option, &time, sizeof time);
}

// One address, within the connect time-out: the socket, or -1 with the error.
int ConnectTo(const addrinfo& address, DWORD timeout, DWORD* error) {
    int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0) {
        *error = ERROR_WINHTTP_CANNOT_CONNECT;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int result = connect(fd, address.ai_addr, address.ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd wait = {fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&wait, 1, PollTimeout(timeout));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            close(fd);
            *error = ERROR_WINHTTP_TIMEOUT;
            return -1;
        }
        int socketError = 0;
        socklen_t size = sizeof socketError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &size);
        result = ready > 0 && socketError == 0 ? 0 : -1;
    }
    if (result != 0) {
        close(fd);
        *error = ERROR_WINHTTP_CANNOT_CONNECT;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

DWORD OpenConnection(Request& request) {
    std::string name = request.host;
    unsigned port = request.port;
    Machine::Current().HttpsRoute(request.host, &name, &port);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &addresses) != 0) {
        return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    }
    DWORD error = ERROR_WINHTTP_CANNOT_CONNECT;
    for (addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        request.fd = ConnectTo(*address, request.timeouts.connect, &error);
        if (request.fd >= 0) {
            break;
        }
    }
    freeaddrinfo(addresses);
    if (request.fd < 0) {
        return error;
    }
    SetSocketTimeout(request.fd, SO_SNDTIMEO, request.timeouts.send);
    SetSocketTimeout(request.fd, SO_RCVTIMEO, request.timeouts.receive);
    return ERROR_SUCCESS;
}

bool IsAddressLiteral(const std::string& host) {
    in6_addr address;
    return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool TimedOut() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// The machine's trusted roots: the host's bundle and the DER files of both Root stores.
void AddTrustedRoots(X509_STORE* store) {
    Machine& machine = Machine::Current();
    for (bool localMachine : {true, false}) {
        const std::string folder = machine.CertificateStoreFolder(localMachine, "Root");
        DIR* directory = opendir(folder.c_str());
        if (directory == nullptr) {
            continue;
        }
        while (dirent* entry = readdir(directory)) {
            FILE* file = fopen((folder + "/" + entry->d_name).c_str(), "rb");
            X509* root = file == nullptr ? nullptr : d2i_X509_fp(file, nullptr);
            if (file != nullptr) {
                fclose(file);
            }
            if (root != nullptr) {
                X509_STORE_add_cert(store, root);
                X509_free(root);
            }
            ERR_clear_error();
        }
        closedir(directory);
    }
    // After the stores' roots: see TrustHostRoots. A machine without the bundle trusts its
    // stores only.
    TrustHostRoots(store, machine.HostRootBundle());
}

// WinHTTP's default validation: a chain to a root the machine trusts, valid at the machine's
// time, for a server, issued to the host.
bool ServerCertificateAccepted(const Request& request, X509* certificate) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    bool accepted = false;
    if (store != nullptr) {
        AddTrustedRoots(store);
    }
    if (store != nullptr && context != nullptr &&
        X509_STORE_CTX_init(context, store, certificate, SSL_get_peer_cert_chain(request.ssl)) ==
            1) {
        X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context);
        const uint64_t ticks = Machine::Current().NowFileTime();
        X509_VERIFY_PARAM_set_time(
            parameters, static_cast<time_t>((ticks - 116444736000000000ULL) / 10000000ULL));
        X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
        if (IsAddressLiteral(request.host)) {
            X509_VERIFY_PARAM_set1_ip_asc(parameters, request.host.c_str());
        } else {
            X509_VERIFY_PARAM_set1_host(parameters, request.host.c_str(), request.host.size());
        }
        accepted = X509_verify_cert(context) == 1;
    }
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return accepted;
}

DWORD StartTls(Request& request) {
    request.tls = SSL_CTX_new(TLS_client_method());
    request.ssl = request.tls == nullptr ? nullptr : SSL_new(request.tls);
    if (request.ssl == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    SSL_set_verify(request.ssl, SSL_VERIFY_NONE, nullptr);  // validated below, as WinHTTP does
    SSL_set_fd(request.ssl, request.fd);
    if (!IsAddressLiteral(request.host)) {
        SSL_set_tlsext_host_name(request.ssl, request.host.c_str());
    }
    errno = 0;
    if (SSL_connect(request.ssl) != 1) {
        const bool timedOut = TimedOut();
        ERR_clear_error();
        return timedOut ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_SECURE_CHANNEL_ERROR;
    }
    X509* certificate = SSL_get1_peer_certificate(request.ssl);
    if (certificate == nullptr) {
        return ERROR_WINHTTP_SECURE_FAILURE;
    }
    const int length = i2d_X509(certificate, nullptr);
    if (length > 0) {
        request.serverCertificate.resize(static_cast<size_t>(length));
        unsigned char* out = request.serverCertificate.data();
        i2d_X509(certificate, &out);
    }
    const bool accepted = ServerCertificateAccepted(request, certificate);
    X509_free(certificate);
    return accepted ? ERROR_SUCCESS : ERROR_WINHTTP_SECURE_FAILURE;
}

DWORD SendAll(Request& request, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        errno = 0;
        int written;
        if (request.ssl != nullptr) {
            written = SSL_write(request.ssl, bytes.data() + sent,
                                static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20)));
        } else {
            written = static_cast<int>(
                send(request.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL));
        }
        if (written <= 0) {
            const bool timedOut = TimedOut();
            ERR_clear_error();
            return timedOut ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR;
        }
        sent += static_cast<size_t>(written);
    }
    return ERROR_SUCCESS;
}

// One read of the connection, as much as it delivers at once (a TLS record at most). False
// with the error on failure; true with nothing in `piece` at the end of the connection.
bool ReadPiece(Request& request, std::string* piece, DWORD* error) {
    char buffer[16384];
    errno = 0;
    int got;
    if (request.ssl != nullptr) {
        got = SSL_read(request.ssl, buffer, sizeof buffer);
        if (got <= 0) {
            const int reason = SSL_get_error(request.ssl, got);
            const bool timedOut = TimedOut() || reason == SSL_ERROR_WANT_READ;
            ERR_clear_error();
            if (timedOut) {
                *error = ERROR_WINHTTP_TIMEOUT;
                return false;
            }
            // A close, with or without close_notify, ends a body that runs to the close.
            return true;
        }
    } else {
        do {
            got = static_cast<int>(recv(request.fd, buffer, sizeof buffer, 0));
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            *error = TimedOut() ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR;
            return false;
        }
    }
    piece->assign(buffer, static_cast<size_t>(got));
    return true;
}

// Reads until there is body to hand out or the body has ended. Body decoded before a fault of
// the reply is handed out first; the fault is the next call's.
DWORD FetchBody(Request& request) {
    HttpResponseReader& reader = request.reader;
    while (reader.Body().empty() && !reader.BodyDone() && reader.Error() == 0 &&
           request.failure == 0) {
        std::string piece;
        if (!ReadPiece(request, &piece, &request.failure)) {
            break;
        }
        if (piece.empty()) {
            reader.Close();
        } else {
            reader.Feed(piece.data(), piece.size());
        }
    }
    if (!reader.Body().empty() || reader.BodyDone()) {
        return ERROR_SUCCESS;
    }
    return reader.Error() != 0 ? reader.Error() : request.failure;
}

// Reads until the final response's head has come (interim responses are skipped).
DWORD ReadResponseHead(Request& request) {
    HttpResponseReader& reader = request.reader;
    while (!reader.HeadDone() && reader.Error() == 0) {
        std::string piece;
        DWORD error = 0;
        if (!ReadPiece(request, &piece, &error)) {
            return error;
        }
        if (piece.empty()) {
            reader.Close();
        } else {
            reader.Feed(piece.data(), piece.size());
        }
    }
    return reader.HeadDone() ? ERROR_SUCCESS : reader.Error();
}

std::string RequestHead(const Request& request, const std::string& moreHeaders) {
    std::string host = request.host;
    if (request.port != (request.secure ? 443u : 80u)) {
        host += ":" + std::to_string(request.port);
    }
    std::string head = request.verb + " " + request.path + " " + request.version + "\r\n";
    head += "Connection: Keep-Alive\r\n";
    head += request.addedHeaders + moreHeaders;
    if (!request.agent.empty()) {
        head += "User-Agent: " + request.agent + "\r\n";
    }
    head += "Host: " + host + "\r\n\r\n";
    return head;
}

// "Name: value" lines of a header block; false when a line is not a header.
bool HeaderLines(LPCWSTR headers, DWORD length, std::string* lines) {
    if (headers == nullptr) {
        return true;
    }
    const size_t count = length == static_cast<DWORD>(-1) ? wcslen(headers) : length;
    const std::string text = Utf8FromWide(headers, count);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 2;
        if (line.empty()) {
            continue;
        }
        if (line.find(':') == std::string::npos || line.find('\n') != std::string::npos) {
            return false;
        }
        *lines += line + "\r\n";
    }
    return true;
}

// Asks the fault table; a limit caps the bytes the call hands out.
bool FaultOrLimit(const char* function, DWORD* limit) {
    FaultHit hit = Machine::Current().Check(function);
    if (hit.fail) {
        SetLastError(hit.error);
        return true;
    }
    *limit = hit.limited ? hit.limit : 0xFFFFFFFF;
    return false;
}

}  // namespace
}  // namespace standin

using namespace standin;

HINTERNET WINAPI WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass,
                             DWORD flags) {
    if (Injected("WinHttpOpen")) {
        return nullptr;
    }
    (void)proxy;
    (void)proxyBypass;
    if (accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY &&
        accessType != WINHTTP_ACCESS_TYPE_NO_PROXY) {
        return Failed(ERROR_NOT_SUPPORTED);  // named proxies are not modelled
    }
    if (flags & WINHTTP_FLAG_ASYNC) {
        return Failed(ERROR_NOT_SUPPORTED);
    }
    // Windows has no SIGPIPE: a write to a closed connection is an error, not the end.
    signal(SIGPIPE, SIG_IGN);
    auto session = std::make_unique<Session>();
    session->agent = Narrow(agent);
    session->timeouts = Machine::Current().DefaultHttpTimeouts();
    HINTERNET handle = AddHandle(std::move(session));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HINTERNET WINAPI WinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port,
                                DWORD reserved) {
    if (Injected("WinHttpConnect")) {
        return nullptr;
    }
    Session* owner = Object<Session>(session);
    if (owner == nullptr) {
        return nullptr;
    }
    if (server == nullptr || *server == L'\0' || reserved != 0) {
        return Failed(ERROR_INVALID_PARAMETER);
    }
    auto connection = std::make_unique<Connection>();
    connection->agent = owner->agent;
    connection->timeouts = owner->timeouts;
    connection->host = Narrow(server);
    connection->port = port;  // 0: the scheme's port, known when the request is opened
    HINTERNET handle = AddHandle(std::move(connection));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HINTERNET WINAPI WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR object,
                                    LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes,
                                    DWORD flags) {
    if (Injected("WinHttpOpenRequest")) {
        return nullptr;
    }
    Connection* owner = Object<Connection>(connection);
    if (owner == nullptr) {
        return nullptr;
    }
    auto request = std::make_unique<Request>();
    request->agent = owner->agent;
    request->timeouts = owner->timeouts;
    request->host = owner->host;
    request->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
    request->port = owner->port != 0  ? owner->port
                    : request->secure ? INTERNET_DEFAULT_HTTPS_PORT
                                      : INTERNET_DEFAULT_HTTP_PORT;
    request->verb = verb == nullptr || *verb == L'\0' ? "GET" : Narrow(verb);
    request->path = object == nullptr || *object == L'\0' ? "/" : Narrow(object);
    request->version = version == nullptr || *version == L'\0' ? "HTTP/1.1" : Narrow(version);
    if (referrer != nullptr && *referrer != L'\0') {
        request->addedHeaders += "Referer: " + Narrow(referrer) + "\r\n";
    }
    if (acceptTypes != nullptr) {
        std::string types;
        for (LPCWSTR* type = acceptTypes; *type != nullptr; ++type) {
            types += (types.empty() ? "" : ",") + Narrow(*type);
        }
        if (!types.empty()) {
            request->addedHeaders += "Accept: " + types + "\r\n";
        }
    }
    HINTERNET handle = AddHandle(std::move(request));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD length,
                                     DWORD modifiers) {
    if (Injected("WinHttpAddRequestHeaders")) {
        return FALSE;
    }
    Request* target = Object<Request>(request);
    if (target == nullptr) {
        return FALSE;
    }
    (void)modifiers;  // every header is added; replacing is not modelled
    if (headers == nullptr || length == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string lines;
    if (!HeaderLines(headers, length, &lines)) {
        return Fail(ERROR_WINHTTP_INVALID_HEADER);
    }
    target->addedHeaders += lines;
    return TRUE;
}

BOOL WINAPI WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                               LPVOID optional, DWORD optionalLength, DWORD totalLength,
                               DWORD_PTR context) {
    if (Injected("WinHttpSendRequest")) {
        return FALSE;
    }
    (void)context;
    Request* target = Object<Request>(request);
    if (target == nullptr) {
        return FALSE;
    }
    std::string moreHeaders;
    if (!HeaderLines(headers, headersLength, &moreHeaders)) {
        return Fail(ERROR_WINHTTP_INVALID_HEADER);
    }
    if (optionalLength > 0 && optional == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (totalLength > optionalLength || optionalLength > 0) {
        moreHeaders +=
            "Content-Length: " + std::to_string(std::max(totalLength, optionalLength)) + "\r\n";
    }
    // A new send starts over on a new connection.
    target->CloseConnection();
    target->sent = target->responseReceived = false;
    target->serverCertificate.clear();
    target->failure = 0;
    target->reader = HttpResponseReader(target->verb == "HEAD");

    DWORD error = OpenConnection(*target);
    if (error == ERROR_SUCCESS && target->secure) {
        error = StartTls(*target);
    }
    if (error == ERROR_SUCCESS) {
        std::string bytes = RequestHead(*target, moreHeaders);
        bytes.append(static_cast<const char*>(optional), optionalLength);
        error = SendAll(*target, bytes);
    }
    if (error != ERROR_SUCCESS) {
        target->CloseConnection();
        return Fail(error);
    }
    target->sent = true;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinHttpReceiveResponse(HINTERNET request, LPVOID reserved) {
    if (Injected("WinHttpReceiveResponse")) {
        return FALSE;
    }
    Request* target = Object<Request>(request);
    if (target == nullptr) {
        return FALSE;
    }
    if (reserved != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!target->sent || target->responseReceived || target->fd < 0) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    const DWORD error = ReadResponseHead(*target);
    if (error != ERROR_SUCCESS) {
        target->failure = error;
        target->CloseConnection();
        return Fail(error);
    }
    target->responseReceived = true;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinHttpQueryDataAvailable(HINTERNET request, LPDWORD available) {
    DWORD limit = 0;
    if (FaultOrLimit("WinHttpQueryDataAvailable", &limit)) {
        return FALSE;
    }
    Request* target = Object<Request>(request);
    if (target == nullptr) {
        return FALSE;
    }
    if (!target->responseReceived) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    const DWORD error = FetchBody(*target);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (available != nullptr) {
        *available = static_cast<DWORD>(std::min<size_t>(target->reader.Body().size(), limit));
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read) {
    if (read != nullptr) {
        *read = 0;
    }
    DWORD limit = 0;
    if (FaultOrLimit("WinHttpReadData", &limit)) {
        return FALSE;
    }
    Request* target = Object<Request>(request);
    if (target == nullptr) {
        return FALSE;
    }
    if (read == nullptr || (buffer == nullptr && toRead > 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!target->responseReceived) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }
    const DWORD error = FetchBody(*target);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    const size_t count = std::min<size_t>({target->reader.Body().size(), toRead, limit});
    if (count > 0) {
        memcpy(buffer, target->reader.Body().data(), count);
    }
    target->reader.Body().erase(0, count);
    *read = static_cast<DWORD>(count);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer,
                               LPDWORD bufferLength) {
    // A limited call ("at most 0 bytes") succeeds without a certificate, as a platform that has
    // none to hand over.
    DWORD limit = 0;
    if (FaultOrLimit("WinHttpQueryOption", &limit)) {
        return FALSE;
    }
    if (LiveObject(handle) == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (bufferLength == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (option != WINHTTP_OPTION_SERVER_CERT_CONTEXT) {
        return Fail(ERROR_WINHTTP_INVALID_OPTION);
    }
    Request* target = Object<Request>(handle);
    if (target == nullptr) {
        return FALSE;
    }
    if (target->serverCertificate.empty()) {
        return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);  // no TLS connection was made
    }
    if (buffer == nullptr || *bufferLength < sizeof(PCCERT_CONTEXT)) {
        *bufferLength = sizeof(PCCERT_CONTEXT);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    PCCERT_CONTEXT context =
        limit == 0 ? nullptr
                   : NewCertContext(target->serverCertificate.data(),
                                    static_cast<DWORD>(target->serverCertificate.size()), nullptr);
    if (context == nullptr && limit != 0) {
        return FALSE;
    }
    memcpy(buffer, &context, sizeof context);
    *bufferLength = sizeof context;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WinHttpCloseHandle(HINTERNET handle) {
    if (Injected("WinHttpCloseHandle")) {
        return FALSE;
    }
    if (!RemoveHandle(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
