// Stand-in for version.dll: the version resource of the running program, answered from the
// machine's file version (the build's own unless a test sets or removes it). Other files have
// no version resource. Left out: string tables and translations.
#include <sys/stat.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "machine.h"
#include "process.h"
#include "text.h"

namespace standin {
namespace {

constexpr DWORD BlockMagic = 0x56534B4C;  // marks a block filled by GetFileVersionInfoW

struct VersionBlock {
    DWORD magic;
    VS_FIXEDFILEINFO info;
};

bool IsOwnModule(LPCWSTR fileName) {
    if (fileName == nullptr) {
        return false;
    }
    std::wstring module = ModuleWindowsPath();
    if (wcslen(fileName) != module.size()) {
        return false;
    }
    for (size_t i = 0; i < module.size(); ++i) {
        if (towlower(fileName[i]) != towlower(module[i])) {
            return false;
        }
    }
    return true;
}

// A file that is not there fails as loading it does; one that is there has no resource.
DWORD MissingFileError(LPCWSTR fileName) {
    const std::string path = HostPath(fileName);
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        return ERROR_SUCCESS;
    }
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    return stat(folder.c_str(), &info) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool HasResource(LPCWSTR fileName) {
    const bool own = IsOwnModule(fileName);
    if (own && Machine::Current().HasVersionResource()) {
        return true;
    }
    const DWORD missing = fileName == nullptr ? ERROR_INVALID_PARAMETER
                          : own               ? ERROR_SUCCESS
                                              : MissingFileError(fileName);
    SetLastError(missing != ERROR_SUCCESS ? missing : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return false;
}

}  // namespace
}  // namespace standin

using namespace standin;

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
    if (handle != nullptr) {
        *handle = 0;
    }
    if (Injected("GetFileVersionInfoSizeW") || !HasResource(fileName)) {
        return 0;
    }
    return sizeof(VersionBlock);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD length, LPVOID data) {
    if (Injected("GetFileVersionInfoW") || !HasResource(fileName)) {
        return FALSE;
    }
    if (data == nullptr || length < sizeof(VersionBlock)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    VersionBlock block = {};
    block.magic = BlockMagic;
    block.info.dwSignature = 0xFEEF04BD;
    block.info.dwStrucVersion = 0x00010000;
    Machine::Current().FileVersion(&block.info.dwFileVersionMS, &block.info.dwFileVersionLS);
    block.info.dwProductVersionMS = block.info.dwFileVersionMS;
    block.info.dwProductVersionLS = block.info.dwFileVersionLS;
    block.info.dwFileOS = 0x00040004;  // VOS_NT_WINDOWS32
    block.info.dwFileType = 1;         // VFT_APP
    memcpy(data, &block, sizeof block);
    return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
    if (Injected("VerQueryValueW")) {
        return FALSE;
    }
    auto* version = static_cast<const VersionBlock*>(block);
    if (version == nullptr || version->magic != BlockMagic || subBlock == nullptr ||
        wcscmp(subBlock, L"\\") != 0) {
        return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    *buffer = const_cast<VS_FIXEDFILEINFO*>(&version->info);
    *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}
