#include "log_file_check.h"

#include <winternl.h>

#include <cstdlib>
#include <cwchar>
#include <memory>

#include "platform/holders.h"

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

using Text = std::unique_ptr<wchar_t, void (*)(void*)>;

Text NoText() {
    return Text(nullptr, free);
}

// The path that `fill(buffer, size)` writes: a call that returns the length written, the size it
// needs when the buffer is too small, or 0 when it fails. Null when it fails or memory runs out.
template <typename Fill>
Text ReadPath(Fill fill) {
    DWORD size = MAX_PATH;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Text path(static_cast<wchar_t*>(calloc(size, sizeof(wchar_t))), free);
        if (path == nullptr) {
            return NoText();
        }
        const DWORD length = fill(path.get(), size);
        if (length == 0) {
            return NoText();
        }
        if (length < size) {
            return path;
        }
        size = length + 1;  // the path may have grown meanwhile: asked again, a few times
    }
    return NoText();
}

using GetFinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
using CompareOrdinalFunction = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);

// A call Windows XP does not have.
template <typename Function>
Function NewerKernel32Call(const char* name) {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return nullptr;
    }
    // void (*)() is the one function type every other may be cast through without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

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
struct PathText {
    const wchar_t* text;
    size_t length;
    bool unc;
};

PathText DosForm(const wchar_t* path) {
    PathText form = {path, wcslen(path), false};
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

PathText WithoutClosingSeparators(PathText path) {
    while (path.length > 0 &&
           (path.text[path.length - 1] == L'\\' || path.text[path.length - 1] == L'/')) {
        --path.length;
    }
    return path;
}

// Splits a path into its folder (without a closing separator) and its file name; only the
// folder is of a share or a drive.
void Split(PathText path, PathText* folder, PathText* name) {
    size_t cut = path.length;
    while (cut > 0 && path.text[cut - 1] != L'\\' && path.text[cut - 1] != L'/') {
        --cut;
    }
    *name = {path.text + cut, path.length - cut, false};
    *folder = WithoutClosingSeparators({path.text, cut, path.unc});
}

bool SameText(CompareOrdinalFunction compare, PathText a, PathText b) {
    return a.unc == b.unc && compare(a.text, static_cast<int>(a.length), b.text,
                                     static_cast<int>(b.length), TRUE) == CSTR_EQUAL;
}

Text FinalPath(GetFinalPathFunction getFinalPath, HANDLE file) {
    return ReadPath([&](wchar_t* buffer, DWORD size) {
        return getFinalPath(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
}

// The folder as a handle of its own shows it: a drive letter mapped twice (subst,
// DefineDosDevice) or a folder reached through a link then gives one final path for both.
Text FolderFinalPath(const wchar_t* fullPath, FolderFinalPathQuery query, void* context) {
    PathText folder, name;
    Split({fullPath, wcslen(fullPath), false}, &folder, &name);
    if (folder.length == 0) {
        return NoText();
    }
    // "C:" alone would be the drive's current folder: its root keeps the separator.
    const size_t length = folder.length + 1;
    Text folderPath(static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t))), free);
    if (folderPath == nullptr) {
        return NoText();
    }
    wmemcpy(folderPath.get(), fullPath, length);
    return ReadPath([&](wchar_t* buffer, DWORD size) {
        return query(folderPath.get(), buffer, size, context);
    });
}

DWORD OpenedFolderFinalPath(const wchar_t* folder, wchar_t* buffer, DWORD size, void* context) {
    const GetFinalPathFunction getFinalPath = *static_cast<GetFinalPathFunction*>(context);
    HANDLE handle = CreateFileW(folder, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD length = getFinalPath(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    return length;
}

// Whether the handle's final path names the log; true when that cannot be told (before Vista,
// or where the query fails, as on RAM disks and DefineDosDevice drives).
bool HandleFinalPathNamesTheLog(HANDLE file, const wchar_t* logPath) {
    GetFinalPathFunction getFinalPath =
        NewerKernel32Call<GetFinalPathFunction>("GetFinalPathNameByHandleW");
    if (getFinalPath == nullptr ||
        NewerKernel32Call<CompareOrdinalFunction>("CompareStringOrdinal") == nullptr) {
        return true;
    }
    Text finalPath = FinalPath(getFinalPath, file);
    if (finalPath == nullptr) {
        return true;
    }
    return FinalPathNamesTheLog(finalPath.get(), logPath, OpenedFolderFinalPath, &getFinalPath);
}

}  // namespace

bool FinalPathNamesTheLog(const wchar_t* finalPath, const wchar_t* logPath,
                          FolderFinalPathQuery folderFinalPath, void* context) {
    auto compare = NewerKernel32Call<CompareOrdinalFunction>("CompareStringOrdinal");
    if (compare == nullptr) {
        return true;
    }
    Text fullPath = ReadPath([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(logPath, size, buffer, nullptr);
    });
    if (fullPath == nullptr) {
        return true;
    }
    // Short names and the file's own letter case, as the final path has them.
    Text longPath = ReadPath([&](wchar_t* buffer, DWORD size) {
        return GetLongPathNameW(fullPath.get(), buffer, size);
    });
    if (longPath == nullptr) {
        return true;
    }
    PathText actualFolder, actualName, expectedFolder, expectedName;
    Split(DosForm(finalPath), &actualFolder, &actualName);
    Split(DosForm(longPath.get()), &expectedFolder, &expectedName);
    if (!SameText(compare, actualName, expectedName)) {
        return false;
    }
    Text folderPath = FolderFinalPath(longPath.get(), folderFinalPath, context);
    if (folderPath != nullptr) {
        expectedFolder = WithoutClosingSeparators(DosForm(folderPath.get()));
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
