#include "net/net_lab.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/windows/scratch.h"

namespace {

// A path of the host as Wine's Z: drive shows it.
std::wstring HostPath(const std::string& path) {
    std::wstring windows = L"Z:";
    for (char c : path) {
        windows += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return windows;
}

std::string LabConnectionFile() {
    char path[1024];
    const DWORD length = GetEnvironmentVariableA("SKELVANE_NETLAB_CONNECTION", path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

}  // namespace

std::string SourceFile(const std::string& relative) {
    return ReadFileBytes(HostPath(std::string(SKELVANE_SOURCE_DIR) + "/" + relative));
}

std::string DerOf(const std::string& bytes) {
    if (bytes.find("-----BEGIN") == std::string::npos) {
        return bytes;
    }
    DWORD size = 0;
    if (!CryptStringToBinaryA(bytes.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr)) {
        return std::string();
    }
    std::string der(size, '\0');
    CryptStringToBinaryA(bytes.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr);
    der.resize(size);
    return der;
}

std::string CarriedDer() {
    return SourceFile("tests/net/data/service-server.der");
}

std::string WindowsBase64Of(const std::string& pemFile) {
    const std::string pem = SourceFile(pemFile);
    const std::string end = "-----END CERTIFICATE-----\n";
    std::string framed;
    for (char c : pem.substr(0, pem.find(end) + end.size())) {
        if (c == '\n') {
            framed += '\r';
        }
        framed += c;
    }
    return framed;
}

TestCertificateContext::TestCertificateContext(const std::string& der)
    : context_(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                            reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()))) {
    EXPECT_NE(context_, nullptr) << "not a certificate: " << GetLastError();
}

TestCertificateContext::~TestCertificateContext() {
    if (context_ != nullptr) {
        CertFreeCertificateContext(context_);
    }
}

bool InNetworkLab() {
    return !LabConnectionFile().empty();
}

void ChooseLabConnection(const std::string& json) {
    WriteFileBytes(HostPath(LabConnectionFile()), json);
}

std::string LabReplyPieces(const std::vector<std::string>& pieces) {
    static const char digits[] = "0123456789abcdef";
    std::string json = "\"reply\": [";
    for (const std::string& piece : pieces) {
        json += &piece == &pieces.front() ? "{\"hex\": \"" : ", {\"hex\": \"";
        for (unsigned char byte : piece) {
            json += digits[byte >> 4];
            json += digits[byte & 15];
        }
        json += "\"}";
    }
    return json + "]";
}

std::string LabRequest() {
    return ReadFileBytes(HostPath(LabConnectionFile() + ".request"));
}

ScriptedExchange::ScriptedExchange(ImportFaults& faults, std::vector<std::string> pieces,
                                   PCCERT_CONTEXT certificate)
    : pieces_(std::move(pieces)) {
    faults.Answer<Api::WinHttpSendRequest>(
        [](HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) { return TRUE; });
    faults.Answer<Api::WinHttpReceiveResponse>([](HINTERNET, LPVOID) { return TRUE; });
    faults.Answer<Api::WinHttpQueryOption>(
        [certificate](HINTERNET, DWORD option, LPVOID buffer, LPDWORD size) {
            EXPECT_EQ(option, static_cast<DWORD>(WINHTTP_OPTION_SERVER_CERT_CONTEXT));
            EXPECT_EQ(*size, sizeof(PCCERT_CONTEXT));
            *static_cast<PCCERT_CONTEXT*>(buffer) =
                certificate == nullptr ? nullptr : CertDuplicateCertificateContext(certificate);
            SetLastError(0);
            return TRUE;
        });
    faults.Answer<Api::WinHttpQueryDataAvailable>([this](HINTERNET, LPDWORD available) {
        if (beforeQuery) {
            beforeQuery(next_);
        }
        *available = next_ < pieces_.size() ? static_cast<DWORD>(pieces_[next_].size()) : 0;
        return TRUE;
    });
    faults.Answer<Api::WinHttpReadData>([this](HINTERNET, LPVOID buffer, DWORD size, LPDWORD read) {
        *read = 0;
        if (next_ < pieces_.size()) {
            const std::string& piece = pieces_[next_++];
            *read = static_cast<DWORD>(std::min<size_t>(piece.size(), size));
            memcpy(buffer, piece.data(), *read);
        }
        return TRUE;
    });
}
