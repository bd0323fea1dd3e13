// Text to the process's standard streams: WriteConsoleW on a console, UTF-8 when redirected.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Writes `length` characters of `text` to the standard stream `stdHandle`
// (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE). A failing write is ignored.
void WriteToStream(DWORD stdHandle, const wchar_t* text, size_t length);

// Formats with the report's formatter and writes the text to standard output: the few messages
// printed before the report log exists or beside it.
void PrintToStandardOutput(const wchar_t* format, ...);
