#include "report/log_name.h"

#include <cwchar>

wchar_t* LogNameSuffix(wchar_t* path) {
    // Only a point in the file name counts: "tools.2019\check" and ".\skelvane" have none, and
    // their logs must stay beside them ("check.txt", "skelvane.txt").
    wchar_t* name = path;
    for (wchar_t* c = path; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/') {
            name = c + 1;
        }
    }
    wchar_t* point = std::wcsrchr(name, L'.');
    return point != nullptr ? point : name + std::wcslen(name);
}
