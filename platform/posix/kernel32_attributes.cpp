// Stand-in for kernel32's GetFileAttributesW: what a file's attributes are on Windows, read
// from the host's file without following a symbolic link, which Windows reports as a reparse
// point (FILE_ATTRIBUTE_REPARSE_POINT), as it does for its own links and junctions.
// Left out: hidden and system attributes, compression, encryption.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "machine.h"
#include "text.h"

using namespace standin;

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
    if (Injected("GetFileAttributesW")) {
        return INVALID_FILE_ATTRIBUTES;
    }
    if (fileName == nullptr || *fileName == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string path = HostPath(fileName);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        struct stat parent;
        const size_t slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        SetLastError(error == ENOENT && stat(folder.c_str(), &parent) != 0 ? ERROR_PATH_NOT_FOUND
                                                                           : ErrorFromErrno(error));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISLNK(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;  // a link to a folder is a directory link, as on Windows
        if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
    } else if (S_ISDIR(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    if (!S_ISDIR(info.st_mode) && access(path.c_str(), W_OK) != 0 && errno == EACCES) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    SetLastError(ERROR_SUCCESS);
    return attributes;
}
