// The proxy values of the Internet Settings keys of the machine, its policies, the current user
// and LocalSystem: a proxy in the way can break the product's HTTPS exchange.
#pragma once

#include "platform/win32.h"

// Prints the heading, each key's proxy values, and "OK" when no key holds any.
void ReportProxySettings();

// Prints the proxy values of `root`\`subKey`; true when it printed a warning or an information
// block for the key. A key that cannot be opened is reported only with `reportOpenFailure`.
bool ReportProxyKey(HKEY root, const wchar_t* subKey, bool reportOpenFailure);
