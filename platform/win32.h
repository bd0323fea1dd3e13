// The one header through which the tool reaches its platform.
// On Windows it is the SDK; elsewhere it is the stand-in layer of platform/posix, which declares
// the same names with the same meanings.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <shlobj.h>
#include <winver.h>
#else
#include "posix/win32_api.h"
#endif
