#include "console_output.h"

#include <cstdarg>
#include <string>
#include <vector>

#include "wide_format.h"

namespace {

// Console writes go out in pieces: old consoles refuse very large single writes.
constexpr size_t ConsolePiece = 8192;

void WriteToConsole(HANDLE console, const wchar_t* text, size_t length) {
    while (length > 0) {
        size_t piece = length < ConsolePiece ? length : ConsolePiece;
        // Keep a surrogate pair together.
        if (piece < length && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) {
            --piece;
        }
        DWORD written = 0;
        if (!WriteConsoleW(console, text, static_cast<DWORD>(piece), &written, nullptr)) {
            return;
        }
        text += piece;
        length -= piece;
    }
}

void WriteUtf8(HANDLE stream, const wchar_t* text, size_t length) {
    static std::vector<char> bytes;  // reused: one buffer for the whole run
    while (length > 0) {
        size_t piece = length < ConsolePiece ? length : ConsolePiece;
        if (piece < length && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) {
            --piece;
        }
        int needed = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(piece), nullptr, 0,
                                         nullptr, nullptr);
        if (needed <= 0) {
            return;
        }
        if (bytes.size() < static_cast<size_t>(needed)) {
            bytes.resize(static_cast<size_t>(needed));
        }
        int converted = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(piece), bytes.data(),
                                            needed, nullptr, nullptr);
        DWORD written = 0;
        if (converted <= 0 ||
            !WriteFile(stream, bytes.data(), static_cast<DWORD>(converted), &written, nullptr)) {
            return;
        }
        text += piece;
        length -= piece;
    }
}

}  // namespace

void WriteToStream(DWORD stdHandle, const wchar_t* text, size_t length) {
    HANDLE stream = GetStdHandle(stdHandle);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE || length == 0) {
        return;
    }
    const DWORD savedError = GetLastError();  // a console write never disturbs what is reported
    DWORD mode = 0;
    if (GetConsoleMode(stream, &mode)) {
        WriteToConsole(stream, text, length);
    } else {
        WriteUtf8(stream, text, length);
    }
    SetLastError(savedError);
}

void PrintToStandardOutput(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::wstring text = FormatWideString(format, arguments);
    va_end(arguments);
    WriteToStream(STD_OUTPUT_HANDLE, text.c_str(), text.size());
}
