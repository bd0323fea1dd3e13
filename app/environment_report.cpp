#include "environment_report.h"

#include "platform/holders.h"
#include "report/report_log.h"
#include "sysinfo/os_version.h"
#include "sysinfo/registry_values.h"

namespace {

const wchar_t WindowsVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t ProductKey[] = L"SOFTWARE\\TOLV\\TOLV Security\\CurrentVersion\\Info";

const wchar_t* ArchitectureName(WORD code) {
    switch (code) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return L"x64";
        case PROCESSOR_ARCHITECTURE_INTEL:
            return L"x86";
        default:
            return L"Unknown";
    }
}

// The three values of one key, separated by ", "; a value that cannot be read leaves only its
// separators.
void PrintRegStringValues(const wchar_t* subKey, const wchar_t* first, const wchar_t* second,
                          const wchar_t* third) {
    PrintRegStringValue(subKey, first);
    g_reportLog->Print(L", ");
    PrintRegStringValue(subKey, second);
    g_reportLog->Print(L", ");
    PrintRegStringValue(subKey, third);
}

void PrintOsVersion() {
    RtlGetVersionFunction rtlGetVersion = FindRtlGetVersion();
    RTL_OSVERSIONINFOEXW version;
    if (rtlGetVersion == nullptr || !QueryOsVersion(rtlGetVersion, &version)) {
        return;
    }
    g_reportLog->Print(
        L"OS version: %d.%d.%d (%d.%d) \"%s\", PlatformId: %d, ProductType: 0x%08X, SuiteMask: "
        L"0x%08X",
        version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
        version.wServicePackMajor, version.wServicePackMinor, version.szCSDVersion,
        version.dwPlatformId, version.wProductType, version.wSuiteMask);
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        g_reportLog->PrintError(
            L"\r\nError: Probably application compatibility is set or inherited from parent "
            L"process (platformID = %d)\r\n",
            version.dwPlatformId);
    }
}

}  // namespace

void PrintOsInfo() {
    PrintOsVersion();
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    g_reportLog->Print(L"\r\nOS processor architecture: %s (%04x), ",
                       ArchitectureName(system.wProcessorArchitecture),
                       system.wProcessorArchitecture);
    PrintRegStringValues(WindowsVersionKey, L"BuildLab", L"BuildLabEx", L"ProductName");
}

void PrintProductInfo() {
    g_reportLog->Print(L"\r\nTOLV Product: ");
    PrintRegStringValues(ProductKey, L"ProductType", L"ProductVersion", L"LanguageCode");
    g_reportLog->Print(L"\r\n");
}

void PrintRegStringValue(const wchar_t* subKey, const wchar_t* valueName) {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, RegistryReadAccess, key.Put()) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD size = 0;
    ScopedHeapText text;
    if (ReadRegText(key.Get(), valueName, &size, &text)) {
        g_reportLog->Print(L"%s: %s", valueName, text.Get());
    }
}
