// The host's CA bundle, read once and decoded on demand (see host_roots.h). The index keeps
// each PEM block's DER bytes and its decoded subject name; an OpenSSL lookup method answers a
// store's "certificates with this subject" from it, decoding those certificates on first use.
#include "host_roots.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

namespace standin {
namespace {

std::atomic<size_t> decodedCount{0};

struct BundleEntry {
    std::vector<unsigned char> der;
    bool trustedForm = false;  // "TRUSTED CERTIFICATE": OpenSSL's trust settings follow the DER
    X509_NAME* subject = nullptr;
    X509* certificate = nullptr;  // decoded on first use
};

class Bundle {
  public:
    Bundle(std::string path, std::string text) : path(std::move(path)), text(std::move(text)) {}
    ~Bundle() {
        for (BundleEntry& entry : entries) {
            X509_NAME_free(entry.subject);
            X509_free(entry.certificate);
        }
    }
    Bundle(const Bundle&) = delete;
    Bundle& operator=(const Bundle&) = delete;

    // Adds the certificates with this subject to the store; the first of them (borrowed), or
    // null when the bundle has none.
    X509* AddMatching(X509_STORE* store, const X509_NAME* name);

    const std::string path, text;
    std::vector<BundleEntry> entries;

  private:
    std::mutex decoding_;
};

X509* Bundle::AddMatching(X509_STORE* store, const X509_NAME* name) {
    std::lock_guard<std::mutex> lock(decoding_);
    X509* first = nullptr;
    for (BundleEntry& entry : entries) {
        if (X509_NAME_cmp(entry.subject, name) != 0) {
            continue;
        }
        if (entry.certificate == nullptr) {
            const unsigned char* at = entry.der.data();
            const long length = static_cast<long>(entry.der.size());
            entry.certificate = entry.trustedForm ? d2i_X509_AUX(nullptr, &at, length)
                                                  : d2i_X509(nullptr, &at, length);
            ERR_clear_error();
            if (entry.certificate == nullptr) {
                continue;
            }
            ++decodedCount;
        }
        X509_STORE_add_cert(store, entry.certificate);
        if (first == nullptr) {
            first = entry.certificate;
        }
    }
    return first;
}

// One DER element: its tag, where it starts, where its contents start and where it ends.
struct Element {
    unsigned char tag = 0;
    const unsigned char* start = nullptr;
    const unsigned char* contents = nullptr;
    const unsigned char* end = nullptr;
};

// The element at `at`; false when it runs past `end`.
bool ReadElement(const unsigned char* at, const unsigned char* end, Element* element) {
    if (end - at < 2) {
        return false;
    }
    const unsigned char* next = at + 2;
    size_t length = at[1];
    if ((length & 0x80) != 0) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(end - next) < count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | *next++;
        }
    }
    if (static_cast<size_t>(end - next) < length) {
        return false;
    }
    *element = {at[0], at, next, next + length};
    return true;
}

const unsigned char SequenceTag = 0x30;
const unsigned char VersionTag = 0xA0;  // [0] EXPLICIT, absent in version 1 certificates

// The subject name of a DER certificate, decoded without decoding the rest; null when the
// bytes are not shaped as a certificate.
X509_NAME* SubjectOf(const std::vector<unsigned char>& der) {
    const unsigned char* end = der.data() + der.size();
    Element certificate, toBeSigned, field;
    if (!ReadElement(der.data(), end, &certificate) || certificate.tag != SequenceTag ||
        !ReadElement(certificate.contents, certificate.end, &toBeSigned) ||
        toBeSigned.tag != SequenceTag) {
        return nullptr;
    }
    const unsigned char* at = toBeSigned.contents;
    if (ReadElement(at, toBeSigned.end, &field) && field.tag == VersionTag) {
        at = field.end;
    }
    // The serial number, signature algorithm, issuer and validity come before the subject.
    for (int skipped = 0; skipped < 4; ++skipped) {
        if (!ReadElement(at, toBeSigned.end, &field)) {
            return nullptr;
        }
        at = field.end;
    }
    if (!ReadElement(at, toBeSigned.end, &field) || field.tag != SequenceTag) {
        return nullptr;
    }
    const unsigned char* name = field.start;
    return d2i_X509_NAME(nullptr, &name, static_cast<long>(field.end - field.start));
}

void IndexBlocks(const std::string& text, Bundle& bundle) {
    BIO* input = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    while (input != nullptr && PEM_read_bio(input, &name, &header, &data, &length) == 1) {
        const bool plain =
            strcmp(name, PEM_STRING_X509) == 0 || strcmp(name, PEM_STRING_X509_OLD) == 0;
        const bool trusted = strcmp(name, PEM_STRING_X509_TRUSTED) == 0;
        if ((plain || trusted) && length > 0) {
            BundleEntry entry;
            entry.der.assign(data, data + length);
            entry.trustedForm = trusted;
            entry.subject = SubjectOf(entry.der);
            if (entry.subject != nullptr) {
                bundle.entries.push_back(std::move(entry));
            }
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    BIO_free(input);
    ERR_clear_error();  // the end of the text, or a damaged block that ends the reading
}

// The bundle at `path`, indexed again only when the file's bytes have changed: reading it is
// cheap, decoding it is not.
std::shared_ptr<Bundle> BundleAt(const std::string& path) {
    static std::mutex mutex;
    static std::shared_ptr<Bundle> cached;
    std::ifstream stream(path, std::ios::binary);
    if (path.empty() || !stream) {
        return nullptr;
    }
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::lock_guard<std::mutex> lock(mutex);
    if (cached == nullptr || cached->path != path || cached->text != text) {
        cached = std::make_shared<Bundle>(path, std::move(text));
        IndexBlocks(cached->text, *cached);
    }
    return cached;
}

using BundleReference = std::shared_ptr<Bundle>;

int FindBySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                  X509_OBJECT* result) {
    auto* bundle = static_cast<BundleReference*>(X509_LOOKUP_get_method_data(lookup));
    if (type != X509_LU_X509 || bundle == nullptr || result == nullptr) {
        return 0;
    }
    X509* first = (*bundle)->AddMatching(X509_LOOKUP_get_store(lookup), name);
    if (first == nullptr || X509_OBJECT_set1_X509(result, first) != 1) {
        return 0;
    }
    // The store holds the certificate; the result borrows it, as OpenSSL's own lookups do.
    X509_free(first);
    return 1;
}

void FreeLookup(X509_LOOKUP* lookup) {
    delete static_cast<BundleReference*>(X509_LOOKUP_get_method_data(lookup));
}

X509_LOOKUP_METHOD* BundleLookupMethod() {
    static X509_LOOKUP_METHOD* method = [] {
        X509_LOOKUP_METHOD* created = X509_LOOKUP_meth_new("stand-in host CA bundle");
        if (created != nullptr) {
            X509_LOOKUP_meth_set_get_by_subject(created, FindBySubject);
            X509_LOOKUP_meth_set_free(created, FreeLookup);
        }
        return created;
    }();
    return method;
}

}  // namespace

void TrustHostRoots(X509_STORE* store, const std::string& path) {
    BundleReference bundle = BundleAt(path);
    X509_LOOKUP_METHOD* method = BundleLookupMethod();
    if (store == nullptr || bundle == nullptr || method == nullptr) {
        return;
    }
    // The subjects the store already answers for itself.
    std::vector<X509_NAME*> subjects;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        X509* certificate = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (certificate != nullptr) {
            subjects.push_back(X509_get_subject_name(certificate));
        }
    }
    for (X509_NAME* subject : subjects) {
        bundle->AddMatching(store, subject);
    }
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, method);
    if (lookup == nullptr || X509_LOOKUP_get_method_data(lookup) != nullptr) {
        ERR_clear_error();
        return;  // no lookup, or this store has the bundle already
    }
    X509_LOOKUP_set_method_data(lookup, new BundleReference(std::move(bundle)));
}

size_t DecodedHostRootCount() {
    return decodedCount;
}

}  // namespace standin
