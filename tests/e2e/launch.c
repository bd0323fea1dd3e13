/* Starts a program with a command line of our choosing, so that its argv[0] can be anything:
 * started directly under Wine, a program always sees its full DOS path there.
 *
 *   launch.exe <application path> <whole command line of the child>
 *
 * Waits for the child and exits with its exit code; 120 when the child cannot be started. */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: launch.exe APPLICATION COMMAND-LINE\n");
        return 120;
    }
    /* CreateProcessW may write into the command line buffer: hand it a copy. */
    size_t length = wcslen(argv[2]);
    wchar_t* commandLine = calloc(length + 1, sizeof(wchar_t));
    if (commandLine == NULL) {
        return 120;
    }
    wmemcpy(commandLine, argv[2], length);

    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    ZeroMemory(&process, sizeof process);
    if (!CreateProcessW(argv[1], commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                        &process)) {
        fwprintf(stderr, L"launch.exe: CreateProcessW failed (%lu)\n", GetLastError());
        free(commandLine);
        return 120;
    }
    free(commandLine);
    DWORD exitCode = 120;
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
        exitCode = 120;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)exitCode;
}
