// Whole runs compared byte for byte: what the console and the log hold at a fixed clock and file
// version, a /fix whose import the Root store refuses, and a /pkiclean run as LocalSystem. The
// clock, the version resource and the account are answered (Wine's cannot be set from outside);
// there is no console to wait on, so no run waits for a key.
#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/local_system_answer.h"
#include "app/run_fixture.h"
#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/fixed_clock.h"
#include "support/windows/scratch.h"

namespace {

const char Prompt[] = "\r\n\r\nPress any key to quit...";

class WholeRunTest : public testing::Test {
  protected:
    void SetUp() override {
        faults_.Answer<Api::GetSystemTime>([](SYSTEMTIME* now) { *now = FixedClock; });
        AnswerFileVersion(1, 0, 0, 0);
        faults_.Answer<Api::CreateFileW>([](LPCWSTR name, DWORD access, DWORD share,
                                            LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                            DWORD flags, HANDLE model) {
            if (wcscmp(name, L"CONIN$") == 0) {
                SetLastError(ERROR_INVALID_HANDLE);
                return INVALID_HANDLE_VALUE;
            }
            return ImportFaults::Real<Api::CreateFileW>(name, access, share, security, disposition,
                                                        flags, model);
        });
    }

    // The version calls answer a resource whose fixed file information holds this version.
    void AnswerFileVersion(WORD major, WORD minor, WORD build, WORD revision) {
        version_ = {};
        version_.dwSignature = VS_FFI_SIGNATURE;
        version_.dwStrucVersion = VS_FFI_STRUCVERSION;
        version_.dwFileVersionMS = MAKELONG(minor, major);
        version_.dwFileVersionLS = MAKELONG(revision, build);
        faults_.Answer<Api::GetFileVersionInfoSizeW>([](LPCWSTR, LPDWORD handle) -> DWORD {
            *handle = 0;
            return sizeof(VS_FIXEDFILEINFO);
        });
        faults_.Answer<Api::GetFileVersionInfoW>(
            [](LPCWSTR, DWORD, DWORD, LPVOID) -> BOOL { return TRUE; });
        faults_.Answer<Api::VerQueryValueW>(
            [this](LPCVOID, LPCWSTR block, LPVOID* value, PUINT length) -> BOOL {
                EXPECT_STREQ(block, L"\\");
                *value = &version_;
                *length = sizeof(version_);
                return TRUE;
            });
    }

    RunOutcome Run(std::vector<std::wstring> arguments) {
        return RunTool(faults_, folder_, std::move(arguments));
    }
    // Empty while the run still holds the log: it shares nothing.
    std::string Log() const { return Utf8FromUtf16Bytes(ReadFileBytes(folder_ / L"skelvane.txt")); }

    ImportFaults faults_;
    ScratchFolder folder_;
    VS_FIXEDFILEINFO version_ = {};
};

// Everything a run prints goes to the console and the log alike: the log is the console's text
// between the banners.
TEST_F(WholeRunTest, BannersAndSystemTimeShowTheClockAndTheVersionAllFourParts) {
    AnswerFileVersion(1, 0, 300, 7);
    const RunOutcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.standardOutput, "");
    const std::string first = "FileVersion of this tool: 1.0.300.7\nOS version: ";
    EXPECT_EQ(outcome.console.substr(0, first.size()), first);
    EXPECT_NE(outcome.console.find("\r\nSystem time is: 2019.03.01 12:05.09\r\nOK\r\n\r\nSHA2"),
              std::string::npos);
    ASSERT_GE(outcome.console.size(), strlen(Prompt));
    EXPECT_EQ(outcome.console.substr(outcome.console.size() - strlen(Prompt)), Prompt);
    EXPECT_EQ(outcome.log, Utf8ByteOrderMark + (StartBanner + outcome.console) + EndBanner);
}

const char ImportHeading[] =
    "FileVersion of this tool: 1.0.0.0\n"
    "\r\nImporting certificate: "
    "\r\n\r\nSubject: CN = DigiCert Global Root CA, OU = www.digicert.com, O = DigiCert Inc, C = US"
    "\r\nSerial number: 08 3b e0 56 90 42 46 b1 a1 75 6a c9 59 91 c7 4a";

// A refused import ends the run at once: its error, the prompt, no check, exit code 1.
TEST_F(WholeRunTest, FixThatTheRootStoreRefusesRunsNoCheck) {
    struct Case {
        const char* what;
        void (*arrange)(ImportFaults&);
        std::string console;
        unsigned adds;
    };
    const Case cases[] = {
        // What Windows answers a user who may not write the machine's Root store (Wine's store
        // takes every user's import).
        {"the add is refused",
         [](ImportFaults& f) {
             f.Fail<Api::CertAddEncodedCertificateToStore>(FALSE, ERROR_ACCESS_DENIED);
         },
         std::string(ImportHeading) +
             "error: \r\nError: CertAddCertificateContextToStore returned error 5\r\n" + Prompt,
         1},
        {"the store cannot be opened",
         [](ImportFaults& f) {
             f.Fail<Api::CertOpenStore>(HCERTSTORE(nullptr), ERROR_ACCESS_DENIED);
         },
         std::string(ImportHeading) + "error: \r\nError: Cannot open system trusted root store" +
             Prompt,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((folder_ / L"skelvane.txt").c_str());
        const unsigned adds = ImportFaults::Calls(Api::CertAddEncodedCertificateToStore);
        c.arrange(faults_);
        const RunOutcome outcome = Run({L"/fix"});
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_EQ(outcome.standardOutput, "");
        EXPECT_EQ(outcome.console, c.console);
        EXPECT_EQ(outcome.log, Utf8ByteOrderMark + (StartBanner + c.console) + EndBanner);
        EXPECT_EQ(ImportFaults::Calls(Api::CertAddEncodedCertificateToStore) - adds, c.adds);
    }
}

// As LocalSystem the account is named on the second line in every mode; /pkiclean then cleans
// Wine's own application-data folder, where the fresh prefix has no cache.
TEST_F(WholeRunTest, PkiCleanAsLocalSystemNamesTheAccount) {
    AnswerTokenUserAsLocalSystem(faults_);
    const RunOutcome outcome = Run({L"/pkiclean"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.standardOutput, "");
    const std::string console =
        "FileVersion of this tool: 1.0.0.0\n"
        "User: NT AUTHORITY\\SYSTEM\r\n"
        "\n"
        "Clean PKI cache...\n"
        "    ProgramData directory: \"C:\\ProgramData\"\n"
        "    OK - PKI cache does not exist at \"C:\\ProgramData\\TOLV\\TOLV Security\\PKI\\ctl\" "
        "(0x00000003)\n";
    EXPECT_EQ(outcome.console, console);
    // The log stays open without its end banner; the process's end closes it, as here.
    ASSERT_NE(g_reportLog, nullptr);
    EXPECT_EQ(outcome.log, "");
    CloseHandle(g_reportLog->handle);
    g_reportLog->handle = INVALID_HANDLE_VALUE;
    delete g_reportLog;
    g_reportLog = nullptr;
    EXPECT_EQ(Log(), Utf8ByteOrderMark + (StartBanner + console));
}

}  // namespace
