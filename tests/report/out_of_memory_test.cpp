// Every allocation of the report in turn fails (the machine's "ToolAllocation" fault): each
// out-of-memory branch is taken, and none crashes or writes a broken log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "app/account_check.h"
#include "report/report_log.h"
#include "support/machine_fixture.h"

namespace {

class OutOfMemoryTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        SYSTEMTIME time = {2019, 3, 5, 1, 12, 5, 9, 0};
        machine().SetClock(time);
    }
    void FailAllocation(unsigned nth) {
        machine().FailCall("ToolAllocation", ERROR_NOT_ENOUGH_MEMORY, nth);
    }
    std::string LogPath() const { return workDir() + "/skelvane.txt"; }
};

const char Banner[] =
    "\r\n###########################################\r\nLog start time: 2019.03.01 12:05.09"
    "\r\n###########################################\r\n";

// The Nth allocation of a run's start fails, for every N until the run needs no more.
TEST_F(OutOfMemoryTest, EachAllocationOfTheStartFailsInTurn) {
    std::set<std::string> outcomes;
    const std::wstring longText(400, L'x');
    unsigned nth = 0;
    for (; nth < 50; ++nth) {
        unlink(LogPath().c_str());
        FailAllocation(nth);
        CapturedStreams streams;
        const bool opened = OpenReportLog(WindowsPath("skelvane.exe").c_str());
        if (opened) {
            g_reportLog->Print(L"\r\nmessage %d %s", 1, longText.c_str());  // grows both buffers
            delete g_reportLog;
            g_reportLog = nullptr;
        }
        const bool hit = !machine().FaultPending("ToolAllocation");
        const std::string out = streams.Stdout();
        if (!hit) {
            EXPECT_TRUE(opened);
            break;
        }
        if (!opened) {
            // Before the log exists: fatal, and no file is left half made.
            EXPECT_EQ(out, "Fatal error: Out of memory") << nth;
            outcomes.insert(out);
            continue;
        }
        const std::string log = DecodeUtf16Log(ReadHostFile(LogPath()));
        // Whatever was lost, the log is whole UTF-16 that begins with its byte order mark.
        EXPECT_EQ(log.compare(0, 3, "\xEF\xBB\xBF"), 0) << nth;
        if (out == "Error in GetFileVersionInfo: 8\n") {
            outcomes.insert(out);
        } else if (log.find(Banner) == std::string::npos) {
            outcomes.insert("banner dropped");
        } else if (log.find("message 1") == std::string::npos) {
            // Not formatted at all, or formatted but not encoded for the log.
            const bool shown = streams.Stderr().find("message 1") != std::string::npos;
            outcomes.insert(shown ? "message on the console only" : "message dropped");
        }
    }
    EXPECT_LT(nth, 50u) << "the run never stopped allocating";
    EXPECT_EQ(outcomes, (std::set<std::string>{"Fatal error: Out of memory",
                                               "Error in GetFileVersionInfo: 8\n", "banner dropped",
                                               "message dropped", "message on the console only"}));
}

TEST_F(OutOfMemoryTest, ScratchBufferThatCannotGrowDropsOneMessage) {
    CapturedStreams streams;
    ASSERT_TRUE(OpenReportLog(WindowsPath("skelvane.exe").c_str()));
    const size_t before = ReadHostFile(LogPath()).size();
    const std::wstring longText(5000, L'x');
    FailAllocation(0);
    EXPECT_FALSE(g_reportLog->Print(L"%s", longText.c_str()));
    EXPECT_EQ(ReadHostFile(LogPath()).size(), before);
    EXPECT_TRUE(g_reportLog->Print(L"short"));
    EXPECT_EQ(DecodeUtf16Log(ReadHostFile(LogPath()).substr(before)), "short");
    EXPECT_EQ(streams.Stderr(), "FileVersion of this tool: 1.0.0.0\nshort");
}

// A failed log write is reported from inside the message's own print, in a block of its own:
// when that block cannot be had, the report is lost and the message still reaches the console.
TEST_F(OutOfMemoryTest, FailureReportWithoutMemoryIsDroppedAndTheMessageShown) {
    CapturedStreams streams;
    ASSERT_TRUE(OpenReportLog(WindowsPath("skelvane.exe").c_str()));
    g_reportLog->Print(L"%s", std::wstring(100, L'x').c_str());  // the buffers need not grow
    standin::Fault fault;
    fault.function = "WriteFile";
    fault.object = "skelvane.txt";
    fault.error = ERROR_DISK_FULL;
    machine().AddFault(fault);
    FailAllocation(0);
    EXPECT_TRUE(g_reportLog->Print(L"\r\nmessage"));
    EXPECT_FALSE(machine().FaultPending("ToolAllocation"));
    EXPECT_EQ(streams.Stderr(),
              "FileVersion of this tool: 1.0.0.0\n" + std::string(100, 'x') + "\r\nmessage");
}

TEST_F(OutOfMemoryTest, TokenInformationThatCannotBeAllocatedIsNotLocalSystem) {
    machine().SetLocalSystem(true);
    FailAllocation(0);
    EXPECT_FALSE(IsLocalSystem());
    EXPECT_FALSE(machine().FaultPending("ToolAllocation"));
}

}  // namespace
