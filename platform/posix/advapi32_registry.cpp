// Stand-in for advapi32's registry reading: RegOpenKeyExW, RegQueryValueExW and RegCloseKey over
// the stand-in machine's registry (registry.h).
// Like Windows, these calls report their failure in their result and leave the thread's last
// error alone. Every call can fail by injection with the injected code as its result.
// Left out: writing, enumeration, remote registries, the 32-bit view (KEY_WOW64_32KEY and
// KEY_WOW64_64KEY open the same tree).
#include <cstring>

#include "handles.h"
#include "machine.h"

namespace standin {
namespace {

class OpenKey : public KernelObject {
  public:
    OpenKey(HKEY root, std::vector<std::wstring> path) : root(root), path(std::move(path)) {}
    const HKEY root;
    const std::vector<std::wstring> path;  // folded components below the root
};

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS ||
           key == HKEY_CLASSES_ROOT;
}

// An injected failure's code, or ERROR_SUCCESS; the last error is not touched.
LONG InjectedResult(const char* function) {
    FaultHit hit = Machine::Current().Check(function);
    return hit.fail ? static_cast<LONG>(hit.error) : ERROR_SUCCESS;
}

// The root and path of an open key or a predefined root; false for anything else.
bool Locate(HKEY key, HKEY* root, std::vector<std::wstring>* path) {
    if (IsPredefined(key)) {
        *root = key;
        path->clear();
        return true;
    }
    auto* open = HandleAs<OpenKey>(key);
    if (open == nullptr) {
        return false;
    }
    *root = open->root;
    *path = open->path;
    return true;
}

// Locate, and the registry's own refusal when its files could not be read.
LONG LocateInRegistry(HKEY key, HKEY* root, std::vector<std::wstring>* path) {
    if (!Locate(key, root, path)) {
        return ERROR_INVALID_HANDLE;
    }
    return Machine::Current().RegistryTree().IsBroken() ? ERROR_BADDB : ERROR_SUCCESS;
}

}  // namespace
}  // namespace standin

using namespace standin;

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    (void)options;
    (void)desired;
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (LONG injected = InjectedResult("RegOpenKeyExW"); injected != ERROR_SUCCESS) {
        return injected;
    }
    HKEY root = nullptr;
    std::vector<std::wstring> path;
    if (LONG located = LocateInRegistry(key, &root, &path); located != ERROR_SUCCESS) {
        return located;
    }
    Registry& registry = Machine::Current().RegistryTree();
    std::vector<std::wstring> below;
    if (subKey != nullptr && !SplitRegistryPath(subKey, &below)) {
        return ERROR_FILE_NOT_FOUND;
    }
    path.insert(path.end(), below.begin(), below.end());
    if (registry.Find(root, path) == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (registry.IsDenied(root, path)) {
        return ERROR_ACCESS_DENIED;
    }
    *result = static_cast<HKEY>(AddHandle(std::make_unique<OpenKey>(root, std::move(path))));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) {
    if (LONG injected = InjectedResult("RegQueryValueExW"); injected != ERROR_SUCCESS) {
        return injected;
    }
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    HKEY root = nullptr;
    std::vector<std::wstring> path;
    if (LONG located = LocateInRegistry(key, &root, &path); located != ERROR_SUCCESS) {
        return located;
    }
    Registry& registry = Machine::Current().RegistryTree();
    const RegistryKey* found = registry.Find(root, path);
    if (found == nullptr) {
        return ERROR_KEY_DELETED;
    }
    auto value = found->values.find(FoldRegistryName(valueName != nullptr ? valueName : L""));
    if (value == found->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->second.type;
    }
    const std::string bytes = NativeValueBytes(value->second);
    const DWORD size = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        if (dataSize != nullptr) {
            *dataSize = size;
        }
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    memcpy(data, bytes.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    if (LONG injected = InjectedResult("RegCloseKey"); injected != ERROR_SUCCESS) {
        return injected;
    }
    if (IsPredefined(key)) {
        return ERROR_SUCCESS;
    }
    if (HandleAs<OpenKey>(key) == nullptr || !RemoveHandle(key)) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
