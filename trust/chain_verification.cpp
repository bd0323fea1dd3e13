#include "chain_verification.h"

#include <cstring>
#include <iterator>

#include "vendor/vendor_hosts.h"
#include "report/report_log.h"

// The sizes the parameter blocks have on 32-bit Windows, where the program runs.
static_assert(sizeof(void*) != 4 || ChainEngineConfigSize == 40, "engine configuration size");
static_assert(sizeof(void*) != 4 || sizeof(CERT_CHAIN_PARA) == 16, "chain parameters size");
static_assert(sizeof(void*) != 4 || sizeof(CERT_CHAIN_POLICY_PARA) == 12, "policy para size");
static_assert(sizeof(void*) != 4 || sizeof(CERT_CHAIN_POLICY_STATUS) == 20, "policy status size");
static_assert(sizeof(void*) != 4 || sizeof(SSL_EXTRA_CERT_CHAIN_POLICY_PARA) == 16,
              "SSL policy para size");

namespace {

struct NamedValue {
    DWORD value;
    const wchar_t* text;
};

const NamedValue FaultingFunctionNames[] = {
    {1, L"CertOpenStore"},
    {2, L"CertAddEncodedCertificateToStore"},
    {3, L"CertCreateCertificateChainEngine"},
    {4, L"CertGetCertificateChain"},
    {5, L"CertVerifyCertificateChainPolicy"},
};

// Searched in this order, which is not ascending.
const NamedValue ChainTrustTexts[] = {
    {0x00000001,
     L"This certificate or one of the certificates in the certificate chain is not time valid."},
    {0x00000004,
     L"Trust for this certificate or one of the certificates in the certificate chain has been "
     L"revoked."},
    {0x00000008,
     L"The certificate or one of the certificates in the certificate chain does not have a valid "
     L"signature."},
    {0x00000010, L"The certificate or certificate chain is not valid for its proposed usage."},
    {0x00000020, L"The certificate or certificate chain is based on an untrusted root."},
    {0x00000040,
     L"The revocation status of the certificate or one of the certificates in the certificate "
     L"chain is unknown."},
    {0x00000080,
     L"One of the certificates in the chain was issued by a certification authority that the "
     L"original certificate had certified."},
    {0x00000100, L"One of the certificates has an extension that is not valid."},
    {0x00000200,
     L"The certificate or one of the certificates in the certificate chain has a policy "
     L"constraints extension, and one of the issued certificates has a disallowed policy mapping "
     L"extension or does not have a required issuance policies extension."},
    {0x00000400,
     L"The certificate or one of the certificates in the certificate chain has a basic constraints "
     L"extension, and either the certificate cannot be used to issue other certificates, or the "
     L"chain path length has been exceeded."},
    {0x00000800,
     L"The certificate or one of the certificates in the certificate chain has a name constraints "
     L"extension that is not valid."},
    {0x00001000,
     L"The certificate or one of the certificates in the certificate chain has a name constraints "
     L"extension that contains unsupported fields. The minimum and maximum fields are not "
     L"supported. Thus minimum must always be zero and maximum must always be absent. Only UPN is "
     L"supported for an Other Name. The following alternative name choices are not supported:[X400 "
     L"Address, EDI Party Name, Registered Id]."},
    {0x00002000,
     L"The certificate or one of the certificates in the certificate chain has a name constraints "
     L"extension and a name constraint is missing for one of the name choices in the end "
     L"certificate."},
    {0x00004000,
     L"The certificate or one of the certificates in the certificate chain has a name constraints "
     L"extension, and there is not a permitted name constraint for one of the name choices in the "
     L"end certificate."},
    {0x00008000,
     L"The certificate or one of the certificates in the certificate chain has a name constraints "
     L"extension, and one of the name choices in the end certificate is explicitly excluded."},
    {0x01000000,
     L"The revocation status of the certificate or one of the certificates in the certificate "
     L"chain is either offline or stale."},
    {0x02000000,
     L"The end certificate does not have any resultant issuance policies, and one of the issuing "
     L"certification authority certificates has a policy constraints extension requiring it."},
    {0x04000000, L"The certificate is explicitly distrusted."},
    {0x08000000, L"The certificate does not support a critical extension."},
    {0x00100000,
     L"The certificate has not been strong signed. Typically this indicates that the MD2 or MD5 "
     L"hashing algorithms were used to create a hash of the certificate."},
};

const NamedValue PolicyStatusTexts[] = {
    {0x80096004, L"The signature of the certificate cannot be verified."},
    {0x80092010, L"The certificate or signature has been revoked."},
    {0x800B0109,
     L"A certification chain processed correctly but terminated in a root certificate that is not "
     L"trusted by the trust provider."},
    {0x800B010D,
     L"The root certificate is a testing certificate, and policy settings disallow test "
     L"certificates."},
    {0x800B010A, L"A chain of certificates was not correctly created."},
    {0x800B0110, L"The certificate is not valid for the requested usage."},
    {0x800B0101, L"A required certificate is not within its validity period."},
    {0x800B0114,
     L"The certificate has an invalid name. Either the name is not included in the permitted list, "
     L"or it is explicitly excluded."},
    {0x800B0113, L"The certificate has an invalid policy."},
    {0x80096019, L"The basic constraints of the certificate are not valid, or they are missing."},
    {0x800B0105,
     L"The certificate is being used for a purpose other than the purpose specified by its CA."},
    {0x800B0102, L"The validity periods of the certification chain do not nest correctly."},
    {0x80092012, L"The revocation function was unable to check revocation for the certificate."},
    {0x80092013,
     L"The revocation function was unable to check revocation because the revocation server was "
     L"offline."},
    {0x800B0106,
     L"The certificate is being used for a purpose other than one specified by the issuing CA."},
    {0x800B010C, L"The certificate has been explicitly revoked by the issuer."},
    {0x800B010E,
     L"The revocation process could not continue, and the certificate could not be checked."},
    {0x800B010F, L"The certificate's CN name does not match the passed value."},
    {0x800B0103,
     L"A certificate that can only be used as an end-entity is being used as a CA or vice versa."},
};

enum FaultingFunction : DWORD {
    FaultOpenStore = 1,
    FaultAddCertificate = 2,
    FaultCreateEngine = 3,
    FaultGetChain = 4,
    FaultVerifyPolicy = 5,
};

const DWORD NoChain = 0xFFFFFFFF;
const DWORD NoPolicy = 0xFFFFFFFF;
// Revocation is never asked for; these two bits say only that its status is not known.
const DWORD RevocationBits =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// What the verification holds, freed on every return in the reverse order.
struct ChainResources {
    ScopedCertStoreClosedWith<0> store;
    ScopedCertChainEngine engine;
    ScopedCertChain chain;
    ScopedCertContext serverCertificate;
};

bool Fault(ChainTestResult* result, DWORD function) {
    result->lastApiError = GetLastError();
    result->faultingFunction = function;
    return false;
}

bool CreateChainEngine(HCERTSTORE additionalStore, bool useLocalMachine, HCERTCHAINENGINE* engine) {
    CERT_CHAIN_ENGINE_CONFIG config = {};
    config.cbSize = ChainEngineConfigSize;
    config.cAdditionalStore = 1;
    config.rghAdditionalStore = &additionalStore;
    config.dwFlags = useLocalMachine
                         ? CERT_CHAIN_CACHE_END_CERT | CERT_CHAIN_USE_LOCAL_MACHINE_STORE
                         : CERT_CHAIN_CACHE_END_CERT;
    return CertCreateCertificateChainEngine(&config, engine) != FALSE;
}

bool GetChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate, PCCERT_CHAIN_CONTEXT* chain) {
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    return CertGetCertificateChain(engine, certificate, nullptr, nullptr, &chainPara,
                                   CERT_CHAIN_CACHE_END_CERT, nullptr, chain) != FALSE;
}

// The SSL server policy for ServiceHost; the status's dwError lands in `policyError` whether or
// not the call succeeded.
bool VerifySslPolicy(PCCERT_CHAIN_CONTEXT chain, DWORD* policyError) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara = {};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    sslPara.fdwChecks = 0;
    sslPara.pwszServerName = const_cast<WCHAR*>(ServiceHost);
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof policyStatus;
    const BOOL verified =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus);
    *policyError = policyStatus.dwError;
    return verified != FALSE;
}

const wchar_t* FindText(const NamedValue* table, size_t count, DWORD value) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].value == value) {
            return table[i].text;
        }
    }
    return nullptr;
}

}  // namespace

void RunChainTest(bool useLocalMachine) {
    g_reportLog->Print(L"\r\n\r\nVerify chain test: [%s]",
                       useLocalMachine ? L"LocalMachine" : L"CurrentUser");
    ChainTestResult result = {0, 0, 0, 0};
    if (VerifyServerChain(ServerChainCerts, ServerChainCertsLength, AdditionalCerts,
                          AdditionalCertsLength, &result, useLocalMachine)) {
        g_reportLog->Print(L"\r\nOK");
        return;
    }
    g_reportLog->PrintError(
        L"\r\nProblem detected!\r\n\tDiagnostic info for developers:\r\n\tLastApiError: 0x%08x",
        result.lastApiError);
    PrintFaultingFunction(result.faultingFunction);
    PrintChainTrust(result.chainTrust);
    PrintChainPolicyStatus(result.chainPolicyStatus);
}

bool VerifyServerChain(const EncodedCertList* serverChain, DWORD serverChainLength,
                       const EncodedCertList* additional, DWORD additionalLength,
                       ChainTestResult* result, bool useLocalMachine) {
    ChainTestResult unused;
    if (result == nullptr) {
        result = &unused;
    }
    *result = {0, 0, NoChain, NoPolicy};
    ChainResources held;

    held.store.Reset(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                   0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (held.store.IsEmpty()) {
        return Fault(result, FaultOpenStore);
    }
    if (!AddEncodedCertificates(held.store.Get(), serverChain, serverChainLength,
                                held.serverCertificate.Put())) {
        return Fault(result, FaultAddCertificate);
    }
    if (IsSha2SignatureUnverifiable(held.serverCertificate.Get())) {
        // Reported by the SHA-2 support check; a chain could not be verified here at all.
        result->chainTrust = 0;
        result->chainPolicyStatus = 0;
        return true;
    }
    if (additional != nullptr && additionalLength != 0 &&
        !AddEncodedCertificates(held.store.Get(), additional, additionalLength, nullptr)) {
        return Fault(result, FaultAddCertificate);
    }
    if (!CreateChainEngine(held.store.Get(), useLocalMachine, held.engine.Put())) {
        return Fault(result, FaultCreateEngine);
    }
    if (!GetChain(held.engine.Get(), held.serverCertificate.Get(), held.chain.Put())) {
        return Fault(result, FaultGetChain);
    }
    result->chainTrust = held.chain.Get()->TrustStatus.dwErrorStatus;
    if ((result->chainTrust & ~RevocationBits) != 0) {
        return false;
    }
    DWORD policyError = NoPolicy;
    const bool verified = VerifySslPolicy(held.chain.Get(), &policyError);
    result->chainPolicyStatus = policyError;
    if (!verified) {
        return Fault(result, FaultVerifyPolicy);
    }
    return policyError == 0 || policyError == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
}

bool IsSha2SignatureUnverifiable(PCCERT_CONTEXT certificate) {
    if (certificate == nullptr || certificate->pCertInfo == nullptr ||
        certificate->pCertInfo->SignatureAlgorithm.pszObjId == nullptr) {
        return false;
    }
    static const char* const Sha2Signatures[] = {
        "1.2.840.113549.1.1.11",  // sha256WithRSAEncryption
        "1.2.840.113549.1.1.12",  // sha384WithRSAEncryption
        "1.2.840.113549.1.1.13",  // sha512WithRSAEncryption
    };
    for (const char* oid : Sha2Signatures) {
        if (strcmp(certificate->pCertInfo->SignatureAlgorithm.pszObjId, oid) == 0) {
            return IsSha256Unsupported();
        }
    }
    return false;
}

bool IsSha256Unsupported() {
    // The default key container, unlike the SHA-2 support check's verify context.
    ScopedCryptProvider provider;
    BOOL acquired = CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, 0);
    if (!acquired && GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET)) {
        acquired =
            CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET);
    }
    if (!acquired) {
        return false;
    }
    ScopedCryptHash hash;
    // Only whether a hash can be made counts: the holders free it, then the provider.
    return !CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put()) &&
           GetLastError() == static_cast<DWORD>(NTE_BAD_ALGID);
}

void PrintFaultingFunction(DWORD number) {
    g_reportLog->Print(L"\r\n\tFaulting function: %d", static_cast<int>(number));
    const wchar_t* name =
        number == 0 ? nullptr
                    : FindText(FaultingFunctionNames, std::size(FaultingFunctionNames), number);
    if (name != nullptr) {
        g_reportLog->Print(L" ( %s )", name);
    }
}

void PrintChainTrust(DWORD bits) {
    g_reportLog->Print(L"\r\n\tchainTrust: 0x%08x", bits);
    if (bits == 0) {
        g_reportLog->Print(L" = No error found for this certificate or chain.");
        return;
    }
    for (const NamedValue& row : ChainTrustTexts) {
        if ((bits & row.value) == row.value) {
            g_reportLog->Print(L"\r\n\t\t0x%08x: %s", row.value, row.text);
        }
    }
}

void PrintChainPolicyStatus(DWORD code) {
    g_reportLog->Print(L"\r\n\tchainPolicyStatus: 0x%08x", code);
    const wchar_t* text = FindText(PolicyStatusTexts, std::size(PolicyStatusTexts), code);
    if (text != nullptr) {
        g_reportLog->Print(L"\r\n\t\t0x%08x: %s", code, text);
    }
}
