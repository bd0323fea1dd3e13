#include "app/run_driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "report/report_log.h"
#include "support/machine_fixture.h"

namespace {

const char VersionLine[] = "FileVersion of this tool: 1.0.0.0\n";
const char Prompt[] = "\r\n\r\nPress any key to quit...";

class RunDriverTest : public MachineTest {
  protected:
    struct Outcome {
        int exitCode;
        std::string console;
        std::string standardOutput;
        std::string log;
    };

    Outcome Run(std::vector<std::wstring> arguments) {
        arguments.insert(arguments.begin(), WindowsPath("skelvane.exe"));
        std::vector<wchar_t*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        CapturedStreams streams;
        int exitCode = RunDriver(static_cast<int>(arguments.size()), argv.data());
        // The driver deletes the log on every path but /pkiclean; forget the pointer it leaves.
        if (!leavesLogOpen_) {
            g_reportLog = nullptr;
        }
        Outcome outcome{exitCode, streams.Stderr(), streams.Stdout(), ""};
        outcome.log = DecodeUtf16Log(ReadHostFile(workDir() + "/skelvane.txt"));
        return outcome;
    }

    // Set by a test of /pkiclean, after which the log is left open.
    bool leavesLogOpen_ = false;
};

// The checks' own output belongs to their tests; a run is told by its first line, its checks
// (the chain test's heading among them) and its prompt at the end.
void ExpectNormalRun(const std::string& console, const std::string& firstLines) {
    EXPECT_EQ(console.substr(0, firstLines.size()), firstLines);
    // The headings in the driver's order.
    size_t at = 0;
    for (const char* heading : {"\r\n\r\nSHA2 support:", "\r\n\r\nVerify chain test: [CurrentUser]",
                                "\r\n\r\nVerify chain test: [LocalMachine]",
                                "\n\nResponse from request https://service.tolv.com/edf"}) {
        at = console.find(heading, at);
        EXPECT_NE(at, std::string::npos) << heading;
    }
    EXPECT_EQ(console.find("Importing certificate"), std::string::npos);
    ASSERT_GE(console.size(), strlen(Prompt));
    EXPECT_EQ(console.substr(console.size() - strlen(Prompt)), Prompt);
}

// Whether the last run's part of the log ends with an end banner.
bool HasEndBanner(const std::string& log) {
    return log.find("Log end time: ", log.rfind("Log start time: ")) != std::string::npos;
}

TEST(ArgumentComparison, FoldsAsciiLettersOnly) {
    struct Case {
        const wchar_t* argument;
        bool matchesFix;
    };
    const Case cases[] = {
        {L"/fix", true},       {L"/FIX", true},       {L"/Fix", true}, {L"-fix", false},
        {L"fix", false},       {L"/fix ", false},     {L"/fi", false}, {L"/fixx", false},
        {L"", false},          {L"/f\x0130x", false},  // capital I with dot does not fold to i
        {L"/f\x0131x", false},                         // nor dotless i
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EqualsIgnoringAsciiCase(c.argument, L"/fix"), c.matchesFix)
            << std::string(c.argument, c.argument + wcslen(c.argument));
    }
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/PkiClean", L"/pkiclean"));
}

TEST_F(RunDriverTest, NormalRunEndsWithPromptEndBannerAndZero) {
    Outcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, 0);
    ExpectNormalRun(outcome.console, VersionLine);
    EXPECT_EQ(outcome.standardOutput, "");
    EXPECT_TRUE(HasEndBanner(outcome.log));
    EXPECT_NE(outcome.log.find(Prompt), std::string::npos);
}

TEST_F(RunDriverTest, OtherArgumentsRunTheNormalChecks) {
    const std::vector<std::vector<std::wstring>> commandLines = {
        {L"-fix"}, {L"/fix", L"x"}, {L"/pkiclean", L"/fix"}, {L"/pkiclean "}, {L"anything"}};
    for (const auto& commandLine : commandLines) {
        Outcome outcome = Run(commandLine);
        EXPECT_EQ(outcome.exitCode, 0);
        ExpectNormalRun(outcome.console, VersionLine);
    }
}

TEST_F(RunDriverTest, PkiCleanEndsWithoutPromptOrEndBanner) {
    leavesLogOpen_ = true;
    for (const wchar_t* argument : {L"/pkiclean", L"/PkiClean", L"/PKICLEAN"}) {
        Outcome outcome = Run({argument});
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.console.find("Press any key"), std::string::npos);
        EXPECT_FALSE(HasEndBanner(outcome.log));
        // What process exit does: the file is closed, nothing more is written.
        CloseHandle(g_reportLog->handle);
        g_reportLog->handle = INVALID_HANDLE_VALUE;
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(RunDriverTest, LogThatCannotBeCreatedEndsTheRunWithOne) {
    ASSERT_EQ(mkdir((workDir() + "/skelvane.txt").c_str(), 0755), 0);
    Outcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(outcome.standardOutput, "Fatal error: While creating log file.");
}

// A console device for the key wait: the slave side of a pseudo-terminal in canonical mode.
class ConsoleDevice {
  public:
    ConsoleDevice() { EXPECT_EQ(openpty(&master_, &slave_, name_, nullptr, nullptr), 0); }
    ~ConsoleDevice() {
        close(master_);
        close(slave_);
    }
    std::string Name() const { return name_; }
    void Type(const char* keys) { EXPECT_GT(write(master_, keys, strlen(keys)), 0); }
    bool Canonical() const {
        struct termios settings;
        tcgetattr(slave_, &settings);
        return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
    }

  private:
    int master_ = -1, slave_ = -1;
    char name_[256] = {};
};

TEST_F(RunDriverTest, KeyWaitTakesOneKeyWithoutEnterAndRestoresTheConsole) {
    ConsoleDevice console;
    machine().SetConsoleDevice(console.Name());
    auto run = std::async(std::launch::async, [&] { return Run({}); });
    // The checks come first, however long they take on a loaded machine; the wait then
    // switches the console to raw mode.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (console.Canonical() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(console.Canonical()) << "the run never began to wait for a key";
    // Still waiting: no key yet.
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    // One key, no Enter; typed again while the run goes on, in case the first came before
    // the wait discarded earlier input.
    for (int i = 0;
         i < 50 && run.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready; ++i) {
        console.Type("q");
    }
    ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(run.get().exitCode, 0);
    EXPECT_TRUE(console.Canonical());
}

TEST_F(RunDriverTest, LocalSystemIsNamedAndDoesNotWait) {
    ConsoleDevice console;  // a console nobody types on: a wait would hang
    machine().SetConsoleDevice(console.Name());
    machine().SetLocalSystem(true);
    auto run = std::async(std::launch::async, [&] { return Run({}); });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Outcome outcome = run.get();
    ExpectNormalRun(outcome.console, std::string(VersionLine) + "User: NT AUTHORITY\\SYSTEM\r\n");
    EXPECT_EQ(outcome.exitCode, 0);
}

TEST_F(RunDriverTest, ConsoleWhoseModeCannotBeReadMeansNoWait) {
    ConsoleDevice console;  // nobody types on it: a wait would hang
    machine().SetConsoleDevice(console.Name());
    machine().FailCall("GetConsoleMode", ERROR_INVALID_HANDLE, 0, -1);
    auto run = std::async(std::launch::async, [&] { return Run({}); });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(run.get().exitCode, 0);
    EXPECT_TRUE(console.Canonical());  // never switched
}

TEST_F(RunDriverTest, NoConsoleMeansNoWait) {
    // The fixture's console device does not exist: the wait returns at once.
    auto run = std::async(std::launch::async, [&] { return Run({}); });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(run.get().exitCode, 0);
}

}  // namespace
