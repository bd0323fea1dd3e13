#include "report/report_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "support/machine_fixture.h"

namespace {

const char StartBanner[] =
    "\r\n###########################################\r\nLog start time: 2019.03.01 12:05.09"
    "\r\n###########################################\r\n";
const char EndBanner[] =
    "\r\n###########################################\r\nLog end time: 2019.03.01 12:05.09"
    "\r\n###########################################\r\n";
const char VersionLine[] = "FileVersion of this tool: 1.0.0.0\n";

class ReportLogTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        SYSTEMTIME time = {2019, 3, 5, 1, 12, 5, 9, 250};
        machine().SetClock(time);
    }

    std::string LogPath() const { return workDir() + "/skelvane.txt"; }
    std::wstring ExePath() const { return WindowsPath("skelvane.exe"); }
    std::string LogText() const { return DecodeUtf16Log(ReadHostFile(LogPath())); }

    void OpenAndClose() {
        ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
        delete g_reportLog;
        g_reportLog = nullptr;
    }
};

TEST_F(ReportLogTest, NewLogHoldsByteOrderMarkBannersAndVersionLine) {
    CapturedStreams streams;
    OpenAndClose();
    std::string bytes = ReadHostFile(LogPath());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(LogText(), "\xEF\xBB\xBF" + std::string(StartBanner) + VersionLine + EndBanner);
    EXPECT_EQ(streams.Stderr(), VersionLine);
    EXPECT_EQ(streams.Stdout(), "");
}

TEST_F(ReportLogTest, SecondRunAppendsWithoutSecondByteOrderMark) {
    CapturedStreams streams;
    OpenAndClose();
    OpenAndClose();
    std::string one = std::string(StartBanner) + VersionLine + EndBanner;
    EXPECT_EQ(LogText(), "\xEF\xBB\xBF" + one + one);
}

TEST_F(ReportLogTest, ByteOrderMarkOnlyForAnEmptyFile) {
    CapturedStreams streams;
    WriteHostFile(LogPath(), "");
    OpenAndClose();
    EXPECT_EQ(ReadHostFile(LogPath()).substr(0, 2), "\xFF\xFE");

    WriteHostFile(LogPath(), "ab");  // one UTF-16 unit that is not a byte order mark
    OpenAndClose();
    EXPECT_EQ(ReadHostFile(LogPath()).substr(0, 4), std::string("ab\r\0", 4));
}

TEST_F(ReportLogTest, LogOfOddLengthGetsOneZeroByteBeforeTheRun) {
    CapturedStreams streams;
    const std::string odd = "UTF-8 text, 21 bytes.";  // or a log cut off mid-character
    WriteHostFile(LogPath(), odd);
    OpenAndClose();
    const std::string bytes = ReadHostFile(LogPath());
    ASSERT_GT(bytes.size(), odd.size() + 1);
    EXPECT_EQ(bytes.substr(0, odd.size() + 1), odd + std::string(1, '\0'));
    EXPECT_EQ(DecodeUtf16Log(bytes.substr(odd.size() + 1)),
              std::string(StartBanner) + VersionLine + EndBanner);
}

// A link in the log's place is refused before anything is opened: neither its target nor a
// dangling link's missing target receives a byte.
TEST_F(ReportLogTest, LogPathThatIsALinkIsRefused) {
    ASSERT_EQ(mkdir((workDir() + "/elsewhere").c_str(), 0755), 0);
    const std::string target = workDir() + "/elsewhere/file.txt";
    for (bool dangling : {false, true}) {
        unlink(LogPath().c_str());
        unlink(target.c_str());
        if (!dangling) {
            WriteHostFile(target, "precious");
        }
        ASSERT_EQ(symlink(target.c_str(), LogPath().c_str()), 0);
        CapturedStreams streams;
        EXPECT_FALSE(OpenReportLog(ExePath().c_str()));
        EXPECT_EQ(g_reportLog, nullptr);
        EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
        EXPECT_EQ(streams.Stderr(), "");
        struct stat info;
        if (dangling) {
            EXPECT_NE(stat(target.c_str(), &info), 0) << "the dangling link's target was created";
        } else {
            EXPECT_EQ(ReadHostFile(target), "precious");
        }
    }
}

TEST_F(ReportLogTest, LogPathComesFromTheLastPointOfTheFileName) {
    CapturedStreams streams;
    struct Case {
        std::wstring argv0;
        std::string log;
    };
    mkdir((machine().Prefix() + "/drive_d").c_str(), 0755);
    mkdir((machine().Prefix() + "/drive_d/Tools").c_str(), 0755);
    mkdir((machine().Prefix() + "/drive_d/tools.2019").c_str(), 0755);
    const Case cases[] = {
        {L"D:\\Tools\\check.exe", machine().Prefix() + "/drive_d/Tools/check.txt"},
        {L"check.exe", workDir() + "/check.txt"},
        {L"D:\\tools.2019\\check", machine().Prefix() + "/drive_d/tools.2019/check.txt"},
        {L"run.tar.gz", workDir() + "/run.tar.txt"},
        {L"skelvane", workDir() + "/skelvane.txt"},
        {L".\\skelvane", workDir() + "/skelvane.txt"},
        {L"./other", workDir() + "/other.txt"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(OpenReportLog(c.argv0.c_str())) << c.log;
        delete g_reportLog;
        g_reportLog = nullptr;
        struct stat info;
        EXPECT_EQ(stat(c.log.c_str(), &info), 0) << c.log;
    }
    EXPECT_EQ(streams.Stdout(), "");
}

TEST_F(ReportLogTest, NoArgvZeroIsFatalWithoutMessage) {
    CapturedStreams streams;
    EXPECT_FALSE(OpenReportLog(nullptr));
    EXPECT_EQ(g_reportLog, nullptr);
    EXPECT_EQ(streams.Stdout(), "");
    EXPECT_EQ(streams.Stderr(), "");
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

TEST_F(ReportLogTest, LogThatCannotBeCreatedIsFatal) {
    CapturedStreams streams;
    ASSERT_EQ(mkdir(LogPath().c_str(), 0755), 0);  // a folder where the log should be
    EXPECT_FALSE(OpenReportLog(ExePath().c_str()));
    EXPECT_EQ(g_reportLog, nullptr);
    EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
    EXPECT_EQ(streams.Stderr(), "");
}

TEST_F(ReportLogTest, SecondInstanceCannotOpenTheSameLog) {
    CapturedStreams streams;
    ReportLog first(ExePath().substr(0, ExePath().size() - 4).append(L".txt").c_str());
    ASSERT_TRUE(first.IsOpen());
    EXPECT_FALSE(OpenReportLog(ExePath().c_str()));
    EXPECT_EQ(streams.Stdout(), "Fatal error: While creating log file.");
}

TEST_F(ReportLogTest, BannerTimeIsTheMachinesUtcTime) {
    CapturedStreams streams;
    SYSTEMTIME time = {2021, 12, 5, 31, 23, 59, 58, 999};
    machine().SetClock(time);
    OpenAndClose();
    EXPECT_NE(LogText().find("Log start time: 2021.12.31 23:59.58\r\n"), std::string::npos);
    EXPECT_NE(LogText().find("Log end time: 2021.12.31 23:59.58\r\n"), std::string::npos);
}

class PrinterTest : public ReportLogTest {
  protected:
    void SetUp() override {
        ReportLogTest::SetUp();
        streams_ = std::make_unique<CapturedStreams>();
        ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
        headerBytes_ = ReadHostFile(LogPath()).size();
    }
    // What the log received after the opening blocks.
    std::string Appended() const {
        return DecodeUtf16Log(ReadHostFile(LogPath()).substr(headerBytes_));
    }
    // What standard error received after the version line.
    std::string ConsoleAfterVersion() { return streams_->Stderr().substr(sizeof VersionLine - 1); }

    std::unique_ptr<CapturedStreams> streams_;
    size_t headerBytes_ = 0;
};

TEST_F(PrinterTest, PrefixesStandBeforeTheLeadingLineBreak) {
    EXPECT_TRUE(g_reportLog->PrintWarning(L"\r\nx"));
    EXPECT_TRUE(g_reportLog->PrintError(L"\r\nCannot close file"));
    EXPECT_TRUE(g_reportLog->Print(L"%s=%d", L"a", 1));
    const std::string expected = "warning: \r\nxerror: \r\nCannot close filea=1";
    EXPECT_EQ(ReadHostFile(LogPath()).size() - headerBytes_, 2 * expected.size());
    EXPECT_EQ(Appended(), expected);
    EXPECT_EQ(ConsoleAfterVersion(), expected);
}

TEST_F(PrinterTest, PercentInsideAnArgumentReachesConsoleUnchanged) {
    g_reportLog->Print(L"\r\n%s", L"100% %d %s");
    EXPECT_EQ(Appended(), "\r\n100% %d %s");
    EXPECT_EQ(ConsoleAfterVersion(), "\r\n100% %d %s");
}

TEST_F(PrinterTest, EmptyFormatWritesNothing) {
    EXPECT_TRUE(g_reportLog->Print(L""));
    EXPECT_EQ(ReadHostFile(LogPath()).size(), headerBytes_);
    EXPECT_EQ(ConsoleAfterVersion(), "");
}

TEST_F(PrinterTest, FormattingErrorWritesNothingAndTheNextMessagePrints) {
    EXPECT_FALSE(g_reportLog->Print(L"a%*db", INT_MIN, 1));
    EXPECT_FALSE(g_reportLog->PrintError(L"%2000d", 1));
    EXPECT_TRUE(g_reportLog->Print(L"next"));
    EXPECT_EQ(Appended(), "next");
    EXPECT_EQ(ConsoleAfterVersion(), "next");
}

TEST_F(PrinterTest, LogOnlyStaysOffTheConsole) {
    g_reportLog->LogOnly(L"only %d", 1);
    EXPECT_EQ(Appended(), "only 1");
    EXPECT_EQ(ConsoleAfterVersion(), "");
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

TEST_F(PrinterTest, WideTextOutsideTheBmpIsOneSurrogatePairInTheLog) {
    g_reportLog->Print(L"\U0001F600");
    EXPECT_EQ(ReadHostFile(LogPath()).substr(headerBytes_), std::string("\x3D\xD8\x00\xDE", 4));
    EXPECT_EQ(ConsoleAfterVersion(), "\xF0\x9F\x98\x80");
}

TEST_F(PrinterTest, CodeBeyondUnicodeIsOneReplacementCharacterInTheLog) {
    const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), L'\0'};
    g_reportLog->Print(L"%s", beyond);
    EXPECT_EQ(ReadHostFile(LogPath()).substr(headerBytes_), "\xFD\xFF");
}

TEST_F(PrinterTest, FailedLogWriteIsReportedOnceAndBothReachTheConsole) {
    standin::Fault fault;
    fault.function = "WriteFile";
    fault.object = "skelvane.txt";  // the log only; the console stream still works
    fault.error = ERROR_DISK_FULL;
    fault.times = -1;
    machine().AddFault(fault);
    EXPECT_TRUE(g_reportLog->Print(L"\r\nmessage %d", 7));
    EXPECT_EQ(ConsoleAfterVersion(),
              "error: \r\nCannot write to file (gle: 0x00000070)\r\nmessage 7");
    EXPECT_EQ(ReadHostFile(LogPath()).size(), headerBytes_);
}

TEST_F(PrinterTest, ShortLogWriteIsReported) {
    machine().LimitTransfer("WriteFile", 4);
    g_reportLog->Print(L"abcdef");
    EXPECT_EQ(ConsoleAfterVersion(),
              "error: \r\nCannot write all data from file, requested 12 bytes, written 4 bytes."
              "abcdef");
    // The failure report itself went into the log after the 4 bytes that were written.
    EXPECT_EQ(Appended(),
              "ab"
              "error: \r\nCannot write all data from file, requested 12 bytes, written 4 bytes.");
}

TEST_F(PrinterTest, ShortWriteOfAnOddByteCountLeavesTheNextWriteAligned) {
    machine().LimitTransfer("WriteFile", 5);  // "ab" and half of "c"
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
    machine().FailCall("CloseHandle", ERROR_INVALID_HANDLE);
    delete g_reportLog;
    g_reportLog = nullptr;
    EXPECT_EQ(ConsoleAfterVersion(), "error: \r\nCannot close file");
}

class FileHandleTest : public MachineTest {
  protected:
    void Open(FileHandle& file, const std::string& bytes) {
        WriteHostFile(workDir() + "/data.bin", bytes);
        file.handle = CreateFileW(WindowsPath("data.bin").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file.handle, INVALID_HANDLE_VALUE);
    }
};

TEST_F(FileHandleTest, ReadReportsShortAndFailedReadsThroughTheLog) {
    CapturedStreams streams;
    ASSERT_TRUE(OpenReportLog(WindowsPath("skelvane.exe").c_str()));
    char data[16] = {};
    {
        FileHandle file;
        Open(file, "123456");
        EXPECT_FALSE(file.Read(data, 10));
    }
    {
        FileHandle file;
        Open(file, "123456");
        machine().FailCall("ReadFile", ERROR_ACCESS_DENIED);
        EXPECT_FALSE(file.Read(data, 6));
        EXPECT_TRUE(file.Read(data, 6));
        EXPECT_EQ(std::string(data, 6), "123456");
        machine().FailCall("CloseHandle", ERROR_INVALID_HANDLE);
        EXPECT_FALSE(file.Close());
        EXPECT_TRUE(file.IsOpen());
        EXPECT_TRUE(file.Close());
        EXPECT_FALSE(file.IsOpen());
        EXPECT_TRUE(file.Close());  // not open: nothing to do
    }
    EXPECT_EQ(streams.Stderr(),
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
}

TEST_F(ReportLogTest, SetFilePointerFailureIsReportedAndLeavesTheOldLogAlone) {
    const std::string earlier = std::string("\xFF\xFE", 2) + std::string("e\0a\0r\0l\0y\0", 10);
    WriteHostFile(LogPath(), earlier);
    CapturedStreams streams;
    machine().FailCall("SetFilePointer", ERROR_NEGATIVE_SEEK);
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    g_reportLog->Print(L"\r\nthe run goes on");
    delete g_reportLog;
    g_reportLog = nullptr;
    EXPECT_EQ(streams.Stderr(),
              std::string("error: \r\nCannot set file pointer (gle: 0x00000083)") + VersionLine +
                  "\r\nthe run goes on");
    // Written from offset 0 it would have overwritten the earlier run.
    EXPECT_EQ(ReadHostFile(LogPath()), earlier);
}

struct VersionFailure {
    const char* function;
    DWORD error;
    const char* message;
};

TEST_F(ReportLogTest, VersionLineFailuresGoToStandardOutputOnly) {
    const VersionFailure cases[] = {
        {"GetModuleFileNameW", 5, "Cannot GetModuleFileName (5)\n"},
        {"GetFileVersionInfoSizeW", 1813, "Error in GetFileVersionInfoSize: 1813\n"},
        {"GetFileVersionInfoW", 87, "Error in GetFileVersionInfo: 87\n"},
        {"VerQueryValueW", 1813, "Error in VerQueryValue: 1813\n"},
    };
    for (const auto& c : cases) {
        CapturedStreams streams;
        machine().FailCall(c.function, c.error);
        OpenAndClose();
        EXPECT_EQ(streams.Stdout(), c.message) << c.function;
        EXPECT_EQ(streams.Stderr(), "") << c.function;
    }
    EXPECT_EQ(LogText().find("FileVersion"), std::string::npos);
}

TEST_F(ReportLogTest, VersionComponentsKeepTheirSixteenBits) {
    CapturedStreams streams;
    machine().SetFileVersion(1, 0, 300, 7);
    OpenAndClose();
    EXPECT_EQ(streams.Stderr(), "FileVersion of this tool: 1.0.300.7\n");
    machine().SetFileVersion(65535, 2, 0, 65534);
    CapturedStreams again;
    OpenAndClose();
    EXPECT_EQ(again.Stderr(), "FileVersion of this tool: 65535.2.0.65534\n");
}

TEST_F(ReportLogTest, NoVersionResource) {
    CapturedStreams streams;
    machine().RemoveVersionResource();
    OpenAndClose();
    EXPECT_EQ(streams.Stdout(), "Error in GetFileVersionInfoSize: 1813\n");
}

}  // namespace
