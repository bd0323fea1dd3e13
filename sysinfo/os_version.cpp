#include "os_version.h"

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
