// The report on a real console: standard error is a pseudo-terminal, so the text goes out with
// WriteConsoleW, in pieces, and reaches the terminal whole.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "report/console_output.h"
#include "support/machine_fixture.h"

namespace {

class ConsoleTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        int terminal = open(ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        termios settings;
        ASSERT_EQ(tcgetattr(terminal, &settings), 0);
        cfmakeraw(&settings);  // the bytes as written, no line-end translation
        ASSERT_EQ(tcsetattr(terminal, TCSANOW, &settings), 0);
        fflush(stderr);
        savedError_ = dup(2);
        dup2(terminal, 2);
        close(terminal);
        reader_ = std::thread([this] {
            char buffer[4096];
            pollfd wait = {master_, POLLIN, 0};
            while (poll(&wait, 1, 500) > 0) {
                const ssize_t got = read(master_, buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                received_.append(buffer, static_cast<size_t>(got));
            }
        });
    }
    void TearDown() override {
        RestoreStandardError();
        MachineTest::TearDown();
    }
    // What the terminal received, once the writes are done.
    std::string Received() {
        RestoreStandardError();
        return received_;
    }

  private:
    void RestoreStandardError() {
        if (savedError_ >= 0) {
            dup2(savedError_, 2);
            close(savedError_);
            savedError_ = -1;
        }
        if (reader_.joinable()) {
            reader_.join();
            close(master_);
        }
    }

    int master_ = -1;
    int savedError_ = -1;
    std::thread reader_;
    std::string received_;
};

TEST_F(ConsoleTest, LongTextReachesTheConsoleWholeInPieces) {
    std::wstring text;
    std::string utf8;
    for (int i = 0; i < 9000; ++i) {  // more than one piece of 8192 characters
        text += i % 1000 == 999 ? L'\U0001F600' : static_cast<wchar_t>(L'a' + i % 26);
        utf8 += i % 1000 == 999 ? std::string("\xF0\x9F\x98\x80") : std::string(1, 'a' + i % 26);
    }
    SetLastError(0xdeadbeef);
    WriteToStream(STD_ERROR_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // a console write never disturbs what is reported
    EXPECT_EQ(Received(), utf8);
}

TEST_F(ConsoleTest, FailedConsoleWriteStopsTheRestOfTheText) {
    machine().FailCall("WriteConsoleW", ERROR_INVALID_HANDLE, 1);
    const std::wstring text(8192 + 10, L'z');
    WriteToStream(STD_ERROR_HANDLE, text.data(), text.size());
    EXPECT_EQ(Received(), std::string(8192, 'z'));
}

// Redirected, the text goes out as UTF-8 with WriteFile; a failed write drops the rest and the
// last error stays what it was.
TEST_F(MachineTest, FailedRedirectedWriteDropsTheRestAndKeepsTheLastError) {
    CapturedStreams streams;
    machine().FailCall("WriteFile", ERROR_DISK_FULL, 1);
    const std::wstring text(8192 + 10, L'r');
    SetLastError(0xdeadbeef);
    WriteToStream(STD_ERROR_HANDLE, text.data(), text.size());
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(streams.Stderr(), std::string(8192, 'r'));
}

}  // namespace
