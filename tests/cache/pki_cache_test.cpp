// The PKI cache clean where the platform fails under it: the listing, the deletion and the
// look at the folders on the way. The machine's ordinary states are played end to end.
#include "cache/pki_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "text.h"

namespace {

const std::string Start =
    "\nClean PKI cache...\n    ProgramData directory: \"C:\\ProgramData\"\n"
    "    PKI cache directory \"C:\\ProgramData\\TOLV\\TOLV Security\\PKI\\ctl\" content:\n";

class PkiCacheTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        cache_ = machine().Prefix() + "/drive_c/ProgramData/TOLV/TOLV Security/PKI/ctl";
        for (size_t slash = cache_.find('/', 1);; slash = cache_.find('/', slash + 1)) {
            mkdir(cache_.substr(0, slash).c_str(), 0755);
            if (slash == std::string::npos) {
                break;
            }
        }
        for (const char* name : {"a.crl", "b.crl", "c.crl"}) {
            WriteHostFile(cache_ + "/" + name, "12");
        }
    }

    std::string Clean() {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        CleanPkiCache();
        return streams.Stderr();
    }

    bool Exists(const char* name) const {
        struct stat info;
        return stat((cache_ + "/" + name).c_str(), &info) == 0;
    }

    std::string cache_;
};

TEST_F(PkiCacheTest, PlatformFailures) {
    struct Case {
        const char* what;
        std::function<void(standin::Machine&)> arrange;
        std::string output;
        const char* kept;  // the files left, as a string of their first letters
    };
    const Case cases[] = {
        {"the listing cannot start",
         [](standin::Machine& machine) { machine.FailCall("FindFirstFileW", ERROR_ACCESS_DENIED); },
         Start + "\n    FindFirstFile problem\n\n", "abc"},
        {"the listing breaks off after the first file: the summary is over what was seen",
         [](standin::Machine& machine) { machine.FailCall("FindNextFileW", ERROR_GEN_FAILURE, 2); },
         Start +
             "      a.crl   2 bytes\n\n    FindNextFile problem\n\n    Successfully cleaned\n\n",
         "bc"},
        {"a file the platform will not delete: its own line, the others go",
         [](standin::Machine& machine) {
             standin::Fault fault;
             fault.function = "DeleteFileW";
             fault.error = ERROR_SHARING_VIOLATION;
             fault.object = "/b.crl";
             machine.AddFault(fault);
         },
         Start +
             "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot delete file "
             "\"C:\\ProgramData\\TOLV\\TOLV Security\\PKI\\ctl\\b.crl\"\n      c.crl   2 bytes\n"
             "\n    Failed to delete 1 file(s)\n\n",
         "b"},
        {"a folder on the way that cannot be looked at is refused like a link",
         [](standin::Machine& machine) {
             standin::Fault fault;
             fault.function = "GetFileAttributesW";
             fault.error = ERROR_ACCESS_DENIED;
             fault.object = "/TOLV Security";
             machine.AddFault(fault);
         },
         "\nClean PKI cache...\n    ProgramData directory: \"C:\\ProgramData\"\nerror:     "
         "Something is wrong with \"C:\\ProgramData\\TOLV\\TOLV Security\" (attr: 0xffffffff, "
         "gle: 0x00000005)\n",
         "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.arrange(machine());
        EXPECT_EQ(Clean(), c.output);
        std::string kept;
        for (const char* name : {"a.crl", "b.crl", "c.crl"}) {
            if (Exists(name)) {
                kept += name[0];
            }
        }
        EXPECT_EQ(kept, c.kept);
    }
}

TEST_F(PkiCacheTest, FileHeldOpenWithoutSharingIsNotDeleted) {
    HANDLE held =
        CreateFileW(L"C:\\ProgramData\\TOLV\\TOLV Security\\PKI\\ctl\\c.crl", GENERIC_READ, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string output = Clean();
    EXPECT_NE(output.find("      c.crl   2 bytes\nerror: Cannot delete file "
                          "\"C:\\ProgramData\\TOLV\\TOLV Security\\PKI\\ctl\\c.crl\"\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("\n    Failed to delete 1 file(s)\n\n"), std::string::npos) << output;
    EXPECT_TRUE(Exists("c.crl"));
    EXPECT_FALSE(Exists("a.crl"));
    CloseHandle(held);
}

// The limit of a listed path, reached directly: 257 characters are listed, 258 refused.
TEST_F(PkiCacheTest, ListingPathLimit) {
    for (size_t length : {257u, 258u}) {
        SCOPED_TRACE(length);
        const std::wstring work = standin::WindowsPathOfHost(workDir()) + L"\\";
        const std::string name(length - work.size(), 'd');
        const std::wstring directory = work + std::wstring(name.begin(), name.end());
        ASSERT_EQ(directory.size(), length);
        ASSERT_EQ(mkdir((workDir() + "/" + name).c_str(), 0755), 0);
        WriteHostFile(workDir() + "/" + name + "/f", "1");
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        std::string output;
        {
            CapturedStreams streams;
            EmptyCacheDirectory(directory.c_str());
            output = streams.Stderr();
        }
        delete g_reportLog;
        g_reportLog = nullptr;
        if (length == 258) {
            EXPECT_EQ(output, "error: \n    Directory path is too long.\n");
        } else {
            EXPECT_EQ(output.substr(output.find(" content:\n")),
                      " content:\n      f   1 bytes\n\n    Successfully cleaned\n");
        }
    }
}

}  // namespace
