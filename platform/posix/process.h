// The running program as Windows would see it.
#pragma once

#include <string>

namespace standin {

// The executable's path as Wine shows a module: "Z:" and the absolute path with backslashes,
// with ".exe" added when the file name has no extension.
std::wstring ModuleWindowsPath();

// argv[0] as Windows hands it over: the module path when argv[0] names the running executable
// (by a path, or by a name found on PATH), otherwise argv[0] unchanged.
std::wstring PresentedArgv0(const char* argv0);

}  // namespace standin
