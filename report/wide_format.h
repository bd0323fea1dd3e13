// The report's own wide formatter, with the meanings Windows (LLP64, MSVC) gives the
// conversions on every build: "%s" and "%ws" a wide string, "%S" a narrow one (each byte the
// character of the same code), "%d %i %u %x %X" and their "l" forms 32 bits, "%lld" and "%I64d"
// (and u, x, X) 64 bits; flags '0', ' ', '-', '+'; a width, also '*'; "%%". An unknown conversion
// is copied as it stands and takes no argument.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Field widths beyond this are a formatting error: no report needs more, and a width taken
// from an argument must not make a message of gigabytes.
constexpr size_t MaxFormatWidth = 1024;
// What FormatWide returns for a format it refuses (a width beyond MaxFormatWidth).
constexpr size_t FormatWideError = static_cast<size_t>(-1);

// Formats into `out`, which holds `capacity` characters (the terminator included), cutting the
// text to fit; returns the length the whole text needs, without its terminator, or
// FormatWideError (with `out` holding what came before the fault). With a null `out` (or
// capacity 0) it only counts.
size_t FormatWide(wchar_t* out, size_t capacity, const wchar_t* format, va_list arguments);

// The same with the arguments given directly.
size_t FormatWideArgs(wchar_t* out, size_t capacity, const wchar_t* format, ...);

// The whole formatted text; empty on a formatting error.
std::wstring FormatWideString(const wchar_t* format, va_list arguments);
