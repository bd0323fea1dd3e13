/* Holds a file open inside the tool's wineserver, where Wine keeps share modes: a Linux process
 * holding the file does not count there.
 *
 *   hold_file.exe <file> none|read <ready marker>
 *
 * Opens <file> for reading, sharing nothing ("none") or sharing reading and writing ("read", a
 * reader that lets others read and write: an exclusive open still fails), then creates <ready
 * marker> and waits until it is ended. Exits with 1 when the file cannot be opened. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || (wcscmp(argv[2], L"none") != 0 && wcscmp(argv[2], L"read") != 0)) {
        fwprintf(stderr, L"usage: hold_file.exe FILE none|read READY-MARKER\n");
        return 1;
    }
    DWORD share = wcscmp(argv[2], L"read") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    HANDLE held =
        CreateFileW(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"hold_file.exe: cannot open %ls: %lu\n", argv[1], GetLastError());
        return 1;
    }
    HANDLE ready =
        CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"hold_file.exe: cannot create %ls: %lu\n", argv[3], GetLastError());
        return 1;
    }
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
