// The whole run through the driver: the log beside the program, the checks in their order, the
// prompt and the key wait, the exit code. Standard output and error are captured; the console the
// key wait opens is answered (Wine's console cannot be typed on from a test).
#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "app/local_system_answer.h"
#include "app/run_fixture.h"
#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

const char Prompt[] = "\r\n\r\nPress any key to quit...";
// The version line is the log's test: here the program has no version resource.
const char NoVersion[] = "Error in GetFileVersionInfoSize: 1813\n";

// The console input that CreateFileW(L"CONIN$") opens: a new event handle of the test's own each
// time (so that closing it is real, and a value the system hands out again after the close is no
// console) whose mode and input records are answered.
class AnsweredConsole {
  public:
    explicit AnsweredConsole(ImportFaults& faults) {
        faults.Answer<Api::CreateFileW>([this](LPCWSTR name, DWORD access, DWORD share,
                                               LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                               DWORD flags, HANDLE model) {
            if (wcscmp(name, L"CONIN$") != 0) {
                return ImportFaults::Real<Api::CreateFileW>(name, access, share, security,
                                                            disposition, flags, model);
            }
            ++opened;
            if (!present) {
                SetLastError(ERROR_INVALID_HANDLE);
                return INVALID_HANDLE_VALUE;
            }
            EXPECT_EQ(handle_, nullptr) << "opened twice";
            handle_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            return handle_;
        });
        faults.Answer<Api::GetConsoleMode>([this](HANDLE handle, LPDWORD mode) {
            if (handle_ == nullptr || handle != handle_) {
                return ImportFaults::Real<Api::GetConsoleMode>(handle, mode);
            }
            *mode = this->mode;
            return TRUE;
        });
        faults.Answer<Api::SetConsoleMode>([this](HANDLE handle, DWORD mode) {
            EXPECT_EQ(handle, handle_);
            modes.push_back(mode);
            return TRUE;
        });
        faults.Answer<Api::FlushConsoleInputBuffer>([this](HANDLE handle) {
            EXPECT_EQ(handle, handle_);
            input.clear();  // typed before the prompt
            ++flushes;
            return TRUE;
        });
        faults.Answer<Api::ReadConsoleInputW>(
            [this](HANDLE handle, INPUT_RECORD* record, DWORD length, LPDWORD read) {
                EXPECT_EQ(handle, handle_);
                EXPECT_EQ(length, 1u);
                if (typed.empty()) {
                    ADD_FAILURE() << "waits for a key that nobody types";
                    SetLastError(ERROR_OPERATION_ABORTED);
                    return FALSE;
                }
                *record = typed.front();
                typed.pop_front();
                *read = 1;
                return TRUE;
            });
        faults.Answer<Api::CloseHandle>([this](HANDLE handle) {
            if (handle != nullptr && handle == handle_) {
                ++closed;
                handle_ = nullptr;
            }
            return ImportFaults::Real<Api::CloseHandle>(handle);
        });
    }
    ~AnsweredConsole() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    AnsweredConsole(const AnsweredConsole&) = delete;
    AnsweredConsole& operator=(const AnsweredConsole&) = delete;

    static INPUT_RECORD Key(bool down) {
        INPUT_RECORD record = {};
        record.EventType = KEY_EVENT;
        record.Event.KeyEvent.bKeyDown = down;
        record.Event.KeyEvent.wRepeatCount = 1;
        record.Event.KeyEvent.uChar.UnicodeChar = L'q';
        return record;
    }
    static INPUT_RECORD Focus() {
        INPUT_RECORD record = {};
        record.EventType = FOCUS_EVENT;
        return record;
    }

    bool present = true;
    DWORD mode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    std::deque<INPUT_RECORD> input, typed;  // before and after the flush
    std::vector<DWORD> modes;
    unsigned opened = 0, flushes = 0, closed = 0;

  private:
    HANDLE handle_ = nullptr;
};

class RunDriverTest : public testing::Test {
  protected:
    RunOutcome Run(std::vector<std::wstring> arguments) {
        return RunTool(faults_, folder_, std::move(arguments));
    }

    void SetUp() override { AnswerNoVersion(); }

    void AnswerNoVersion() {
        faults_.Fail<Api::GetFileVersionInfoSizeW>(DWORD(0), ERROR_RESOURCE_TYPE_NOT_FOUND,
                                                   FromNth(1));
    }

    ImportFaults faults_;
    ScratchFolder folder_;
    AnsweredConsole console_{faults_};
};

// The checks' own output belongs to their tests; a run is told by its first line, its checks
// (the chain test's heading among them) and its prompt at the end, in the console and the log.
void ExpectNormalRun(const std::string& console, const std::string& firstLines) {
    EXPECT_EQ(console.substr(0, firstLines.size()), firstLines);
    size_t at = 0;
    for (const char* heading :
         {"\r\nTOLV Product: ", "\r\n\r\nSHA2 support:", "\r\n\r\nVerify chain test: [CurrentUser]",
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
        EXPECT_EQ(EqualsIgnoringAsciiCase(c.argument, L"/fix"), c.matchesFix) << Utf8(c.argument);
    }
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"/PkiClean", L"/pkiclean"));
}

// Arguments other than /fix and /pkiclean alone run the normal checks; a key ends the wait, and
// the console is left as it was found.
TEST_F(RunDriverTest, NormalRunWaitsForOneKeyAndEndsWithEndBannerAndZero) {
    const std::vector<std::vector<std::wstring>> commandLines = {
        {}, {L"-fix"}, {L"/fix", L"x"}, {L"/pkiclean", L"/fix"}, {L"/pkiclean "}};
    for (const auto& commandLine : commandLines) {
        SCOPED_TRACE(Utf8(commandLine.empty() ? L"(none)" : commandLine[0]));
        console_.modes.clear();
        console_.input = {AnsweredConsole::Key(true)};
        console_.typed = {AnsweredConsole::Focus(), AnsweredConsole::Key(false),
                          AnsweredConsole::Key(true), AnsweredConsole::Key(false)};
        const unsigned flushes = console_.flushes;
        RunOutcome outcome = Run(commandLine);
        EXPECT_EQ(outcome.exitCode, 0);
        ExpectNormalRun(outcome.console, "");
        EXPECT_EQ(outcome.standardOutput, NoVersion);
        EXPECT_TRUE(HasEndBanner(outcome.log));
        EXPECT_NE(outcome.log.find(outcome.console), std::string::npos);
        // Raw for the wait, then as it was; the key typed before the prompt did not count, the
        // first key down after it did.
        EXPECT_EQ(console_.modes, (std::vector<DWORD>{0, console_.mode}));
        EXPECT_EQ(console_.flushes, flushes + 1);
        EXPECT_EQ(console_.typed.size(), 1u);
        EXPECT_EQ(console_.closed, console_.opened);
    }
}

TEST_F(RunDriverTest, PkiCleanEndsWithoutPromptOrEndBanner) {
    ScratchFolder appData;
    const std::wstring folder = appData.Path();
    faults_.Answer<Api::SHGetSpecialFolderPathW>([folder](HWND, LPWSTR path, int, BOOL) {
        wcscpy(path, folder.c_str());
        return TRUE;
    });
    for (const wchar_t* argument : {L"/pkiclean", L"/PkiClean", L"/PKICLEAN"}) {
        SCOPED_TRACE(Utf8(argument));
        RunOutcome outcome = Run({argument});
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(outcome.console,
                  "\nClean PKI cache...\n    ProgramData directory: \"" + Utf8(folder) +
                      "\"\n    OK - PKI cache does not exist at \"" + Utf8(folder) +
                      "\\TOLV\\TOLV Security\\PKI\\ctl\" "
                      "(0x00000003)\n");
        EXPECT_FALSE(HasEndBanner(outcome.log));
        EXPECT_EQ(console_.opened, 0u);
        // What process exit does: the file is closed, nothing more is written.
        ASSERT_NE(g_reportLog, nullptr);
        CloseHandle(g_reportLog->handle);
        g_reportLog->handle = INVALID_HANDLE_VALUE;
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(RunDriverTest, LogThatCannotBeCreatedEndsTheRunWithOne) {
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"skelvane.txt").c_str(), nullptr));
    RunOutcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(outcome.standardOutput, "Fatal error: While creating log file.");
    EXPECT_EQ(console_.opened, 0u);
}

TEST_F(RunDriverTest, LocalSystemIsNamedAndDoesNotWait) {
    AnswerTokenUserAsLocalSystem(faults_);
    RunOutcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, 0);
    ExpectNormalRun(outcome.console, "User: NT AUTHORITY\\SYSTEM\r\n");
    EXPECT_TRUE(HasEndBanner(outcome.log));
    EXPECT_EQ(console_.opened, 0u);
}

// Without a console to read, or one whose mode or input cannot be read, the run does not wait
// and the console is never left raw.
TEST_F(RunDriverTest, ConsoleThatCannotBeReadMeansNoWait) {
    struct Case {
        const char* what;
        void (*arrange)(AnsweredConsole&, ImportFaults&);
        std::vector<DWORD> modes;
    };
    const DWORD cooked = console_.mode;
    const Case cases[] = {
        {"no console",
         [](AnsweredConsole& console, ImportFaults&) { console.present = false; },
         {}},
        {"its mode cannot be read",
         [](AnsweredConsole&, ImportFaults& faults) {
             faults.Fail<Api::GetConsoleMode>(FALSE, ERROR_INVALID_HANDLE, FromNth(1));
         },
         {}},
        {"its input cannot be read",
         [](AnsweredConsole&, ImportFaults& faults) {
             faults.Fail<Api::ReadConsoleInputW>(FALSE, ERROR_INVALID_HANDLE);
         },
         {0, cooked}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerNoVersion();
        AnsweredConsole console(faults_);
        c.arrange(console, faults_);
        RunOutcome outcome = Run({});
        EXPECT_EQ(outcome.exitCode, 0);
        EXPECT_EQ(console.opened, 1u);
        EXPECT_EQ(console.modes, c.modes);
        EXPECT_EQ(console.closed, console.present ? 1u : 0u);
        EXPECT_TRUE(HasEndBanner(outcome.log));
    }
}

}  // namespace
