// Stand-in for advapi32's CryptoAPI providers and hashes, on OpenSSL EVP.
// Provider types: PROV_RSA_FULL (MD5, SHA-1) and PROV_RSA_AES (also SHA-256/384/512), as the
// Windows base and AES providers offer them; the machine can take an algorithm away. Key
// containers are marker files in the prefix: the default container of a new machine does not
// exist until CRYPT_NEWKEYSET creates it, so a plain acquisition first fails with NTE_BAD_KEYSET.
// Left out: keys, signatures, named providers, machine key sets.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "handles.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

class Provider : public KernelObject {
  public:
    DWORD type = 0;
};

class Hash : public KernelObject {
  public:
    ~Hash() override { EVP_MD_CTX_free(context); }
    ALG_ID algorithm = 0;
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    unsigned char value[EVP_MAX_MD_SIZE] = {};
    unsigned int valueLength = 0;
};

const EVP_MD* DigestOf(DWORD providerType, ALG_ID algorithm) {
    switch (algorithm) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SHA_256:
            return providerType == PROV_RSA_AES ? EVP_sha256() : nullptr;
        case CALG_SHA_384:
            return providerType == PROV_RSA_AES ? EVP_sha384() : nullptr;
        case CALG_SHA_512:
            return providerType == PROV_RSA_AES ? EVP_sha512() : nullptr;
        default:
            return nullptr;
    }
}

std::string ContainerPath(DWORD type, LPCWSTR container) {
    std::string name = container == nullptr || *container == L'\0'
                           ? "default"
                           : Utf8FromWide(container, wcslen(container));
    for (char& c : name) {
        if (c == '/' || c == '\\') {
            c = '_';
        }
    }
    return Machine::Current().Prefix() + "/crypto/keys-" + std::to_string(type) + "/" + name;
}

bool ContainerExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

bool CreateContainer(const std::string& path) {
    std::string folder = path.substr(0, path.find_last_of('/'));
    mkdir(folder.substr(0, folder.find_last_of('/')).c_str(), 0700);
    mkdir(folder.c_str(), 0700);
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

HCRYPTPROV ToHandle(void* object) {
    return reinterpret_cast<HCRYPTPROV>(object);
}
const void* FromHandle(ULONG_PTR handle) {
    return reinterpret_cast<const void*>(handle);
}

}  // namespace
}  // namespace standin

using namespace standin;

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName,
                                 DWORD providerType, DWORD flags) {
    if (provider == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *provider = 0;
    if (Injected("CryptAcquireContextW")) {
        return FALSE;
    }
    if (providerName != nullptr) {
        return Fail(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));  // named providers are not modelled
    }
    if (providerType != PROV_RSA_FULL && providerType != PROV_RSA_AES) {
        return Fail(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    }
    const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_SILENT;
    if ((flags & ~known) != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    if ((flags & CRYPT_VERIFYCONTEXT) == 0) {
        const std::string path = ContainerPath(providerType, container);
        if (flags & CRYPT_NEWKEYSET) {
            if (ContainerExists(path)) {
                return Fail(static_cast<DWORD>(NTE_EXISTS));
            }
            if (!CreateContainer(path)) {
                return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
            }
        } else if (!ContainerExists(path)) {
            return Fail(static_cast<DWORD>(NTE_BAD_KEYSET));
        }
    }
    auto object = std::make_unique<Provider>();
    object->type = providerType;
    *provider = ToHandle(AddHandle(std::move(object)));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    if (Injected("CryptReleaseContext")) {
        return FALSE;
    }
    if (HandleAs<Provider>(FromHandle(provider)) == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    if (flags != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    RemoveHandle(FromHandle(provider));
    return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                            HCRYPTHASH* hash) {
    if (hash == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *hash = 0;
    if (Injected("CryptCreateHash")) {
        return FALSE;
    }
    auto* owner = HandleAs<Provider>(FromHandle(provider));
    if (owner == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_UID));
    }
    if (flags != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    if (key != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_KEY));  // no keyed hashes here
    }
    const EVP_MD* digest = DigestOf(owner->type, algorithm);
    if (digest == nullptr || !Machine::Current().HasHashAlgorithm(algorithm)) {
        return Fail(static_cast<DWORD>(NTE_BAD_ALGID));
    }
    auto object = std::make_unique<Hash>();
    object->algorithm = algorithm;
    object->context = EVP_MD_CTX_new();
    if (object->context == nullptr || EVP_DigestInit_ex(object->context, digest, nullptr) != 1) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *hash = ToHandle(AddHandle(std::move(object)));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD length, DWORD flags) {
    if (Injected("CryptHashData")) {
        return FALSE;
    }
    auto* object = HandleAs<Hash>(FromHandle(hash));
    if (object == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    }
    if (flags != 0) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    if (object->finished) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH_STATE));  // the value was already taken
    }
    if (length > 0 && (data == nullptr || EVP_DigestUpdate(object->context, data, length) != 1)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE* data, DWORD* length,
                              DWORD flags) {
    if (Injected("CryptGetHashParam")) {
        return FALSE;
    }
    auto* object = HandleAs<Hash>(FromHandle(hash));
    if (object == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    }
    if (flags != 0 || length == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_FLAGS));
    }
    DWORD number = 0;
    const BYTE* source = nullptr;
    DWORD size = 0;
    switch (parameter) {
        case HP_ALGID:
            number = object->algorithm;
            source = reinterpret_cast<const BYTE*>(&number);
            size = sizeof number;
            break;
        case HP_HASHSIZE:
            number = static_cast<DWORD>(EVP_MD_CTX_get_size(object->context));
            source = reinterpret_cast<const BYTE*>(&number);
            size = sizeof number;
            break;
        case HP_HASHVAL:
            size = static_cast<DWORD>(EVP_MD_CTX_get_size(object->context));
            if (data != nullptr && *length >= size && !object->finished) {
                if (EVP_DigestFinal_ex(object->context, object->value, &object->valueLength) != 1) {
                    return Fail(static_cast<DWORD>(NTE_BAD_HASH));
                }
                object->finished = true;
            }
            source = object->value;
            break;
        default:
            return Fail(static_cast<DWORD>(NTE_BAD_TYPE));
    }
    if (data == nullptr) {
        *length = size;
        return TRUE;
    }
    if (*length < size) {
        *length = size;
        return Fail(ERROR_MORE_DATA);
    }
    memcpy(data, source, size);
    *length = size;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
    if (Injected("CryptDestroyHash")) {
        return FALSE;
    }
    if (HandleAs<Hash>(FromHandle(hash)) == nullptr) {
        return Fail(static_cast<DWORD>(NTE_BAD_HASH));
    }
    RemoveHandle(FromHandle(hash));
    return TRUE;
}
