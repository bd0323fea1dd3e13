// Text conversions of the stand-in: the tool's wide text (32-bit wchar_t here) to and from
// UTF-8, and Windows paths to host paths.
#pragma once

#include <string>

#include "win32_api.h"

namespace standin {

// UTF-8 of wide text; code points that are not scalar values (lone surrogates, values above
// 0x10FFFF) become U+FFFD, as WideCharToMultiByte does.
std::string Utf8FromWide(const wchar_t* text, size_t length);
std::string Utf8FromWide(const std::wstring& text);

// Wide text of UTF-8; ill-formed sequences become U+FFFD, as MultiByteToWideChar does.
std::wstring WideFromUtf8(const char* text, size_t length);
std::wstring WideFromUtf8(const std::string& text);

// A host file name as Windows text and back: the bytes are UTF-8 where they are well formed, and
// each other byte becomes the lone surrogate U+DC80-U+DCFF (a Windows name may hold one), so a
// name that is not UTF-8 still names its file.
std::wstring WideFromHostName(const std::string& name);
std::string HostNameFromWide(const wchar_t* text, size_t length);

// The host path of a Windows path: "C:\..." is in the prefix's drive_c, "Z:\..." is the host's
// root, another drive letter is the prefix's drive_<letter>; a path without a drive is relative
// to the working directory (a leading backslash means the host's root, as Z: is the current
// drive). Backslashes become slashes.
std::string HostPath(const wchar_t* windowsPath);

// The Windows path of a host path, as Wine shows it: "Z:" and the absolute path with backslashes.
std::wstring WindowsPathOfHost(const std::string& hostPath);

// Makes the host folder `path` and every folder above it that is missing; false when one
// cannot be made (errno tells why).
bool MakeDirectories(const std::string& path);

// Windows' last error for the current errno of a failed file call.
DWORD ErrorFromErrno(int error);

}  // namespace standin
