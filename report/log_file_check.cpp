#include "log_file_check.h"

#include <winternl.h>

#include <cstdlib>
#include <cwchar>

#include "platform/final_path.h"
#include "platform/holders.h"
#include "platform/optional_calls.h"

bool LogPathMayBeOpened(const wchar_t* logPath) {
    const DWORD attributes = GetFileAttributesW(logPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    // Only the directory entry tells which kind of reparse point stands there.
    WIN32_FIND_DATAW found;
    const ScopedFind find(FindFirstFileW(logPath, &found));
    if (find.IsEmpty()) {
        return false;
    }
    const DWORD tag = found.dwReserved0;  // 0 is no tag of a reparse point: not told
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && tag != 0 &&
           (tag & NameSurrogateTagBit) == 0;
}

namespace {

// The open followed any link, so a reparse point on the handle is a file that stays one when
// opened (a cloud placeholder, a deduplicated file). The tag is read by a call Windows XP has
// too; one that cannot be read is no reason to refuse.
bool HandleIsNameSurrogate(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFORMATION tag = {};
    IO_STATUS_BLOCK io = {};
    if (!NT_SUCCESS(
            NtQueryInformationFile(file, &io, &tag, sizeof tag, FileAttributeTagInformation))) {
        return false;
    }
    return (tag.ReparseTag & NameSurrogateTagBit) != 0;
}

// A path without its "\\?\" or "\\.\" prefix. A share's path, "\\server\share" or
// "\\?\UNC\server\share" alike, is "server\share" of a UNC path.
struct PathSpan {
    const wchar_t* text;
    size_t length;
    bool unc;
};

PathSpan DosForm(const wchar_t* path) {
    PathSpan form = {path, wcslen(path), false};
    const bool prefixed = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
    if (prefixed && _wcsnicmp(path + 4, L"UNC\\", 4) == 0) {
        form = {path + 8, form.length - 8, true};
    } else if (prefixed) {
        form = {path + 4, form.length - 4, false};
    } else if (wcsncmp(path, L"\\\\", 2) == 0) {
        form = {path + 2, form.length - 2, true};
    }
    return form;
}

PathSpan WithoutClosingSeparators(PathSpan path) {
    while (path.length > 0 &&
           (path.text[path.length - 1] == L'\\' || path.text[path.length - 1] == L'/')) {
        --path.length;
    }
    return path;
}

// Splits a path into its folder (without a closing separator) and its file name; only the
// folder is of a share or a drive.
void Split(PathSpan path, PathSpan* folder, PathSpan* name) {
    size_t cut = path.length;
    while (cut > 0 && path.text[cut - 1] != L'\\' && path.text[cut - 1] != L'/') {
        --cut;
    }
    *name = {path.text + cut, path.length - cut, false};
    *folder = WithoutClosingSeparators({path.text, cut, path.unc});
}

bool SameText(optional_call::CompareStringOrdinal::Function compare, PathSpan a, PathSpan b) {
    return a.unc == b.unc && compare(a.text, static_cast<int>(a.length), b.text,
                                     static_cast<int>(b.length), TRUE) == CSTR_EQUAL;
}

// The folder as a handle of its own shows it: a drive letter mapped twice (subst,
// DefineDosDevice) or a folder reached through a link then gives one final path for both.
PathText FolderFinalPath(const wchar_t* fullPath, FolderFinalPathQuery query, void* context) {
    PathSpan folder, name;
    Split({fullPath, wcslen(fullPath), false}, &folder, &name);
    if (folder.length == 0) {
        return PathText();
    }
    // "C:" alone would be the drive's current folder: its root keeps the separator.
    const size_t length = folder.length + 1;
    PathText folderPath(static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t))));
    if (folderPath.IsEmpty()) {
        return PathText();
    }
    wmemcpy(folderPath.Get(), fullPath, length);
    return ReadPathText([&](wchar_t* buffer, DWORD size) {
        return query(folderPath.Get(), buffer, size, context);
    });
}

DWORD OpenedFolderFinalPath(const wchar_t* folder, wchar_t* buffer, DWORD size, void*) {
    const ScopedFile handle(CreateFileW(
        folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.IsEmpty()) {
        return 0;
    }
    return QueryFinalPath(handle.Get(), buffer, size);
}

// Whether the handle's final path names the log; true when that cannot be told (before Vista,
// or where the query fails, as on RAM disks and DefineDosDevice drives).
bool HandleFinalPathNamesTheLog(HANDLE file, const wchar_t* logPath) {
    if (FindOptionalCall<optional_call::CompareStringOrdinal>() == nullptr) {
        return true;
    }
    PathText finalPath = FinalPathOf(file);
    if (finalPath.IsEmpty()) {
        return true;
    }
    return FinalPathNamesTheLog(finalPath.Get(), logPath, OpenedFolderFinalPath, nullptr);
}

}  // namespace

bool FinalPathNamesTheLog(const wchar_t* finalPath, const wchar_t* logPath,
                          FolderFinalPathQuery folderFinalPath, void* context) {
    const auto compare = FindOptionalCall<optional_call::CompareStringOrdinal>();
    if (compare == nullptr) {
        return true;
    }
    PathText fullPath = ReadPathText([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(logPath, size, buffer, nullptr);
    });
    if (fullPath.IsEmpty()) {
        return true;
    }
    // Short names and the file's own letter case, as the final path has them.
    PathText longPath = ReadPathText([&](wchar_t* buffer, DWORD size) {
        return GetLongPathNameW(fullPath.Get(), buffer, size);
    });
    if (longPath.IsEmpty()) {
        return true;
    }
    PathSpan actualFolder, actualName, expectedFolder, expectedName;
    Split(DosForm(finalPath), &actualFolder, &actualName);
    Split(DosForm(longPath.Get()), &expectedFolder, &expectedName);
    if (!SameText(compare, actualName, expectedName)) {
        return false;
    }
    PathText folderPath = FolderFinalPath(longPath.Get(), folderFinalPath, context);
    if (!folderPath.IsEmpty()) {
        expectedFolder = WithoutClosingSeparators(DosForm(folderPath.Get()));
    }
    return SameText(compare, actualFolder, expectedFolder);
}

bool OpenedLogIsThePath(HANDLE file, const wchar_t* logPath) {
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(file, &information)) {
        // A second name (a hard link) may be a file the run must not write to.
        if (information.nNumberOfLinks != 1) {
            return false;
        }
        if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
            HandleIsNameSurrogate(file)) {
            return false;
        }
    }
    return HandleFinalPathNamesTheLog(file, logPath);
}
