// The PKI cache clean on real folders and files: what is found where the cache should be, what the
// platform refuses to delete, the listing breaking off, and the folders on the way that are links
// or cannot be looked at. The application-data folder is a scratch folder of the test's own.
#include "cache/pki_cache.h"

#include "cache/nt_files.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

const wchar_t* const CacheFiles[] = {L"a.crl", L"b.crl", L"c.crl"};

constexpr NTSTATUS StatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS StatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS StatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);

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
    // (the log opening's own lines left out), and the log holds the same text. Opening and
    // closing the log is neither failed nor counted.
    std::string Output(const std::function<void()>& action) {
        ScratchFolder logFolder;
        const std::wstring logPath = logFolder / L"skelvane.txt";
        {
            PausedFaults paused;
            CapturedStreams opening(faults_);
            g_reportLog = new ReportLog(logPath.c_str());
        }
        std::string output;
        {
            CapturedStreams streams(faults_);
            action();
            PausedFaults paused;
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

// The handles the code under test opened and closed since the fault layer was last reset.
unsigned HandlesOpened() {
    return ImportFaults::Calls(Api::NtOpenFile) + ImportFaults::Calls(Api::CreateFileW);
}
unsigned HandlesClosed() {
    return ImportFaults::Calls(Api::NtClose) + ImportFaults::Calls(Api::CloseHandle);
}

// What the platform refuses on the way, as a test cannot make it refuse: each failure reported on
// the line the clean has for it, nothing deleted after it, and every handle opened closed again.
TEST_F(PkiCacheTest, PlatformFailures) {
    const std::string heading =
        "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() + "\"\n";
    const std::string allListed =
        "      a.crl   2 bytes\n      b.crl   2 bytes\n      c.crl   2 bytes\n";
    // The folders are opened in this order, each after its parent; then one file at a time.
    const std::string security = AppData() + "\\TOLV\\TOLV Security";
    struct Case {
        const char* what;
        std::function<void(ImportFaults&)> arrange;
        std::string output;
        const char* kept;
        unsigned failedOpens;  // handles that were never opened, so never closed
    };
    const Case cases[] = {
        {"the application-data folder cannot be opened",
         [](ImportFaults& faults) {
             faults.Fail<Api::CreateFileW>(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, Nth(1));
         },
         heading + "error:     Something is wrong with \"" + AppData() +
             "\" (attr: 0xffffffff, gle: 0x00000005)\n",
         "abc", 1},
        {"a folder on the way cannot be opened below its parent",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtOpenFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(2));
         },
         heading + "error:     Something is wrong with \"" + security +
             "\" (attr: 0xffffffff, gle: 0x00000005)\n",
         "abc", 1},
        {"the cache is gone when it is opened",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtOpenFile>(StatusObjectNameNotFound, ERROR_SUCCESS, Nth(4));
         },
         heading + "    OK - PKI cache does not exist at \"" + Cache() + "\" (0x00000002)\n", "abc",
         1},
        // A cache that is there but cannot be opened is never reported missing.
        {"another program holds the cache without sharing deletion",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtOpenFile>(StatusSharingViolation, ERROR_SUCCESS, Nth(4));
         },
         Start() + "\n    FindFirstFile problem\n\n", "abc", 1},
        {"the cache cannot be opened: access denied",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtOpenFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(4));
         },
         Start() + "\n    FindFirstFile problem\n\n", "abc", 1},
        // Each folder is asked for its attributes, then for its ID.
        {"a held folder cannot be looked at",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryInformationFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(5));
         },
         heading + "error:     Something is wrong with \"" + security +
             "\\PKI\" (attr: 0xffffffff, gle: 0x00000005)\n",
         "abc", 0},
        {"a held folder's ID cannot be read",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryInformationFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(6));
         },
         heading + "error:     Something is wrong with \"" + security +
             "\\PKI\" (attr: 0xffffffff, gle: 0x00000005)\n",
         "abc", 0},
        // Each folder's entry is looked up in its parent before the cache is listed.
        {"a folder's entry cannot be looked up in its parent",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryDirectoryFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(3));
         },
         heading + "error:     Something is wrong with \"" + security +
             "\\PKI\" (attr: 0xffffffff, gle: 0x00000005)\n",
         "abc", 0},
        {"the listing cannot start",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryDirectoryFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(5));
         },
         Start() + "\n    FindFirstFile problem\n\n", "abc", 0},
        {"the listing breaks off after the first batch: the summary is over what was seen",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryDirectoryFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(6));
         },
         Start() + allListed + "\n    FindNextFile problem\n\n    Successfully cleaned\n\n", "", 0},
        {"a file cannot be opened for deletion",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtOpenFile>(StatusSharingViolation, ERROR_SUCCESS, Nth(6));
         },
         Start() + "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot delete file \"" +
             Cache() + "\\b.crl\"\n      c.crl   2 bytes\n\n    Failed to delete 1 file(s)\n\n",
         "b", 1},
        {"a file's ID cannot be read",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtQueryInformationFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(10));
         },
         Start() + "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot delete file \"" +
             Cache() + "\\b.crl\"\n      c.crl   2 bytes\n\n    Failed to delete 1 file(s)\n\n",
         "b", 0},
        {"a file will not take its deletion",
         [](ImportFaults& faults) {
             faults.Fail<Api::NtSetInformationFile>(StatusAccessDenied, ERROR_SUCCESS, Nth(3));
         },
         Start() +
             "      a.crl   2 bytes\n      b.crl   2 bytes\n      c.crl   2 bytes\nerror: "
             "Cannot delete file \"" +
             Cache() + "\\c.crl\"\n\n    Failed to delete 1 file(s)\n\n",
         "c", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        Restock();
        c.arrange(faults_);
        EXPECT_EQ(Clean(), c.output);
        EXPECT_EQ(Kept(), c.kept);
        EXPECT_EQ(HandlesClosed() + c.failedOpens, HandlesOpened());
        if (std::string(c.kept) == "abc") {
            EXPECT_EQ(ImportFaults::Calls(Api::NtSetInformationFile), 0u);
        }
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
        EXPECT_EQ(ImportFaults::Calls(Api::NtQueryDirectoryFile), 0u);
        EXPECT_EQ(ImportFaults::Calls(Api::NtSetInformationFile), 0u);
    }
}

// The same refusals on the handles the clean holds: what a folder is when it is opened counts, not
// only what its path showed a moment before. Wine opens a host link as its target, so the
// attribute words are those Windows gives a junction (0x410) and a file (0x20).
TEST_F(PkiCacheTest, HeldFoldersThatAreNotEmptied) {
    struct Case {
        const char* what;
        unsigned query;  // 1 is TOLV, 4 the cache
        DWORD attributes;
        std::string path;
    };
    const Case cases[] = {
        {"a folder on the way is a link", 2, 0x410, AppData() + "\\TOLV\\TOLV Security"},
        {"the cache is a link", 4, 0x410, Cache()},
        {"the cache is a file", 4, 0x20, Cache()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        unsigned queries = 0;
        faults_.Answer<Api::NtQueryInformationFile>([&](HANDLE file, PIO_STATUS_BLOCK io,
                                                        PVOID information, ULONG length,
                                                        FILE_INFORMATION_CLASS kind) {
            const NTSTATUS status = ImportFaults::Real<Api::NtQueryInformationFile>(
                file, io, information, length, kind);
            if (kind == FileBasicInformation && ++queries == c.query) {
                static_cast<FILE_BASIC_INFORMATION*>(information)->FileAttributes = c.attributes;
            }
            return status;
        });
        char attributes[11];
        snprintf(attributes, sizeof attributes, "0x%08lx", c.attributes);
        EXPECT_EQ(Clean(), "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
                               "\"\nerror:     Something is wrong with \"" + c.path +
                               "\" (attr: " + attributes + ", gle: 0x00000000)\n");
        EXPECT_EQ(Kept(), "abc");
        // Only the entries of the folders above were looked up; the cache was not listed.
        EXPECT_EQ(ImportFaults::Calls(Api::NtQueryDirectoryFile), c.query - 1);
        EXPECT_EQ(HandlesClosed(), HandlesOpened());
    }
}

// Whether a file is gone is asked as the attacker would: opening it again finds nothing.
bool Gone(const std::wstring& path) {
    SetLastError(0xdeadbeef);
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

// An attacker of the same machine renames the folders away between two steps of the listing, to
// put a link to another folder in their place: each rename is refused while the clean holds the
// folder, and the clean empties the cache it opened. Afterwards the folders can be renamed again.
TEST_F(PkiCacheTest, FoldersCannotBeRenamedAwayWhileHeld) {
    const std::wstring tolv = appData_.Path() + L"\\TOLV";
    const std::wstring folders[] = {tolv + L"\\TOLV Security\\PKI", cache_,
                                    tolv + L"\\TOLV Security", tolv};
    std::vector<std::string> refusals;
    unsigned listingSteps = 0;
    faults_.Answer<Api::NtQueryDirectoryFile>(
        [&](HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
            PIO_STATUS_BLOCK io, PVOID information, ULONG length, FILE_INFORMATION_CLASS kind,
            BOOLEAN single, PUNICODE_STRING name, BOOLEAN restart) {
            // The look-ups of each folder's entry in its parent (by name) come before all are held.
            if (name != nullptr) {
                return ImportFaults::Real<Api::NtQueryDirectoryFile>(
                    folder, event, routine, context, io, information, length, kind, single, name,
                    restart);
            }
            if (++listingSteps > 1) {
                for (const std::wstring& held : folders) {
                    SetLastError(0xdeadbeef);
                    const BOOL moved = MoveFileW(held.c_str(), (held + L".away").c_str());
                    refusals.push_back(Utf8(held) + (moved ? " moved" : " refused ") +
                                       std::to_string(GetLastError()));
                }
            }
            // One entry a step, so that the attacker comes between the files.
            return ImportFaults::Real<Api::NtQueryDirectoryFile>(folder, event, routine, context,
                                                                 io, information, length, kind,
                                                                 TRUE, name, restart);
        });
    EXPECT_EQ(Clean(), Start() +
                           "      a.crl   2 bytes\n      b.crl   2 bytes\n      c.crl   2 bytes\n"
                           "\n    Successfully cleaned\n\n");
    // ".", "..", three files and the end of the listing.
    ASSERT_EQ(listingSteps, 6u);
    ASSERT_EQ(refusals.size(), 4u * 5);
    for (size_t i = 0; i < refusals.size(); ++i) {
        EXPECT_EQ(refusals[i], Utf8(folders[i % 4]) + " refused 32");
    }
    for (const wchar_t* name : CacheFiles) {
        EXPECT_TRUE(Gone(File(name))) << Utf8(name);
    }
    ASSERT_TRUE(MoveFileW(cache_.c_str(), (cache_ + L".away").c_str())) << GetLastError();
    ASSERT_TRUE(MoveFileW((cache_ + L".away").c_str(), cache_.c_str())) << GetLastError();
}

// The final path the system reports, with the one of the entry ending in g_ledAway as a link
// elsewhere would show it.
std::wstring g_ledAway;
DWORD WINAPI FinalPathLedAway(HANDLE handle, LPWSTR path, DWORD size, DWORD flags) {
    const DWORD length = GetFinalPathNameByHandleW(handle, path, size, flags);
    const std::wstring found(path, length < size ? length : 0);
    if (found.size() < g_ledAway.size() ||
        found.compare(found.size() - g_ledAway.size(), g_ledAway.size(), g_ledAway) != 0) {
        return length;
    }
    const std::wstring elsewhere = L"\\\\?\\C:\\victim" + g_ledAway;
    wcscpy(path, elsewhere.c_str());
    return static_cast<DWORD>(elsewhere.size());
}

// Wine opens a name below a held folder through that folder's current path, which a host link may
// have taken elsewhere: whatever the system says is not where the clean expected is left alone.
TEST_F(PkiCacheTest, WhatWasOpenedElsewhereIsLeft) {
    faults_.Answer<Api::GetProcAddress>([](HMODULE module, LPCSTR name) -> FARPROC {
        if (HIWORD(name) != 0 && strcmp(name, "GetFinalPathNameByHandleW") == 0) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FinalPathLedAway));
        }
        return ImportFaults::Real<Api::GetProcAddress>(module, name);
    });
    g_ledAway = L"\\b.crl";
    EXPECT_EQ(
        Clean(),
        Start() + "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot delete file \"" +
            Cache() + "\\b.crl\"\n      c.crl   2 bytes\n\n    Failed to delete 1 file(s)\n\n");
    EXPECT_EQ(Kept(), "b");

    Restock();
    g_ledAway = L"\\PKI\\ctl";
    const unsigned listingSteps = ImportFaults::Calls(Api::NtQueryDirectoryFile);
    EXPECT_EQ(Clean(), "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
                           "\"\nerror:     Something is wrong with \"" + Cache() +
                           "\" (attr: 0x00000010, gle: 0x00000000)\n");
    EXPECT_EQ(Kept(), "abc");
    // Only the look-ups of TOLV, TOLV Security and PKI in their parents: the cache is not listed.
    EXPECT_EQ(ImportFaults::Calls(Api::NtQueryDirectoryFile), listingSteps + 3);
}

// Under Wine a name opened below a held folder resolves through that folder's current path (a host
// link swapped in on the way leads elsewhere), and the path of the handle reads as it was opened;
// the IDs tell: the ID of what a handle holds must be the one its parent's own listing gives the
// name. Wine cannot be made to show another folder there from inside, so the ID, the entry or its
// attributes are answered as they would read after such a swap.
TEST_F(PkiCacheTest, FolderThatIsNotItsParentsEntryIsRefused) {
    constexpr NTSTATUS StatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
    const std::string security = AppData() + "\\TOLV\\TOLV Security";
    struct Case {
        const char* what;
        unsigned idQuery;      // which folder's ID reads as another's (1 is TOLV), 0 for none
        const wchar_t* entry;  // whose entry in its parent is changed
        NTSTATUS status;       // what looking it up returns
        DWORD attributes;      // else its attributes
        std::string output;
    };
    const Case cases[] = {
        {"TOLV Security's handle holds another folder", 2, nullptr, 0, 0,
         security + "\" (attr: 0x00000010, gle: 0x00000000)\n"},
        {"the cache's handle holds another folder", 4, nullptr, 0, 0,
         Cache() + "\" (attr: 0x00000010, gle: 0x00000000)\n"},
        {"PKI's entry in its parent is a link", 0, L"PKI", 0, 0x410,
         security + "\\PKI\" (attr: 0x00000410, gle: 0x00000000)\n"},
        {"TOLV's entry is a file", 0, L"TOLV", 0, 0x20,
         AppData() + "\\TOLV\" (attr: 0x00000020, gle: 0x00000000)\n"},
        {"the cache's entry is gone from its parent", 0, L"ctl", StatusNoSuchFile, 0,
         Cache() + "\" (attr: 0xffffffff, gle: 0x00000002)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        unsigned idQueries = 0;
        faults_.Answer<Api::NtQueryInformationFile>([&](HANDLE file, PIO_STATUS_BLOCK io,
                                                        PVOID information, ULONG length,
                                                        FILE_INFORMATION_CLASS kind) {
            const NTSTATUS status = ImportFaults::Real<Api::NtQueryInformationFile>(
                file, io, information, length, kind);
            if (kind == FileInternalInformation && ++idQueries == c.idQuery) {
                static_cast<FILE_INTERNAL_INFORMATION*>(information)->IndexNumber.QuadPart += 1;
            }
            return status;
        });
        faults_.Answer<Api::NtQueryDirectoryFile>(
            [&](HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                PIO_STATUS_BLOCK io, PVOID information, ULONG length, FILE_INFORMATION_CLASS kind,
                BOOLEAN single, PUNICODE_STRING name, BOOLEAN restart) {
                const bool changed =
                    c.entry != nullptr && name != nullptr &&
                    std::wstring(name->Buffer, name->Length / sizeof(wchar_t)) == c.entry;
                if (changed && c.status != 0) {
                    return c.status;
                }
                const NTSTATUS status = ImportFaults::Real<Api::NtQueryDirectoryFile>(
                    folder, event, routine, context, io, information, length, kind, single, name,
                    restart);
                if (changed) {
                    EXPECT_EQ(kind, FileIdBothDirectoryInformation);
                    static_cast<FILE_ID_BOTH_DIR_INFORMATION*>(information)->FileAttributes =
                        c.attributes;
                }
                return status;
            });
        EXPECT_EQ(Clean(), "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
                               "\"\nerror:     Something is wrong with \"" + c.output);
        EXPECT_EQ(Kept(), "abc");
        EXPECT_EQ(ImportFaults::Calls(Api::NtSetInformationFile), 0u);
        EXPECT_EQ(HandlesClosed(), HandlesOpened());
    }
}

// A file whose handle holds another file than the listing showed (a name that led elsewhere) is
// not deleted through that handle, and is reported as a file that could not be deleted.
TEST_F(PkiCacheTest, FileThatIsNotTheListedOneIsLeft) {
    faults_.Answer<Api::NtQueryDirectoryFile>(
        [](HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context, PIO_STATUS_BLOCK io,
           PVOID information, ULONG length, FILE_INFORMATION_CLASS kind, BOOLEAN single,
           PUNICODE_STRING name, BOOLEAN restart) {
            const NTSTATUS status = ImportFaults::Real<Api::NtQueryDirectoryFile>(
                folder, event, routine, context, io, information, length, kind, single, name,
                restart);
            if (status < 0 || name != nullptr) {
                return status;
            }
            EXPECT_EQ(kind, FileIdBothDirectoryInformation);
            for (auto* entry = static_cast<FILE_ID_BOTH_DIR_INFORMATION*>(information);;) {
                if (std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)) ==
                    L"b.crl") {
                    entry->FileId.QuadPart += 1;
                }
                if (entry->NextEntryOffset == 0) {
                    return status;
                }
                entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(
                    reinterpret_cast<char*>(entry) + entry->NextEntryOffset);
            }
        });
    EXPECT_EQ(
        Clean(),
        Start() + "      a.crl   2 bytes\n      b.crl   2 bytes\nerror: Cannot delete file \"" +
            Cache() + "\\b.crl\"\n      c.crl   2 bytes\n\n    Failed to delete 1 file(s)\n\n");
    EXPECT_EQ(Kept(), "b");
    EXPECT_EQ(ImportFaults::Calls(Api::NtSetInformationFile), 2u);
}

// The offset of the record named `name` in a listing answer as the system wrote it.
size_t RecordOffset(const unsigned char* information, const wchar_t* name) {
    size_t offset = 0;
    for (;;) {
        const auto* entry =
            reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(information + offset);
        if (std::wstring(entry->FileName, entry->FileNameLength / sizeof(wchar_t)) == name) {
            return offset;
        }
        EXPECT_NE(entry->NextEntryOffset, 0u) << Utf8(name) << " is not listed";
        if (entry->NextEntryOffset == 0) {
            return offset;
        }
        offset += entry->NextEntryOffset;
    }
}

// An answer to a listing step is read only inside the bytes it says were written: one that wrote
// none or claims more than the buffer, or a record reaching past the bytes, ends the listing as
// a failed step would, after the entries read whole. The answers are Wine's, then cut or bent.
TEST_F(PkiCacheTest, ListingAnswersAreReadOnlyInsideTheBytesReturned) {
    constexpr size_t NameOffset = offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    const std::string firstOnly = Start() +
                                  "      a.crl   2 bytes\n\n    FindNextFile problem\n\n    "
                                  "Successfully cleaned\n\n";
    struct Case {
        const char* what;
        bool oneEntryAStep;   // else as many as fit
        const wchar_t* mask;  // bend the look-up of this name in its parent, else the listing
        unsigned step;        // the listing step to bend, 1 the first
        std::function<void(unsigned char*, IO_STATUS_BLOCK*, ULONG)> bend;
        std::string output;
        const char* kept;
    };
    const Case cases[] = {
        {"the first step wrote nothing", false, nullptr, 1,
         [](unsigned char*, IO_STATUS_BLOCK* io, ULONG) { io->Information = 0; },
         Start() + "\n    FindFirstFile problem\n\n", "abc"},
        {"the first step claims more than the buffer holds", false, nullptr, 1,
         [](unsigned char*, IO_STATUS_BLOCK* io, ULONG length) { io->Information = length + 8; },
         Start() + "\n    FindFirstFile problem\n\n", "abc"},
        {"a later step wrote nothing", true, nullptr, 4,
         [](unsigned char*, IO_STATUS_BLOCK* io, ULONG) { io->Information = 0; }, firstOnly, "bc"},
        {"a record's next one starts where the bytes end", false, nullptr, 1,
         [](unsigned char* information, IO_STATUS_BLOCK* io, ULONG) {
             io->Information = RecordOffset(information, L"b.crl");
         },
         firstOnly, "bc"},
        {"a name runs past the bytes", false, nullptr, 1,
         [](unsigned char* information, IO_STATUS_BLOCK* io, ULONG) {
             io->Information = RecordOffset(information, L"b.crl") + NameOffset + sizeof(wchar_t);
         },
         firstOnly, "bc"},
        {"a record's next offset wraps around the address space", false, nullptr, 1,
         [](unsigned char* information, IO_STATUS_BLOCK*, ULONG) {
             reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(information +
                                                             RecordOffset(information, L"a.crl"))
                 ->NextEntryOffset = 0xFFFFFFF8;
         },
         firstOnly, "bc"},
        {"the look-up of a folder in its parent wrote nothing", false, L"PKI", 0,
         [](unsigned char*, IO_STATUS_BLOCK* io, ULONG) { io->Information = 0; },
         "\nClean PKI cache...\n    ProgramData directory: \"" + AppData() +
             "\"\nerror:     Something is wrong with \"" + AppData() +
             "\\TOLV\\TOLV Security\\PKI\" (attr: 0xffffffff, gle: 0x0000000d)\n",
         "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetImportFaults();
        AnswerAppData();
        Restock();
        unsigned step = 0;
        faults_.Answer<Api::NtQueryDirectoryFile>(
            [&](HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                PIO_STATUS_BLOCK io, PVOID information, ULONG length, FILE_INFORMATION_CLASS kind,
                BOOLEAN single, PUNICODE_STRING name, BOOLEAN restart) {
                const bool listing = name == nullptr;
                const NTSTATUS status = ImportFaults::Real<Api::NtQueryDirectoryFile>(
                    folder, event, routine, context, io, information, length, kind,
                    listing && c.oneEntryAStep ? TRUE : single, name, restart);
                const bool bent =
                    listing
                        ? c.mask == nullptr && ++step == c.step
                        : c.mask != nullptr &&
                              std::wstring(name->Buffer, name->Length / sizeof(wchar_t)) == c.mask;
                if (bent && status >= 0) {
                    c.bend(static_cast<unsigned char*>(information), io, length);
                }
                return status;
            });
        EXPECT_EQ(Clean(), c.output);
        EXPECT_EQ(Kept(), c.kept);
        EXPECT_EQ(HandlesClosed(), HandlesOpened());
    }
}

// What the clean asked of SetProcessMitigationPolicy; each request is refused.
std::vector<std::pair<int, DWORD>> g_policies;
BOOL WINAPI RefusingSetPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length) {
    EXPECT_EQ(length, sizeof(PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY));
    g_policies.emplace_back(policy, *static_cast<DWORD*>(buffer));
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// Where the system has the redirection trust policy, the clean turns it on before it looks at
// anything; where it is missing or refuses, the clean goes on as before.
TEST_F(PkiCacheTest, RedirectionTrustWhereTheSystemHasIt) {
    const std::string cleaned = Start() +
                                "      a.crl   2 bytes\n      b.crl   2 bytes\n      c.crl   2 "
                                "bytes\n\n    Successfully cleaned\n\n";
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "present and refusing" : "missing");
        g_policies.clear();
        Restock();
        faults_.Answer<Api::GetProcAddress>([&](HMODULE module, LPCSTR name) -> FARPROC {
            if (HIWORD(name) != 0 && strcmp(name, "SetProcessMitigationPolicy") == 0) {
                EXPECT_EQ(module, GetModuleHandleW(L"kernel32.dll"));
                return present
                           ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(RefusingSetPolicy))
                           : nullptr;
            }
            return ImportFaults::Real<Api::GetProcAddress>(module, name);
        });
        EXPECT_EQ(Clean(), cleaned);
        EXPECT_EQ(Kept(), "");
        if (present) {
            ASSERT_EQ(g_policies.size(), 1u);
            EXPECT_EQ(g_policies[0].first, ProcessRedirectionTrustPolicy);
            EXPECT_EQ(g_policies[0].second, 1u);  // enforced, not only audited
        } else {
            EXPECT_TRUE(g_policies.empty());
        }
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

// The system writes a drive's root with its separator ("C:\"), and may so end another folder: the
// cache below it is found and cleaned like any other, every path printed with single separators.
// Drive C: is the test's own Wine prefix's.
TEST_F(PkiCacheTest, ApplicationDataFolderEndingInASeparator) {
    const std::wstring rootCache = L"C:\\TOLV\\TOLV Security\\PKI\\ctl";
    std::wstring path = L"C:";
    for (const wchar_t* part : {L"TOLV", L"TOLV Security", L"PKI", L"ctl"}) {
        path = path + L"\\" + part;
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
    }
    WriteFileBytes(rootCache + L"\\r.crl", "1");
    for (const wchar_t* name : CacheFiles) {
        ASSERT_TRUE(DeleteFileW(File(name).c_str()));
    }
    WriteFileBytes(File(L"r.crl"), "1");
    const std::string cleaned = " content:\n      r.crl   1 bytes\n\n    Successfully cleaned\n\n";
    const auto answerAppData = [this](const std::wstring& folder) {
        faults_.Answer<Api::SHGetSpecialFolderPathW>([folder](HWND, LPWSTR answer, int, BOOL) {
            wcscpy(answer, folder.c_str());
            return TRUE;
        });
    };
    const std::pair<std::wstring, std::string> cases[] = {
        {L"C:\\", "C:\\\"\n    PKI cache directory \"" + Utf8(rootCache) + "\"" + cleaned},
        {appData_.Path() + L"\\",
         AppData() + "\\\"\n    PKI cache directory \"" + Cache() + "\"" + cleaned},
    };
    for (const auto& [folder, output] : cases) {
        SCOPED_TRACE(Utf8(folder));
        answerAppData(folder);
        EXPECT_EQ(Clean(), "\nClean PKI cache...\n    ProgramData directory: \"" + output);
    }
    // Only an empty folder can be removed: the root's cache was emptied.
    ASSERT_TRUE(RemoveDirectoryW(rootCache.c_str())) << GetLastError();
    answerAppData(L"C:\\");
    EXPECT_EQ(Clean(),
              "\nClean PKI cache...\n    ProgramData directory: \"C:\\\"\n    OK - PKI "
              "cache does not exist at \"" +
                  Utf8(rootCache) + "\" (0x00000002)\n");
    EXPECT_FALSE(FileExists(File(L"r.crl")));
    for (; path != L"C:"; path.resize(path.rfind(L'\\'))) {
        RemoveDirectoryW(path.c_str());
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
