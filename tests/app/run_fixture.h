// A whole run of the tool through its driver, as a test of the app folder makes it: the program
// started as skelvane.exe in a folder of the test's own, the streams captured, the log read back.
#pragma once

#include <string>
#include <vector>

#include "support/windows/faults.h"
#include "support/windows/scratch.h"

struct RunOutcome {
    int exitCode;
    std::string console;
    std::string standardOutput;
    std::string log;  // empty while the run still holds it: it shares nothing
};

RunOutcome RunTool(ImportFaults& faults, const ScratchFolder& folder,
                   std::vector<std::wstring> arguments);
