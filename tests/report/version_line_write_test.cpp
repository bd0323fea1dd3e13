// A new log's write of the version line (its third write, after the byte order mark and the start
// banner) failing or coming up short: the reason is reported on the console and in the log, the
// line itself still reaches the console, and the run's later text and end banner are written.
#include "report/report_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "report_fixture.h"

namespace {

class VersionLineWriteTest : public ReportTest {
  protected:
    // The log's write number `nth` (from 0) is handed to `write`; the others go through. The log
    // is told by the handle its open returned: the writes come before the run has its log.
    template <typename Write>
    void AnswerLogWrite(unsigned nth, Write write) {
        auto log = std::make_shared<HANDLE>(INVALID_HANDLE_VALUE);
        auto count = std::make_shared<unsigned>(0);
        const std::wstring logPath = LogPath();
        faults_.Answer<Api::CreateFileW>(
            [log, logPath](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE model) {
                HANDLE opened = ImportFaults::Real<Api::CreateFileW>(name, access, share, security,
                                                                     disposition, flags, model);
                if (logPath == name) {
                    *log = opened;
                }
                return opened;
            });
        faults_.Answer<Api::WriteFile>(
            [=](HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED over) {
                if (file == *log && (*count)++ == nth) {
                    return write(file, bytes, size, written, over);
                }
                return ImportFaults::Real<Api::WriteFile>(file, bytes, size, written, over);
            });
    }
};

TEST_F(VersionLineWriteTest, FailedOrShortWriteIsReportedAndTheRunGoesOn) {
    struct Case {
        const char* what;
        BOOL (*write)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
        std::string report;
        std::string logged;  // what the log holds of the version line
    };
    const Case cases[] = {
        {"failed",
         [](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) -> BOOL {
             *written = 0;
             SetLastError(ERROR_WRITE_FAULT);
             return FALSE;
         },
         "error: \r\nCannot write to file (gle: 0x0000001D)", ""},
        {"short",
         [](HANDLE file, LPCVOID bytes, DWORD, LPDWORD written, LPOVERLAPPED over) -> BOOL {
             return ImportFaults::Real<Api::WriteFile>(file, bytes, DWORD(10), written, over);
         },
         "error: \r\nCannot write all data from file, requested 68 bytes, written 10 bytes.",
         "FileV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(LogPath().c_str());
        CapturedStreams streams(faults_);
        AnswerLogWrite(2, c.write);
        ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
        EXPECT_TRUE(g_reportLog->Print(L"\r\nthe checks"));
        CloseLog();
        EXPECT_EQ(streams.Stderr(), c.report + VersionLine + "\r\nthe checks");
        EXPECT_EQ(streams.Stdout(), "");
        EXPECT_EQ(LogText(), "\xEF\xBB\xBF" + (StartBanner + c.logged + c.report) +
                                 "\r\nthe checks" + EndBanner);
    }
}

}  // namespace
