// Entries of a module's import address table, replaced by name: the seam through which the test
// program fails, counts and answers the calls of the code under test.
#pragma once

#include "platform/win32.h"

// Replaces `module`'s entry for `function` imported from `dll` (case-insensitive, ".dll" may be
// left out) by `replacement`; returns the entry it held, or null when the module imports no such
// function. Every descriptor naming that DLL is patched.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);
