// The report's text on a console goes out with WriteConsoleW, in pieces; redirected, it goes out
// as UTF-8 with WriteFile. The console is a file whose console mode is answered, and its console
// writes are answered and recorded: a test program under Wine has no console to read back.
#include "report/console_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

HANDLE CreateStreamFile(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Standard error plays the console, standard output is redirected to a file.
class ConsoleTest : public testing::Test {
  protected:
    void SetUp() override {
        console_ = CreateStreamFile(folder_ / L"console");
        redirected_ = CreateStreamFile(folder_ / L"redirected");
        ASSERT_NE(console_, INVALID_HANDLE_VALUE);
        ASSERT_NE(redirected_, INVALID_HANDLE_VALUE);
        const HANDLE console = console_, redirected = redirected_;
        faults_.Answer<Api::GetStdHandle>([console, redirected](DWORD which) {
            return which == STD_ERROR_HANDLE ? console : redirected;
        });
        faults_.Answer<Api::GetConsoleMode>([console](HANDLE handle, LPDWORD mode) -> BOOL {
            if (handle == console) {
                *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
                return TRUE;
            }
            return ImportFaults::Real<Api::GetConsoleMode>(handle, mode);
        });
        faults_.Answer<Api::WriteConsoleW>([this, console](HANDLE handle, const void* text,
                                                           DWORD length, LPDWORD written,
                                                           LPVOID reserved) -> BOOL {
            EXPECT_EQ(handle, console);
            EXPECT_EQ(reserved, nullptr);
            pieces_.emplace_back(static_cast<const wchar_t*>(text), length);
            *written = length;
            return TRUE;
        });
    }
    void TearDown() override {
        CloseHandle(console_);
        CloseHandle(redirected_);
    }

    // What went to the console with WriteConsoleW, and the bytes written to either stream.
    std::wstring Console() const {
        std::wstring all;
        for (const std::wstring& piece : pieces_) {
            all += piece;
        }
        return all;
    }
    std::string ConsoleFileBytes() const { return ReadFileBytes(folder_ / L"console"); }
    std::string Redirected() const { return ReadFileBytes(folder_ / L"redirected"); }

    ScratchFolder folder_;
    ImportFaults faults_;
    HANDLE console_ = INVALID_HANDLE_VALUE, redirected_ = INVALID_HANDLE_VALUE;
    std::vector<std::wstring> pieces_;
};

// 9000 characters with a surrogate pair across the first piece's end, which stays whole.
std::wstring LongText() {
    std::wstring text;
    for (int i = 0; i < 9000; ++i) {
        text += static_cast<wchar_t>(L'a' + i % 26);
    }
    text.replace(8191, 2, L"\U0001F600");
    text.replace(500, 2, L"\U0001F600");
    return text;
}

TEST_F(ConsoleTest, LongTextReachesTheConsoleWholeInPieces) {
    const std::wstring text = LongText();
    SetLastError(0xdeadbeef);
    WriteToStream(STD_ERROR_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // a console write never disturbs what is reported
    ASSERT_EQ(pieces_.size(), 2u);
    EXPECT_EQ(pieces_[0].size(), 8191u);
    EXPECT_EQ(Console(), text);
    EXPECT_EQ(ConsoleFileBytes(), "");
}

TEST_F(ConsoleTest, FailedConsoleWriteStopsTheRestOfTheText) {
    faults_.Fail<Api::WriteConsoleW>(FALSE, ERROR_INVALID_HANDLE, Nth(2));
    const std::wstring text(3 * 8192, L'z');
    SetLastError(0xdeadbeef);
    WriteToStream(STD_ERROR_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(Console(), std::wstring(8192, L'z'));
    EXPECT_EQ(ImportFaults::Calls(Api::WriteConsoleW), 2u);
}

// Standard output is not the console: the same text arrives there as UTF-8.
TEST_F(ConsoleTest, RedirectedTextArrivesWholeAsUtf8) {
    const std::wstring text = LongText();
    SetLastError(0xdeadbeef);
    WriteToStream(STD_OUTPUT_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(Redirected(), Utf8(text));
    EXPECT_EQ(ImportFaults::Calls(Api::WriteFile), 2u);
    EXPECT_TRUE(pieces_.empty());
}

// Redirected, a failed write drops the rest and the last error stays what it was.
TEST_F(ConsoleTest, FailedRedirectedWriteDropsTheRestAndKeepsTheLastError) {
    faults_.Fail<Api::WriteFile>(FALSE, ERROR_DISK_FULL, Nth(2));
    const std::wstring text(3 * 8192, L'r');
    SetLastError(0xdeadbeef);
    WriteToStream(STD_OUTPUT_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(Redirected(), std::string(8192, 'r'));
    EXPECT_EQ(ImportFaults::Calls(Api::WriteFile), 2u);
}

TEST_F(ConsoleTest, NoStreamOrNoTextWritesNothing) {
    faults_.Answer<Api::GetStdHandle>([](DWORD) { return INVALID_HANDLE_VALUE; });
    WriteToStream(STD_ERROR_HANDLE, L"lost", 4);
    faults_.Answer<Api::GetStdHandle>([](DWORD) -> HANDLE { return nullptr; });
    WriteToStream(STD_ERROR_HANDLE, L"lost", 4);
    EXPECT_EQ(ImportFaults::Calls(Api::GetConsoleMode), 0u);
    EXPECT_TRUE(pieces_.empty());
    EXPECT_EQ(ImportFaults::Calls(Api::WriteFile), 0u);
}

}  // namespace
