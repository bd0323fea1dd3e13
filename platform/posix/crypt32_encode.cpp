// Stand-in for crypt32's text renderings: CryptBinaryToStringW (Base64, with or without the
// certificate marker lines) and CertNameToStrW (simple, OID and X.500 forms), laid out as
// Windows lays them out: "\r\n" line ends, 64 characters a line, the RDNs in their encoded order
// with ", " between them and " + " inside a multi-valued RDN, values quoted when they hold a
// separator or start or end with a blank. Left out: the other CRYPT_STRING_* forms.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "machine.h"
#include "text.h"

namespace standin {
namespace {

std::wstring Base64Text(const BYTE* binary, DWORD length, DWORD flags) {
    const DWORD form = flags & 0x0000FFFF;
    const wchar_t* lineEnd = (flags & CRYPT_STRING_NOCRLF) ? L""
                             : (flags & CRYPT_STRING_NOCR) ? L"\n"
                                                           : L"\r\n";
    std::string encoded(4 * ((static_cast<size_t>(length) + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]), binary,
                                     static_cast<int>(length));
    encoded.resize(size > 0 ? static_cast<size_t>(size) : 0);
    std::wstring text;
    if (form == CRYPT_STRING_BASE64HEADER) {
        text += L"-----BEGIN CERTIFICATE-----";
        text += lineEnd;
    }
    for (size_t at = 0; at < encoded.size(); at += 64) {
        const std::string line = encoded.substr(at, 64);
        text.append(line.begin(), line.end());
        text += lineEnd;
    }
    if (form == CRYPT_STRING_BASE64HEADER) {
        text += L"-----END CERTIFICATE-----";
        text += lineEnd;
    }
    return text;
}

struct AttributeKey {
    const char* oid;
    const wchar_t* key;
};

// The X.500 keys Windows knows for name attributes; any other attribute shows its dotted OID.
const AttributeKey Keys[] = {
    {"2.5.4.3", L"CN"},
    {"2.5.4.42", L"G"},
    {"2.5.4.4", L"SN"},
    {"2.5.4.7", L"L"},
    {"2.5.4.10", L"O"},
    {"2.5.4.11", L"OU"},
    {"2.5.4.12", L"T"},
    {"2.5.4.8", L"S"},
    {"2.5.4.9", L"STREET"},
    {"2.5.4.6", L"C"},
    {"0.9.2342.19200300.100.1.25", L"DC"},
    {"1.2.840.113549.1.9.1", L"E"},
    {"2.5.4.5", L"SERIALNUMBER"},
    {"2.5.4.43", L"I"},
    {"2.5.4.17", L"PostalCode"},
    {"2.5.4.13", L"Description"},
    {"2.5.4.18", L"POBox"},
    {"2.5.4.20", L"Phone"},
    {"2.5.4.24", L"X21Address"},
    {"2.5.4.46", L"dnQualifier"},
    {"1.2.840.113549.1.9.2", L"unstructuredName"},
    {"1.2.840.113549.1.9.8", L"unstructuredAddress"},
};

std::wstring DottedOid(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof text) {
        return std::wstring();
    }
    return std::wstring(text, text + length);
}

std::wstring AttributeName(const ASN1_OBJECT* object, DWORD form) {
    const std::wstring oid = DottedOid(object);
    if (form == CERT_X500_NAME_STR) {
        for (const AttributeKey& entry : Keys) {
            if (oid.size() == strlen(entry.oid) && std::equal(oid.begin(), oid.end(), entry.oid)) {
                return entry.key;
            }
        }
    }
    return oid;
}

std::wstring ValueText(const ASN1_STRING* value) {
    switch (ASN1_STRING_type(value)) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_T61STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_VISIBLESTRING: {
            unsigned char* utf8 = nullptr;
            const int length = ASN1_STRING_to_UTF8(&utf8, value);
            if (length < 0) {
                return std::wstring();
            }
            std::wstring text = WideFromUtf8(reinterpret_cast<const char*>(utf8), length);
            OPENSSL_free(utf8);
            return text;
        }
        default: {
            // Not a string: its content octets in hexadecimal.
            static const wchar_t digits[] = L"0123456789ABCDEF";
            std::wstring text;
            const unsigned char* bytes = ASN1_STRING_get0_data(value);
            for (int i = 0; i < ASN1_STRING_length(value); ++i) {
                text += digits[bytes[i] >> 4];
                text += digits[bytes[i] & 0xF];
            }
            return text;
        }
    }
}

bool NeedsQuotes(const std::wstring& value) {
    if (value.empty()) {
        return false;
    }
    if (value.front() == L' ' || value.back() == L' ') {
        return true;
    }
    return value.find_first_of(L",+=\"\n<>#;") != std::wstring::npos;
}

std::wstring QuotedValue(const std::wstring& value) {
    std::wstring text = L"\"";
    for (wchar_t c : value) {
        text += c;
        if (c == L'"') {
            text += L'"';
        }
    }
    return text + L"\"";
}

// The rendering of a DER-encoded name, or false when the bytes are not one.
bool RenderName(const CERT_NAME_BLOB& blob, DWORD type, std::wstring* text) {
    const unsigned char* cursor = blob.pbData;
    X509_NAME* name =
        blob.pbData == nullptr ? nullptr : d2i_X509_NAME(nullptr, &cursor, blob.cbData);
    if (name == nullptr) {
        return false;
    }
    const DWORD form = type & 0xFF;
    const wchar_t* rdnSeparator = (type & CERT_NAME_STR_SEMICOLON_FLAG) ? L"; "
                                  : (type & CERT_NAME_STR_CRLF_FLAG)    ? L"\r\n"
                                                                        : L", ";
    const wchar_t* plusSeparator = (type & CERT_NAME_STR_NO_PLUS_FLAG) ? L" " : L" + ";
    const bool quoting = (type & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;

    // Attributes grouped by RDN, in encoded order.
    std::vector<std::vector<std::wstring>> rdns;
    int lastSet = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        std::wstring value = ValueText(X509_NAME_ENTRY_get_data(entry));
        if (quoting && NeedsQuotes(value)) {
            value = QuotedValue(value);
        }
        std::wstring attribute =
            form == CERT_SIMPLE_NAME_STR
                ? value
                : AttributeName(X509_NAME_ENTRY_get_object(entry), form) + L"=" + value;
        const int set = X509_NAME_ENTRY_set(entry);
        if (rdns.empty() || set != lastSet) {
            rdns.emplace_back();
            lastSet = set;
        }
        rdns.back().push_back(attribute);
    }
    X509_NAME_free(name);
    if (type & CERT_NAME_STR_REVERSE_FLAG) {
        std::reverse(rdns.begin(), rdns.end());
    }
    text->clear();
    for (size_t r = 0; r < rdns.size(); ++r) {
        if (r > 0) {
            *text += rdnSeparator;
        }
        for (size_t a = 0; a < rdns[r].size(); ++a) {
            if (a > 0) {
                *text += plusSeparator;
            }
            *text += rdns[r][a];
        }
    }
    return true;
}

}  // namespace
}  // namespace standin

using namespace standin;

BOOL WINAPI CryptBinaryToStringW(const BYTE* binary, DWORD length, DWORD flags, LPWSTR text,
                                 DWORD* count) {
    if (Injected("CryptBinaryToStringW")) {
        return FALSE;
    }
    if (binary == nullptr || count == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD form = flags & 0x0000FFFF;
    if (form != CRYPT_STRING_BASE64HEADER && form != CRYPT_STRING_BASE64) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring rendered = Base64Text(binary, length, flags);
    const DWORD needed = static_cast<DWORD>(rendered.size() + 1);
    if (text == nullptr) {
        *count = needed;
        return TRUE;
    }
    if (*count < needed) {
        *count = needed;
        return Fail(ERROR_MORE_DATA);
    }
    wmemcpy(text, rendered.c_str(), needed);
    *count = needed - 1;
    return TRUE;
}

DWORD WINAPI CertNameToStrW(DWORD encodingType, PCERT_NAME_BLOB name, DWORD type, LPWSTR text,
                            DWORD count) {
    std::wstring rendered;
    if (Injected("CertNameToStrW") || (encodingType & X509_ASN_ENCODING) == 0 || name == nullptr ||
        !RenderName(*name, type, &rendered)) {
        rendered.clear();  // Windows answers an empty string, one character with its terminator
    }
    const DWORD needed = static_cast<DWORD>(rendered.size() + 1);
    if (text == nullptr || count == 0) {
        return needed;
    }
    const DWORD copied = needed < count ? needed : count;
    wmemcpy(text, rendered.c_str(), copied - 1);
    text[copied - 1] = L'\0';
    return copied;
}
