// Stand-in for shell32: the machine-wide application-data folder (CSIDL_COMMON_APPDATA), the
// machine's setting, answered as Wine answers it: a folder that does not exist is not found
// unless the caller asks for it to be created (ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND when
// its parent is missing too), and a successful call leaves the last error alone.
// Left out: every other special folder, per-user folders, the registry's shell-folder values.
#include <sys/stat.h>

#include <cerrno>
#include <cwchar>

#include "machine.h"
#include "text.h"

namespace {}  // namespace

using namespace standin;

BOOL WINAPI SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
    if (Injected("SHGetSpecialFolderPathW")) {
        return FALSE;
    }
    if ((csidl & ~CSIDL_FLAG_CREATE) != CSIDL_COMMON_APPDATA || path == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring& folder = Machine::Current().CommonAppDataFolder();
    // The answer goes into a buffer of MAX_PATH characters; a longer path is not given at all.
    if (folder.size() >= MAX_PATH) {
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    }
    const std::string host = HostPath(folder.c_str());
    struct stat info;
    if (stat(host.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (!create && (csidl & CSIDL_FLAG_CREATE) == 0) {
            const size_t slash = host.find_last_of('/');
            const bool parentExists = slash != std::string::npos &&
                                      stat(host.substr(0, slash + 1).c_str(), &info) == 0 &&
                                      S_ISDIR(info.st_mode);
            return Fail(parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        }
        if (!MakeDirectories(host)) {
            return Fail(ErrorFromErrno(errno));
        }
    }
    wmemcpy(path, folder.c_str(), folder.size() + 1);
    return TRUE;
}
