// The report log's tests on the real platform: a scratch folder for the log, the code under
// test's streams captured, a fixed clock, and a version resource answered for the tool (the test
// program has none of its own).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/fixed_clock.h"
#include "support/windows/scratch.h"

extern const char VersionLine[];  // for version 1.0.0.0

class ReportTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring ExePath() const { return folder_ / L"skelvane.exe"; }
    std::wstring LogPath() const { return folder_ / L"skelvane.txt"; }
    std::string LogBytes() const { return ReadFileBytes(LogPath()); }
    // The log as UTF-8 (its byte order mark as U+FEFF).
    std::string LogText() const { return Utf8FromUtf16Bytes(LogBytes()); }

    // Opens the run's log from ExePath() and closes it again.
    void OpenAndClose();
    static void CloseLog();

    // The clock the banners read (GetSystemTime) and the tool's file version.
    void SetClock(const SYSTEMTIME& time);
    void SetFileVersion(WORD major, WORD minor, WORD build, WORD revision);

    // The log's own writes (not the console's) answered by `write`.
    template <typename Write>
    void AnswerLogWrites(Write write) {
        faults_.Answer<Api::WriteFile>(
            [write](HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED over) {
                if (g_reportLog != nullptr && file == g_reportLog->handle) {
                    return write(file, bytes, size, written, over);
                }
                return ImportFaults::Real<Api::WriteFile>(file, bytes, size, written, over);
            });
    }

    ScratchFolder folder_;
    ImportFaults faults_;
    std::unique_ptr<CapturedStreams> streams_;

  private:
    SYSTEMTIME clock_ = {};
    VS_FIXEDFILEINFO version_ = {};
};
