// Certificate contexts of the stand-in: a CERT_CONTEXT with its CERT_INFO filled from the DER
// bytes as Windows fills it, plus the parsed OpenSSL certificate for the chain engine and TLS.
#pragma once

#include <openssl/x509.h>

#include "win32_api.h"

namespace standin {

// A new context (one reference) of a copy of the DER bytes; null with CRYPT_E_ASN1_BADTAG as
// last error when they are not one certificate. `store` becomes the context's hCertStore.
PCCERT_CONTEXT NewCertContext(const BYTE* encoded, DWORD length, HCERTSTORE store);

// The parsed certificate behind a live context (borrowed), or null.
X509* X509OfContext(PCCERT_CONTEXT context);

// Whether `context` is a live context of this stand-in.
bool IsLiveContext(PCCERT_CONTEXT context);

}  // namespace standin
