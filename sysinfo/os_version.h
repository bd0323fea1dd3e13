// The version of the running Windows, from ntdll's RtlGetVersion. It is looked up at run time
// because it is no documented import of a user program; unlike GetVersionEx it reports the real
// version whatever the program's manifest declares.
#pragma once

#include "platform/optional_calls.h"
#include "platform/win32.h"

using RtlGetVersionFunction = optional_call::RtlGetVersion::Function;

// RtlGetVersion of the loaded ntdll.dll, looked up anew, or null when there is none.
inline RtlGetVersionFunction FindRtlGetVersion() {
    return FindOptionalCall<optional_call::RtlGetVersion>();
}

// Fills the extended record through `rtlGetVersion`; false when the call fails.
bool QueryOsVersion(RtlGetVersionFunction rtlGetVersion, RTL_OSVERSIONINFOEXW* version);

// Whether the major version is 6 or more. The lookup is made on the first call only.
bool IsVistaOrLater();
