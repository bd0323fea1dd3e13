// The certificate-list walker on any bytes: it never reads past the list, and it adds records
// to the store until the first one that does not fit or does not parse.
#include <cstdint>
#include <vector>

#include "trust/reference_certs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes: ASan sees any read past the list's end.
    std::vector<BYTE> list(data, data + size);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        __builtin_trap();
    }
    PCCERT_CONTEXT first = nullptr;
    const bool added = AddEncodedCertificates(store, list.empty() ? nullptr : list.data(),
                                              static_cast<DWORD>(list.size()), &first);
    if (added && first == nullptr) {
        __builtin_trap();  // a list that was added has a first record
    }
    if (first != nullptr) {
        CertFreeCertificateContext(first);
    }
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    return 0;
}
