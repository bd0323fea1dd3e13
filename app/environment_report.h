// The setting a report was made in: the Windows version, processor architecture and build
// strings, and the installed product's type, version and language.
#pragma once

// The OS version line (with the compatibility error when the platform is not NT), then the
// architecture line continued by the Windows build-lab strings and product name. No line end.
void PrintOsInfo();

// "\r\nTOLV Product: " with the product's three values and a line end.
void PrintProductInfo();

// Prints "<valueName>: <text>" for a string value under HKEY_LOCAL_MACHINE\<subKey>, exactly as
// stored; prints nothing when the key or value cannot be read.
void PrintRegStringValue(const wchar_t* subKey, const wchar_t* valueName);
