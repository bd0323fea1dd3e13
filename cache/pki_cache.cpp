#include "pki_cache.h"

#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/scoped_handle.h"
#include "platform/win32.h"
#include "report/report_log.h"

namespace {

using ScopedFindHandle = ScopedHandle<HANDLE, FindClose, -1>;

const wchar_t CacheSuffix[] = L"\\TOLV\\TOLV Security\\PKI\\ctl";
constexpr size_t CacheSuffixLength = sizeof CacheSuffix / sizeof CacheSuffix[0] - 1;

// The folder path and the suffix share one buffer of MAX_PATH + 1 characters.
constexpr size_t LocationCapacity = MAX_PATH + 1;

// A longer directory path leaves no room for "\*" in a pattern of MAX_PATH characters.
constexpr size_t MaxListedPathLength = MAX_PATH - 3;

struct CleanCounts {
    int files = 0;
    int failures = 0;
};

void PrintSomethingWrong(const wchar_t* path, DWORD attributes) {
    g_reportLog->PrintError(L"    Something is wrong with \"%s\" (attr: 0x%08x, gle: 0x%08x)", path,
                            attributes, GetLastError());
}

// Every user may create folders under the application-data folder, and the clean runs as an
// administrator: a junction or symbolic link planted on the way to the cache would make it
// delete the files of whatever folder the link leads to. Checks each folder below the
// application-data folder down to the cache's parent and reports the first that is a link or
// cannot be looked at.
bool IsReachedWithoutLinks(const std::wstring& location, size_t folderLength) {
    const size_t cacheSeparator = location.rfind(L'\\');
    for (size_t separator = location.find(L'\\', folderLength + 1); separator <= cacheSeparator;
         separator = location.find(L'\\', separator + 1)) {
        const std::wstring folder = location.substr(0, separator);
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            PrintSomethingWrong(folder.c_str(), attributes);
            return false;
        }
    }
    return true;
}

// What the cache location is decides what happens: nothing there is fine, a real directory is
// emptied, anything else (a file, a link) is reported and left.
void InspectCacheLocation(const wchar_t* location, size_t folderLength) {
    const DWORD attributes = GetFileAttributesW(location);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        g_reportLog->Print(L"    OK - PKI cache does not exist at \"%s\" (0x%08x)", location,
                           GetLastError());
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        PrintSomethingWrong(location, attributes);
    } else if (!IsReachedWithoutLinks(location, folderLength)) {
        // Reported there; nothing is deleted.
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        PrintSomethingWrong(location, attributes);
    } else {
        EmptyCacheDirectory(location);
    }
}

void CleanEntry(const wchar_t* directory, const WIN32_FIND_DATAW& entry, CleanCounts& counts) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
            g_reportLog->Print(L"      %s   <DIR>\n", entry.cFileName);
        }
        return;
    }
    ++counts.files;
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    g_reportLog->Print(L"      %s   %lld bytes\n", entry.cFileName, static_cast<long long>(size));
    // A link among the files is deleted as a link: DeleteFileW removes the link, not its target.
    const std::wstring path = std::wstring(directory) + L"\\" + entry.cFileName;
    if (!DeleteFileW(path.c_str())) {
        g_reportLog->PrintError(L"Cannot delete file \"%s\"\n", path.c_str());
        ++counts.failures;
    }
}

void PrintSummary(const CleanCounts& counts) {
    if (counts.failures > 0) {
        g_reportLog->Print(L"\n    Failed to delete %d file(s)\n", counts.failures);
    } else if (counts.files == 0) {
        g_reportLog->Print(L"\n    Already clean\n");
    } else {
        g_reportLog->Print(L"\n    Successfully cleaned\n");
    }
}

}  // namespace

void CleanPkiCache() {
    g_reportLog->Print(L"\nClean PKI cache...\n");
    wchar_t location[LocationCapacity] = {};
    if (!SHGetSpecialFolderPathW(nullptr, location, CSIDL_COMMON_APPDATA, FALSE)) {
        g_reportLog->PrintError(L"\n    Cannot determine location of CSIDL_COMMON_APPDATA (0x%08x)",
                                GetLastError());
        return;
    }
    location[MAX_PATH] = L'\0';
    g_reportLog->Print(L"    ProgramData directory: \"%s\"\n", location);
    const size_t folderLength = wcslen(location);
    if (folderLength + CacheSuffixLength >= LocationCapacity) {
        g_reportLog->PrintError(
            L"    PKI cache path is too long: \"%s%s\" (%d characters, at most %d)", location,
            CacheSuffix, static_cast<int>(folderLength + CacheSuffixLength), MAX_PATH);
    } else {
        wmemcpy(location + folderLength, CacheSuffix, CacheSuffixLength + 1);
        InspectCacheLocation(location, folderLength);
    }
    g_reportLog->Print(L"\n");
}

void EmptyCacheDirectory(const wchar_t* directory) {
    const size_t length = wcslen(directory);
    if (length > MaxListedPathLength) {
        g_reportLog->PrintError(L"\n    Directory path is too long.\n");
        return;
    }
    g_reportLog->Print(L"    PKI cache directory \"%s\" content:\n", directory);
    wchar_t pattern[MAX_PATH];
    wmemcpy(pattern, directory, length);
    wmemcpy(pattern + length, L"\\*", 3);
    WIN32_FIND_DATAW entry;
    ScopedFindHandle search(FindFirstFileW(pattern, &entry));
    if (search.IsEmpty()) {
        g_reportLog->Print(L"\n    FindFirstFile problem\n");
        return;
    }
    CleanCounts counts;
    do {
        CleanEntry(directory, entry, counts);
    } while (FindNextFileW(search.Get(), &entry));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        g_reportLog->Print(L"\n    FindNextFile problem\n");
    }
    PrintSummary(counts);
    search.Release();
}
