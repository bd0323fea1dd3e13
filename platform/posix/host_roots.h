// The host's CA bundle as the stand-in's chain engines and WinHTTP trust it. A bundle holds
// well over a hundred certificates and a chain needs one or two of them, so the file is read
// and indexed by subject once per process (again only when the file changes), and a
// certificate is decoded only when a chain first asks for its subject.
#pragma once

#include <openssl/x509.h>

#include <string>

namespace standin {

// Makes `store` trust the PEM bundle at `path` as if every certificate of it had been added.
// Call it after the store's other trusted certificates are in: a bundle certificate that
// shares a subject with one of them is added at once, since the store then answers that
// subject from its own certificates without asking the bundle. A missing or unreadable bundle
// adds nothing; blocks that are not a certificate are skipped.
void TrustHostRoots(X509_STORE* store, const std::string& path);

// How many bundle certificates this process has decoded so far (a measure for tests).
size_t DecodedHostRootCount();

}  // namespace standin
