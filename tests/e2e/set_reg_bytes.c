/* Stores a registry value with exactly the given bytes, which Wine's regedit does not do for a
 * string value of an odd length (hex(1):61,00,62,00,58 is not stored as those five bytes).
 *
 *   set_reg_bytes.exe HKLM|HKCU <key> <value name> <type number> <bytes in hex, e.g. 4100420043>
 *
 * The key is created when missing. The value is read back and must hold exactly those bytes;
 * exits with 0 when it does, 1 otherwise (with the reason on stderr). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        fwprintf(stderr, L"usage: set_reg_bytes.exe HKLM|HKCU KEY NAME TYPE HEXBYTES\n");
        return 1;
    }
    HKEY root;
    if (wcscmp(argv[1], L"HKLM") == 0) {
        root = HKEY_LOCAL_MACHINE;
    } else if (wcscmp(argv[1], L"HKCU") == 0) {
        root = HKEY_CURRENT_USER;
    } else {
        fwprintf(stderr, L"set_reg_bytes.exe: unknown root %ls\n", argv[1]);
        return 1;
    }
    DWORD type = (DWORD)wcstoul(argv[4], NULL, 10);
    size_t digits = wcslen(argv[5]);
    if (digits % 2 != 0) {
        fwprintf(stderr, L"set_reg_bytes.exe: the bytes need two hex digits each\n");
        return 1;
    }
    DWORD count = (DWORD)(digits / 2);
    /* Two 0xFF bytes follow the data: for a string type, RegSetValueExW adds a terminator the
     * caller "forgot to count" when the unit after the data is zero, and this must not. */
    BYTE* bytes = malloc(count + 2);
    if (bytes == NULL) {
        return 1;
    }
    for (DWORD i = 0; i < count; ++i) {
        int high = HexDigit(argv[5][2 * i]);
        int low = HexDigit(argv[5][2 * i + 1]);
        if (high < 0 || low < 0) {
            fwprintf(stderr, L"set_reg_bytes.exe: %ls is not hexadecimal\n", argv[5]);
            free(bytes);
            return 1;
        }
        bytes[i] = (BYTE)(high * 16 + low);
    }
    bytes[count] = 0xFF;
    bytes[count + 1] = 0xFF;

    /* In the 64-bit view, where the tool reads, also when this helper is 32-bit on 64-bit
     * Windows. */
    HKEY key;
    LONG result = RegCreateKeyExW(root, argv[2], 0, NULL, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                                  NULL, &key, NULL);
    if (result != ERROR_SUCCESS) {
        fwprintf(stderr, L"set_reg_bytes.exe: RegCreateKeyExW failed (%ld)\n", result);
        free(bytes);
        return 1;
    }
    result = RegSetValueExW(key, argv[3], 0, type, bytes, count);
    if (result != ERROR_SUCCESS) {
        fwprintf(stderr, L"set_reg_bytes.exe: RegSetValueExW failed (%ld)\n", result);
        RegCloseKey(key);
        free(bytes);
        return 1;
    }
    BYTE stored[512];
    DWORD storedType = REG_NONE;
    DWORD storedCount = sizeof stored;
    result = RegQueryValueExW(key, argv[3], NULL, &storedType, stored, &storedCount);
    RegCloseKey(key);
    int same = result == ERROR_SUCCESS && storedType == type && storedCount == count &&
               memcmp(stored, bytes, count) == 0;
    free(bytes);
    if (!same) {
        fwprintf(stderr,
                 L"set_reg_bytes.exe: read back %lu bytes of type %lu (%ld), not the %lu given\n",
                 storedCount, storedType, result, count);
        return 1;
    }
    return 0;
}
