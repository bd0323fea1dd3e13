#include "reference_certs.h"

#include "report/report_log.h"

const wchar_t ImportRootSubjectText[] =
    L"CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US";
const wchar_t ImportRootSerialText[] = L"08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";

namespace {

const DWORD CertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD RecordHeaderLength = 4;

DWORD ReadLittleEndian32(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

}  // namespace

bool AddEncodedCertificates(HCERTSTORE store, const EncodedCertList* list, DWORD totalLength,
                            PCCERT_CONTEXT* firstContext) {
    // The lists are constants, but a length that runs past the end would read beyond them:
    // every record must fit in what remains.
    DWORD consumed = 0;
    do {
        const DWORD remaining = totalLength - consumed;
        if (list == nullptr || remaining < RecordHeaderLength) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        const BYTE* record = list + consumed;
        const DWORD length = ReadLittleEndian32(record);
        if (length > remaining - RecordHeaderLength) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        PCCERT_CONTEXT* out =
            firstContext != nullptr && *firstContext == nullptr ? firstContext : nullptr;
        if (!CertAddEncodedCertificateToStore(store, CertEncoding, record + RecordHeaderLength,
                                              length, CERT_STORE_ADD_ALWAYS, out)) {
            return false;
        }
        consumed += RecordHeaderLength + length;
    } while (consumed < totalLength);
    return true;
}

bool ImportReferenceRoot() {
    g_reportLog->Print(L"\r\nImporting certificate: ");
    g_reportLog->Print(L"\r\n\r\nSubject: %s", ImportRootSubjectText);
    g_reportLog->Print(L"\r\nSerial number: %s", ImportRootSerialText);

    ScopedCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"Root"));
    if (store.Get() == nullptr) {
        g_reportLog->PrintError(L"\r\nError: Cannot open system trusted root store");
        return false;
    }
    const bool imported =
        AddEncodedCertificates(store.Get(), ImportRootCerts, ImportRootCertsLength, nullptr);
    if (imported) {
        g_reportLog->Print(L"\r\n\r\nCertificate successfully imported");
    } else {
        g_reportLog->PrintError(
            L"\r\nError: CertAddCertificateContextToStore returned error %u\r\n", GetLastError());
    }
    store.Release();
    return imported;
}
