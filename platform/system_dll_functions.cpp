#include "platform/system_dll_functions.h"

#include <cstring>
#include <type_traits>

namespace {

// A stand-in for a function of type `Function` that fails every call with `Error`. One exists
// per signature: on i686 a stdcall function takes its own arguments off the stack, so a stand-in
// must take exactly those of the call it stands in for.
template <typename Function>
struct Failing;

template <typename Result, typename... Args>
struct Failing<Result(WINAPI*)(Args...)> {
    template <DWORD Error>
    static Result WINAPI Call(Args...) {
        // A call without a result (a free) has nothing to fail, and leaves the last error to the
        // caller's report of an earlier failure.
        if constexpr (std::is_void_v<Result>) {
            return;
        } else {
            SetLastError(Error);
            return Result();
        }
    }
};

// void (*)() is the one function type every other may be cast through without a warning.
template <typename Function>
FARPROC AsFarProc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct StandIns {
    const char* dll;
    const char* function;
    FARPROC dllMissing;
    FARPROC functionMissing;
};

#define SKELVANE_STAND_INS(dll, name)                                            \
    {#dll ".dll", #name,                                                         \
     AsFarProc(&Failing<decltype(&::name)>::template Call<ERROR_MOD_NOT_FOUND>), \
     AsFarProc(&Failing<decltype(&::name)>::template Call<ERROR_PROC_NOT_FOUND>)},
const StandIns StandInTable[] = {SKELVANE_SYSTEM_DLL_FUNCTIONS(SKELVANE_STAND_INS)};
#undef SKELVANE_STAND_INS

const StandIns* FindStandIns(const char* dll, const char* function) {
    for (const StandIns& row : StandInTable) {
        if (_stricmp(row.dll, dll) == 0 && std::strcmp(row.function, function) == 0) {
            return &row;
        }
    }
    return nullptr;
}

// The DLLs above that are no KnownDLLs: a load by their bare name may search the program's folder.
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

}  // namespace

void SearchSystemFolderFirst() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    FARPROC address =
        kernel32 == nullptr ? nullptr : GetProcAddress(kernel32, "SetDefaultDllDirectories");
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

FARPROC SystemDllFunction(const char* dll, const char* function) {
    const StandIns* standIns = FindStandIns(dll, function);
    // Loaded again on each first call of a function: a load that failed once may not fail again,
    // and the reference count of a loaded DLL is all it costs.
    HMODULE module = LoadFromSystemFolder(dll);
    if (module == nullptr) {
        return standIns == nullptr ? nullptr : standIns->dllMissing;
    }
    FARPROC found = GetProcAddress(module, function);
    if (found == nullptr) {
        return standIns == nullptr ? nullptr : standIns->functionMissing;
    }
    return found;
}
