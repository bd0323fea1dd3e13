#include "platform/final_path.h"

#include "platform/optional_calls.h"

DWORD QueryFinalPath(HANDLE handle, wchar_t* buffer, DWORD size) {
    const auto getFinalPath = FindOptionalCall<optional_call::GetFinalPathNameByHandleW>();
    if (getFinalPath == nullptr) {
        return 0;
    }
    return getFinalPath(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
}

PathText FinalPathOf(HANDLE handle) {
    const DWORD error = GetLastError();
    PathText path = ReadPathText(
        [handle](wchar_t* buffer, DWORD size) { return QueryFinalPath(handle, buffer, size); });
    SetLastError(error);
    return path;
}
