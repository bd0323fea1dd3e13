// kernel32: file attributes, directory listing and file deletion.
#pragma once

#include "kernel32.h"

#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);
HANDLE WINAPI FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
BOOL WINAPI FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData);
BOOL WINAPI FindClose(HANDLE findFile);
BOOL WINAPI DeleteFileW(LPCWSTR fileName);
