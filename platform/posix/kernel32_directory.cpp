// Stand-in for kernel32's file attributes, directory listing and file deletion, on the host's
// file system.
// - Attributes as Wine maps them: a folder is DIRECTORY, a file ARCHIVE, and anything without a
//   single write permission bit READONLY. A symbolic link is a REPARSE_POINT, as on Windows
//   (a directory one when it leads to a folder; Wine marks only those); so is a folder that is
//   another file system's mount point (a mounted volume), as in Wine.
// - A listing holds the names of the moment FindFirstFileW ran: "." and ".." first, then the
//   others sorted as Wine sorts them (letter case folded up, then exactly); an entry that has
//   gone by the time it is reached is passed over. Sizes are 64 bits; a link's size is 0.
// - DeleteFileW removes a link itself, never its target. A read-only file is refused with
//   ERROR_ACCESS_DENIED also for root, as Wine refuses it; a file held open by the stand-in
//   (CreateFileW's lock) with ERROR_SHARING_VIOLATION.
// Left out: hidden and system attributes, short names, wildcards beyond '*' and '?', the missing
// "." and ".." of a drive's root folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "handles.h"
#include "machine.h"
#include "text.h"

namespace standin {
namespace {

constexpr mode_t AnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

struct HostEntry {
    DWORD attributes = 0;
    uint64_t size = 0;
    struct stat info = {};
};

// What Windows says of the object named by `path` itself (a link is not followed); false with
// errno set when there is nothing there.
bool DescribeHostObject(const std::string& path, HostEntry* entry) {
    if (lstat(path.c_str(), &entry->info) != 0) {
        return false;
    }
    const mode_t mode = entry->info.st_mode;
    if (S_ISLNK(mode)) {
        struct stat target;
        const bool toFolder = stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        entry->attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                            (toFolder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
        entry->size = 0;
        return true;
    }
    if (S_ISDIR(mode)) {
        entry->attributes = FILE_ATTRIBUTE_DIRECTORY;
        struct stat parent;
        if (stat((path + "/..").c_str(), &parent) == 0 &&
            (parent.st_dev != entry->info.st_dev || parent.st_ino == entry->info.st_ino)) {
            entry->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        }
    } else {
        entry->attributes = FILE_ATTRIBUTE_ARCHIVE;
        entry->size = static_cast<uint64_t>(entry->info.st_size);
    }
    if ((mode & AnyWriteBit) == 0) {
        entry->attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return true;
}

// The last error of a path that names nothing: a missing name in an existing folder is "file
// not found", a missing folder on the way "path not found".
DWORD MissingError(int error, const std::string& path) {
    if (error != ENOENT) {
        return ErrorFromErrno(error);
    }
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat info;
    return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                     : ERROR_PATH_NOT_FOUND;
}

FILETIME FileTimeOf(const struct timespec& time) {
    const uint64_t epochDifference = 116444736000000000ULL;  // 1601 to 1970 in 100 ns ticks
    const uint64_t ticks = time.tv_sec < 0 ? 0
                                           : epochDifference +
                                                 static_cast<uint64_t>(time.tv_sec) * 10000000ULL +
                                                 static_cast<uint64_t>(time.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void FillFindData(const std::wstring& name, const HostEntry& entry, WIN32_FIND_DATAW* data) {
    *data = WIN32_FIND_DATAW{};
    data->dwFileAttributes = entry.attributes;
    data->ftCreationTime = FileTimeOf(entry.info.st_ctim);
    data->ftLastAccessTime = FileTimeOf(entry.info.st_atim);
    data->ftLastWriteTime = FileTimeOf(entry.info.st_mtim);
    data->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(entry.size);
    const size_t length = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
    wmemcpy(data->cFileName, name.c_str(), length);
    data->cFileName[length] = L'\0';
}

// Case-insensitive match of '*' (any run) and '?' (one character); "*.*" matches every name.
bool MatchesPattern(const wchar_t* pattern, const wchar_t* name) {
    if (wcscmp(pattern, L"*.*") == 0) {
        return true;
    }
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' || towupper(static_cast<wint_t>(*pattern)) ==
                                           towupper(static_cast<wint_t>(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') {
        ++pattern;
    }
    return *pattern == L'\0';
}

// Wine's order of a listing: letter case folded up, then the exact names.
bool ListedBefore(const std::wstring& a, const std::wstring& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const wint_t x = towupper(static_cast<wint_t>(a[i]));
        const wint_t y = towupper(static_cast<wint_t>(b[i]));
        if (x != y) {
            return x < y;
        }
    }
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

class FindObject : public KernelObject {
  public:
    std::string folder;              // host path of the folder listed
    std::vector<std::string> names;  // host names, in the order they are given out
    size_t next = 0;

    // The next entry that still exists; false at the end of the listing.
    bool Next(WIN32_FIND_DATAW* data) {
        while (next < names.size()) {
            const std::string& name = names[next++];
            HostEntry entry;
            if (name == "." || name == "..") {
                entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
                stat((folder + "/" + name).c_str(), &entry.info);
            } else if (!DescribeHostObject(folder + "/" + name, &entry)) {
                continue;
            }
            FillFindData(WideFromUtf8(name), entry, data);
            return true;
        }
        return false;
    }
};

// Reads the names of `folder` that match `pattern`, in listing order; 0 or the last error.
DWORD ListFolder(const std::string& folder, const std::wstring& pattern,
                 std::vector<std::string>* names) {
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        // Wine answers a listing inside a file as an invalid name.
        return errno == ENOTDIR  ? ERROR_INVALID_NAME
               : errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                 : ErrorFromErrno(errno);
    }
    std::vector<std::pair<std::wstring, std::string>> found;
    bool dots = false;
    while (struct dirent* item = readdir(directory)) {
        const std::string name = item->d_name;
        const std::wstring wide = WideFromUtf8(name);
        if (!MatchesPattern(pattern.c_str(), wide.c_str())) {
            continue;
        }
        if (name == "." || name == "..") {
            dots = true;
        } else {
            found.emplace_back(wide, name);
        }
    }
    closedir(directory);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return ListedBefore(a.first, b.first); });
    if (dots) {
        names->push_back(".");
        names->push_back("..");
    }
    for (const auto& entry : found) {
        names->push_back(entry.second);
    }
    return names->empty() ? ERROR_FILE_NOT_FOUND : 0;
}

}  // namespace
}  // namespace standin

using namespace standin;

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
    if (fileName == nullptr || *fileName == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string path = HostPath(fileName);
    if (Injected("GetFileAttributesW", path)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    HostEntry entry;
    if (!DescribeHostObject(path, &entry)) {
        SetLastError(MissingError(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return entry.attributes;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData) {
    if (fileName == nullptr || *fileName == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring whole(fileName);
    const size_t separator = whole.find_last_of(L"\\/");
    const std::wstring pattern =
        separator == std::wstring::npos ? whole : whole.substr(separator + 1);
    std::string folder = separator == std::wstring::npos
                             ? std::string(".")
                             : HostPath(whole.substr(0, separator + 1).c_str());
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (Injected("FindFirstFileW", folder)) {
        return INVALID_HANDLE_VALUE;
    }
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_unique<FindObject>();
    search->folder = folder;
    if (DWORD error = ListFolder(folder, pattern, &search->names); error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!search->Next(findData)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return AddHandle(std::move(search));
}

BOOL WINAPI FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData) {
    auto* search = HandleAs<FindObject>(findFile);
    if (Injected("FindNextFileW", search == nullptr ? std::string() : search->folder)) {
        return FALSE;
    }
    if (search == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return search->Next(findData) ? TRUE : Fail(ERROR_NO_MORE_FILES);
}

BOOL WINAPI FindClose(HANDLE findFile) {
    auto* search = HandleAs<FindObject>(findFile);
    if (Injected("FindClose", search == nullptr ? std::string() : search->folder)) {
        return FALSE;
    }
    if (search == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    RemoveHandle(findFile);
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
    if (fileName == nullptr || *fileName == L'\0') {
        return Fail(ERROR_PATH_NOT_FOUND);
    }
    const std::string path = HostPath(fileName);
    if (Injected("DeleteFileW", path)) {
        return FALSE;
    }
    HostEntry entry;
    if (!DescribeHostObject(path, &entry)) {
        return Fail(MissingError(errno, path));
    }
    // A folder, or a link to one, is removed as a folder, not by DeleteFileW.
    if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return unlink(path.c_str()) == 0 ? TRUE : Fail(ErrorFromErrno(errno));
    }
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    // Another open of the file (CreateFileW holds a lock for as long as it is open) keeps it.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return Fail(ERROR_SHARING_VIOLATION);
    }
    const bool removed = unlink(path.c_str()) == 0;
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    return removed ? TRUE : Fail(ErrorFromErrno(error));
}
