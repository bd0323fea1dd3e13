#include "registry_values.h"

#include <cstdint>

bool ReadRegDword(HKEY key, const wchar_t* valueName, DWORD* value) {
    DWORD type = REG_NONE;
    DWORD size = sizeof(DWORD);
    LONG result = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    if (type != REG_DWORD) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    DWORD data = 0;
    size = sizeof(data);
    result =
        RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    SetLastError(static_cast<DWORD>(result));
    if (result != ERROR_SUCCESS) {
        return false;
    }
    // A REG_DWORD stored with fewer bytes holds no 32-bit value; reading it as one would make
    // up the missing bytes.
    if (size != sizeof(data)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    *value = data;
    return true;
}

bool ReadRegString(HKEY key, const wchar_t* valueName, wchar_t* buffer, DWORD capacity,
                   DWORD* size) {
    if (size != nullptr) {
        *size = 0;
    }
    DWORD type = REG_NONE;
    DWORD storedBytes = 0;
    LONG result = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &storedBytes);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (size != nullptr) {
        // An odd last byte fills a character of its own when read: a buffer sized from a
        // rounded-down count has no room left for a terminator.
        *size = static_cast<DWORD>((static_cast<uint64_t>(storedBytes) + sizeof(WCHAR) - 1) /
                                   sizeof(WCHAR));
    }
    if (storedBytes > static_cast<uint64_t>(capacity) * sizeof(WCHAR)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    DWORD readBytes = storedBytes;
    result = RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                              &readBytes);
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

bool ReadRegText(HKEY key, const wchar_t* valueName, DWORD* size, ScopedHeapText* text) {
    text->Reset(nullptr);
    // The size query fails with ERROR_INSUFFICIENT_BUFFER for every value that holds a byte; any
    // other failure (missing, another type) leaves nothing to read.
    if (!ReadRegString(key, valueName, nullptr, 0, size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    text->Reset(AllocateZeroedText(static_cast<uint64_t>(*size) + 1));
    if (text->IsEmpty()) {
        return false;
    }
    // The read is offered `size` characters, not the buffer's whole length: ReadRegString
    // queries the size again, and a value grown since by a character would otherwise fill the
    // last one too. So it fails instead, and the last character stays zero.
    return ReadRegString(key, valueName, text->Get(), *size, nullptr);
}
