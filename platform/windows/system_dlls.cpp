// crypt32, winhttp and version are no KnownDLLs: imported the ordinary way, Windows would look for
// them in the program's folder first, and a version.dll dropped beside the program (in Downloads,
// say) would run with the rights of whoever started the tool. The program delay-loads them and
// shell32 instead (cmake/windows.cmake); this file hands each delay-loaded call its function from
// the system folder (platform/system_dll_functions.cpp), and makes the loads the system DLLs then
// make by name come from there too.
#include "platform/system_dll_functions.h"

#include <delayimp.h>

namespace {

// Before main, before anything is loaded by name.
__attribute__((constructor)) void LimitDllSearch() {
    SearchSystemFolderFirst();
}

// The delay-load helper asks this hook first. A function handed back here is what the call runs,
// and the helper then neither loads the DLL by its bare name (which, without
// SetDefaultDllDirectories, searches the program's folder first) nor raises: a DLL or function
// that cannot be had gets its failing stand-in, and the check reports the failure as its own.
FARPROC WINAPI ResolveFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliStartProcessing) {
        return nullptr;
    }
    FARPROC function =
        info->dlp.fImportByName ? SystemDllFunction(info->szDll, info->dlp.szProcName) : nullptr;
    if (function == nullptr) {
        // Only a function with no stand-in gets here (the unit tests hold the list complete):
        // fail as the helper fails, but not continuably, as a null answer would send the helper
        // on to a load of the bare name.
        info->dwLastError = GetLastError();
        ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND),
                       EXCEPTION_NONCONTINUABLE, 1, &argument);
        return nullptr;
    }
    // The helper leaves the address table to a hook that answers at this step: later calls go
    // straight to the function.
    *info->ppfn = function;
    return function;
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = ResolveFromSystemFolder;
}

// The descriptors of the delay-loaded DLLs are an array in .text$2 that the linker leaves without
// its closing entry and without its place in the image header (binutils 2.40 writes neither):
// this zero entry sorts right after them, and the build writes the header's Delay Import Directory
// from the linker map (cmake/delay_imports.py), so that tools and __HrLoadAllImportsForDll find
// the delay imports.
extern "C" const ImgDelayDescr skelvaneDelayImportsEnd;
__attribute__((section(".text$3"), aligned(4))) const ImgDelayDescr skelvaneDelayImportsEnd = {};
