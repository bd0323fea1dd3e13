#include "app/run_fixture.h"

#include "app/run_driver.h"
#include "report/report_log.h"
#include "support/windows/handle_verifier.h"

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
        if (arguments.size() == 2 && EqualsIgnoringAsciiCase(arguments[1].c_str(), L"/pkiclean")) {
            // /pkiclean leaves its log for the process's end to close: the test takes it over.
            handle_verifier::TakenByTest(handle_verifier::Kind::Kernel, g_reportLog->handle);
        }
        outcome.console = streams.Stderr();
        outcome.standardOutput = streams.Stdout();
    }
    outcome.log = Utf8FromUtf16Bytes(ReadFileBytes(folder / L"skelvane.txt"));
    return outcome;
}
