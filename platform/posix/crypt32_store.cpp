// Stand-in for crypt32's certificate stores: memory stores, and the system stores of the local
// machine and the current user ("Root", "CA", ...) kept as folders of DER files in the prefix,
// one file per certificate named by its SHA-1 thumbprint, written at once when a certificate is
// added. The standard stores exist on every machine; another name exists once created.
// Left out: CRLs and CTLs, physical and collection stores, store properties and
// CERT_CLOSE_STORE_CHECK_FLAG's report of contexts still in use.
#include "crypt32_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cert_context.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

const wchar_t* const StandardStores[] = {
    L"Root",    L"CA", L"My", L"Trust", L"Disallowed", L"TrustedPeople", L"TrustedPublisher",
    L"AuthRoot"};

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (towlower(a[i]) != towlower(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == L'\0';
}

// The standard store's own spelling, or null for another name.
const wchar_t* StandardStoreName(const std::wstring& name) {
    for (const wchar_t* standard : StandardStores) {
        if (EqualsIgnoringCase(name, standard)) {
            return standard;
        }
    }
    return nullptr;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Thumbprint(PCCERT_CONTEXT context) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(context->pbCertEncoded, context->cbCertEncoded, digest);
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// Each DER file of the folder, in name order; files that are not one certificate are skipped,
// as Windows skips a damaged registry entry.
void LoadFolder(CertStore& store, HCERTSTORE handle) {
    DIR* folder = opendir(store.folder.c_str());
    if (folder == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::ifstream file(store.folder + "/" + name, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        PCCERT_CONTEXT context = NewCertContext(reinterpret_cast<const BYTE*>(bytes.data()),
                                                static_cast<DWORD>(bytes.size()), handle);
        if (context != nullptr) {
            store.contexts.push_back(context);
        }
    }
}

// Writes the certificate's file through a temporary name so that a failed write leaves no
// partial file behind.
bool SaveToFolder(const CertStore& store, PCCERT_CONTEXT context) {
    if (!MakeDirectories(store.folder)) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    const std::string path = store.folder + "/" + Thumbprint(context) + ".der";
    const std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    const ssize_t written = write(fd, context->pbCertEncoded, context->cbCertEncoded);
    const int writeError = errno;
    if (close(fd) != 0 || written != static_cast<ssize_t>(context->cbCertEncoded) ||
        rename(temporary.c_str(), path.c_str()) != 0) {
        SetLastError(ErrorFromErrno(written < 0 ? writeError : errno != 0 ? errno : ENOSPC));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

HCERTSTORE NewStore(std::unique_ptr<CertStore> store) {
    return AddHandle(std::move(store));
}

HCERTSTORE OpenMemoryStore(DWORD flags) {
    auto store = std::make_unique<CertStore>();
    store->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    return NewStore(std::move(store));
}

}  // namespace

CertStore::~CertStore() {
    for (PCCERT_CONTEXT context : contexts) {
        CertFreeCertificateContext(context);
    }
}

CertStore* StoreOf(HCERTSTORE store) {
    return HandleAs<CertStore>(store);
}

void CloseStore(HCERTSTORE store) {
    CertStore* data = StoreOf(store);
    if (data != nullptr && --data->openCount == 0) {
        RemoveHandle(store);
    }
}

HCERTSTORE DuplicateStore(HCERTSTORE store) {
    CertStore* data = StoreOf(store);
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++data->openCount;
    return store;
}

HCERTSTORE OpenSystemStore(bool localMachine, const std::wstring& name, bool openExisting,
                           bool readOnly) {
    Machine& machine = Machine::Current();
    const wchar_t* standard = StandardStoreName(name);
    const std::string storeName = Utf8FromWide(standard != nullptr ? std::wstring(standard) : name);
    if (storeName.empty() || storeName.find_first_of("/\\") != std::string::npos ||
        storeName == "." || storeName == "..") {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    auto store = std::make_unique<CertStore>();
    store->system = true;
    store->localMachine = localMachine;
    store->name = storeName;
    store->folder = machine.CertificateStoreFolder(localMachine, storeName);
    store->readOnly = readOnly || machine.IsStoreReadOnly(localMachine, storeName);
    if (!IsDirectory(store->folder) && standard == nullptr) {
        if (openExisting) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (!MakeDirectories(store->folder)) {
            SetLastError(ErrorFromErrno(errno));
            return nullptr;
        }
    }
    CertStore* data = store.get();
    HCERTSTORE handle = NewStore(std::move(store));
    LoadFolder(*data, handle);
    return handle;
}

}  // namespace standin

using namespace standin;

HCERTSTORE WINAPI CertOpenStore(LPCSTR storeProvider, DWORD encodingType, ULONG_PTR cryptProvider,
                                DWORD flags, const void* parameter) {
    (void)encodingType;
    (void)cryptProvider;
    if (Injected("CertOpenStore")) {
        return nullptr;
    }
    if (storeProvider == CERT_STORE_PROV_MEMORY) {
        return OpenMemoryStore(flags);
    }
    if (storeProvider != CERT_STORE_PROV_SYSTEM_W) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no such store provider
        return nullptr;
    }
    const DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (parameter == nullptr || (location != CERT_SYSTEM_STORE_CURRENT_USER &&
                                 location != CERT_SYSTEM_STORE_LOCAL_MACHINE)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return OpenSystemStore(
        location == CERT_SYSTEM_STORE_LOCAL_MACHINE, static_cast<const wchar_t*>(parameter),
        (flags & CERT_STORE_OPEN_EXISTING_FLAG) != 0, (flags & CERT_STORE_READONLY_FLAG) != 0);
}

BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encodingType,
                                             const BYTE* encoded, DWORD encodedLength,
                                             DWORD addDisposition, PCCERT_CONTEXT* storeContext) {
    if (storeContext != nullptr) {
        *storeContext = nullptr;
    }
    if (Injected("CertAddEncodedCertificateToStore")) {
        return FALSE;
    }
    CertStore* data = StoreOf(store);
    if (data == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((encodingType & X509_ASN_ENCODING) == 0 || addDisposition < CERT_STORE_ADD_NEW ||
        addDisposition > CERT_STORE_ADD_ALWAYS) {
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    }
    PCCERT_CONTEXT context = NewCertContext(encoded, encodedLength, store);
    if (context == nullptr) {
        return FALSE;  // the decoder's error
    }
    auto existing =
        std::find_if(data->contexts.begin(), data->contexts.end(),
                     [&](PCCERT_CONTEXT held) { return SameCertificate(held, context); });
    const bool found = existing != data->contexts.end();
    if (found && addDisposition == CERT_STORE_ADD_NEW) {
        CertFreeCertificateContext(context);
        return Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
    }
    if (found && addDisposition == CERT_STORE_ADD_USE_EXISTING) {
        CertFreeCertificateContext(context);
        if (storeContext != nullptr) {
            *storeContext = CertDuplicateCertificateContext(*existing);
        }
        return TRUE;
    }
    if (data->readOnly) {
        CertFreeCertificateContext(context);
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (data->system && !SaveToFolder(*data, context)) {
        const DWORD error = GetLastError();
        CertFreeCertificateContext(context);
        return Fail(error);
    }
    // A system store keys its certificates by thumbprint, so "always" replaces there too.
    if (found && (addDisposition == CERT_STORE_ADD_REPLACE_EXISTING || data->system)) {
        CertFreeCertificateContext(*existing);
        *existing = context;
    } else {
        data->contexts.push_back(context);
    }
    if (storeContext != nullptr) {
        *storeContext = CertDuplicateCertificateContext(context);
    }
    return TRUE;
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
    if (Injected("CertEnumCertificatesInStore")) {
        CertFreeCertificateContext(previous);
        return nullptr;
    }
    CertStore* data = StoreOf(store);
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    size_t next = 0;
    if (previous != nullptr) {
        auto at = std::find(data->contexts.begin(), data->contexts.end(), previous);
        CertFreeCertificateContext(previous);
        if (at == data->contexts.end()) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
        next = static_cast<size_t>(at - data->contexts.begin()) + 1;
    }
    if (next >= data->contexts.size()) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return CertDuplicateCertificateContext(data->contexts[next]);
}

HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE store) {
    if (Injected("CertDuplicateStore")) {
        return nullptr;
    }
    return DuplicateStore(store);
}

BOOL WINAPI CertCloseStore(HCERTSTORE store, DWORD flags) {
    if (Injected("CertCloseStore")) {
        return FALSE;
    }
    if (store == nullptr) {
        return TRUE;
    }
    CertStore* data = StoreOf(store);
    if (data == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if ((flags & CERT_CLOSE_STORE_FORCE_FLAG) != 0) {
        RemoveHandle(store);
    } else {
        CloseStore(store);
    }
    return TRUE;
}

namespace standin {

std::string Machine::CertificateStoreFolder(bool localMachine, const std::string& name) const {
    return prefix_ + "/certificates/" + (localMachine ? "LocalMachine/" : "CurrentUser/") + name;
}

void Machine::SetStoreReadOnly(bool localMachine, const std::string& name) {
    readOnlyStores_.insert(CertificateStoreFolder(localMachine, name));
}

bool Machine::IsStoreReadOnly(bool localMachine, const std::string& name) const {
    return readOnlyStores_.count(CertificateStoreFolder(localMachine, name)) != 0;
}

}  // namespace standin
