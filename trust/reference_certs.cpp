#include "reference_certs.h"

#include "cert_list.h"
#include "report/report_log.h"

const wchar_t ImportRootSubjectText[] =
    L"CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US";
const wchar_t ImportRootSerialText[] = L"08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";

namespace {

const DWORD CertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

bool AddEncodedCertificates(HCERTSTORE store, const EncodedCertList* list, DWORD totalLength,
                            PCCERT_CONTEXT* firstContext) {
    uint32_t offset = 0;
    do {
        CertRecord record;
        if (!NextCertRecord(list, totalLength, &offset, &record)) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        PCCERT_CONTEXT* out =
            firstContext != nullptr && *firstContext == nullptr ? firstContext : nullptr;
        if (!CertAddEncodedCertificateToStore(store, CertEncoding, record.der, record.length,
                                              CERT_STORE_ADD_ALWAYS, out)) {
            return false;
        }
    } while (offset < totalLength);
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
    // Closed here on both results, which disarms the holder: it is only the safety net.
    store.Release();
    return imported;
}
