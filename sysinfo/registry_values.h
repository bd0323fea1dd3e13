// Readers of single registry values, shared by the checks that read machine settings. Both
// answer with a bool and leave the reason in the thread's last error, as the platform's own
// calls do, so that a caller can print it right after a failed read.
#pragma once

#include "platform/holders.h"
#include "platform/win32.h"

// Every key is read in the 64-bit view, also by the 32-bit build on 64-bit Windows, where the
// product and the system keep their settings.
constexpr REGSAM RegistryReadAccess = KEY_READ | KEY_WOW64_64KEY;

// True with the value when it is a REG_DWORD of four bytes; else false with the registry's own
// code (ERROR_FILE_NOT_FOUND for a missing value) or ERROR_INVALID_DATA for another type.
bool ReadRegDword(HKEY key, const wchar_t* valueName, DWORD* value);

// Reads a REG_SZ or REG_EXPAND_SZ value, unexpanded, into `buffer` of `capacity` wide
// characters; adds no terminator of its own. `size` (optional) receives the stored size in wide
// characters, terminator included as stored and an odd last byte counted as a whole character
// (the read writes it into one), or 0 when the value is missing or of another type. With no
// buffer and capacity 0 it is the size query (false with ERROR_INSUFFICIENT_BUFFER for any value
// that stores at least one byte).
bool ReadRegString(HKEY key, const wchar_t* valueName, wchar_t* buffer, DWORD capacity,
                   DWORD* size);

// Reads a REG_SZ or REG_EXPAND_SZ value into a zero-filled buffer one character longer than it
// is stored, so the text ends inside the buffer whatever the stored bytes: shown, it is the
// stored text up to its first zero character. True when read; else false with the reason in the
// last error. `size` receives the stored size as ReadRegString gives it; `text` is left empty
// when the value is missing or of another type, or no buffer could be had, and otherwise holds
// the buffer, also after a failed read.
// A value that grows between the size query and the read fails to be read (122 or 234).
bool ReadRegText(HKEY key, const wchar_t* valueName, DWORD* size, ScopedHeapText* text);
