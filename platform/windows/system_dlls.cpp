// crypt32, winhttp and version are no KnownDLLs: imported the ordinary way, Windows would look for
// them in the program's folder first, and a version.dll dropped beside the program (in Downloads,
// say) would run with the rights of whoever started the tool. The program delay-loads them instead
// (cmake/windows.cmake); this file makes those loads, and the loads the system DLLs then make by
// name, come from the system folder.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <delayimp.h>
#include <cstring>

namespace {

// The DLLs the program delay-loads that are no KnownDLLs.
const char* const UnknownDlls[] = {"crypt32.dll", "winhttp.dll", "version.dll"};

// Loads the DLL `name` (ASCII, as the linker writes it) by its full path in the system folder.
// With LOAD_WITH_ALTERED_SEARCH_PATH its own imports are looked for in that folder first.
HMODULE LoadFromSystemFolder(const char* name) {
    wchar_t path[MAX_PATH];
    const size_t folderLength = GetSystemDirectoryW(path, MAX_PATH);
    const size_t nameLength = std::strlen(name);
    if (folderLength == 0 || folderLength + 1 + nameLength >= MAX_PATH) {
        return nullptr;
    }
    path[folderLength] = L'\\';
    for (size_t i = 0; i <= nameLength; ++i) {  // the terminating zero too
        path[folderLength + 1 + i] = static_cast<unsigned char>(name[i]);
    }
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Before main. Where Windows has SetDefaultDllDirectories (8 and later, 7 with KB2533623), every
// later load by a bare name searches System32 alone, those made inside system DLLs included.
// Elsewhere such a load looks in the program's folder first, also when a system DLL makes it
// (advapi32's provider imports crypt32); the DLLs that are no KnownDLLs are loaded by full path
// now, so that a load by their name finds them loaded.
__attribute__((constructor)) void SearchSystemFolderOnly() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    FARPROC address =
        kernel32 == nullptr ? nullptr : GetProcAddress(kernel32, "SetDefaultDllDirectories");
    // void (*)() is the one function type every other may be cast through without a warning.
    auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(address));
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    for (const char* name : UnknownDlls) {
        LoadFromSystemFolder(name);
    }
}

// The delay-load helper asks this hook before it loads a DLL by its bare name.
FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) {
        return nullptr;
    }
    HMODULE module = LoadFromSystemFolder(info->szDll);
    if (module == nullptr) {
        // Returning nothing would let the helper load the bare name, which without
        // SetDefaultDllDirectories searches the program's folder first: fail as the helper fails
        // a DLL it cannot load.
        info->dwLastError = GetLastError();
        ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    }
    return reinterpret_cast<FARPROC>(module);
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadDelayedFromSystemFolder;
}

// The descriptors of the delay-loaded DLLs are an array in .text$2 that the linker leaves without
// its closing entry and without its place in the image header (binutils 2.40 writes neither):
// this zero entry sorts right after them, and the build writes the header's Delay Import Directory
// from the linker map (cmake/delay_imports.py), so that tools and __HrLoadAllImportsForDll find
// the delay imports.
extern "C" const ImgDelayDescr skelvaneDelayImportsEnd;
__attribute__((section(".text$3"), aligned(4))) const ImgDelayDescr skelvaneDelayImportsEnd = {};
