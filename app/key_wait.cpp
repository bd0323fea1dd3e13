#include "key_wait.h"

#include "platform/win32.h"

void WaitForKeyPress() {
    HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return;  // no console
    }
    DWORD savedMode = 0;
    if (!GetConsoleMode(input, &savedMode)) {
        CloseHandle(input);
        return;
    }
    // Neither line input nor echo: one key is enough and it is not shown.
    SetConsoleMode(input, 0);
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record;
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            break;
        }
    }
    SetConsoleMode(input, savedMode);
    CloseHandle(input);
}
