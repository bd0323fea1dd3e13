#include "os_version.h"

RtlGetVersionFunction FindRtlGetVersion() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(ntdll, "RtlGetVersion");
    // void (*)() is the one function type every other may be cast through without a warning.
    return reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(address));
}

bool QueryOsVersion(RtlGetVersionFunction rtlGetVersion, RTL_OSVERSIONINFOEXW* version) {
    *version = RTL_OSVERSIONINFOEXW{};
    version->dwOSVersionInfoSize = sizeof(*version);
    return rtlGetVersion(reinterpret_cast<RTL_OSVERSIONINFOW*>(version)) == 0;
}

bool IsVistaOrLater() {
    static const RtlGetVersionFunction rtlGetVersion = FindRtlGetVersion();
    RTL_OSVERSIONINFOEXW version;
    return rtlGetVersion != nullptr && QueryOsVersion(rtlGetVersion, &version) &&
           version.dwMajorVersion >= 6;
}
