// Links among the cache's entries: a link to a file is deleted as a link (by its own path, never
// the file it leads to), and a link to a folder is listed as a subdirectory and left with its
// content. Wine cannot make a link (CreateSymbolicLinkW is a stub) and lists a host's symbolic
// link as its target, so the links are an empty file and a folder whose listing entries are
// answered as Windows gives them for symbolic links (reparse point, a file link's size 0).
#include "cache/pki_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

void AsWindowsListsALink(WIN32_FIND_DATAW* entry) {
    const std::wstring name = entry->cFileName;
    if (name == L"file-link.crl" || name == L"folder-link") {
        entry->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        entry->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    }
}

TEST(CacheLinksTest, FileLinkIsDeletedAsALinkAndFolderLinkIsLeft) {
    ImportFaults faults;
    ScratchFolder appData;
    std::wstring cache = appData.Path();
    for (const wchar_t* part : {L"TOLV", L"TOLV Security", L"PKI", L"ctl"}) {
        cache += L"\\";
        cache += part;
        ASSERT_TRUE(CreateDirectoryW(cache.c_str(), nullptr)) << GetLastError();
    }
    WriteFileBytes(cache + L"\\real.crl", "real");
    WriteFileBytes(cache + L"\\file-link.crl", "");
    ASSERT_TRUE(CreateDirectoryW((cache + L"\\folder-link").c_str(), nullptr));
    WriteFileBytes(cache + L"\\folder-link\\inner.dat", "keep me too");

    const std::wstring folder = appData.Path();
    faults.Answer<Api::SHGetSpecialFolderPathW>([folder](HWND, LPWSTR path, int, BOOL) {
        wcscpy(path, folder.c_str());
        return TRUE;
    });
    faults.Answer<Api::FindFirstFileW>([](LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
        HANDLE search = ImportFaults::Real<Api::FindFirstFileW>(pattern, entry);
        if (search != INVALID_HANDLE_VALUE) {
            AsWindowsListsALink(entry);
        }
        return search;
    });
    faults.Answer<Api::FindNextFileW>([](HANDLE search, LPWIN32_FIND_DATAW entry) {
        const BOOL found = ImportFaults::Real<Api::FindNextFileW>(search, entry);
        if (found) {
            AsWindowsListsALink(entry);
        }
        return found;
    });
    auto deleted = std::make_shared<std::vector<std::wstring>>();
    faults.Answer<Api::DeleteFileW>([deleted](LPCWSTR path) {
        deleted->push_back(path);
        return ImportFaults::Real<Api::DeleteFileW>(path);
    });

    ScratchFolder logFolder;
    const std::wstring logPath = logFolder / L"skelvane.txt";
    {
        CapturedStreams opening(faults);
        g_reportLog = new ReportLog(logPath.c_str());
    }
    std::string output;
    {
        CapturedStreams streams(faults);
        CleanPkiCache();
        delete g_reportLog;
        g_reportLog = nullptr;
        output = streams.Stderr();
    }
    EXPECT_EQ(output, "\nClean PKI cache...\n    ProgramData directory: \"" + Utf8(folder) +
                          "\"\n    PKI cache directory \"" + Utf8(cache) +
                          "\" content:\n"
                          "      file-link.crl   0 bytes\n"
                          "      folder-link   <DIR>\n"
                          "      real.crl   4 bytes\n"
                          "\n    Successfully cleaned\n\n");
    EXPECT_NE(Utf8FromUtf16Bytes(ReadFileBytes(logPath)).find(output), std::string::npos);
    // By the link's own path: on Windows that removes the link and not the file it leads to.
    EXPECT_EQ(*deleted,
              (std::vector<std::wstring>{cache + L"\\file-link.crl", cache + L"\\real.crl"}));
    // The folder link's content is not listed, let alone deleted.
    EXPECT_EQ(ImportFaults::Calls(Api::FindFirstFileW), 1u);
    EXPECT_EQ(ReadFileBytes(cache + L"\\folder-link\\inner.dat"), "keep me too");
    EXPECT_FALSE(FileExists(cache + L"\\file-link.crl"));
    EXPECT_FALSE(FileExists(cache + L"\\real.crl"));
}

}  // namespace
