#include "key_wait.h"

#include "platform/holders.h"
#include "platform/win32.h"

void WaitForKeyPress() {
    const ScopedFile console(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    if (console.IsEmpty()) {
        return;  // no console
    }
    const HANDLE input = console.Get();
    DWORD savedMode = 0;
    if (!GetConsoleMode(input, &savedMode)) {
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
}
