// The log is written only where its path leads: what stands at the path is asked before the open,
// and the opened handle is checked before the first byte. Wine cannot make a link of its own, so
// what Windows shows for one (a reparse tag, a second link, a final path elsewhere) is answered
// through the fault layer; letter case, short names and a second drive letter are real.
#include "report/log_file_check.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "report_fixture.h"

namespace {

// An earlier run's log: the byte order mark and "e".
const std::string EarlierLog(
    "\xFF\xFE"
    "e\0",
    4);
const char Fatal[] = "Fatal error: While creating log file.";

// What the replaced newer kernel32 call answers; set by each test.
std::function<std::wstring(const std::wstring&)> g_finalPath;  // real final path -> answer

// The real final path, passed through g_finalPath; an empty answer is a failed query.
DWORD WINAPI AnswerFinalPath(HANDLE file, LPWSTR buffer, DWORD size, DWORD flags) {
    wchar_t real[1024];
    const DWORD length = GetFinalPathNameByHandleW(file, real, 1024, flags);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, 1024u);
    const std::wstring answer = g_finalPath(std::wstring(real, length));
    if (answer.empty()) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    if (size <= answer.size()) {
        return static_cast<DWORD>(answer.size() + 1);
    }
    wcscpy(buffer, answer.c_str());
    return static_cast<DWORD>(answer.size());
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           _wcsicmp(text.c_str() + text.size() - end.size(), end.c_str()) == 0;
}

class LogFileCheckTest : public ReportTest {
  protected:
    void SetUp() override {
        ReportTest::SetUp();
        g_finalPath = nullptr;
        faults_.Answer<Api::GetProcAddress>([this](HMODULE module, LPCSTR name) -> FARPROC {
            if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0) {
                auto found = lookups_.find(name);
                if (found != lookups_.end()) {
                    if (found->second == nullptr) {
                        SetLastError(ERROR_PROC_NOT_FOUND);
                    }
                    return found->second;
                }
            }
            return ImportFaults::Real<Api::GetProcAddress>(module, name);
        });
    }

    // The run's GetProcAddress of `name` finds `function` (null: not found, as before Vista).
    template <typename Function>
    void Lookup(const char* name, Function function) {
        lookups_[name] = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
    }
    void Lookup(const char* name, std::nullptr_t) { lookups_[name] = nullptr; }
    void AnswerFinalPaths(std::function<std::wstring(const std::wstring&)> answer) {
        g_finalPath = std::move(answer);
        Lookup("GetFinalPathNameByHandleW", &AnswerFinalPath);
    }

    // The run against an earlier log: logged to (the earlier text kept, one run appended) or
    // refused (the fatal line, the log as it was).
    void ExpectRun(bool logged, const std::wstring& exePath) {
        CapturedStreams streams(faults_);
        EXPECT_EQ(OpenReportLog(exePath.c_str()), logged);
        CloseLog();
        if (logged) {
            EXPECT_EQ(LogText(), Utf8ByteOrderMark + "e" + StartBanner + VersionLine + EndBanner);
            EXPECT_EQ(streams.Stdout(), "");
        } else {
            EXPECT_EQ(LogBytes(), EarlierLog);
            EXPECT_EQ(streams.Stdout(), Fatal);
            EXPECT_EQ(streams.Stderr(), "");
        }
    }
    void ExpectRun(bool logged) { ExpectRun(logged, ExePath()); }

    std::map<std::string, FARPROC> lookups_;
};

// A directory entry at the log path shown as a reparse point with the given tag.
TEST_F(LogFileCheckTest, OnlyLinksAtTheLogPathAreRefusedBeforeTheOpen) {
    struct Case {
        const char* what;
        DWORD tag;
        bool listed;  // FindFirstFileW finds the entry
        bool logged;
    };
    const Case cases[] = {
        {"symbolic link", IO_REPARSE_TAG_SYMLINK, true, false},
        {"mount point (junction)", IO_REPARSE_TAG_MOUNT_POINT, true, false},
        {"cloud placeholder", IO_REPARSE_TAG_CLOUD_6, true, true},
        {"deduplicated file", IO_REPARSE_TAG_DEDUP, true, true},
        {"no tag", 0, true, false},
        {"entry not listed", IO_REPARSE_TAG_CLOUD, false, false},
    };
    const std::wstring logPath = LogPath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(logPath, EarlierLog);
        faults_.Answer<Api::GetFileAttributesW>([logPath](LPCWSTR path) -> DWORD {
            const DWORD real = ImportFaults::Real<Api::GetFileAttributesW>(path);
            return logPath == path ? real | FILE_ATTRIBUTE_REPARSE_POINT : real;
        });
        faults_.Answer<Api::FindFirstFileW>(
            [logPath, c](LPCWSTR path, LPWIN32_FIND_DATAW found) -> HANDLE {
                EXPECT_EQ(logPath, path);
                if (!c.listed) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                HANDLE find = ImportFaults::Real<Api::FindFirstFileW>(path, found);
                found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                found->dwReserved0 = c.tag;
                return find;
            });
        const unsigned opensBefore = ImportFaults::Calls(Api::CreateFileW);
        ExpectRun(c.logged);
        if (!c.logged) {
            EXPECT_EQ(ImportFaults::Calls(Api::CreateFileW), opensBefore);  // not even tried
        }
        EXPECT_EQ(ImportFaults::Calls(Api::FindClose),
                  ImportFaults::Calls(Api::FindFirstFileW) - (c.listed ? 0u : 1u));
    }
}

// A plain file is asked nothing more before the open.
TEST_F(LogFileCheckTest, PlainLogIsNotListed) {
    WriteFileBytes(LogPath(), EarlierLog);
    ExpectRun(true);
    EXPECT_EQ(ImportFaults::Calls(Api::FindFirstFileW), 0u);
}

// An existing log is opened as it is; a new one is created only where no name stands: a dangling
// link (Windows' CREATE_NEW fails on it with ERROR_FILE_EXISTS, as Wine's does on a host link)
// gets nothing created, and a log another run created meanwhile is opened once more.
TEST_F(LogFileCheckTest, NewLogIsCreatedOnlyWhereNoNameStands) {
    struct Case {
        const char* what;
        bool exists;
        bool createdMeanwhile;  // by another run, as CREATE_NEW is tried
        bool nameTaken;         // CREATE_NEW fails though nothing can be opened
        std::vector<DWORD> dispositions;
        bool opened;
    };
    const Case cases[] = {
        {"existing log", true, false, false, {OPEN_EXISTING}, true},
        {"new log", false, false, false, {OPEN_EXISTING, CREATE_NEW}, true},
        {"created meanwhile", false, true, false, {OPEN_EXISTING, CREATE_NEW, OPEN_EXISTING}, true},
        {"dangling link", false, false, true, {OPEN_EXISTING, CREATE_NEW, OPEN_EXISTING}, false},
    };
    const std::wstring logPath = LogPath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(logPath.c_str());
        if (c.exists) {
            WriteFileBytes(logPath, EarlierLog);
        }
        std::vector<DWORD> dispositions;
        faults_.Answer<Api::CreateFileW>([&](LPCWSTR path, DWORD access, DWORD sharing,
                                             LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                             DWORD flags, HANDLE model) -> HANDLE {
            if (logPath != path) {
                return ImportFaults::Real<Api::CreateFileW>(path, access, sharing, security,
                                                            disposition, flags, model);
            }
            EXPECT_EQ(access, DWORD(GENERIC_WRITE));
            EXPECT_EQ(sharing, 0u);
            dispositions.push_back(disposition);
            if (disposition == CREATE_NEW && c.createdMeanwhile) {
                WriteFileBytes(logPath, EarlierLog);
            }
            if (disposition == CREATE_NEW && c.nameTaken) {
                SetLastError(ERROR_FILE_EXISTS);
                return INVALID_HANDLE_VALUE;
            }
            return ImportFaults::Real<Api::CreateFileW>(path, access, sharing, security,
                                                        disposition, flags, model);
        });
        CapturedStreams streams(faults_);
        EXPECT_EQ(OpenReportLog(ExePath().c_str()), c.opened);
        CloseLog();
        EXPECT_EQ(dispositions, c.dispositions);
        const std::string run = std::string(StartBanner) + VersionLine + EndBanner;
        if (!c.opened) {
            EXPECT_EQ(streams.Stdout(), Fatal);
            EXPECT_FALSE(FileExists(logPath));
        } else if (c.exists || c.createdMeanwhile) {
            EXPECT_EQ(LogText(), Utf8ByteOrderMark + "e" + run);
        } else {
            EXPECT_EQ(LogText(), Utf8ByteOrderMark + run);
        }
    }
}

// What the opened handle shows about the file; a refusal writes nothing. The reparse tag is read
// on the handle by a call every Windows from XP on answers; where it is not answered (a file
// system without tags) the file is logged to.
TEST_F(LogFileCheckTest, HandleWithASecondLinkOrALinksReparsePointIsRefused) {
    struct Case {
        const char* what;
        DWORD links;
        bool reparsePoint;
        NTSTATUS tagQuery;
        DWORD tag;
        bool logged;
    };
    const NTSTATUS Told = 0, NotTold = static_cast<NTSTATUS>(0xC0000003);  // invalid class
    const Case cases[] = {
        {"one link", 1, false, Told, 0, true},
        {"hard link", 2, false, Told, 0, false},
        {"no link left", 0, false, Told, 0, false},
        {"cloud placeholder", 1, true, Told, IO_REPARSE_TAG_CLOUD_6, true},
        {"symbolic link", 1, true, Told, IO_REPARSE_TAG_SYMLINK, false},
        {"mount point", 1, true, Told, IO_REPARSE_TAG_MOUNT_POINT, false},
        {"reparse point, tag not told", 1, true, NotTold, IO_REPARSE_TAG_SYMLINK, true},
    };
    unsigned queries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(LogPath(), EarlierLog);
        faults_.Answer<Api::GetFileInformationByHandle>(
            [c](HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) -> BOOL {
                const BOOL real =
                    ImportFaults::Real<Api::GetFileInformationByHandle>(file, information);
                EXPECT_TRUE(real);
                EXPECT_EQ(information->nNumberOfLinks, 1u);
                information->nNumberOfLinks = c.links;
                if (c.reparsePoint) {
                    information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                }
                return real;
            });
        unsigned tagQueries = 0;
        faults_.Answer<Api::NtQueryInformationFile>([&](HANDLE file, PIO_STATUS_BLOCK io,
                                                        PVOID information, ULONG size,
                                                        FILE_INFORMATION_CLASS kind) -> NTSTATUS {
            EXPECT_EQ(kind, FileAttributeTagInformation);
            EXPECT_EQ(size, sizeof(FILE_ATTRIBUTE_TAG_INFORMATION));
            const NTSTATUS real =
                ImportFaults::Real<Api::NtQueryInformationFile>(file, io, information, size, kind);
            EXPECT_EQ(real, 0);  // Wine answers it too, with no tag
            ++tagQueries;
            auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(information);
            tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            tag->ReparseTag = c.tag;
            return c.tagQuery;
        });
        ExpectRun(c.logged);
        EXPECT_EQ(ImportFaults::Calls(Api::GetFileInformationByHandle), ++queries);
        EXPECT_EQ(tagQueries, c.reparsePoint ? 1u : 0u);
    }
}

// A failed file query cannot tell a link from the log: the checks after it still run.
TEST_F(LogFileCheckTest, FailedFileQueryIsNoRefusal) {
    WriteFileBytes(LogPath(), EarlierLog);
    faults_.Fail<Api::GetFileInformationByHandle>(FALSE, ERROR_INVALID_FUNCTION);
    ExpectRun(true);
}

// The final path (where a link planted after the check before the open led) must name the log;
// what cannot be read is no reason to refuse.
TEST_F(LogFileCheckTest, FinalPathMustNameTheLog) {
    ASSERT_TRUE(CreateDirectoryW((folder_ / L"elsewhere").c_str(), nullptr));
    const std::wstring elsewhere = folder_ / L"elsewhere\\skelvane.txt";
    struct Case {
        const char* what;
        std::function<std::wstring(const std::wstring&)> answer;
        bool logged;
    };
    const Case cases[] = {
        {"as it is", [](const std::wstring& real) { return real; }, true},
        {"another file in the folder",
         [](const std::wstring& real) {
             return real.substr(0, real.size() - wcslen(L"skelvane.txt")) + L"other.txt";
         },
         false},
        {"the same name in another folder",
         [](const std::wstring& real) {
             return real.substr(0, real.size() - wcslen(L"skelvane.txt")) +
                    L"elsewhere\\skelvane.txt";
         },
         false},
        {"a longer name", [](const std::wstring& real) { return real + L".lnk"; }, false},
        {"letter case",
         [](const std::wstring& real) {
             std::wstring upper = real;
             CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
             return upper;
         },
         true},
        {"without \\\\?\\",
         [](const std::wstring& real) {
             return real.compare(0, 4, L"\\\\?\\") == 0 ? real.substr(4) : real;
         },
         true},
        {"not readable", [](const std::wstring&) { return std::wstring(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(LogPath(), EarlierLog);
        WriteFileBytes(elsewhere, "precious");
        AnswerFinalPaths([c](const std::wstring& real) {
            // The folder's own final path stays real.
            return EndsWith(real, L"\\skelvane.txt") ? c.answer(real) : real;
        });
        ExpectRun(c.logged);
        EXPECT_EQ(ReadFileBytes(elsewhere), "precious");
    }
}

// The final paths Windows gives and Wine cannot: "\\?\UNC\server\share\..." for a file on a
// share, a mapped network drive or a DFS path, another letter for a subst drive. The folder's
// final path is what the row answers for the folder asked; a short name is the row's long path.
struct FinalPathCase {
    const char* what;
    const wchar_t* logPath;
    const wchar_t* longPath;     // GetLongPathNameW's answer; null: the path as given
    const wchar_t* folder;       // the log's folder as its final path is asked for
    const wchar_t* folderFinal;  // null: it cannot be read
    const wchar_t* finalPath;    // the opened file's
    bool namesTheLog;
};
const FinalPathCase* g_finalPathCase = nullptr;

DWORD AnswerFolderFinalPath(const wchar_t* folder, wchar_t* buffer, DWORD size, void* context) {
    EXPECT_EQ(context, &g_finalPathCase);
    const FinalPathCase& c = *g_finalPathCase;
    EXPECT_EQ(std::wstring(folder), c.folder);
    if (c.folderFinal == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(wcslen(c.folderFinal));
    if (size <= length) {
        return length + 1;
    }
    wcscpy(buffer, c.folderFinal);
    return length;
}

TEST_F(LogFileCheckTest, FinalPathFormsOfWindows) {
    const FinalPathCase cases[] = {
        {"share started by \\\\server", L"\\\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\server\\share\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt", true},
        {"share started by \\\\?\\UNC", L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\?\\UNC\\server\\share\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt", true},
        {"root of a share", L"\\\\server\\share\\skelvane.txt", nullptr, L"\\\\server\\share\\",
         L"\\\\?\\UNC\\server\\share\\", L"\\\\?\\UNC\\server\\share\\skelvane.txt", true},
        {"share, its folder not readable", L"\\\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\server\\share\\tools\\", nullptr, L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt",
         true},
        {"mapped network drive", L"N:\\tools\\skelvane.txt", nullptr, L"N:\\tools\\",
         L"\\\\?\\UNC\\server\\share\\tools", L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt",
         true},
        {"DFS path", L"\\\\example.com\\dfs\\tools\\skelvane.txt", nullptr,
         L"\\\\example.com\\dfs\\tools\\", L"\\\\?\\UNC\\fs01\\public\\tools",
         L"\\\\?\\UNC\\fs01\\public\\tools\\skelvane.txt", true},
        {"subst drive", L"S:\\skelvane.txt", nullptr, L"S:\\", L"\\\\?\\C:\\Work\\tools",
         L"\\\\?\\C:\\Work\\tools\\skelvane.txt", true},
        {"started by \\\\?\\C:", L"\\\\?\\C:\\tools\\skelvane.txt", nullptr, L"\\\\?\\C:\\tools\\",
         L"\\\\?\\C:\\tools", L"\\\\?\\C:\\tools\\skelvane.txt", true},
        {"letter case", L"c:\\tools\\skelvane.txt", nullptr, L"c:\\tools\\", L"\\\\?\\C:\\Tools",
         L"\\\\?\\C:\\Tools\\SkelVane.TXT", true},
        {"letter case beyond ASCII", L"C:\\Prüfung\\журнал.txt", nullptr, L"C:\\Prüfung\\",
         L"\\\\?\\C:\\PRÜFUNG", L"\\\\?\\C:\\PRÜFUNG\\ЖУРНАЛ.TXT", true},
        {"short name", L"C:\\PROGRA~1\\SKELVA~1.TXT", L"C:\\Program Files\\Skelvane log.txt",
         L"C:\\Program Files\\", L"\\\\?\\C:\\Program Files",
         L"\\\\?\\C:\\Program Files\\Skelvane log.txt", true},
        {"share: a file in another folder", L"\\\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\server\\share\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\UNC\\server\\share\\elsewhere\\skelvane.txt", false},
        {"share: another file in the folder", L"\\\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\server\\share\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\UNC\\server\\share\\tools\\other.txt", false},
        {"share: another server", L"\\\\?\\UNC\\server\\share\\tools\\skelvane.txt", nullptr,
         L"\\\\?\\UNC\\server\\share\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\UNC\\attacker\\share\\tools\\skelvane.txt", false},
        {"share, folder not readable: another server", L"\\\\server\\share\\tools\\skelvane.txt",
         nullptr, L"\\\\server\\share\\tools\\", nullptr,
         L"\\\\?\\UNC\\attacker\\share\\tools\\skelvane.txt", false},
        {"mapped drive: a local folder of the share's name", L"N:\\tools\\skelvane.txt", nullptr,
         L"N:\\tools\\", L"\\\\?\\UNC\\server\\share\\tools",
         L"\\\\?\\C:\\server\\share\\tools\\skelvane.txt", false},
        {"subst drive: the folder above", L"S:\\skelvane.txt", nullptr, L"S:\\",
         L"\\\\?\\C:\\Work\\tools", L"\\\\?\\C:\\Work\\skelvane.txt", false},
        {"a folder that is not the log's", L"C:\\tools\\skelvane.txt", nullptr, L"C:\\tools\\",
         L"\\\\?\\D:\\tools", L"\\\\?\\C:\\tools\\skelvane.txt", false},
    };
    for (const FinalPathCase& c : cases) {
        SCOPED_TRACE(c.what);
        g_finalPathCase = &c;
        faults_.Answer<Api::GetLongPathNameW>([&c](LPCWSTR path, LPWSTR buffer, DWORD size) {
            EXPECT_EQ(std::wstring(path), c.logPath);
            const std::wstring answer = c.longPath != nullptr ? c.longPath : path;
            if (size <= answer.size()) {
                return static_cast<DWORD>(answer.size() + 1);
            }
            wcscpy(buffer, answer.c_str());
            return static_cast<DWORD>(answer.size());
        });
        EXPECT_EQ(
            FinalPathNamesTheLog(c.finalPath, c.logPath, AnswerFolderFinalPath, &g_finalPathCase),
            c.namesTheLog);
    }
    g_finalPathCase = nullptr;
}

TEST_F(LogFileCheckTest, FinalPathIsNotAskedWhereTheSystemHasNoQuery) {
    WriteFileBytes(LogPath(), EarlierLog);
    AnswerFinalPaths([](const std::wstring&) {
        ADD_FAILURE() << "asked";
        return std::wstring();
    });
    Lookup("GetFinalPathNameByHandleW", nullptr);  // Windows XP
    ExpectRun(true);
    Lookup("GetFinalPathNameByHandleW", &AnswerFinalPath);
    Lookup("CompareStringOrdinal", nullptr);
    WriteFileBytes(LogPath(), EarlierLog);
    ExpectRun(true);
}

// The log's long path cannot be read (a folder that may not be listed): not refused.
TEST_F(LogFileCheckTest, LongPathThatCannotBeReadIsNoRefusal) {
    WriteFileBytes(LogPath(), EarlierLog);
    AnswerFinalPaths([](const std::wstring& real) { return real + L"x"; });  // would refuse
    faults_.Fail<Api::GetLongPathNameW>(DWORD(0), ERROR_ACCESS_DENIED);
    ExpectRun(true);
}

// The program started by a short name and by the wrong letter case finds its log.
TEST_F(LogFileCheckTest, ShortNamesAndLetterCaseOfTheStartPath) {
    const std::wstring longFolder = folder_ / L"A folder with a long name";
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), nullptr));
    wchar_t shortFolder[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(longFolder.c_str(), shortFolder, MAX_PATH), 0u);
    ASSERT_NE(longFolder, shortFolder);  // Wine makes short names as Windows does
    const std::wstring log = longFolder + L"\\Skelvane Log File.txt";
    WriteFileBytes(log, EarlierLog);
    wchar_t shortLog[MAX_PATH];
    ASSERT_GT(GetShortPathNameW(log.c_str(), shortLog, MAX_PATH), 0u);
    std::wstring shortExe = shortLog;
    shortExe.replace(shortExe.size() - 4, 4, L".exe");
    std::wstring upperExe = longFolder + L"\\SKELVANE LOG FILE.EXE";
    CharUpperBuffW(&upperExe[0], static_cast<DWORD>(upperExe.size()));
    for (const std::wstring& exe : {shortExe, upperExe}) {
        SCOPED_TRACE(Utf8(exe));
        CapturedStreams streams(faults_);
        EXPECT_TRUE(OpenReportLog(exe.c_str()));
        CloseLog();
        EXPECT_EQ(streams.Stdout(), "");
    }
    EXPECT_EQ(Utf8FromUtf16Bytes(ReadFileBytes(log)), Utf8ByteOrderMark + "e" + StartBanner +
                                                          VersionLine + EndBanner + StartBanner +
                                                          VersionLine + EndBanner);
}

std::wstring FinalPathOf(const std::wstring& path, DWORD flags) {
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    wchar_t finalPath[1024] = {};
    GetFinalPathNameByHandleW(handle, finalPath, 1024, 0);
    CloseHandle(handle);
    return finalPath;
}

// A second drive letter for the log's folder (subst, DefineDosDevice, a Wine drive mapped twice):
// Windows names a volume's files by one letter, which need not be the one the run was started
// by; the folder's own final path names it alike. (Wine's DefineDosDeviceW makes a name its
// files cannot be opened by, so the other letter is answered; the e2e scenario log-path-is-link
// maps one in the prefix.)
TEST_F(LogFileCheckTest, DriveLetterMappedTwiceIsNoRefusal) {
    const std::wstring folder = FinalPathOf(folder_.Path(), FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_EQ(folder.compare(0, 4, L"\\\\?\\"), 0);
    AnswerFinalPaths([folder](const std::wstring& real) {
        if (_wcsnicmp(real.c_str(), folder.c_str(), folder.size()) != 0) {
            return real;
        }
        const std::wstring rest = real.substr(folder.size());
        return L"\\\\?\\Q:" + (rest.empty() ? L"\\" : rest);
    });
    WriteFileBytes(LogPath(), EarlierLog);
    ExpectRun(true);
    EXPECT_EQ(ImportFaults::Calls(Api::GetLongPathNameW), 1u);
}

}  // namespace
