/* Holds a file or folder open inside the tool's wineserver, where Wine keeps share modes: a Linux
 * process holding it does not count there.
 *
 *   hold_file.exe <path> none|read <ready marker> [read|delete]
 *
 * Opens <path> for reading ("read", the default) or for reading and deletion ("delete", as a
 * service watching a folder may hold it), sharing nothing ("none") or sharing reading and writing
 * ("read", a reader that lets others read and write: an exclusive open, or one that does not share
 * deletion with a holder that may delete, still fails), then creates <ready marker> and waits
 * until it is ended. A folder is opened as a folder. Exits with 1 when <path> cannot be opened. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
    if ((argc != 4 && argc != 5) ||
        (wcscmp(argv[2], L"none") != 0 && wcscmp(argv[2], L"read") != 0) ||
        (argc == 5 && wcscmp(argv[4], L"read") != 0 && wcscmp(argv[4], L"delete") != 0)) {
        fwprintf(stderr, L"usage: hold_file.exe PATH none|read READY-MARKER [read|delete]\n");
        return 1;
    }
    DWORD share = wcscmp(argv[2], L"read") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
    DWORD access =
        argc == 5 && wcscmp(argv[4], L"delete") == 0 ? GENERIC_READ | DELETE : GENERIC_READ;
    DWORD attributes = GetFileAttributesW(argv[1]);
    /* Only this flag gives a handle to a folder. */
    DWORD flags = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                      ? FILE_FLAG_BACKUP_SEMANTICS
                      : FILE_ATTRIBUTE_NORMAL;
    HANDLE held = CreateFileW(argv[1], access, share, NULL, OPEN_EXISTING, flags, NULL);
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
