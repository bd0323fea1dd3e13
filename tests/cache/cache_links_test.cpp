// Links among the cache's entries: a link to a file is deleted as a link (opened as itself, never
// the file it leads to), and a link to a folder is listed as a subdirectory and left with its
// content. Wine cannot make a link (CreateSymbolicLinkW is a stub) and lists a host's symbolic
// link as its target, so the links are an empty file and a folder whose listing entries are
// answered as Windows gives them for symbolic links (reparse point with its tag, a file link's
// size 0).
#include "cache/pki_cache.h"

#include "cache/nt_files.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

// Marks the two links in a listing of FILE_ID_BOTH_DIR_INFORMATION records.
void AsWindowsListsLinks(void* buffer) {
    for (auto* entry = static_cast<FILE_ID_BOTH_DIR_INFORMATION*>(buffer);;) {
        const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (name == L"file-link.crl" || name == L"folder-link") {
            entry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            entry->EaSize = IO_REPARSE_TAG_SYMLINK;  // the tag, for a reparse point
        }
        if (entry->NextEntryOffset == 0) {
            return;
        }
        entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(reinterpret_cast<char*>(entry) +
                                                                entry->NextEntryOffset);
    }
}

struct Opened {
    std::wstring name;
    ULONG options;
};

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
    faults.Answer<Api::NtQueryDirectoryFile>(
        [](HANDLE folder, HANDLE event, PIO_APC_ROUTINE routine, PVOID context, PIO_STATUS_BLOCK io,
           PVOID buffer, ULONG length, FILE_INFORMATION_CLASS kind, BOOLEAN single,
           PUNICODE_STRING name, BOOLEAN restart) {
            const NTSTATUS status = ImportFaults::Real<Api::NtQueryDirectoryFile>(
                folder, event, routine, context, io, buffer, length, kind, single, name, restart);
            if (status >= 0 && kind == FileIdBothDirectoryInformation) {
                AsWindowsListsLinks(buffer);
            }
            return status;
        });
    auto opened = std::make_shared<std::vector<Opened>>();
    faults.Answer<Api::NtOpenFile>([opened](PHANDLE handle, ACCESS_MASK access,
                                            POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                            ULONG sharing, ULONG options) {
        const UNICODE_STRING* name = attributes->ObjectName;
        opened->push_back({std::wstring(name->Buffer, name->Length / sizeof(wchar_t)), options});
        return ImportFaults::Real<Api::NtOpenFile>(handle, access, attributes, io, sharing,
                                                   options);
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
    // Each file is opened as itself (on Windows that is the link, not the file it leads to) and
    // deleted through that handle; the folder link is never opened, so its content is not listed.
    std::vector<std::wstring> files;
    for (const Opened& open : *opened) {
        if ((open.options & FILE_NON_DIRECTORY_FILE) != 0) {
            EXPECT_NE(open.options & FILE_OPEN_REPARSE_POINT, 0u) << Utf8(open.name);
            files.push_back(open.name);
        }
        EXPECT_NE(open.name, L"folder-link");
    }
    EXPECT_EQ(files, (std::vector<std::wstring>{L"file-link.crl", L"real.crl"}));
    EXPECT_EQ(ImportFaults::Calls(Api::NtSetInformationFile), 2u);
    EXPECT_EQ(ReadFileBytes(cache + L"\\folder-link\\inner.dat"), "keep me too");
    EXPECT_FALSE(FileExists(cache + L"\\file-link.crl"));
    EXPECT_FALSE(FileExists(cache + L"\\real.crl"));
}

}  // namespace
