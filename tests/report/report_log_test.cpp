#include "report/report_log.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "report_fixture.h"

namespace {

using ReportLogTest = ReportTest;

TEST_F(ReportLogTest, NewLogHoldsByteOrderMarkBannersAndVersionLine) {
    OpenAndClose();
    EXPECT_EQ(LogBytes().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(LogText(), Utf8ByteOrderMark + StartBanner + VersionLine + EndBanner);
    EXPECT_EQ(streams_->Stderr(), VersionLine);
    EXPECT_EQ(streams_->Stdout(), "");
}

TEST_F(ReportLogTest, SecondRunAppendsWithoutSecondByteOrderMark) {
    OpenAndClose();
    OpenAndClose();
    const std::string one = std::string(StartBanner) + VersionLine + EndBanner;
    EXPECT_EQ(LogText(), Utf8ByteOrderMark + one + one);
}

TEST_F(ReportLogTest, ByteOrderMarkOnlyForAnEmptyFile) {
    WriteFileBytes(LogPath(), "");
    OpenAndClose();
    EXPECT_EQ(LogBytes().substr(0, 2), "\xFF\xFE");

    WriteFileBytes(LogPath(), "ab");  // one UTF-16 unit that is not a byte order mark
    OpenAndClose();
    EXPECT_EQ(LogBytes().substr(0, 4), std::string("ab\r\0", 4));
}

TEST_F(ReportLogTest, LogOfOddLengthGetsOneZeroByteBeforeTheRun) {
    const std::string odd = "UTF-8 text, 21 bytes.";  // or a log cut off mid-character
    WriteFileBytes(LogPath(), odd);
    OpenAndClose();
    const std::string bytes = LogBytes();
    ASSERT_GT(bytes.size(), odd.size() + 1);
    EXPECT_EQ(bytes.substr(0, odd.size() + 1), odd + std::string(1, '\0'));
    EXPECT_EQ(Utf8FromUtf16Bytes(bytes.substr(odd.size() + 1)),
              std::string(StartBanner) + VersionLine + EndBanner);
}

TEST_F(ReportLogTest, LogPathComesFromTheLastPointOfTheFileName) {
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"Tools").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"tools.2019").c_str(), nullptr));
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(folder_.Path().c_str()));  // for the relative ones
    struct Case {
        std::wstring argv0;
        std::wstring log;
    };
    const Case cases[] = {
        {folder_ / L"Tools\\check.exe", folder_ / L"Tools\\check.txt"},
        {L"check.exe", folder_ / L"check.txt"},
        {folder_ / L"tools.2019\\check", folder_ / L"tools.2019\\check.txt"},
        {L"run.tar.gz", folder_ / L"run.tar.txt"},
        {L"skelvane", folder_ / L"skelvane.txt"},
        {L".\\skelvane", folder_ / L"skelvane.txt"},
        {L"./other", folder_ / L"other.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.argv0));
        DeleteFileW(c.log.c_str());
        EXPECT_TRUE(OpenReportLog(c.argv0.c_str()));
        CloseLog();
        EXPECT_TRUE(FileExists(c.log));
    }
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(streams_->Stdout(), "");
}

TEST_F(ReportLogTest, NoArgvZeroIsFatalWithoutMessage) {
    EXPECT_FALSE(OpenReportLog(nullptr));
    EXPECT_EQ(g_reportLog, nullptr);
    EXPECT_EQ(streams_->Stdout(), "");
    EXPECT_EQ(streams_->Stderr(), "");
}

TEST(ScratchByteSize, RefusesCountsWhoseByteSizeWraps) {
    uint32_t bytes32 = 0;
    EXPECT_TRUE(ScratchByteSize<uint32_t>(0x7FFFFFFFu, 2, &bytes32));
    EXPECT_EQ(bytes32, 0xFFFFFFFEu);
    EXPECT_FALSE(ScratchByteSize<uint32_t>(0x80000000u, 2, &bytes32));  // would wrap to 0
    EXPECT_FALSE(ScratchByteSize<uint32_t>(0xFFFFFFFFu, 2, &bytes32));
    uint64_t bytes64 = 0;
    EXPECT_TRUE(ScratchByteSize<uint64_t>(0xFFFFFFFFu, 4, &bytes64));
    EXPECT_EQ(bytes64, 0x3FFFFFFFCull);
}

// Whatever keeps the log from being created, the run stops with one fatal line and no console
// output. A folder that the user may not write to is a failed open here: Wine runs as one Unix
// user who may write everywhere in the prefix, and Windows ignores a folder's read-only flag.
TEST_F(ReportLogTest, LogThatCannotBeCreatedIsFatal) {
    struct Case {
        const char* what;
        std::wstring exePath;
        DWORD refused;  // a failure of the open, or 0
    };
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"taken").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"taken\\skelvane.txt").c_str(), nullptr));
    const Case cases[] = {
        {"a folder in the log's place", folder_ / L"taken\\skelvane.exe", 0},
        {"a folder that does not exist", folder_ / L"missing\\skelvane.exe", 0},
        {"a folder the user may not write to", ExePath(), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CapturedStreams streams(faults_);
        if (c.refused != 0) {
            faults_.Fail<Api::CreateFileW>(INVALID_HANDLE_VALUE, c.refused);
        }
        EXPECT_FALSE(OpenReportLog(c.exePath.c_str()));
        EXPECT_EQ(g_reportLog, nullptr);
        EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
        EXPECT_EQ(streams.Stderr(), "");
    }
    EXPECT_FALSE(FileExists(LogPath()));
}

// The log is opened without sharing: a second instance, or any program holding the log, makes
// the run stop instead of interleaving its lines.
TEST_F(ReportLogTest, LogHeldByAnotherHandleIsFatalAndLeftAlone) {
    WriteFileBytes(LogPath(), std::string("\xFF\xFE"
                                          "a\0",
                                          4));
    for (DWORD sharing : {DWORD(0), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        SCOPED_TRACE(testing::Message() << "held with sharing " << sharing);
        HANDLE held = CreateFileW(LogPath().c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        CapturedStreams streams(faults_);
        EXPECT_FALSE(OpenReportLog(ExePath().c_str()));
        CloseHandle(held);
        EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
        EXPECT_EQ(LogBytes(), std::string("\xFF\xFE"
                                          "a\0",
                                          4));
    }
    ReportLog first(LogPath().c_str());
    ASSERT_TRUE(first.IsOpen());
    CapturedStreams streams(faults_);
    EXPECT_FALSE(OpenReportLog(ExePath().c_str()));
    EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
}

TEST_F(ReportLogTest, BannerTimeIsTheMachinesUtcTime) {
    SetClock({2021, 12, 5, 31, 23, 59, 58, 999});
    OpenAndClose();
    EXPECT_NE(LogText().find("Log start time: 2021.12.31 23:59.58\r\n"), std::string::npos);
    EXPECT_NE(LogText().find("Log end time: 2021.12.31 23:59.58\r\n"), std::string::npos);
    EXPECT_EQ(ImportFaults::Calls(Api::GetSystemTime), 2u);
}

// The log is held without sharing while the run lasts: the tests read it once it is closed.
class PrinterTest : public ReportTest {
  protected:
    void SetUp() override {
        ReportTest::SetUp();
        ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    }
    // Closes the log; the bytes between the opening blocks and the end banner, and the same as
    // UTF-8.
    std::string AppendedBytes() {
        CloseLog();
        const std::string header = "\xFF\xFE" + Utf16Bytes(std::string(StartBanner) + VersionLine);
        const std::string end = Utf16Bytes(EndBanner);
        const std::string bytes = LogBytes();
        EXPECT_EQ(bytes.substr(0, header.size()), header);
        EXPECT_GE(bytes.size(), header.size() + end.size());
        EXPECT_EQ(bytes.substr(bytes.size() - end.size()), end);
        return bytes.substr(header.size(), bytes.size() - header.size() - end.size());
    }
    std::string Appended() { return Utf8FromUtf16Bytes(AppendedBytes()); }
    // What standard error received after the version line.
    std::string ConsoleAfterVersion() { return streams_->Stderr().substr(strlen(VersionLine)); }

    static std::string Utf16Bytes(const std::string& ascii) {
        std::string bytes;
        for (char c : ascii) {
            bytes += c;
            bytes += '\0';
        }
        return bytes;
    }
};

TEST_F(PrinterTest, PrefixesStandBeforeTheLeadingLineBreak) {
    EXPECT_TRUE(g_reportLog->PrintWarning(L"\r\nx"));
    EXPECT_TRUE(g_reportLog->PrintError(L"\r\nCannot close file"));
    EXPECT_TRUE(g_reportLog->Print(L"%s=%d", L"a", 1));
    const std::string expected = "warning: \r\nxerror: \r\nCannot close filea=1";
    EXPECT_EQ(ConsoleAfterVersion(), expected);
    EXPECT_EQ(AppendedBytes(), Utf16Bytes(expected));
}

TEST_F(PrinterTest, PercentInsideAnArgumentReachesConsoleUnchanged) {
    g_reportLog->Print(L"\r\n%s", L"100% %d %s");
    EXPECT_EQ(ConsoleAfterVersion(), "\r\n100% %d %s");
    EXPECT_EQ(Appended(), "\r\n100% %d %s");
}

TEST_F(PrinterTest, EmptyFormatWritesNothing) {
    EXPECT_TRUE(g_reportLog->Print(L""));
    EXPECT_EQ(ConsoleAfterVersion(), "");
    EXPECT_EQ(AppendedBytes(), "");
}

TEST_F(PrinterTest, FormattingErrorWritesNothingAndTheNextMessagePrints) {
    EXPECT_FALSE(g_reportLog->Print(L"a%*db", INT_MIN, 1));
    EXPECT_FALSE(g_reportLog->PrintError(L"%2000d", 1));
    EXPECT_TRUE(g_reportLog->Print(L"next"));
    EXPECT_EQ(ConsoleAfterVersion(), "next");
    EXPECT_EQ(Appended(), "next");
}

TEST_F(PrinterTest, LogOnlyStaysOffTheConsole) {
    g_reportLog->LogOnly(L"only %d", 1);
    EXPECT_EQ(ConsoleAfterVersion(), "");
    EXPECT_EQ(Appended(), "only 1");
}

TEST_F(PrinterTest, BufferGrowsOnceAndIsZeroFilledForShorterMessages) {
    std::wstring longText(300, L'x');
    g_reportLog->Print(L"%s", longText.c_str());
    const uint32_t grown = g_reportLog->capacity;
    const wchar_t* block = g_reportLog->buffer;
    EXPECT_GE(grown, 301u);
    g_reportLog->Print(L"ab");
    EXPECT_EQ(g_reportLog->capacity, grown);
    EXPECT_EQ(g_reportLog->buffer, block);
    for (uint32_t i = 2; i < grown; ++i) {
        ASSERT_EQ(g_reportLog->buffer[i], L'\0') << "trace of the longer message at " << i;
    }
}

TEST_F(PrinterTest, ReserveZeroFillsAndNeverShrinks) {
    const uint32_t size = g_reportLog->capacity + 64;
    ASSERT_TRUE(g_reportLog->Reserve(size));
    EXPECT_EQ(g_reportLog->capacity, size);
    wmemset(g_reportLog->buffer, L'z', size);
    ASSERT_TRUE(g_reportLog->Reserve(8));
    EXPECT_EQ(g_reportLog->capacity, size);
    for (uint32_t i = 0; i < size; ++i) {
        ASSERT_EQ(g_reportLog->buffer[i], L'\0');
    }
}

// The log takes UTF-16 as it stands; the console's UTF-8 cannot hold a lone surrogate and shows
// the replacement character instead.
TEST_F(PrinterTest, TextOutsideTheBmpAndLoneSurrogates) {
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', L'\0'};
    g_reportLog->Print(L"\U0001F600%s", lone);
    EXPECT_EQ(ConsoleAfterVersion(),
              "\xF0\x9F\x98\x80"
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(AppendedBytes(), std::string("\x3D\xD8\x00\xDE"
                                           "a\0\x00\xD8"
                                           "b\0",
                                           10));
}

TEST_F(PrinterTest, FailedLogWriteIsReportedOnceAndBothReachTheConsole) {
    AnswerLogWrites([](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    });
    EXPECT_TRUE(g_reportLog->Print(L"\r\nmessage %d", 7));
    EXPECT_EQ(ConsoleAfterVersion(),
              "error: \r\nCannot write to file (gle: 0x00000070)\r\nmessage 7");
    faults_.Answer<Api::WriteFile>(nullptr);  // the end banner goes in again
    EXPECT_EQ(AppendedBytes(), "");
}

class ShortWriteTest : public PrinterTest {
  protected:
    // The log's next write is cut after `limit` bytes; the ones after it go through whole.
    void CutNextLogWrite(DWORD limit) {
        auto cuts = std::make_shared<int>(1);
        AnswerLogWrites([cuts, limit](HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                                      LPOVERLAPPED over) {
            if (*cuts > 0 && size > limit) {
                --*cuts;
                size = limit;
            }
            return ImportFaults::Real<Api::WriteFile>(file, bytes, size, written, over);
        });
    }
};

TEST_F(ShortWriteTest, ShortLogWriteIsReported) {
    CutNextLogWrite(4);
    g_reportLog->Print(L"abcdef");
    EXPECT_EQ(ConsoleAfterVersion(),
              "error: \r\nCannot write all data from file, requested 12 bytes, written 4 bytes."
              "abcdef");
    // The failure report itself went into the log after the 4 bytes that were written.
    EXPECT_EQ(Appended(),
              "ab"
              "error: \r\nCannot write all data from file, requested 12 bytes, written 4 bytes.");
}

TEST_F(ShortWriteTest, ShortWriteOfAnOddByteCountLeavesTheNextWriteAligned) {
    CutNextLogWrite(5);  // "ab" and half of "c"
    g_reportLog->Print(L"abcdef");
    g_reportLog->Print(L"next");
    // The zero byte completes the cut unit ("c" here, any character in general); what follows
    // is whole.
    EXPECT_EQ(Appended(),
              "abc"
              "error: \r\nCannot write all data from file, requested 12 bytes, written 5 bytes."
              "next");
}

TEST_F(PrinterTest, FailedCloseIsReported) {
    const HANDLE log = g_reportLog->handle;
    faults_.Fail<Api::CloseHandle>(FALSE, ERROR_INVALID_HANDLE);
    CloseLog();
    EXPECT_EQ(ConsoleAfterVersion(), "error: \r\nCannot close file");
    handle_verifier::TakenByTest(handle_verifier::Kind::Kernel, log);
    EXPECT_TRUE(CloseHandle(log));  // not closed by the run: the process's end would close it
}

class FileHandleTest : public ReportTest {
  protected:
    void Open(FileHandle& file, const std::string& bytes) {
        WriteFileBytes(folder_ / L"data.bin", bytes);
        file.handle = CreateFileW((folder_ / L"data.bin").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
        handle_verifier::GivenByTest(handle_verifier::Kind::Kernel, file.handle, "file handle");
    }
};

TEST_F(FileHandleTest, ReadReportsShortAndFailedReadsThroughTheLog) {
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    char data[16] = {};
    {
        FileHandle file;
        Open(file, "123456");
        EXPECT_FALSE(file.Read(data, 10));
    }
    {
        FileHandle file;
        Open(file, "123456");
        faults_.Fail<Api::ReadFile>(FALSE, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(file.Read(data, 6));
        EXPECT_TRUE(file.Read(data, 6));
        EXPECT_EQ(std::string(data, 6), "123456");
        faults_.Fail<Api::CloseHandle>(FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FALSE(file.Close());
        EXPECT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.Close());
        EXPECT_FALSE(file.IsOpen());
        EXPECT_TRUE(file.Close());  // not open: nothing to do
    }
    EXPECT_EQ(streams_->Stderr(),
              std::string(VersionLine) +
                  "error: \r\nCannot read all data from file, requested 10 bytes, read 6 bytes."
                  "error: \r\nCannot read from file (gle: 0x00000005)"
                  "error: \r\nCannot close file");
}

TEST_F(FileHandleTest, WithoutALogFailuresAreDropped) {
    FileHandle file;
    Open(file, "12");
    char data[4];
    EXPECT_FALSE(file.Read(data, 4));  // nothing to report to; no crash
    EXPECT_EQ(streams_->Stderr(), "");
}

TEST_F(ReportLogTest, SetFilePointerFailureIsReportedAndLeavesTheOldLogAlone) {
    const std::string earlier = std::string("\xFF\xFE", 2) + std::string("e\0a\0r\0l\0y\0", 10);
    WriteFileBytes(LogPath(), earlier);
    faults_.Fail<Api::SetFilePointer>(INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    g_reportLog->Print(L"\r\nthe run goes on");
    CloseLog();
    EXPECT_EQ(streams_->Stderr(),
              std::string("error: \r\nCannot set file pointer (gle: 0x00000083)") + VersionLine +
                  "\r\nthe run goes on");
    // Written from offset 0 it would have overwritten the earlier run.
    EXPECT_EQ(LogBytes(), earlier);
}

TEST_F(ReportLogTest, VersionLineFailuresGoToStandardOutputOnly) {
    struct Case {
        const char* message;
        void (*fail)(ImportFaults&);
    };
    const Case cases[] = {
        {"Cannot GetModuleFileName (5)\n",
         [](ImportFaults& f) { f.Fail<Api::GetModuleFileNameW>(DWORD(0), ERROR_ACCESS_DENIED); }},
        {"Error in GetFileVersionInfoSize: 1813\n",
         [](ImportFaults& f) {
             f.Fail<Api::GetFileVersionInfoSizeW>(DWORD(0), ERROR_RESOURCE_TYPE_NOT_FOUND);
         }},
        {"Error in GetFileVersionInfo: 87\n",
         [](ImportFaults& f) { f.Fail<Api::GetFileVersionInfoW>(FALSE, ERROR_INVALID_PARAMETER); }},
        {"Error in VerQueryValue: 1813\n",
         [](ImportFaults& f) {
             f.Fail<Api::VerQueryValueW>(FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        CapturedStreams streams(faults_);
        c.fail(faults_);
        OpenAndClose();
        EXPECT_EQ(streams.Stdout(), c.message);
        EXPECT_EQ(streams.Stderr(), "");
    }
    EXPECT_EQ(LogText().find("FileVersion"), std::string::npos);
}

TEST_F(ReportLogTest, VersionComponentsKeepTheirSixteenBits) {
    SetFileVersion(1, 0, 300, 7);
    OpenAndClose();
    EXPECT_EQ(streams_->Stderr(), "FileVersion of this tool: 1.0.300.7\n");
    SetFileVersion(65535, 2, 0, 65534);
    CapturedStreams again(faults_);
    OpenAndClose();
    EXPECT_EQ(again.Stderr(), "FileVersion of this tool: 65535.2.0.65534\n");
}

// The real calls on this test program, which carries no resources at all:
// ERROR_RESOURCE_DATA_NOT_FOUND (a program with resources but no version resource gets
// ERROR_RESOURCE_TYPE_NOT_FOUND, 1813).
TEST_F(ReportLogTest, NoVersionResource) {
    faults_.Answer<Api::GetModuleFileNameW>(nullptr);
    faults_.Answer<Api::GetFileVersionInfoSizeW>(nullptr);
    OpenAndClose();
    EXPECT_EQ(streams_->Stdout(), "Error in GetFileVersionInfoSize: 1812\n");
    EXPECT_EQ(streams_->Stderr(), "");
    EXPECT_EQ(ImportFaults::Calls(Api::GetFileVersionInfoW), 0u);
}

}  // namespace
