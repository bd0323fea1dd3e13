// The certificates the tool carries (the expected trust path to the service endpoint), the loader
// that puts such a list into a certificate store, and the /fix import of the reference root.
#pragma once

#include "platform/holders.h"
#include "platform/win32.h"

// A run of records laid end to end, each a 4-byte little-endian length N followed by N bytes of
// one DER certificate; no header, count or terminator. The total length is kept beside it.
typedef BYTE EncodedCertList;

// The service endpoint's server certificate, then Thawte RSA CA 2018 that issued it. The first
// record must stay the end-entity certificate: the chain test builds its chain from it.
extern const EncodedCertList ServerChainCerts[];
extern const DWORD ServerChainCertsLength;
// thawte Primary Root CA - G3.
extern const EncodedCertList AdditionalCerts[];
extern const DWORD AdditionalCertsLength;
// DigiCert Global Root CA, the root of the service chain, which /fix adds to the machine's Root.
extern const EncodedCertList ImportRootCerts[];
extern const DWORD ImportRootCertsLength;

// How the import names the root it adds; fixed texts, not read from the certificate.
extern const wchar_t ImportRootSubjectText[];
extern const wchar_t ImportRootSerialText[];

// Adds every record of `list` (of `totalLength` bytes) to `store` with CERT_STORE_ADD_ALWAYS.
// When `firstContext` is given (holding null), it receives the context of the first record,
// which the caller frees. False at the first refused record, with that call's last error; a
// record that does not fit in what remains of the list is refused with ERROR_INVALID_DATA.
bool AddEncodedCertificates(HCERTSTORE store, const EncodedCertList* list, DWORD totalLength,
                            PCCERT_CONTEXT* firstContext);

// /fix: adds ImportRootCerts to the local machine's Root store, printing its progress. True when
// every record was added.
bool ImportReferenceRoot();
