// The stand-in's file attributes, listing, deletion and application-data folder: the answers
// Wine gives (attributes, order, read-only refusal) and Windows gives (links), with their codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "support/machine_fixture.h"
#include "text.h"

namespace {

constexpr DWORD Sentinel = 0xdeadbeef;

class DirectoryTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(mkdir((workDir() + "/folder").c_str(), 0755), 0);
    }
    std::string Host(const std::string& name) const { return workDir() + "/" + name; }
    void Write(const std::string& name, const std::string& bytes) {
        WriteHostFile(Host(name), bytes);
    }
    bool Exists(const std::string& name) const {
        struct stat info;
        return lstat(Host(name).c_str(), &info) == 0;
    }

    struct Listed {
        std::string name;
        DWORD attributes;
        uint64_t size;
    };
    // Everything FindFirstFileW/FindNextFileW give for `pattern`, and the last error at the end.
    std::vector<Listed> List(const std::string& pattern, DWORD* endError) {
        std::vector<Listed> listed;
        WIN32_FIND_DATAW data;
        SetLastError(Sentinel);
        HANDLE search = FindFirstFileW(WindowsPath(pattern).c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) {
            *endError = GetLastError();
            return listed;
        }
        do {
            listed.push_back(
                {standin::Utf8FromWide(data.cFileName), data.dwFileAttributes,
                 (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
        } while (FindNextFileW(search, &data));
        *endError = GetLastError();
        EXPECT_TRUE(FindClose(search));
        return listed;
    }
};

TEST_F(DirectoryTest, AttributesAsWineAndWindowsReportThem) {
    Write("folder/plain.txt", "x");
    Write("folder/locked.txt", "x");
    chmod(Host("folder/locked.txt").c_str(), 0444);
    ASSERT_EQ(mkdir(Host("folder/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Host("folder/sub").c_str(), Host("folder/to-folder").c_str()), 0);
    ASSERT_EQ(symlink(Host("folder/plain.txt").c_str(), Host("folder/to-file").c_str()), 0);
    ASSERT_EQ(symlink(Host("nowhere").c_str(), Host("folder/dangling").c_str()), 0);
    struct Case {
        const char* name;
        DWORD attributes;
        DWORD error;  // the last error: untouched on success
    };
    const Case cases[] = {
        {"folder", FILE_ATTRIBUTE_DIRECTORY, Sentinel},
        {"folder/plain.txt", FILE_ATTRIBUTE_ARCHIVE, Sentinel},
        {"folder/locked.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, Sentinel},
        {"folder/to-folder", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, Sentinel},
        {"folder/to-file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, Sentinel},
        {"folder/dangling", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, Sentinel},
        {"folder/missing", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
        {"missing/missing", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {"folder/plain.txt/x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(Sentinel);
        EXPECT_EQ(GetFileAttributesW(WindowsPath(c.name).c_str()), c.attributes) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    chmod(Host("folder/locked.txt").c_str(), 0644);
}

TEST_F(DirectoryTest, ListingGivesDotsFirstThenWinesOrderWithFullSizes) {
    Write("folder/b.txt", "bb");
    Write("folder/A.txt", "a");
    Write("folder/_last", "");
    ASSERT_EQ(mkdir(Host("folder/sub").c_str(), 0755), 0);
    ASSERT_EQ(truncate(Host("folder/b.txt").c_str(), 5000000000LL), 0);
    ASSERT_EQ(symlink(Host("folder/sub").c_str(), Host("folder/link").c_str()), 0);
    DWORD endError = 0;
    std::vector<Listed> listed = List("folder\\*", &endError);
    EXPECT_EQ(endError, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    const Listed expected[] = {
        {".", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"..", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"A.txt", FILE_ATTRIBUTE_ARCHIVE, 1},
        {"b.txt", FILE_ATTRIBUTE_ARCHIVE, 5000000000ULL},
        {"link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0},
        {"sub", FILE_ATTRIBUTE_DIRECTORY, 0},
        {"_last", FILE_ATTRIBUTE_ARCHIVE, 0},  // '_' sorts after the letters folded up
    };
    ASSERT_EQ(listed.size(), std::size(expected));
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].name, expected[i].name) << i;
        EXPECT_EQ(listed[i].attributes, expected[i].attributes) << listed[i].name;
        EXPECT_EQ(listed[i].size, expected[i].size) << listed[i].name;
    }
}

TEST_F(DirectoryTest, ListingFailuresAndPatterns) {
    Write("folder/one.crl", "1");
    Write("folder/two.txt", "2");
    DWORD endError = 0;
    std::vector<Listed> listed = List("folder\\*.CRL", &endError);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "one.crl");
    struct Case {
        const char* pattern;
        DWORD error;
    };
    const Case failures[] = {
        {"folder\\*.zz", ERROR_FILE_NOT_FOUND},
        {"missing\\*", ERROR_PATH_NOT_FOUND},
        {"folder\\one.crl\\*", ERROR_INVALID_NAME},  // as Wine answers a listing inside a file
    };
    for (const auto& c : failures) {
        EXPECT_TRUE(List(c.pattern, &endError).empty()) << c.pattern;
        EXPECT_EQ(endError, c.error) << c.pattern;
    }
}

TEST_F(DirectoryTest, EntriesDeletedDuringTheListingAreNotGivenOut) {
    for (const char* name : {"a", "b", "c"}) {
        Write(std::string("folder/") + name, "x");
    }
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(WindowsPath("folder\\*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    ASSERT_EQ(unlink(Host("folder/b").c_str()), 0);
    std::vector<std::string> names;
    while (FindNextFileW(search, &data)) {
        names.push_back(standin::Utf8FromWide(data.cFileName));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"..", "a", "c"}));
    EXPECT_TRUE(FindClose(search));
    SetLastError(Sentinel);
    EXPECT_FALSE(FindClose(search));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DirectoryTest, DeletionRefusalsCarryWindowsCodes) {
    Write("folder/locked.txt", "x");
    chmod(Host("folder/locked.txt").c_str(), 0444);
    Write("folder/open.txt", "x");
    HANDLE held = CreateFileW(WindowsPath("folder/open.txt").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_EQ(mkdir(Host("folder/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(Host("folder/sub").c_str(), Host("folder/to-folder").c_str()), 0);
    struct Case {
        const char* name;
        DWORD error;
    };
    // A read-only file is refused even for root, as Wine refuses it.
    const Case refusals[] = {
        {"folder/locked.txt", ERROR_ACCESS_DENIED}, {"folder/open.txt", ERROR_SHARING_VIOLATION},
        {"folder/sub", ERROR_ACCESS_DENIED},        {"folder/to-folder", ERROR_ACCESS_DENIED},
        {"folder/missing", ERROR_FILE_NOT_FOUND},   {"missing/missing", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : refusals) {
        SetLastError(Sentinel);
        EXPECT_FALSE(DeleteFileW(WindowsPath(c.name).c_str())) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_TRUE(Exists(c.name) || c.error == ERROR_FILE_NOT_FOUND ||
                    c.error == ERROR_PATH_NOT_FOUND)
            << c.name;
    }
    EXPECT_TRUE(CloseHandle(held));
    SetLastError(Sentinel);
    EXPECT_TRUE(DeleteFileW(WindowsPath("folder/open.txt").c_str()));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_FALSE(Exists("folder/open.txt"));
    chmod(Host("folder/locked.txt").c_str(), 0644);
}

TEST_F(DirectoryTest, DeletingALinkLeavesItsTarget) {
    Write("target.txt", "keep");
    ASSERT_EQ(symlink(Host("target.txt").c_str(), Host("folder/link").c_str()), 0);
    EXPECT_TRUE(DeleteFileW(WindowsPath("folder/link").c_str()));
    EXPECT_FALSE(Exists("folder/link"));
    EXPECT_EQ(ReadHostFile(Host("target.txt")), "keep");
}

TEST_F(DirectoryTest, EveryCallCanBeMadeToFail) {
    Write("folder/a.txt", "x");
    WIN32_FIND_DATAW data;
    machine().FailCall("GetFileAttributesW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetFileAttributesW(WindowsPath("folder").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    machine().FailCall("FindFirstFileW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(FindFirstFileW(WindowsPath("folder\\*").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    machine().FailCall("FindNextFileW", ERROR_GEN_FAILURE);
    machine().FailCall("FindClose", ERROR_INVALID_HANDLE);
    HANDLE search = FindFirstFileW(WindowsPath("folder\\*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(FindClose(search));
    EXPECT_TRUE(FindClose(search));
    machine().FailCall("DeleteFileW", ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileW(WindowsPath("folder/a.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Exists("folder/a.txt"));
}

class AppDataFolderTest : public MachineTest {
  protected:
    // The call's result, what it wrote (up to the first terminator) and the last error.
    BOOL Ask(std::wstring* path, BOOL create = FALSE) {
        buffer_.assign(MAX_PATH + 1, L'#');
        SetLastError(Sentinel);
        BOOL found = SHGetSpecialFolderPathW(nullptr, buffer_.data(), CSIDL_COMMON_APPDATA, create);
        *path = found ? std::wstring(buffer_.c_str()) : std::wstring();
        return found;
    }
    std::wstring buffer_;
};

TEST_F(AppDataFolderTest, NewMachineHasProgramData) {
    std::wstring path;
    EXPECT_TRUE(Ask(&path));
    EXPECT_EQ(path, L"C:\\ProgramData");
    EXPECT_EQ(GetLastError(), Sentinel);
}

TEST_F(AppDataFolderTest, MovedFolderMustExistUnlessCreated) {
    std::wstring path;
    machine().SetCommonAppDataFolder(L"C:\\Data");
    EXPECT_FALSE(Ask(&path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    machine().SetCommonAppDataFolder(L"C:\\Data\\Shared");
    EXPECT_FALSE(Ask(&path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Ask(&path, TRUE));
    EXPECT_EQ(path, L"C:\\Data\\Shared");
    EXPECT_EQ(GetFileAttributesW(L"C:\\Data\\Shared"),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(AppDataFolderTest, LongestAnswerFillsMaxPathAndNoMore) {
    std::wstring path;
    const std::wstring longest = L"C:\\" + std::wstring(200, L'a') + L"\\" + std::wstring(55, L'b');
    ASSERT_EQ(longest.size(), static_cast<size_t>(MAX_PATH - 1));
    machine().SetCommonAppDataFolder(longest);
    EXPECT_TRUE(Ask(&path, TRUE));
    EXPECT_EQ(path, longest);
    EXPECT_EQ(buffer_[MAX_PATH], L'#');
    machine().SetCommonAppDataFolder(longest + L"c");
    EXPECT_FALSE(Ask(&path, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(buffer_, std::wstring(MAX_PATH + 1, L'#'));
}

TEST_F(AppDataFolderTest, FaultAndSetting) {
    std::wstring path;
    machine().FailCall("SHGetSpecialFolderPathW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Ask(&path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(machine().Configure("appdata", "C:\\windows"));
    EXPECT_FALSE(machine().Configure("appdata", ""));
    EXPECT_TRUE(Ask(&path));
    EXPECT_EQ(path, L"C:\\windows");
}

}  // namespace
