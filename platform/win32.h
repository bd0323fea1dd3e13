// The one header through which the tool reaches its platform: the Windows SDK. The native build
// compiles only code that makes no platform call, which never includes it.
#pragma once

#if !defined(_WIN32)
#error "platform/win32.h is for the Windows builds; the native build holds only pure code"
#endif

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
