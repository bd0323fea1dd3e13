// The PKI cache clean on real folders and files: what is found where the cache should be, what the
// platform refuses to delete, the listing breaking off, and the folders on the way that are links
// or cannot be looked at. The application-data folder is a scratch folder of the test's own.
#include "cache/pki_cache.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

const wchar_t* const CacheFiles[] = {L"a.crl", L"b.crl", L"c.crl"};

class PkiCacheTest : public testing::Test {
  protected:
    void SetUp() override {
        std::wstring path = appData_.Path();
        for (const wchar_t* part : {L"TOLV", L"TOLV Security", L"PKI", L"ctl"}) {
            path += L"\\";
            path += part;
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
        }
        cache_ = path;
        Restock();
        AnswerAppData();
    }

    // The three files of two bytes each, and nothing else planned for the code under test.
    void Restock() {
        for (const wchar_t* name : CacheFiles) {
            SetFileAttributesW(File(name).c_str(), FILE_ATTRIBUTE_NORMAL);
            WriteFileBytes(File(name), "12");
        }
    }

    void AnswerAppData() {
        const std::wstring folder = appData_.Path();
        faults_.Answer<Api::SHGetSpecialFolderPathW>(
            [folder](HWND, LPWSTR path, int csidl, BOOL create) -> BOOL {
                EXPECT_EQ(csidl, CSIDL_COMMON_APPDATA);
                EXPECT_FALSE(create);
                wcscpy(path, folder.c_str());
                return TRUE;
            });
    }

    std::wstring File(const wchar_t* name) const { return cache_ + L"\\" + name; }

    // Runs `action` with the run's log open in a folder of its own; the standard error it printed
    // (the log opening's own lines left out), and the log holds the same text.
    std::string Output(const std::function<void()>& action) {
        ScratchFolder logFolder;
        const std::wstring logPath = logFolder / L"skelvane.txt";
        {
            CapturedStreams opening(faults_);
            g_reportLog = new ReportLog(logPath.c_str());
        }
        std::string output;
        {
            CapturedStreams streams(faults_);
            action();
            delete g_reportLog;
            g_reportLog = nullptr;
            output = streams.Stderr();
        }
        const std::string log = Utf8FromUtf16Bytes(ReadFileBytes(logPath));
        EXPECT_NE(log.find(output), std::string::npos) << log;
        return output;
    }

    std::string Clean() { return Output(CleanPkiCache); }

    // The files left in the cache, as a string of their first letters.
    std::string Kept() const {
        std::string kept;
        for (const wchar_t* name : CacheFiles) {
            if (FileExists(File(name))) {
                kept += static_cast<char>(name[0]);
            }
        }
        return kept;
    }

    std::string AppData() const { return Utf8(appData_.Path()); }
    std::string Cache() const { return Utf8(cache_); }
    std::string Start() const {
        return "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
               "\"\n    PKI cache directory \"" + Cache() + "\" content:\n";
    }

    ImportFaults faults_;
    ScratchFolder appData_;
    std::wstring cache_;
};

// GetFileAttributesW of the code under test sees `attributes` (with `error`) for the one path that
// ends in `suffix`, and the real folder everywhere else.
void AnswerAttributes(ImportFaults& faults, const std::wstring& suffix, DWORD attributes,
                      DWORD error) {
    faults.Answer<Api::GetFileAttributesW>([=](LPCWSTR path) {
        const std::wstring name = path;
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            SetLastError(error);
            return attributes;
        }
        return ImportFaults::Real<Api::GetFileAttributesW>(path);
    });
}

TEST_F(PkiCacheTest, AllFilesDeletedThenAlreadyClean) {
    EXPECT_EQ(Clean(), Start() +
                           "      a.crl   2 bytes\n      b.crl   2 bytes\n      c.crl   2 bytes\n"
                           "\n    Successfully cleaned\n\n");
    EXPECT_EQ(Kept(), "");
    EXPECT_EQ(Clean(), Start() + "\n    Already clean\n\n");
}

// The platform itself refuses one file: its own line, the others go.
TEST_F(PkiCacheTest, FileThePlatformWillNotDeleteIsReportedAndKept) {
    const std::string refused = Start() +
                                "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot "
                                "delete file \"" +
                                Cache() +
                                "\\b.crl\"\n      c.crl   2 bytes\n\n    Failed to delete 1 "
                                "file(s)\n\n";
    {
        SCOPED_TRACE("held open by the test without sharing");
        HANDLE held = CreateFileW(File(L"b.crl").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Clean(), refused);
        EXPECT_EQ(Kept(), "b");
        CloseHandle(held);
    }
    {
        SCOPED_TRACE("read-only");
        Restock();
        ASSERT_TRUE(SetFileAttributesW(File(L"b.crl").c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(Clean(), refused);
        EXPECT_EQ(Kept(), "b");
    }
}

TEST_F(PkiCacheTest, ListingFailures) {
    struct Case {
        const char* what;
        std::function<void(ImportFaults&)> arrange;
        std::string tail;  // after the heading of the listing
        const char* kept;
        unsigned searchesClosed;
    };
    const Case cases[] = {
        {"the listing cannot start",
         [](ImportFaults& faults) {
             faults.Fail<Api::FindFirstFileW>(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
         },
         "\n    FindFirstFile problem\n\n", "abc", 0},
        // "." and ".." come first (on NTFS and on Wine), then the files by name.
        {"the listing breaks off after the first file: the summary is over what was seen",
         [](ImportFaults& faults) {
             faults.Fail<Api::FindNextFileW>(FALSE, ERROR_GEN_FAILURE, Nth(3));
         },
         "      a.crl   2 bytes\n\n    FindNextFile problem\n\n    Successfully cleaned\n\n", "bc",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        Restock();
        c.arrange(faults_);
        EXPECT_EQ(Clean(), Start() + c.tail);
        EXPECT_EQ(Kept(), c.kept);
        EXPECT_EQ(ImportFaults::Calls(Api::FindClose), c.searchesClosed);
    }
}

// Nothing is deleted unless the cache is a real folder reached through real folders: a link on the
// way could lead the clean, run as an administrator, into any folder. Wine cannot make a link
// (CreateSymbolicLinkW is a stub), so the links are the attributes a folder link has on Windows
// (directory and reparse point); the e2e scenarios meet real ones.
TEST_F(PkiCacheTest, CacheLocationsThatAreNotEmptied) {
    const std::string linkAttributes = "0x00000410, gle: 0x00000000)\n";
    struct Case {
        const char* what;
        std::function<void(ImportFaults&)> arrange;
        std::string output;
    };
    const Case cases[] = {
        {"a folder on the way is a link",
         [](ImportFaults& faults) {
             AnswerAttributes(faults, L"\\TOLV Security", 0x410, ERROR_SUCCESS);
         },
         "error:     Something is wrong with \"" + AppData() +
             "\\TOLV\\TOLV Security\" (attr: " + linkAttributes},
        {"the cache is a link",
         [](ImportFaults& faults) { AnswerAttributes(faults, L"\\ctl", 0x410, ERROR_SUCCESS); },
         "error:     Something is wrong with \"" + Cache() + "\" (attr: " + linkAttributes},
        {"a folder on the way cannot be looked at: refused like a link",
         [](ImportFaults& faults) {
             AnswerAttributes(faults, L"\\TOLV Security", INVALID_FILE_ATTRIBUTES,
                              ERROR_ACCESS_DENIED);
         },
         "error:     Something is wrong with \"" + AppData() +
             "\\TOLV\\TOLV Security\" (attr: 0xffffffff, gle: 0x00000005)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        c.arrange(faults_);
        EXPECT_EQ(Clean(), "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
                               "\"\n" + c.output);
        EXPECT_EQ(Kept(), "abc");
        EXPECT_EQ(ImportFaults::Calls(Api::FindFirstFileW), 0u);
        EXPECT_EQ(ImportFaults::Calls(Api::DeleteFileW), 0u);
    }
}

TEST_F(PkiCacheTest, NoCacheOrAFileInItsPlace) {
    for (const wchar_t* name : CacheFiles) {
        ASSERT_TRUE(DeleteFileW(File(name).c_str()));
    }
    ASSERT_TRUE(RemoveDirectoryW(cache_.c_str()));
    const std::string heading =
        "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() + "\"\n";
    EXPECT_EQ(Clean(),
              heading + "    OK - PKI cache does not exist at \"" + Cache() + "\" (0x00000002)\n");

    WriteFileBytes(cache_, "not a folder");
    // What the last error holds after a successful look is whatever came before: not compared.
    const std::string output =
        std::regex_replace(Clean(), std::regex("gle: 0x[0-9a-f]{8}"), "gle: -");
    EXPECT_EQ(output, heading + "error:     Something is wrong with \"" + Cache() +
                          "\" (attr: 0x00000020, gle: -)\n");
    EXPECT_EQ(ReadFileBytes(cache_), "not a folder");
}

TEST_F(PkiCacheTest, ApplicationDataFolderUnknownOrTooLong) {
    faults_.Fail<Api::SHGetSpecialFolderPathW>(FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Clean(),
              "\nClean PKI cache...\nerror: \n    Cannot determine location of "
              "CSIDL_COMMON_APPDATA (0x00000002)");

    // The folder and the cache's place below it must fit MAX_PATH characters together.
    const std::wstring suffix = L"\\TOLV\\TOLV Security\\PKI\\ctl";
    for (size_t length : {MAX_PATH - suffix.size(), MAX_PATH + 1 - suffix.size()}) {
        SCOPED_TRACE(length);
        const std::wstring folder = L"C:\\" + std::wstring(length - 3, L'x');
        faults_.Answer<Api::SHGetSpecialFolderPathW>([folder](HWND, LPWSTR path, int, BOOL) {
            wcscpy(path, folder.c_str());
            return TRUE;
        });
        const std::string heading =
            "\nClean PKI cache...\n    ProgramData directory: \"" + Utf8(folder) + "\"\n";
        if (length + suffix.size() == MAX_PATH) {
            EXPECT_EQ(Clean(), heading + "    OK - PKI cache does not exist at \"" +
                                   Utf8(folder + suffix) + "\" (0x00000003)\n");
        } else {
            EXPECT_EQ(Clean(), heading + "error:     PKI cache path is too long: \"" +
                                   Utf8(folder + suffix) + "\" (261 characters, at most 260)\n");
        }
    }
}

// The limit of a listed path, reached directly: 257 characters are listed, 258 refused.
TEST_F(PkiCacheTest, ListingPathLimit) {
    for (size_t length : {257u, 258u}) {
        SCOPED_TRACE(length);
        const std::wstring work = appData_.Path() + L"\\";
        ASSERT_LT(work.size(), length);
        const std::wstring directory = work + std::wstring(length - work.size(), L'd');
        // Beyond what CreateDirectoryW takes without the long-path prefix on Windows.
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + directory).c_str(), nullptr)) << GetLastError();
        WriteFileBytes(L"\\\\?\\" + directory + L"\\f", "1");
        const std::string output = Output([&] { EmptyCacheDirectory(directory.c_str()); });
        if (length == 258) {
            EXPECT_EQ(output, "error: \n    Directory path is too long.\n");
            EXPECT_TRUE(FileExists(L"\\\\?\\" + directory + L"\\f"));
        } else {
            EXPECT_EQ(output, "    PKI cache directory \"" + Utf8(directory) +
                                  "\" content:\n      f   1 bytes\n\n    Successfully cleaned\n");
            EXPECT_FALSE(FileExists(L"\\\\?\\" + directory + L"\\f"));
        }
    }
}

}  // namespace
