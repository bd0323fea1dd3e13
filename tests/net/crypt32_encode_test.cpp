// The stand-in's name and Base64 renderings against what Wine's crypt32 printed for the same
// files (tests/net/wine/render_text.c, output in data/render/wine-renderings.txt).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/machine_fixture.h"

namespace {

const std::string DataDir = SKELVANE_SOURCE_DIR "/tests/net/data/";

// The files in the order the reference was recorded.
const char* const RenderedFiles[] = {
    "render/odd-names.der",        "service-server.der",
    "thawte-rsa-ca-2018.der",      "thawte-primary-root-ca-g3.der",
    "digicert-global-root-ca.der", "render/bytes1.bin",
    "render/bytes48.bin",          "render/bytes49.bin",
    "render/bytes100.bin",
};

std::string Escaped(const std::wstring& text) {
    std::string out;
    char unit[16];
    for (wchar_t c : text) {
        if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\n') {
            out += "\\n\n";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            snprintf(unit, sizeof unit, "\\u%04X", static_cast<unsigned>(c));
            out += unit;
        }
    }
    return out;
}

std::string NameLine(const char* label, PCCERT_CONTEXT context, CERT_NAME_BLOB* name, DWORD type) {
    DWORD count = CertNameToStrW(context->dwCertEncodingType, name, type, nullptr, 0);
    std::wstring text(count + 1, L'\0');
    DWORD written = CertNameToStrW(context->dwCertEncodingType, name, type, &text[0], count);
    text.resize(wcslen(text.c_str()));
    return std::string(label) + " (" + std::to_string(count) + ", " + std::to_string(written) +
           "): " + Escaped(text) + "\n";
}

std::string Base64Block(const char* label, const std::string& bytes, DWORD flags) {
    const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD length = static_cast<DWORD>(bytes.size());
    DWORD count = 0;
    BOOL sized = CryptBinaryToStringW(data, length, flags, nullptr, &count);
    std::wstring text(count + 1, L'\0');
    DWORD filled = count;
    BOOL done = CryptBinaryToStringW(data, length, flags, &text[0], &filled);
    text.resize(wcslen(text.c_str()));
    return std::string(label) + " (" + std::to_string(sized) + " " + std::to_string(count) + ", " +
           std::to_string(done) + " " + std::to_string(filled) + "):\n" + Escaped(text) + "\n";
}

std::string RenderFile(const std::string& name) {
    const std::string bytes = MachineTest::ReadHostFile(DataDir + name);
    std::string out = "== " + name.substr(name.find_last_of('/') + 1) + "\n";
    PCCERT_CONTEXT context = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
        static_cast<DWORD>(bytes.size()));
    if (context != nullptr) {
        CERT_INFO* info = context->pCertInfo;
        out += NameLine("subject x500", context, &info->Subject, CERT_X500_NAME_STR);
        out += NameLine("issuer x500", context, &info->Issuer, CERT_X500_NAME_STR);
        out += NameLine("subject simple", context, &info->Subject, CERT_SIMPLE_NAME_STR);
        out += NameLine("subject oid", context, &info->Subject, CERT_OID_NAME_STR);
        out += NameLine(
            "subject x500 reverse semicolon", context, &info->Subject,
            CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG);
        CertFreeCertificateContext(context);
    }
    out += Base64Block("base64 header", bytes, CRYPT_STRING_BASE64HEADER);
    out += Base64Block("base64", bytes, CRYPT_STRING_BASE64);
    return out;
}

// The reference split into its "== file" sections.
std::map<std::string, std::string> ReferenceSections() {
    const std::string text = MachineTest::ReadHostFile(DataDir + "render/wine-renderings.txt");
    std::map<std::string, std::string> sections;
    size_t at = 0;
    while (at < text.size()) {
        size_t next = text.find("\n== ", at);
        next = next == std::string::npos ? text.size() : next + 1;
        const std::string section = text.substr(at, next - at);
        sections[section.substr(3, section.find('\n') - 3)] = section;
        at = next;
    }
    return sections;
}

class Crypt32EncodeTest : public MachineTest {};

TEST_F(Crypt32EncodeTest, RendersAsWineDoes) {
    std::map<std::string, std::string> reference = ReferenceSections();
    ASSERT_EQ(reference.size(), sizeof RenderedFiles / sizeof RenderedFiles[0]);
    for (const char* file : RenderedFiles) {
        const std::string name = std::string(file).substr(std::string(file).find_last_of('/') + 1);
        if (name == "bytes49.bin") {
            continue;  // a known Wine difference, below
        }
        EXPECT_EQ(RenderFile(file), reference[name]) << file;
    }
}

// Base64 whose last line would hold only the final, padded group of four: Wine's crypt32 puts
// that group at the end of the line before and loses the end marker; Windows ends with a short
// line of its own, as the stand-in does.
TEST_F(Crypt32EncodeTest, ShortLastLineStandsOnItsOwn) {
    const std::string bytes = ReadHostFile(DataDir + "render/bytes49.bin");
    ASSERT_EQ(bytes.size(), 49u);
    const std::string rendered = RenderFile("render/bytes49.bin");
    EXPECT_NE(rendered, ReferenceSections()["bytes49.bin"]);
    const std::string header = rendered.substr(rendered.find("base64 header"));
    EXPECT_EQ(header.substr(0, header.find("):\n") + 3), "base64 header (1 129, 1 128):\n");
    std::vector<std::string> lines;
    for (size_t at = header.find(":\n") + 2; at < header.size();) {
        size_t end = header.find('\n', at);
        lines.push_back(header.substr(at, end - at));
        at = end + 1;
        if (lines.back().empty()) {
            break;
        }
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "-----BEGIN CERTIFICATE-----\\r\\n");
    EXPECT_EQ(lines[1].size(), 64u + 4u);
    EXPECT_EQ(lines[2].size(), 4u + 4u);
    EXPECT_EQ(lines[2].substr(2), "==\\r\\n");
    EXPECT_EQ(lines[3], "-----END CERTIFICATE-----\\r\\n");
}

TEST_F(Crypt32EncodeTest, Base64BufferTooSmall) {
    const BYTE bytes[] = {'A', 'B', 'C'};
    DWORD count = 0;
    ASSERT_TRUE(CryptBinaryToStringW(bytes, 3, CRYPT_STRING_BASE64HEADER, nullptr, &count));
    EXPECT_EQ(count, 27u + 2u + 4u + 2u + 25u + 2u + 1u);
    std::wstring text(count, L'?');
    DWORD small = count - 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptBinaryToStringW(bytes, 3, CRYPT_STRING_BASE64HEADER, &text[0], &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, count);
}

TEST_F(Crypt32EncodeTest, NameIntoShortBufferIsCutAndTerminated) {
    const std::string bytes = ReadHostFile(DataDir + "thawte-rsa-ca-2018.der");
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
                                     static_cast<DWORD>(bytes.size()));
    ASSERT_NE(context, nullptr);
    wchar_t text[6];
    wmemset(text, L'?', 6);
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &context->pCertInfo->Subject, CERT_X500_NAME_STR,
                             text, 5),
              5u);
    EXPECT_EQ(std::wstring(text), L"C=US");
    EXPECT_EQ(text[5], L'?');
    CERT_NAME_BLOB broken = {3, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("\x30\x05\x31"))};
    EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &broken, CERT_X500_NAME_STR, text, 6), 1u);
    EXPECT_EQ(text[0], L'\0');
    CertFreeCertificateContext(context);
}

}  // namespace
