// Stand-in for kernel32's system information and module lookup: GetNativeSystemInfo answers
// with the stand-in machine's processor architecture; GetModuleHandleW knows the modules every
// Windows process has loaded (the program, ntdll.dll and kernel32.dll) and GetProcAddress the
// exports the tool looks up at run time.
// Left out: loading modules, ordinals, exports the tool does not look up.
#include <cctype>
#include <cstdlib>
#include <cwctype>

#include "machine.h"
#include "text.h"

extern "C" NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW info);

namespace standin {
namespace {

// Module handles are the addresses of these markers; nothing is loaded.
char ProgramModule, NtdllModule, Kernel32Module;

struct KnownModule {
    const char* name;
    const char* baseName;
    char* marker;
};

const KnownModule KnownModules[] = {{"ntdll.dll", "ntdll", &NtdllModule},
                                    {"kernel32.dll", "kernel32", &Kernel32Module}};

const KnownModule* ModuleOfHandle(HMODULE module) {
    for (const KnownModule& known : KnownModules) {
        if (reinterpret_cast<char*>(module) == known.marker) {
            return &known;
        }
    }
    return nullptr;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace
}  // namespace standin

using namespace standin;

void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO systemInfo) {
    *systemInfo = SYSTEM_INFO{};
    systemInfo->wProcessorArchitecture = Machine::Current().ProcessorArchitecture();
    systemInfo->dwPageSize = 4096;
    systemInfo->dwAllocationGranularity = 65536;
    systemInfo->dwNumberOfProcessors = 1;
    systemInfo->dwActiveProcessorMask = 1;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    if (Injected("GetModuleHandleW")) {
        return nullptr;
    }
    if (moduleName == nullptr) {
        return reinterpret_cast<HMODULE>(&ProgramModule);
    }
    const std::string name = LowerCase(Utf8FromWide(moduleName));
    for (const KnownModule& known : KnownModules) {
        if (name == known.name || name == known.baseName) {
            return reinterpret_cast<HMODULE>(known.marker);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (Injected("GetProcAddress")) {
        return nullptr;
    }
    const KnownModule* known = ModuleOfHandle(module);
    if (known == nullptr && module != reinterpret_cast<HMODULE>(&ProgramModule)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (known != nullptr && known->marker == &NtdllModule && procName != nullptr &&
        std::string(procName) == "RtlGetVersion" &&
        Machine::Current().HasExport(known->name, procName)) {
        // void (*)() is the one function type every other may be cast through.
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&RtlGetVersion));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
