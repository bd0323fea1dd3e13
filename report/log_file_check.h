// The checks that keep the report log from being written where a link planted at its path leads:
// the tool often runs as administrator from a folder that others may write to.
#pragma once

#include "platform/win32.h"

// The reparse tag bit of links that name another file or folder (symbolic links, mount points).
constexpr DWORD NameSurrogateTagBit = 0x20000000;

// Whether the log may be opened at `logPath`, asked before the open: a plain file or none, or a
// reparse point that is no name surrogate (a cloud placeholder, a deduplicated file). A reparse
// point whose tag cannot be read is refused.
bool LogPathMayBeOpened(const wchar_t* logPath);

// Answers the final path of `folder` (a full path ending in a separator) as
// GetFinalPathNameByHandleW does for a handle of it: the length written, the size it needs when
// `size` is too small, or 0 when it cannot be read.
using FolderFinalPathQuery = DWORD (*)(const wchar_t* folder, wchar_t* buffer, DWORD size,
                                       void* context);

// Whether `finalPath`, an opened file's final path as GetFinalPathNameByHandleW gives it with
// the volume's DOS name, names the log at `logPath`: the log's file name, in the folder that
// `folderFinalPath` answers for the log's own folder. True where that cannot be told.
bool FinalPathNamesTheLog(const wchar_t* finalPath, const wchar_t* logPath,
                          FolderFinalPathQuery folderFinalPath, void* context);

// Whether the opened `file` is the log at `logPath` itself and not what a link, swapped in after
// the check above, led to: one link, no link of its own, and (where the system can tell) a final
// path that names the log. A question the system cannot answer is no reason to refuse.
bool OpenedLogIsThePath(HANDLE file, const wchar_t* logPath);
