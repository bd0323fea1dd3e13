#include "app/run_fixture.h"

#include "app/run_driver.h"

RunOutcome RunTool(ImportFaults& faults, const ScratchFolder& folder,
                   std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), folder / L"skelvane.exe");
    std::vector<wchar_t*> argv;
    for (auto& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    RunOutcome outcome;
    {
        CapturedStreams streams(faults);
        outcome.exitCode = RunDriver(static_cast<int>(arguments.size()), argv.data());
        outcome.console = streams.Stderr();
        outcome.standardOutput = streams.Stdout();
    }
    outcome.log = Utf8FromUtf16Bytes(ReadFileBytes(folder / L"skelvane.txt"));
    return outcome;
}
