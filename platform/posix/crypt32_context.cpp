// Stand-in for crypt32's certificate contexts: CERT_INFO as Windows fills it (serial number
// little-endian, names as their DER blobs, object identifiers as dotted text), reference counted.
// Left out: CRLs, CTLs and context properties.
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cert_context.h"
#include "handles.h"
#include "machine.h"

namespace standin {
namespace {

class CertContextData : public KernelObject {
  public:
    ~CertContextData() override { X509_free(x509); }

    CERT_CONTEXT context = {};
    CERT_INFO info = {};
    X509* x509 = nullptr;
    int references = 1;
    std::vector<BYTE> encoded, serial, issuer, subject, signatureParameters, keyParameters,
        publicKey;
    std::string signatureOid, keyOid;
    std::vector<std::string> extensionOids;
    std::vector<std::vector<BYTE>> extensionValues;
    std::vector<CERT_EXTENSION> extensions;
};

// Contexts by the address the caller holds; the live set tells whether one is still there.
std::map<const CERT_CONTEXT*, const void*>& Contexts() {
    static std::map<const CERT_CONTEXT*, const void*> contexts;
    return contexts;
}

CertContextData* DataOf(PCCERT_CONTEXT context) {
    auto found = Contexts().find(context);
    if (found == Contexts().end()) {
        return nullptr;
    }
    auto* data = HandleAs<CertContextData>(found->second);
    if (data == nullptr) {
        Contexts().erase(found);  // released by a machine reset
    }
    return data;
}

std::string DottedOid(const ASN1_OBJECT* object) {
    char text[128];
    int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && static_cast<size_t>(length) < sizeof text ? std::string(text, length)
                                                                   : std::string();
}

template <class T, class Encode>
std::vector<BYTE> DerOf(T* value, Encode encode) {
    int length = encode(value, nullptr);
    if (length <= 0) {
        return {};
    }
    std::vector<BYTE> bytes(static_cast<size_t>(length));
    unsigned char* out = bytes.data();
    encode(value, &out);
    return bytes;
}

FILETIME FileTimeOf(const ASN1_TIME* time) {
    struct tm parts = {};
    FILETIME result = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return result;
    }
    SYSTEMTIME system = {static_cast<WORD>(parts.tm_year + 1900),
                         static_cast<WORD>(parts.tm_mon + 1),
                         0,
                         static_cast<WORD>(parts.tm_mday),
                         static_cast<WORD>(parts.tm_hour),
                         static_cast<WORD>(parts.tm_min),
                         static_cast<WORD>(parts.tm_sec),
                         0};
    SystemTimeToFileTime(&system, &result);
    return result;
}

BYTE* DataOrNull(std::vector<BYTE>& bytes) {
    return bytes.empty() ? nullptr : bytes.data();
}

void FillInfo(CertContextData& data) {
    X509* x509 = data.x509;
    CERT_INFO& info = data.info;
    info.dwVersion = static_cast<DWORD>(X509_get_version(x509));

    const ASN1_INTEGER* serial = X509_get0_serialNumber(x509);
    data.serial.assign(serial->data, serial->data + serial->length);
    std::reverse(data.serial.begin(), data.serial.end());  // Windows keeps integers little-endian
    info.SerialNumber = {static_cast<DWORD>(data.serial.size()), DataOrNull(data.serial)};

    const X509_ALGOR* signature = nullptr;
    X509_get0_signature(nullptr, &signature, x509);
    const ASN1_OBJECT* signatureObject = nullptr;
    X509_ALGOR_get0(&signatureObject, nullptr, nullptr, signature);
    data.signatureOid = DottedOid(signatureObject);
    info.SignatureAlgorithm.pszObjId = data.signatureOid.empty() ? nullptr : &data.signatureOid[0];

    data.issuer = DerOf(X509_get_issuer_name(x509), i2d_X509_NAME);
    data.subject = DerOf(X509_get_subject_name(x509), i2d_X509_NAME);
    info.Issuer = {static_cast<DWORD>(data.issuer.size()), DataOrNull(data.issuer)};
    info.Subject = {static_cast<DWORD>(data.subject.size()), DataOrNull(data.subject)};
    info.NotBefore = FileTimeOf(X509_get0_notBefore(x509));
    info.NotAfter = FileTimeOf(X509_get0_notAfter(x509));

    const unsigned char* key = nullptr;
    int keyLength = 0;
    X509_ALGOR* keyAlgorithm = nullptr;
    ASN1_OBJECT* keyObject = nullptr;
    if (X509_PUBKEY_get0_param(&keyObject, &key, &keyLength, &keyAlgorithm,
                               X509_get_X509_PUBKEY(x509)) == 1) {
        data.keyOid = DottedOid(keyObject);
        data.publicKey.assign(key, key + keyLength);
    }
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = data.keyOid.empty() ? nullptr : &data.keyOid[0];
    info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(data.publicKey.size()),
                                           DataOrNull(data.publicKey), 0};

    const int count = X509_get_ext_count(x509);
    data.extensionOids.resize(static_cast<size_t>(count > 0 ? count : 0));
    data.extensionValues.resize(data.extensionOids.size());
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = X509_get_ext(x509, i);
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(extension);
        data.extensionOids[i] = DottedOid(X509_EXTENSION_get_object(extension));
        data.extensionValues[i].assign(value->data, value->data + value->length);
        CERT_EXTENSION entry = {&data.extensionOids[i][0],
                                X509_EXTENSION_get_critical(extension),
                                {static_cast<DWORD>(data.extensionValues[i].size()),
                                 DataOrNull(data.extensionValues[i])}};
        data.extensions.push_back(entry);
    }
    info.cExtension = static_cast<DWORD>(data.extensions.size());
    info.rgExtension = data.extensions.empty() ? nullptr : data.extensions.data();
}

}  // namespace

PCCERT_CONTEXT NewCertContext(const BYTE* encoded, DWORD length, HCERTSTORE store) {
    const unsigned char* cursor = encoded;
    X509* x509 = encoded == nullptr ? nullptr : d2i_X509(nullptr, &cursor, length);
    if (x509 == nullptr || cursor != encoded + length) {
        X509_free(x509);
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return nullptr;
    }
    auto data = std::make_unique<CertContextData>();
    data->x509 = x509;
    data->encoded.assign(encoded, encoded + length);
    FillInfo(*data);
    data->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    data->context.pbCertEncoded = data->encoded.data();
    data->context.cbCertEncoded = length;
    data->context.pCertInfo = &data->info;
    data->context.hCertStore = store;
    const CERT_CONTEXT* context = &data->context;
    Contexts()[context] = AddHandle(std::move(data));
    return context;
}

X509* X509OfContext(PCCERT_CONTEXT context) {
    CertContextData* data = DataOf(context);
    return data == nullptr ? nullptr : data->x509;
}

bool IsLiveContext(PCCERT_CONTEXT context) {
    return DataOf(context) != nullptr;
}

}  // namespace standin

using namespace standin;

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD encodingType, const BYTE* encoded,
                                                   DWORD encodedLength) {
    if (Injected("CertCreateCertificateContext")) {
        return nullptr;
    }
    if ((encodingType & X509_ASN_ENCODING) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return NewCertContext(encoded, encodedLength, nullptr);
}

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    CertContextData* data = DataOf(context);
    if (data == nullptr) {
        return nullptr;
    }
    ++data->references;
    return context;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT context) {
    CertContextData* data = DataOf(context);
    if (data != nullptr && --data->references == 0) {
        const void* handle = Contexts()[context];
        Contexts().erase(context);
        RemoveHandle(handle);
    }
    return TRUE;
}
