// The run: log, account, mode, the checks in their order, the prompt and the exit code.
#pragma once

// The entry point's work: (argument count, wide arguments) -> process exit code.
int RunDriver(int argc, wchar_t** argv);

// Whole-string comparison that folds the ASCII letters only.
bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* expected);
