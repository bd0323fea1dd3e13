// Test fixtures on the real platform: a folder of the test's own, and the code under test's
// standard output and error captured into files (its GetStdHandle answered through the fault
// layer, so the program's own streams stay GoogleTest's).
#pragma once

#include "platform/win32.h"

#include <string>

#include "support/windows/faults.h"

// A new folder under the temporary folder, removed with everything in it when the test ends.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // `name` inside the folder.
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

// Whole files, written and read through the program's own calls.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);  // empty when the file cannot be read
bool FileExists(const std::wstring& path);

// While it lives, the code under test's standard output and standard error are files (not a
// console, as when the tool's output is redirected: the report then arrives as UTF-8).
class CapturedStreams {
  public:
    explicit CapturedStreams(ImportFaults& faults);
    ~CapturedStreams();
    CapturedStreams(const CapturedStreams&) = delete;
    CapturedStreams& operator=(const CapturedStreams&) = delete;

    std::string Stdout() const;
    std::string Stderr() const;

  private:
    ScratchFolder folder_;
    HANDLE out_, err_;
};

// UTF-16LE bytes (as the log holds them) as UTF-8, and back; for comparing whole texts.
std::string Utf8FromUtf16Bytes(const std::string& bytes);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
