// The native file calls of ntdll that the PKI cache clean works with, and what the SDK headers
// leave out of them. Every call here exists on Windows XP.
#pragma once

#include "platform/win32.h"

#include <winternl.h>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event,
                                               PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                               PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass,
                                               BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                               BOOLEAN RestartScan);

// ntstatus.h cannot be included beside windows.h without redefinitions.
constexpr NTSTATUS StatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
