// The native program's main: hands the tool its arguments as Windows would (wide, argv[0] as
// the module path when it names this program), then returns the tool's exit code.
#include <clocale>
#include <string>
#include <vector>

#include "process.h"
#include "text.h"

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    arguments.push_back(standin::PresentedArgv0(argc > 0 ? argv[0] : nullptr));
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(standin::WideFromUtf8(argv[i]));
    }
    std::vector<wchar_t*> pointers;
    for (auto& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return wmain(static_cast<int>(arguments.size()), pointers.data());
}
