// The hosts file test against hosts files of every shape, and each of its failure paths.
#include "net/hosts_file.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/windows/scratch.h"

namespace {

const std::string Heading = "\r\n\r\n%SystemRoot%\\System32\\drivers\\etc\\hosts test:";
const std::string HostsPath = "C:\\windows\\System32\\drivers\\etc\\hosts";
const std::string Ruler = "\r\n==================";
const std::string LocalEntries =
    "# Copyright (c) 1993-2009 Microsoft Corp.\r\n#\r\n127.0.0.1       localhost\r\n"
    "::1             localhost\r\n";
const std::string CannotOpen = "error: \r\nerror: Cannot open file '" + HostsPath + "'\r\n";

class HostsFileTest : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t root[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
        ASSERT_GT(length, 0u);
        systemRoot_.assign(root, length);
        original_ = ReadFileBytes(Wide(HostsPath));
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"SystemRoot", systemRoot_.c_str());
        WriteFileBytes(Wide(HostsPath), original_);
        delete g_reportLog;
        g_reportLog = nullptr;
    }

    // `plan` is carried out once the log is open, so that it strikes the test's own calls.
    std::string Test(const std::function<void()>& plan = nullptr) {
        delete g_reportLog;
        g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
        CapturedStreams streams(faults_);
        if (plan) {
            plan();
        }
        TestHostsFile();
        return streams.Stderr();
    }

    ScratchFolder folder_;
    ImportFaults faults_;
    std::wstring systemRoot_;
    std::string original_;
};

// A literal's bytes, NUL bytes included.
template <size_t Size>
std::string Bytes(const char (&text)[Size]) {
    return std::string(text, Size - 1);
}

// The file as shown between rulers: each byte as the character of the same code, in UTF-8.
std::string Shown(const std::string& bytes) {
    std::string shown;
    for (unsigned char byte : bytes) {
        if (byte < 0x80) {
            shown += static_cast<char>(byte);
        } else {
            shown += static_cast<char>(0xC0 | (byte >> 6));
            shown += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return shown;
}

TEST_F(HostsFileTest, Contents) {
    const std::string serviceFound =
        "error: \r\nerror: service.tolv.com in hosts detected!\r\n"
        "warning: \r\nwarning: tolv.com in hosts detected!\r\n";
    const std::string comFound = "warning: \r\nwarning: tolv.com in hosts detected!\r\n";
    const std::string euFound = "warning: \r\nwarning: tolv.eu in hosts detected!\r\n";
    const std::string highBytes = LocalEntries + "# caf\xE9 \x80\xFF\r\n10.0.0.1 tolv.eu\r\n";
    struct Case {
        const char* what;
        std::string file;
        std::string findings;  // empty: OK
        std::string shown;     // the text between the rulers
    } cases[] = {
        {"local entries", LocalEntries, "", ""},
        {"service host in capitals", LocalEntries + "127.0.0.1 SERVICE.TOLV.COM\r\n", serviceFound,
         LocalEntries + "127.0.0.1 SERVICE.TOLV.COM\r\n"},
        {"commented out", "# 192.0.2.1 www.tolv.eu\n", euFound, "# 192.0.2.1 www.tolv.eu\n"},
        {"a name inside the domain", "192.0.2.1 pki.tolv.com", comFound, "192.0.2.1 pki.tolv.com"},
        {"every key", "1.2.3.4 service.tolv.com tolv.eu\n", serviceFound + euFound,
         "1.2.3.4 service.tolv.com tolv.eu\n"},
        {"no word boundaries", "10.1.1.1 nottolv.community\n", comFound,
         "10.1.1.1 nottolv.community\n"},
        {"bytes from 0x80 up", highBytes, euFound, Shown(highBytes)},
        {"cut at a NUL byte", Bytes("1.1.1.1 tolv.eu\0 service.tolv.com\n"), euFound,
         "1.1.1.1 tolv.eu"},
        {"NUL before the key", Bytes("#\0 service.tolv.com\n"), "", ""},
        {"UTF-16",
         Bytes("\xFF\xFE"
               "1\0.\0"
               "1\0 \0t\0o\0l\0v\0.\0e\0u\0"),
         "", ""},
        // Non-ASCII capitals do not fold: this is not a key.
        {"only ASCII folds", "1.1.1.1 tolv.\xC9U\n", "", ""},
    };
    for (const Case& c : cases) {
        WriteFileBytes(Wide(HostsPath), c.file);
        const std::string verdict =
            c.findings.empty() ? "\r\nOK" : c.findings + Ruler + "\r\n" + c.shown + Ruler;
        EXPECT_EQ(Test(), Heading + verdict) << c.what;
    }
}

TEST_F(HostsFileTest, EmptyFile) {
    WriteFileBytes(Wide(HostsPath), "");
    EXPECT_EQ(Test(), Heading + "warning: \r\nwarning: Empty file '" + HostsPath + "'\r\n");
}

TEST_F(HostsFileTest, MissingFile) {
    ASSERT_TRUE(DeleteFileW(Wide(HostsPath).c_str()));
    EXPECT_EQ(Test(), Heading + CannotOpen);
}

// Another process holds the file without sharing: the test's own open fails.
TEST_F(HostsFileTest, FileHeldByAnother) {
    WriteFileBytes(Wide(HostsPath), LocalEntries);
    HANDLE held = CreateFileW(Wide(HostsPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string output = Test();
    CloseHandle(held);
    EXPECT_EQ(output, Heading + CannotOpen);
}

TEST_F(HostsFileTest, SystemRootComesFromTheEnvironment) {
    SetEnvironmentVariableW(L"SystemRoot", L"D:\\winnt");
    EXPECT_EQ(Test(), Heading +
                          "error: \r\nerror: Cannot open file 'D:\\winnt\\System32\\drivers\\etc"
                          "\\hosts'\r\n");
}

// A path longer than the buffer is not opened truncated.
TEST_F(HostsFileTest, ExpandedPathTooLong) {
    SetEnvironmentVariableW(L"SystemRoot", (L"C:\\" + std::wstring(520, L'w')).c_str());
    EXPECT_EQ(Test(), Heading +
                          "error: \r\nerror: Cannot expand path "
                          "'%SystemRoot%\\System32\\drivers\\etc\\hosts'\r\n");
}

TEST_F(HostsFileTest, Failures) {
    const std::string outOfMemory = "error: \r\nerror: Out of memory\r\n";
    const std::string cannotReadData =
        "error: \r\nerror: Cannot read data from file '" + HostsPath + "'\r\n";
    ImportFaults& f = faults_;
    struct Case {
        const char* what;
        std::function<void()> plan;
        std::string expected;
    } cases[] = {
        {"expansion", [&] { f.Fail<Api::ExpandEnvironmentStringsW>(DWORD(0), ERROR_GEN_FAILURE); },
         "error: \r\nerror: Cannot expand path "
         "'%SystemRoot%\\System32\\drivers\\etc\\hosts'\r\n"},
        {"open", [&] { f.Fail<Api::CreateFileW>(INVALID_HANDLE_VALUE, ERROR_GEN_FAILURE); },
         CannotOpen},
        {"size", [&] { f.Fail<Api::GetFileSize>(INVALID_FILE_SIZE, ERROR_GEN_FAILURE); },
         "warning: \r\nwarning: Empty file '" + HostsPath + "'\r\n"},
        {"first buffer", [&] { f.Fail<Api::HeapAlloc>(LPVOID(nullptr), ERROR_GEN_FAILURE); },
         outOfMemory},
        {"second buffer",
         [&] { f.Fail<Api::HeapAlloc>(LPVOID(nullptr), ERROR_GEN_FAILURE, Nth(2)); }, outOfMemory},
        {"read", [&] { f.Fail<Api::ReadFile>(FALSE, ERROR_GEN_FAILURE); },
         "error: \r\nCannot read from file (gle: 0x0000001F)" + cannotReadData},
        // The close right after the read fails: the search goes on and the holder closes.
        {"close", [&] { f.Fail<Api::CloseHandle>(FALSE, ERROR_GEN_FAILURE); },
         "error: \r\nCannot close file\r\nOK"},
    };
    for (const Case& c : cases) {
        WriteFileBytes(Wide(HostsPath), LocalEntries);
        EXPECT_EQ(Test(c.plan), Heading + c.expected) << c.what;
        ResetImportFaults();
    }
}

TEST_F(HostsFileTest, CloseThatFailsIsRetriedByTheHolder) {
    WriteFileBytes(Wide(HostsPath), LocalEntries);
    unsigned before = 0;  // the log's own opening closes handles too
    Test([this, &before] {
        before = ImportFaults::Calls(Api::CloseHandle);
        faults_.Fail<Api::CloseHandle>(FALSE, ERROR_GEN_FAILURE);
    });
    EXPECT_EQ(ImportFaults::Calls(Api::CloseHandle) - before, 2u);
    // Closed for good: the file can be held alone again.
    HANDLE held = CreateFileW(Wide(HostsPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
}

TEST_F(HostsFileTest, ShortRead) {
    WriteFileBytes(Wide(HostsPath), LocalEntries);
    const std::string output = Test([this] {
        faults_.Answer<Api::ReadFile>(
            [](HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
                return ImportFaults::Real<Api::ReadFile>(file, buffer, size < 10 ? size : 10, read,
                                                         overlapped);
            });
    });
    EXPECT_EQ(output, Heading + "error: \r\nCannot read all data from file, requested " +
                          std::to_string(LocalEntries.size()) +
                          " bytes, read 10 bytes.error: \r\nerror: Cannot read data from file '" +
                          HostsPath + "'\r\n");
}

}  // namespace
