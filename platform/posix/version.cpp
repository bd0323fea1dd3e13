// Stand-in for version.dll: the version resource of the running program, answered from the
// machine's file version (the build's own unless a test sets or removes it). Other files have
// no version resource. Left out: string tables and translations.
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "machine.h"
#include "process.h"

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

bool HasResource(LPCWSTR fileName) {
    if (!IsOwnModule(fileName) || !Machine::Current().HasVersionResource()) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    return true;
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
