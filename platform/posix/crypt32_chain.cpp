// Stand-in for crypt32's chain engines, chain building and the SSL chain policy, on OpenSSL's
// verifier. The roots an engine trusts are the machine's Root store (for the current user's
// engine also the user's own) and the host's CA bundle; the certificates it may build through
// are its additional stores, the end certificate's own store and the call's extra store. Every
// error OpenSSL finds is kept (the verification goes on past each) and becomes the CERT_TRUST_*
// bit of the certificate it concerns, so a chain reports all its faults as Windows does.
// Left out: restricted and exclusive root stores, CRL and OCSP retrieval (revocation comes only
// from the machine's revocation setting), cross certificates, lower-quality chains, policies
// other than the base and SSL ones.
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <vector>

#include "cert_context.h"
#include "crypt32_store.h"
#include "handles.h"
#include "host_roots.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

const DWORD OldestEngineConfigSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot);

class ChainEngine : public KernelObject {
  public:
    ~ChainEngine() override {
        for (HCERTSTORE store : additionalStores) {
            CloseStore(store);
        }
    }
    bool localMachine = false;
    std::vector<HCERTSTORE> additionalStores;  // each held by one CertDuplicateStore
};

class ChainData : public KernelObject {
  public:
    ~ChainData() override {
        for (CERT_CHAIN_ELEMENT& element : elements) {
            CertFreeCertificateContext(element.pCertContext);
        }
    }
    CERT_CHAIN_CONTEXT context = {};
    CERT_SIMPLE_CHAIN simple = {};
    PCERT_SIMPLE_CHAIN simpleChains[1] = {};
    std::vector<CERT_CHAIN_ELEMENT> elements;
    std::vector<PCERT_CHAIN_ELEMENT> elementPointers;
};

std::map<const CERT_CHAIN_CONTEXT*, const void*>& Chains() {
    static std::map<const CERT_CHAIN_CONTEXT*, const void*> chains;
    return chains;
}

ChainData* ChainOf(PCCERT_CHAIN_CONTEXT chain) {
    auto found = Chains().find(chain);
    if (found == Chains().end()) {
        return nullptr;
    }
    auto* data = HandleAs<ChainData>(found->second);
    if (data == nullptr) {
        Chains().erase(found);  // released by a machine reset
    }
    return data;
}

// OpenSSL's verification errors as trust bits of the certificate they concern.
struct ErrorBits {
    int error;
    DWORD bits;
};
const ErrorBits VerifyErrorBits[] = {
    {X509_V_ERR_CERT_NOT_YET_VALID, CERT_TRUST_IS_NOT_TIME_VALID},
    {X509_V_ERR_CERT_HAS_EXPIRED, CERT_TRUST_IS_NOT_TIME_VALID},
    {X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD, CERT_TRUST_IS_NOT_TIME_VALID},
    {X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD, CERT_TRUST_IS_NOT_TIME_VALID},
    {X509_V_ERR_CERT_SIGNATURE_FAILURE, CERT_TRUST_IS_NOT_SIGNATURE_VALID},
    {X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE, CERT_TRUST_IS_NOT_SIGNATURE_VALID},
    {X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, CERT_TRUST_IS_NOT_SIGNATURE_VALID},
    {X509_V_ERR_CERT_REVOKED, CERT_TRUST_IS_REVOKED},
    {X509_V_ERR_INVALID_PURPOSE, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
    {X509_V_ERR_KEYUSAGE_NO_CERTSIGN, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
    {X509_V_ERR_CERT_UNTRUSTED, CERT_TRUST_IS_UNTRUSTED_ROOT},
    {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, CERT_TRUST_IS_UNTRUSTED_ROOT},
    {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, CERT_TRUST_IS_UNTRUSTED_ROOT},
    {X509_V_ERR_CERT_REJECTED, CERT_TRUST_IS_EXPLICIT_DISTRUST},
    {X509_V_ERR_INVALID_CA, CERT_TRUST_INVALID_BASIC_CONSTRAINTS},
    {X509_V_ERR_PATH_LENGTH_EXCEEDED, CERT_TRUST_INVALID_BASIC_CONSTRAINTS},
    {X509_V_ERR_INVALID_EXTENSION, CERT_TRUST_INVALID_EXTENSION},
    {X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION,
     CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT | CERT_TRUST_INVALID_EXTENSION},
    {X509_V_ERR_INVALID_POLICY_EXTENSION, CERT_TRUST_INVALID_POLICY_CONSTRAINTS},
    {X509_V_ERR_NO_EXPLICIT_POLICY, CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY},
    {X509_V_ERR_PERMITTED_VIOLATION, CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT},
    {X509_V_ERR_EXCLUDED_VIOLATION, CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT},
    {X509_V_ERR_SUBTREE_MINMAX, CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT},
    {X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE, CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT},
    {X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX, CERT_TRUST_INVALID_NAME_CONSTRAINTS},
    {X509_V_ERR_UNSUPPORTED_NAME_SYNTAX, CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT},
};

struct VerifyFinding {
    int depth;
    int error;
    X509* certificate;  // the one OpenSSL names, when it names one
};

// Errors that say the chain stops short of any root.
bool IsMissingIssuer(int error) {
    return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
}

int KeepVerifying(int ok, X509_STORE_CTX* context) {
    if (ok == 1) {
        return 1;  // a certificate passed (the context may still hold an earlier error)
    }
    auto* findings = static_cast<std::vector<VerifyFinding>*>(X509_STORE_CTX_get_app_data(context));
    findings->push_back({X509_STORE_CTX_get_error_depth(context), X509_STORE_CTX_get_error(context),
                         X509_STORE_CTX_get_current_cert(context)});
    return 1;  // go on: every fault is reported, not only the first
}

// The certificates a chain may use, each with the context it came from.
struct Candidates {
    ~Candidates() {
        for (HCERTSTORE store : openedRoots) {
            CloseStore(store);
        }
        sk_X509_free(untrusted);
        X509_STORE_free(roots);
    }
    X509_STORE* roots = X509_STORE_new();
    STACK_OF(X509) * untrusted = sk_X509_new_null();
    std::vector<PCCERT_CONTEXT> known;  // borrowed from the stores below
    std::vector<HCERTSTORE> openedRoots;
};

void AddUntrusted(Candidates& candidates, HCERTSTORE store) {
    CertStore* data = StoreOf(store);
    if (data == nullptr) {
        return;
    }
    for (PCCERT_CONTEXT context : data->contexts) {
        sk_X509_push(candidates.untrusted, X509OfContext(context));
        candidates.known.push_back(context);
    }
}

void AddRoots(Candidates& candidates, bool localMachine) {
    HCERTSTORE store = OpenSystemStore(localMachine, L"Root", true, true);
    if (store == nullptr) {
        return;
    }
    candidates.openedRoots.push_back(store);
    for (PCCERT_CONTEXT context : StoreOf(store)->contexts) {
        X509_STORE_add_cert(candidates.roots, X509OfContext(context));
        candidates.known.push_back(context);
    }
}

// The context of a chain certificate: its store's context when it came from one, else a new one.
PCCERT_CONTEXT ContextOf(const Candidates& candidates, X509* certificate) {
    for (PCCERT_CONTEXT context : candidates.known) {
        if (X509OfContext(context) == certificate) {
            return CertDuplicateCertificateContext(context);
        }
    }
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(certificate, &encoded);
    PCCERT_CONTEXT context =
        length > 0 ? NewCertContext(encoded, static_cast<DWORD>(length), nullptr) : nullptr;
    OPENSSL_free(encoded);
    return context;
}

bool IsSelfSigned(X509* certificate) {
    return (X509_get_extension_flags(certificate) & EXFLAG_SS) != 0;
}

DWORD InfoBits(X509* certificate, bool issuerFound) {
    DWORD bits = 0;
    if (issuerFound) {
        bits |= X509_get0_authority_key_id(certificate) != nullptr
                    ? CERT_TRUST_HAS_KEY_MATCH_ISSUER
                    : CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    }
    if (IsSelfSigned(certificate)) {
        bits |= CERT_TRUST_IS_SELF_SIGNED;
    }
    return bits;
}

// MD2 and MD5 signatures, which Windows reports as not strong.
bool HasWeakSignature(X509* certificate) {
    const int nid = X509_get_signature_nid(certificate);
    return nid == NID_md2WithRSAEncryption || nid == NID_md5WithRSAEncryption;
}

bool HasUsage(X509* certificate, const char* oid) {
    if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0) {
        return true;  // no extended key usage: valid for every usage
    }
    auto* usages = static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr));
    bool found = false;
    for (int i = 0; usages != nullptr && i < sk_ASN1_OBJECT_num(usages) && !found; ++i) {
        char text[128];
        OBJ_obj2txt(text, sizeof text, sk_ASN1_OBJECT_value(usages, i), 1);
        found = strcmp(text, oid) == 0 || strcmp(text, szOID_ANY_ENHANCED_KEY_USAGE) == 0;
    }
    EXTENDED_KEY_USAGE_free(usages);
    return found;
}

bool MeetsRequestedUsage(X509* certificate, const CERT_USAGE_MATCH& requested) {
    const CERT_ENHKEY_USAGE& usage = requested.Usage;
    if (usage.cUsageIdentifier == 0 || usage.rgpszUsageIdentifier == nullptr) {
        return true;
    }
    bool any = false;
    for (DWORD i = 0; i < usage.cUsageIdentifier; ++i) {
        const bool has = HasUsage(certificate, usage.rgpszUsageIdentifier[i]);
        if (requested.dwType == USAGE_MATCH_TYPE_AND && !has) {
            return false;
        }
        any = any || has;
    }
    return any;
}

uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

time_t UnixTimeOf(uint64_t fileTime) {
    const uint64_t epochDifference = 116444736000000000ULL;
    return fileTime < epochDifference
               ? 0
               : static_cast<time_t>((fileTime - epochDifference) / 10000000);
}

// The element a finding concerns: the certificate OpenSSL names, else the depth it gives.
int ElementIndexOf(STACK_OF(X509) * chain, const VerifyFinding& finding) {
    const int count = sk_X509_num(chain);
    for (int i = 0; finding.certificate != nullptr && i < count; ++i) {
        if (sk_X509_value(chain, i) == finding.certificate) {
            return i;
        }
    }
    return finding.depth >= 0 && finding.depth < count ? finding.depth : -1;
}

PCCERT_CHAIN_CONTEXT NewChain(const Candidates& candidates, STACK_OF(X509) * chain,
                              const std::vector<VerifyFinding>& findings,
                              const CERT_USAGE_MATCH& requestedUsage) {
    auto data = std::make_unique<ChainData>();
    const int count = sk_X509_num(chain);
    DWORD chainBits = 0;
    data->elements.resize(static_cast<size_t>(count));
    for (const VerifyFinding& finding : findings) {
        if (IsMissingIssuer(finding.error)) {
            chainBits |= CERT_TRUST_IS_PARTIAL_CHAIN;
            continue;
        }
        const int index = ElementIndexOf(chain, finding);
        for (const ErrorBits& row : VerifyErrorBits) {
            if (row.error == finding.error && index >= 0) {
                data->elements[index].TrustStatus.dwErrorStatus |= row.bits;
            }
        }
    }
    const DWORD revocation = Machine::Current().RevocationStatus();
    const bool complete = (chainBits & CERT_TRUST_IS_PARTIAL_CHAIN) == 0;
    for (int i = 0; i < count; ++i) {
        X509* certificate = sk_X509_value(chain, i);
        CERT_CHAIN_ELEMENT& element = data->elements[i];
        element.cbSize = sizeof element;
        element.pCertContext = ContextOf(candidates, certificate);
        const bool isRoot = complete && i == count - 1;
        element.TrustStatus.dwInfoStatus = InfoBits(certificate, i < count - 1 || isRoot);

        if (HasWeakSignature(certificate) && !IsSelfSigned(certificate)) {
            element.TrustStatus.dwErrorStatus |= CERT_TRUST_HAS_WEAK_SIGNATURE;
        }
        if (!MeetsRequestedUsage(certificate, requestedUsage)) {
            element.TrustStatus.dwErrorStatus |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
        }
        if (!isRoot && (revocation != CERT_TRUST_IS_REVOKED || i == 0)) {
            element.TrustStatus.dwErrorStatus |= revocation;
        }
        chainBits |= element.TrustStatus.dwErrorStatus;
        data->elementPointers.push_back(&element);
    }
    data->simple.cbSize = sizeof data->simple;
    data->simple.TrustStatus.dwErrorStatus = chainBits;
    data->simple.cElement = static_cast<DWORD>(count);
    data->simple.rgpElement = data->elementPointers.data();
    data->simpleChains[0] = &data->simple;
    data->context.cbSize = sizeof data->context;
    data->context.TrustStatus.dwErrorStatus = chainBits;
    data->context.cChain = 1;
    data->context.rgpChain = data->simpleChains;
    const CERT_CHAIN_CONTEXT* context = &data->context;
    Chains()[context] = AddHandle(std::move(data));
    return context;
}

// The first element that has any of `bits`, for the policy status's indexes.
LONG ElementWith(const ChainData& chain, DWORD bits) {
    for (size_t i = 0; i < chain.elements.size(); ++i) {
        if ((chain.elements[i].TrustStatus.dwErrorStatus & bits) != 0) {
            return static_cast<LONG>(i);
        }
    }
    return 0;
}

struct PolicyRule {
    DWORD bits;
    HRESULT error;
    DWORD ignoredByPolicyFlags;
    DWORD ignoredBySslChecks;
};

// In the order the SSL policy reports them: the first that applies is the chain's error.
const PolicyRule PolicyRules[] = {
    {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT, CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG,
     SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING, CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG,
     SECURITY_FLAG_IGNORE_UNKNOWN_CA},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE, 0, 0},
    {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED, 0, SECURITY_FLAG_IGNORE_REVOCATION},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE,
     CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG, SECURITY_FLAG_IGNORE_WRONG_USAGE},
    {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED, CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG,
     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS,
     CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG, 0},
    {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT | CERT_TRUST_INVALID_EXTENSION, CERT_E_CRITICAL, 0,
     0},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
     CERT_E_INVALID_NAME, CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG, 0},
    {CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY,
     CERT_E_INVALID_POLICY, CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG, 0},
    {CERT_TRUST_IS_EXPLICIT_DISTRUST, CERT_E_UNTRUSTEDROOT, 0, 0},
};

void SetPolicyError(PCERT_CHAIN_POLICY_STATUS status, HRESULT error, LONG element) {
    status->dwError = static_cast<DWORD>(error);
    status->lChainIndex = 0;
    status->lElementIndex = element;
}

bool NameMatches(const ChainData& chain, const wchar_t* serverName) {
    X509* endCertificate = X509OfContext(chain.elements.front().pCertContext);
    const std::string name = Utf8FromWide(serverName, wcslen(serverName));
    return endCertificate != nullptr &&
           X509_check_host(endCertificate, name.c_str(), name.size(), 0, nullptr) == 1;
}

}  // namespace
}  // namespace standin

using namespace standin;

BOOL WINAPI CertCreateCertificateChainEngine(PCERT_CHAIN_ENGINE_CONFIG config,
                                             HCERTCHAINENGINE* engine) {
    if (engine != nullptr) {
        *engine = nullptr;
    }
    if (Injected("CertCreateCertificateChainEngine")) {
        return FALSE;
    }
    // The first ten members are the oldest form; later members are read only when cbSize
    // covers them, so every size from that form up to the whole structure is accepted.
    if (config == nullptr || engine == nullptr || config->cbSize < OldestEngineConfigSize ||
        config->cbSize > sizeof(CERT_CHAIN_ENGINE_CONFIG) ||
        (config->cAdditionalStore != 0 && config->rghAdditionalStore == nullptr)) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const bool exclusive =
        config->cbSize > OldestEngineConfigSize &&
        (config->hExclusiveRoot != nullptr || config->hExclusiveTrustedPeople != nullptr);
    if (config->hRestrictedRoot != nullptr || config->hRestrictedTrust != nullptr ||
        config->hRestrictedOther != nullptr || exclusive) {
        return Fail(ERROR_NOT_SUPPORTED);
    }
    auto object = std::make_unique<ChainEngine>();
    object->localMachine = (config->dwFlags & CERT_CHAIN_USE_LOCAL_MACHINE_STORE) != 0;
    for (DWORD i = 0; i < config->cAdditionalStore; ++i) {
        HCERTSTORE store = DuplicateStore(config->rghAdditionalStore[i]);
        if (store == nullptr) {
            return FALSE;  // the object closes the stores it took
        }
        object->additionalStores.push_back(store);
    }
    *engine = AddHandle(std::move(object));
    return TRUE;
}

void WINAPI CertFreeCertificateChainEngine(HCERTCHAINENGINE engine) {
    if (engine != HCCE_CURRENT_USER && engine != HCCE_LOCAL_MACHINE &&
        HandleAs<ChainEngine>(engine) != nullptr) {
        RemoveHandle(engine);
    }
}

BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT certificate,
                                    LPFILETIME time, HCERTSTORE additionalStore,
                                    PCERT_CHAIN_PARA chainPara, DWORD flags, LPVOID reserved,
                                    PCCERT_CHAIN_CONTEXT* chainContext) {
    (void)flags;  // caching and revocation requests change nothing here
    if (chainContext != nullptr) {
        *chainContext = nullptr;
    }
    if (Injected("CertGetCertificateChain")) {
        return FALSE;
    }
    X509* endCertificate = X509OfContext(certificate);
    if (chainContext == nullptr || endCertificate == nullptr || chainPara == nullptr ||
        chainPara->cbSize < sizeof(CERT_CHAIN_PARA) || reserved != nullptr) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    const ChainEngine* object = nullptr;
    if (engine != HCCE_CURRENT_USER && engine != HCCE_LOCAL_MACHINE) {
        object = HandleAs<ChainEngine>(engine);
        if (object == nullptr) {
            return Fail(ERROR_INVALID_HANDLE);
        }
    }
    const bool localMachine =
        object != nullptr ? object->localMachine : engine == HCCE_LOCAL_MACHINE;

    Candidates candidates;
    if (candidates.roots == nullptr || candidates.untrusted == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    AddRoots(candidates, true);
    if (!localMachine) {
        AddRoots(candidates, false);  // the user's Root view includes the machine's roots
    }
    // After the stores' roots: see TrustHostRoots. A machine without the bundle trusts its
    // stores only.
    TrustHostRoots(candidates.roots, Machine::Current().HostRootBundle());
    if (object != nullptr) {
        for (HCERTSTORE store : object->additionalStores) {
            AddUntrusted(candidates, store);
        }
    }
    AddUntrusted(candidates, certificate->hCertStore);
    AddUntrusted(candidates, additionalStore);

    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> verifier(X509_STORE_CTX_new(),
                                                                             X509_STORE_CTX_free);
    std::vector<VerifyFinding> findings;
    if (verifier == nullptr || X509_STORE_CTX_init(verifier.get(), candidates.roots, endCertificate,
                                                   candidates.untrusted) != 1) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    X509_STORE_CTX_set_app_data(verifier.get(), &findings);
    X509_STORE_CTX_set_verify_cb(verifier.get(), KeepVerifying);
    const uint64_t now = time != nullptr ? FileTimeValue(*time) : Machine::Current().NowFileTime();
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(verifier.get()), UnixTimeOf(now));
    X509_verify_cert(verifier.get());
    ERR_clear_error();

    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(verifier.get());
    if (chain == nullptr || sk_X509_num(chain) == 0) {
        return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
    *chainContext = NewChain(candidates, chain, findings, chainPara->RequestedUsage);
    return TRUE;
}

void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chainContext) {
    if (ChainOf(chainContext) != nullptr) {
        const void* handle = Chains()[chainContext];
        Chains().erase(chainContext);
        RemoveHandle(handle);
    }
}

BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR policyOid, PCCERT_CHAIN_CONTEXT chainContext,
                                             PCERT_CHAIN_POLICY_PARA policyPara,
                                             PCERT_CHAIN_POLICY_STATUS policyStatus) {
    if (Injected("CertVerifyCertificateChainPolicy")) {
        return FALSE;
    }
    ChainData* chain = ChainOf(chainContext);
    if (chain == nullptr || chain->elements.empty() || policyStatus == nullptr ||
        policyStatus->cbSize < offsetof(CERT_CHAIN_POLICY_STATUS, pvExtraPolicyStatus) ||
        (policyPara != nullptr &&
         policyPara->cbSize < offsetof(CERT_CHAIN_POLICY_PARA, pvExtraPolicyPara))) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    if (policyOid != CERT_CHAIN_POLICY_BASE && policyOid != CERT_CHAIN_POLICY_SSL) {
        return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
    const DWORD policyFlags = policyPara != nullptr ? policyPara->dwFlags : 0;
    const SSL_EXTRA_CERT_CHAIN_POLICY_PARA* ssl = nullptr;
    if (policyOid == CERT_CHAIN_POLICY_SSL && policyPara != nullptr &&
        policyPara->cbSize >= sizeof(CERT_CHAIN_POLICY_PARA)) {
        ssl = static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(policyPara->pvExtraPolicyPara);
        if (ssl != nullptr &&
            ssl->cbSize < offsetof(SSL_EXTRA_CERT_CHAIN_POLICY_PARA, pwszServerName) +
                              sizeof ssl->pwszServerName) {
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        }
    }
    const DWORD sslChecks = ssl != nullptr ? ssl->fdwChecks : 0;
    const DWORD bits = chain->context.TrustStatus.dwErrorStatus;

    for (const PolicyRule& rule : PolicyRules) {
        if ((bits & rule.bits) != 0 && (policyFlags & rule.ignoredByPolicyFlags) == 0 &&
            (sslChecks & rule.ignoredBySslChecks) == 0) {
            SetPolicyError(policyStatus, rule.error, ElementWith(*chain, rule.bits));
            return TRUE;
        }
    }
    if (policyOid == CERT_CHAIN_POLICY_SSL && ssl != nullptr &&
        ssl->dwAuthType == AUTHTYPE_SERVER && ssl->pwszServerName != nullptr &&
        (sslChecks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) == 0 &&
        !NameMatches(*chain, ssl->pwszServerName)) {
        SetPolicyError(policyStatus, CERT_E_CN_NO_MATCH, 0);
        return TRUE;
    }
    // An unknown revocation status is the softest finding: reported only when nothing else is.
    const bool revocationIgnored = (policyFlags & CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS) ==
                                       CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS ||
                                   (sslChecks & SECURITY_FLAG_IGNORE_REVOCATION) != 0;
    if ((bits & CERT_TRUST_REVOCATION_STATUS_UNKNOWN) != 0 && !revocationIgnored) {
        SetPolicyError(policyStatus,
                       (bits & CERT_TRUST_IS_OFFLINE_REVOCATION) != 0 ? CRYPT_E_REVOCATION_OFFLINE
                                                                      : CRYPT_E_NO_REVOCATION_CHECK,
                       ElementWith(*chain, CERT_TRUST_REVOCATION_STATUS_UNKNOWN));
        return TRUE;
    }
    policyStatus->dwError = 0;
    policyStatus->lChainIndex = -1;
    policyStatus->lElementIndex = -1;
    return TRUE;
}
