#include "pki_cache.h"

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "cache/nt_files.h"
#include "platform/final_path.h"
#include "platform/holders.h"
#include "platform/optional_calls.h"
#include "platform/win32.h"
#include "report/report_log.h"

namespace {

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

// `folder` and `name` with one separator between them: a drive's root already ends in one.
std::wstring JoinPath(const std::wstring& folder, const wchar_t* name) {
    if (!folder.empty() && folder.back() == L'\\') {
        return folder + name;
    }
    return folder + L"\\" + name;
}

void PrintSomethingWrong(const wchar_t* path, DWORD attributes) {
    g_reportLog->PrintError(L"    Something is wrong with \"%s\" (attr: 0x%08x, gle: 0x%08x)", path,
                            attributes, GetLastError());
}

void PrintNoCache(const wchar_t* location) {
    g_reportLog->Print(L"    OK - PKI cache does not exist at \"%s\" (0x%08x)", location,
                       GetLastError());
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

// Whether the directory's path leaves room for a search pattern; prints the refusal where not.
bool IsListable(const wchar_t* directory) {
    if (wcslen(directory) > MaxListedPathLength) {
        g_reportLog->PrintError(L"\n    Directory path is too long.\n");
        return false;
    }
    return true;
}

void PrintListingHeader(const wchar_t* directory) {
    g_reportLog->Print(L"    PKI cache directory \"%s\" content:\n", directory);
}

// Whether the listing may go on with the directory: prints its heading or the refusal.
bool StartListing(const wchar_t* directory) {
    if (!IsListable(directory)) {
        return false;
    }
    PrintListingHeader(directory);
    return true;
}

// One entry of the listing: a directory is listed and left, a file is listed and handed to
// `deleteFile`, which says whether it went.
template <typename DeleteFile>
void CleanEntry(const wchar_t* directory, DWORD attributes, uint64_t size, const wchar_t* name,
                CleanCounts& counts, DeleteFile deleteFile) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0) {
            g_reportLog->Print(L"      %s   <DIR>\n", name);
        }
        return;
    }
    ++counts.files;
    g_reportLog->Print(L"      %s   %lld bytes\n", name, static_cast<long long>(size));
    if (!deleteFile(name)) {
        const std::wstring path = JoinPath(directory, name);
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

// The folders are held from the check to the last deletion: opened as themselves (a link is
// opened, not followed) and without sharing deletion, so nobody can rename one away and put a
// link in its place while the clean works below it; the files are opened relative to the held
// cache folder, never by path.

constexpr ACCESS_MASK FolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG FolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The thread's last error carries the call's result, as a kernel32 call leaves it.
bool Succeeded(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return NT_SUCCESS(status);
}

bool OpenRelative(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG sharing,
                  ULONG options, ScopedNtHandle& held) {
    UNICODE_STRING relativeName;
    relativeName.Buffer = const_cast<PWSTR>(name);
    relativeName.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    relativeName.MaximumLength = relativeName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io;
    // A failed open may leave anything in its out-parameter: only a success's handle is held.
    HANDLE handle = nullptr;
    const bool opened = Succeeded(NtOpenFile(&handle, access, &attributes, &io, sharing,
                                             options | FILE_SYNCHRONOUS_IO_NONALERT));
    if (opened) {
        held.Reset(handle);
    }
    return opened;
}

// The attribute word of what the handle is open on; INVALID_FILE_ATTRIBUTES when it cannot be
// read.
DWORD HeldAttributes(HANDLE handle) {
    FILE_BASIC_INFORMATION basic;
    IO_STATUS_BLOCK io;
    if (!Succeeded(
            NtQueryInformationFile(handle, &io, &basic, sizeof basic, FileBasicInformation))) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return basic.FileAttributes;
}

// Whether `opened` is the entry `name` of the held folder `parent`, as far as the system can say.
// Windows opens each name below a held folder as itself; Wine follows a host link even so, and
// resolves a name below a held folder through that folder's current path, so that only the
// final paths show where a handle really led. Where the system cannot say, nothing is refused.
bool IsBelow(HANDLE opened, HANDLE parent, const wchar_t* name) {
    const PathText parentPath = FinalPathOf(parent);
    const PathText openedPath = FinalPathOf(opened);
    if (parentPath.IsEmpty() || openedPath.IsEmpty()) {
        return true;
    }
    return _wcsicmp(JoinPath(parentPath.Get(), name).c_str(), openedPath.Get()) == 0;
}

// The file ID of what the handle is open on (the inode under Wine).
bool HeldId(HANDLE handle, LARGE_INTEGER& id) {
    FILE_INTERNAL_INFORMATION internal;
    IO_STATUS_BLOCK io;
    if (!Succeeded(NtQueryInformationFile(handle, &io, &internal, sizeof internal,
                                          FileInternalInformation))) {
        return false;
    }
    id = internal.IndexNumber;
    return true;
}

// One step of a listing of FILE_ID_BOTH_DIR_INFORMATION records into `buffer`, of the entries
// matching `mask` (one at most) or of all. True when the buffer holds records: the call succeeded
// and says it wrote bytes, no more than the buffer holds; `returned` is their count. `ended` tells
// the end of the listing from a failure.
bool ListingStep(HANDLE folder, unsigned char* buffer, ULONG size, PUNICODE_STRING mask,
                 BOOLEAN restart, size_t& returned, bool& ended) {
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer, size,
                             FileIdBothDirectoryInformation, mask != nullptr, mask, restart);
    ended = status == StatusNoMoreFiles;
    if (!Succeeded(status)) {
        return false;
    }
    if (io.Information == 0 || io.Information > size) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    returned = io.Information;
    return true;
}

// The record at `offset` of the `returned` bytes of a listing step, or null where it would reach
// past them (its fixed part or its name) or stand misaligned: the answer is trusted no further
// than the bytes the system says it wrote.
const FILE_ID_BOTH_DIR_INFORMATION* RecordAt(const unsigned char* buffer, size_t returned,
                                             size_t offset) {
    constexpr size_t fixedPart = offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    if (offset % alignof(FILE_ID_BOTH_DIR_INFORMATION) != 0 || offset > returned ||
        returned - offset < fixedPart) {
        return nullptr;
    }
    const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(buffer + offset);
    if (record->FileNameLength > returned - offset - fixedPart) {
        return nullptr;
    }
    return record;
}

// Whether the held `parent` itself holds the folder `name` that `child` has open: its entry there
// is a directory, no link, with the child's file ID. Wine resolves a name below a held folder
// through that folder's current path and reports a handle's path as it was opened, but the
// listing comes from what the parent handle holds and the ID from what the child handle holds.
// Each parent is looked at this once, so the name mask given to its handle is never in the way.
bool IsEntryOf(HANDLE parent, const wchar_t* name, HANDLE child, const wchar_t* path) {
    LARGE_INTEGER childId;
    if (!HeldId(child, childId)) {
        PrintSomethingWrong(path, INVALID_FILE_ATTRIBUTES);
        return false;
    }
    alignas(8) unsigned char buffer[1024];
    UNICODE_STRING mask;
    mask.Buffer = const_cast<PWSTR>(name);
    mask.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    mask.MaximumLength = mask.Length;
    size_t returned = 0;
    bool ended = false;
    const FILE_ID_BOTH_DIR_INFORMATION* entry = nullptr;
    if (ListingStep(parent, buffer, sizeof buffer, &mask, TRUE, returned, ended)) {
        entry = RecordAt(buffer, returned, 0);
        if (entry == nullptr) {
            SetLastError(ERROR_INVALID_DATA);
        }
    }
    if (entry == nullptr) {
        PrintSomethingWrong(path, INVALID_FILE_ATTRIBUTES);
        return false;
    }
    if ((entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        entry->FileId.QuadPart != childId.QuadPart) {
        SetLastError(ERROR_SUCCESS);
        PrintSomethingWrong(path, entry->FileAttributes);
        return false;
    }
    return true;
}

// A folder on the way is refused as the check by path refuses it: a link, or one that cannot be
// looked at; a non-directory as well.
bool IsRealFolder(HANDLE folder, const wchar_t* path) {
    const DWORD attributes = HeldAttributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        PrintSomethingWrong(path, attributes);
        return false;
    }
    return true;
}

// Whether `held`, opened as `name` below the held `parent`, is a real folder and that parent's own
// entry; reported where not.
bool IsHeldEntry(HANDLE parent, const wchar_t* name, HANDLE held, const wchar_t* path) {
    if (!IsRealFolder(held, path)) {
        return false;
    }
    if (!IsBelow(held, parent, name)) {
        SetLastError(ERROR_SUCCESS);
        PrintSomethingWrong(path, HeldAttributes(held));
        return false;
    }
    return IsEntryOf(parent, name, held, path);
}

// The application-data folder, TOLV, TOLV Security and PKI.
constexpr size_t HeldParentCount = 4;

struct HeldParents {
    ScopedFile appData;                         // opened by its path
    ScopedNtHandle below[HeldParentCount - 1];  // each relative to the one before

    HANDLE Get(size_t level) const { return level == 0 ? appData.Get() : below[level - 1].Get(); }
};

// Opens the application-data folder as it is (an administrator may have moved it behind a
// link), then each folder below it down to the cache's parent relative to the one before, each
// checked on its handle. `held` keeps them all open; its last entry is the cache's parent.
// `location` is the cache's path, `folderLength` where the suffix begins in it.
bool HoldCacheParents(const std::wstring& appData, const std::wstring& location,
                      size_t folderLength, HeldParents& held) {
    held.appData.Reset(CreateFileW(appData.c_str(), FolderAccess, FolderSharing, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (held.appData.IsEmpty()) {
        PrintSomethingWrong(appData.c_str(), INVALID_FILE_ATTRIBUTES);
        return false;
    }
    size_t nameStart = folderLength + 1;
    for (size_t level = 1; level < HeldParentCount; ++level) {
        const size_t nameEnd = location.find(L'\\', nameStart);
        const std::wstring name = location.substr(nameStart, nameEnd - nameStart);
        const std::wstring path = location.substr(0, nameEnd);
        if (!OpenRelative(held.Get(level - 1), name.c_str(), FolderAccess, FolderSharing,
                          FILE_OPEN_REPARSE_POINT, held.below[level - 1])) {
            PrintSomethingWrong(path.c_str(), INVALID_FILE_ATTRIBUTES);
            return false;
        }
        if (!IsHeldEntry(held.Get(level - 1), name.c_str(), held.Get(level), path.c_str())) {
            return false;
        }
        nameStart = nameEnd + 1;
    }
    return true;
}

// Opens the cache below its held parent. Its attributes showed a folder: one gone since then is
// no cache, one that is there but cannot be opened (another program holds it without sharing
// deletion, access is denied) is a listing that cannot start, never a missing cache.
bool HoldCache(HANDLE parent, const std::wstring& location, ScopedNtHandle& cache) {
    const std::wstring name = location.substr(location.rfind(L'\\') + 1);
    if (!OpenRelative(parent, name.c_str(), FolderAccess, FolderSharing, FILE_OPEN_REPARSE_POINT,
                      cache)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            PrintNoCache(location.c_str());
        } else {
            PrintListingHeader(location.c_str());
            g_reportLog->Print(L"\n    FindFirstFile problem\n");
        }
        return false;
    }
    return IsHeldEntry(parent, name.c_str(), cache.Get(), location.c_str());
}

// Deletes the file `name` of the held folder through a handle of its own: a link among the files
// is opened and deleted as itself, not its target. The handle must hold the file the listing
// showed (`listedId`): under Wine a name below a held folder may have led elsewhere.
bool DeleteHeldFile(HANDLE folder, const wchar_t* name, LONGLONG listedId) {
    ScopedNtHandle file;
    LARGE_INTEGER id;
    if (!OpenRelative(folder, name, DELETE | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, file) ||
        !IsBelow(file.Get(), folder, name) || !HeldId(file.Get(), id) || id.QuadPart != listedId) {
        return false;
    }
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    IO_STATUS_BLOCK io;
    return Succeeded(NtSetInformationFile(file.Get(), &io, &disposition, sizeof disposition,
                                          FileDispositionInformation));
}

// Cleans the entries of one listing step, each file deleted right after its line. False where
// a record reaches past the bytes returned: the listing then ends as a failed step ends it.
bool CleanListingStep(HANDLE folder, const wchar_t* directory, const unsigned char* buffer,
                      size_t returned, CleanCounts& counts) {
    for (size_t offset = 0;;) {
        const FILE_ID_BOTH_DIR_INFORMATION* entry = RecordAt(buffer, returned, offset);
        if (entry == nullptr) {
            return false;
        }
        const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        const LONGLONG id = entry->FileId.QuadPart;
        CleanEntry(directory, entry->FileAttributes,
                   static_cast<uint64_t>(entry->EndOfFile.QuadPart), name.c_str(), counts,
                   [folder, id](const wchar_t* file) { return DeleteHeldFile(folder, file, id); });
        if (entry->NextEntryOffset == 0) {
            return true;
        }
        if (entry->NextEntryOffset > returned - offset) {
            return false;
        }
        offset += entry->NextEntryOffset;
    }
}

// Lists the held folder in the order the file system gives (the order a find by path shows),
// deleting each file right after its line.
void EmptyHeldDirectory(HANDLE folder, const wchar_t* directory) {
    // Room for several entries of the longest name at a time; the records are 8-byte aligned.
    alignas(8) unsigned char buffer[4096];
    size_t returned = 0;
    bool ended = false;
    if (!ListingStep(folder, buffer, sizeof buffer, nullptr, TRUE, returned, ended) ||
        RecordAt(buffer, returned, 0) == nullptr) {
        g_reportLog->Print(L"\n    FindFirstFile problem\n");
        return;
    }
    CleanCounts counts;
    bool whole = true;
    do {
        whole = CleanListingStep(folder, directory, buffer, returned, counts);
    } while (whole && ListingStep(folder, buffer, sizeof buffer, nullptr, FALSE, returned, ended));
    if (!whole || !ended) {
        g_reportLog->Print(L"\n    FindNextFile problem\n");
    }
    PrintSummary(counts);
}

// Where the system offers it, links that ordinary users made are not followed by this process at
// all. Its absence or failure changes nothing else.
void TrustOnlyAdministratorsLinks() {
    const auto setPolicy = FindOptionalCall<optional_call::SetProcessMitigationPolicy>();
    if (setPolicy == nullptr) {
        return;
    }
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
    policy.EnforceRedirectionTrust = 1;
    setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}

void EmptyCache(const std::wstring& appData, const std::wstring& location, size_t folderLength) {
    HeldParents parents;
    ScopedNtHandle cache;
    if (HoldCacheParents(appData, location, folderLength, parents) &&
        IsListable(location.c_str()) &&
        HoldCache(parents.Get(HeldParentCount - 1), location, cache)) {
        PrintListingHeader(location.c_str());
        EmptyHeldDirectory(cache.Get(), location.c_str());
    }
}

// What the cache location is decides what happens: nothing there is fine, a real directory is
// emptied, anything else (a file, a link) is reported and left. The checks by path come first:
// under Wine a host link is seen only by path, a handle opened there follows it.
void InspectCacheLocation(const std::wstring& appData, const wchar_t* location,
                          size_t folderLength) {
    const DWORD attributes = GetFileAttributesW(location);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        PrintNoCache(location);
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        PrintSomethingWrong(location, attributes);
    } else if (!IsReachedWithoutLinks(location, folderLength)) {
        // Reported there; nothing is deleted.
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        PrintSomethingWrong(location, attributes);
    } else {
        EmptyCache(appData, location, folderLength);
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
    const std::wstring appData = location;
    size_t folderLength = appData.size();
    // A drive's root comes with its separator ("D:\"); the suffix brings its own.
    if (folderLength > 0 && location[folderLength - 1] == L'\\') {
        location[--folderLength] = L'\0';
    }
    if (folderLength + CacheSuffixLength >= LocationCapacity) {
        g_reportLog->PrintError(
            L"    PKI cache path is too long: \"%s%s\" (%d characters, at most %d)", location,
            CacheSuffix, static_cast<int>(folderLength + CacheSuffixLength), MAX_PATH);
    } else {
        wmemcpy(location + folderLength, CacheSuffix, CacheSuffixLength + 1);
        TrustOnlyAdministratorsLinks();
        InspectCacheLocation(appData, location, folderLength);
    }
    g_reportLog->Print(L"\n");
}

void EmptyCacheDirectory(const wchar_t* directory) {
    if (!StartListing(directory)) {
        return;
    }
    const ScopedFile folder(
        CreateFileW(directory, FolderAccess, FolderSharing, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder.IsEmpty()) {
        g_reportLog->Print(L"\n    FindFirstFile problem\n");
        return;
    }
    EmptyHeldDirectory(folder.Get(), directory);
}
