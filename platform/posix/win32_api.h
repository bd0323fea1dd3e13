// Stand-in for the Windows SDK headers on POSIX: exactly the subset of types, constants and
// functions that the tool calls, with Windows values and meanings. Grouped by the DLL that
// provides each call on Windows; the implementations live in platform/posix/<dll>*.cpp.
#pragma once

#include "api/types.h"
#include "api/kernel32.h"
#include "api/kernel32_directory.h"
#include "api/advapi32.h"
#include "api/advapi32_registry.h"
#include "api/kernel32_system.h"
#include "api/ntdll.h"
#include "api/version.h"
#include "api/crypt32.h"
#include "api/crypt32_chain.h"
#include "api/crypt32_encode.h"
#include "api/advapi32_crypto.h"
#include "api/winhttp.h"
// Windows' socket names clash with the host's: files that use host sockets leave them out.
#ifndef SKELVANE_HOST_SOCKETS
#include "api/ws2_32.h"
#endif
#include "api/shell32.h"
#include "api/tool_allocation.h"
