// Every allocation of the report in turn fails: each out-of-memory branch is taken, and none
// crashes or writes a broken log.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/account_check.h"
#include "report/console_output.h"
#include "report/report_log.h"
#include "report_fixture.h"
#include "support/windows/guarded_heap.h"

namespace {

class OutOfMemoryTest : public ReportTest {
  protected:
    void SetUp() override {
        ReportTest::SetUp();
        // The console's conversion buffer lives for the whole run and grows to its largest piece
        // once; grown here, its growth is no allocation of these tests.
        {
            CapturedStreams warmUp(faults_);
            const std::wstring widest(8192, L'\x20AC');  // three bytes each in UTF-8
            WriteToStream(STD_ERROR_HANDLE, widest.data(), widest.size());
        }
        streams_ = std::make_unique<CapturedStreams>(faults_);
    }
    void TearDown() override {
        guarded_heap::Reset();
        ReportTest::TearDown();
    }
};

// The Nth allocation of a run's start fails, for every N until the run needs no more.
TEST_F(OutOfMemoryTest, EachAllocationOfTheStartFailsInTurn) {
    std::set<std::string> outcomes;
    const std::wstring longText(400, L'x');
    unsigned nth = 1;
    for (; nth < 50; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth);
        DeleteFileW(LogPath().c_str());
        CapturedStreams streams(faults_);
        guarded_heap::FailAllocations(nth, false);
        const bool opened = OpenReportLog(ExePath().c_str());
        if (opened) {
            g_reportLog->Print(L"\r\nmessage %d %s", 1, longText.c_str());  // grows the buffer
            CloseLog();
        }
        const bool hit = !guarded_heap::AllocationFailurePending();
        guarded_heap::Reset();
        const std::string out = streams.Stdout();
        if (!hit) {
            EXPECT_TRUE(opened);
            break;
        }
        if (!opened) {
            // Before the log exists: fatal, and no file is left half made.
            EXPECT_EQ(out, "Fatal error: Out of memory");
            EXPECT_FALSE(FileExists(LogPath()));
            outcomes.insert(out);
            continue;
        }
        // Whatever was lost, the log is whole UTF-16 that begins with its byte order mark.
        const std::string bytes = LogBytes();
        EXPECT_EQ(bytes.size() % 2, 0u);
        EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
        const std::string log = Utf8FromUtf16Bytes(bytes);
        if (out == "Error in GetFileVersionInfo: 8\n") {
            outcomes.insert(out);
        } else if (log.find(StartBanner) == std::string::npos) {
            outcomes.insert("banner dropped");
        } else if (log.find("message 1") == std::string::npos) {
            EXPECT_EQ(streams.Stderr().find("message 1"), std::string::npos);
            outcomes.insert("message dropped");
        }
    }
    EXPECT_LT(nth, 50u) << "the run never stopped allocating";
    // Where wchar_t is 16 bits the log takes the message's text as it stands: no buffer of
    // encoded text, whose failure would leave the message on the console only.
    EXPECT_EQ(outcomes, (std::set<std::string>{"Fatal error: Out of memory",
                                               "Error in GetFileVersionInfo: 8\n", "banner dropped",
                                               "message dropped"}));
}

TEST_F(OutOfMemoryTest, ScratchBufferThatCannotGrowDropsOneMessage) {
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    const std::wstring longText(5000, L'x');
    guarded_heap::FailAllocations(1, false);
    EXPECT_FALSE(g_reportLog->Print(L"%s", longText.c_str()));
    EXPECT_FALSE(guarded_heap::AllocationFailurePending());
    EXPECT_TRUE(g_reportLog->Print(L"short"));
    CloseLog();
    EXPECT_EQ(streams_->Stderr(), std::string(VersionLine) + "short");
    EXPECT_EQ(LogText(),
              "\xEF\xBB\xBF" + std::string(StartBanner) + VersionLine + "short" + EndBanner);
}

// A failed log write is reported from inside the message's own print, in a block of its own:
// when that block cannot be had, the report is lost and the message still reaches the console.
TEST_F(OutOfMemoryTest, FailureReportWithoutMemoryIsDroppedAndTheMessageShown) {
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    g_reportLog->Print(L"%s", std::wstring(100, L'x').c_str());  // the buffer need not grow
    AnswerLogWrites([](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    });
    guarded_heap::FailAllocations(1, false);
    EXPECT_TRUE(g_reportLog->Print(L"\r\nmessage"));
    EXPECT_FALSE(guarded_heap::AllocationFailurePending());
    EXPECT_EQ(streams_->Stderr(), std::string(VersionLine) + std::string(100, 'x') + "\r\nmessage");
}

// The token's user answered as LocalSystem, which Wine's token never is.
BOOL AnswerLocalSystemUser(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                           DWORD size, PDWORD needed) {
    if (kind != TokenUser) {
        return ImportFaults::Real<Api::GetTokenInformation>(token, kind, information, size, needed);
    }
    struct LocalSystemUser {
        TOKEN_USER user;
        SID sid;  // one sub-authority: S-1-5-18
    };
    *needed = sizeof(LocalSystemUser);
    if (information == nullptr || size < sizeof(LocalSystemUser)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* answer = static_cast<LocalSystemUser*>(information);
    answer->sid = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    answer->user.User.Sid = &answer->sid;
    answer->user.User.Attributes = 0;
    return TRUE;
}

TEST_F(OutOfMemoryTest, TokenInformationThatCannotBeAllocatedIsNotLocalSystem) {
    faults_.Answer<Api::GetTokenInformation>(AnswerLocalSystemUser);
    ASSERT_TRUE(IsLocalSystem());
    guarded_heap::FailAllocations(1, false);
    EXPECT_FALSE(IsLocalSystem());
    EXPECT_FALSE(guarded_heap::AllocationFailurePending());
}

}  // namespace
