// Calls that not every supported Windows has (or that no import library offers), reached one
// way: looked up by module and name, in a module the process has loaded already, each time the
// caller asks (so a test can answer the lookup). Null where the system lacks the call.
#pragma once

#include "platform/win32.h"

// Each row: the module, the call, its result and its argument types.
#define SKELVANE_OPTIONAL_CALLS(X)                                                                 \
    X(L"kernel32.dll", GetFinalPathNameByHandleW, DWORD, HANDLE, LPWSTR, DWORD, DWORD) /* Vista */ \
    X(L"kernel32.dll", CompareStringOrdinal, int, LPCWCH, int, LPCWCH, int, BOOL)      /* Vista */ \
    X(L"kernel32.dll", SetProcessMitigationPolicy, BOOL, PROCESS_MITIGATION_POLICY, PVOID,         \
      SIZE_T)                                                 /* Windows 8 */                      \
    X(L"ntdll.dll", RtlGetVersion, LONG, RTL_OSVERSIONINFOW*) /* no documented user import */

// One type per row, named as the call: optional_call::RtlGetVersion::Function and so on.
namespace optional_call {
#define SKELVANE_OPTIONAL_CALL_TYPE(Module, Name, Result, ...) \
    struct Name {                                              \
        using Function = Result(WINAPI*)(__VA_ARGS__);         \
        static constexpr const wchar_t* module = Module;       \
        static constexpr const char* name = #Name;             \
    };
SKELVANE_OPTIONAL_CALLS(SKELVANE_OPTIONAL_CALL_TYPE)
#undef SKELVANE_OPTIONAL_CALL_TYPE
}  // namespace optional_call

// The call `Call` names (a type of optional_call), or null when its module is not loaded or has
// no such export.
template <typename Call>
typename Call::Function FindOptionalCall() {
    const HMODULE module = GetModuleHandleW(Call::module);
    if (module == nullptr) {
        return nullptr;
    }
    // void (*)() is the one function type every other may be cast through without a warning.
    return reinterpret_cast<typename Call::Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, Call::name)));
}
