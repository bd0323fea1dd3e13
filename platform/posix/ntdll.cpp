// Stand-in for ntdll's RtlGetVersion: the stand-in machine's version record. It takes the basic
// and the extended record, told apart by the size field as on Windows, and can fail by injection
// with the injected code as its NTSTATUS.
#include <algorithm>

#include "machine.h"

using namespace standin;

extern "C" NTSTATUS WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW info) {
    FaultHit hit = Machine::Current().Check("RtlGetVersion");
    if (hit.fail) {
        return static_cast<NTSTATUS>(hit.error);
    }
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
                            info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOEXW))) {
        return STATUS_INVALID_PARAMETER;
    }
    const Machine::OsVersion& version = Machine::Current().GetOsVersion();
    info->dwMajorVersion = version.major;
    info->dwMinorVersion = version.minor;
    info->dwBuildNumber = version.build;
    info->dwPlatformId = version.platformId;
    const size_t length = std::min<size_t>(version.csdVersion.size(), 127);
    std::copy_n(version.csdVersion.begin(), length, info->szCSDVersion);
    info->szCSDVersion[length] = L'\0';
    if (info->dwOSVersionInfoSize == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* extended = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(info);
        extended->wServicePackMajor = version.servicePackMajor;
        extended->wServicePackMinor = version.servicePackMinor;
        extended->wSuiteMask = version.suiteMask;
        extended->wProductType = version.productType;
        extended->wReserved = 0;
    }
    return STATUS_SUCCESS;
}
