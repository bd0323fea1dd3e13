// The hosts file test against hosts files of every shape, and each of its failure paths.
#include "net/hosts_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"

namespace {

const std::string Heading = "\r\n\r\n%SystemRoot%\\System32\\drivers\\etc\\hosts test:";
const std::string HostsPath = "C:\\windows\\System32\\drivers\\etc\\hosts";
const std::string Ruler = "\r\n==================";
const std::string LocalEntries =
    "# Copyright (c) 1993-2009 Microsoft Corp.\r\n#\r\n127.0.0.1       localhost\r\n"
    "::1             localhost\r\n";

class HostsFileTest : public MachineTest {
  protected:
    std::string HostsFile() const {
        return machine().Prefix() + "/drive_c/windows/system32/drivers/etc/hosts";
    }
    void WriteHosts(const std::string& bytes) {
        unlink(HostsFile().c_str());  // a new prefix's file is a link to the host's
        WriteHostFile(HostsFile(), bytes);
    }
    // `fault` is added once the log is open, so that it hits the test's own calls.
    std::string Test(const standin::Fault* fault = nullptr) {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        if (fault != nullptr) {
            machine().AddFault(*fault);
        }
        CapturedStreams streams;
        TestHostsFile();
        return streams.Stderr();
    }
    standin::Machine& machine() const { return standin::Machine::Current(); }
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
        WriteHosts(c.file);
        const std::string verdict =
            c.findings.empty() ? "\r\nOK" : c.findings + Ruler + "\r\n" + c.shown + Ruler;
        EXPECT_EQ(Test(), Heading + verdict) << c.what;
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(HostsFileTest, EmptyFile) {
    WriteHosts("");
    EXPECT_EQ(Test(), Heading + "warning: \r\nwarning: Empty file '" + HostsPath + "'\r\n");
}

TEST_F(HostsFileTest, MissingFile) {
    unlink(HostsFile().c_str());
    EXPECT_EQ(Test(), Heading + "error: \r\nerror: Cannot open file '" + HostsPath + "'\r\n");
}

// Another process holds the file without sharing: the test's own open fails.
TEST_F(HostsFileTest, FileHeldByAnother) {
    WriteHosts(LocalEntries);
    const int fd = open(HostsFile().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const std::string output = Test();
    close(fd);
    EXPECT_EQ(output, Heading + "error: \r\nerror: Cannot open file '" + HostsPath + "'\r\n");
}

TEST_F(HostsFileTest, SystemRootComesFromTheEnvironment) {
    machine().SetEnvironmentValue("SYSTEMROOT", "D:\\winnt");
    EXPECT_EQ(Test(), Heading +
                          "error: \r\nerror: Cannot open file 'D:\\winnt\\System32\\drivers\\etc"
                          "\\hosts'\r\n");
}

TEST_F(HostsFileTest, Failures) {
    const std::string expandError =
        "error: \r\nerror: Cannot expand path '%SystemRoot%\\System32\\drivers\\etc\\hosts'\r\n";
    const std::string outOfMemory = "error: \r\nerror: Out of memory\r\n";
    const std::string cannotClose = "error: \r\nCannot close file";
    const std::string cannotReadData =
        "error: \r\nerror: Cannot read data from file '" + HostsPath + "'\r\n";
    struct Case {
        const char* function;
        unsigned skip;
        std::string expected;
    } cases[] = {
        {"ExpandEnvironmentStringsW", 0, expandError},
        {"CreateFileW", 0, "error: \r\nerror: Cannot open file '" + HostsPath + "'\r\n"},
        {"GetFileSize", 0, "warning: \r\nwarning: Empty file '" + HostsPath + "'\r\n"},
        {"HeapAlloc", 0, outOfMemory},
        {"HeapAlloc", 1, outOfMemory},
        {"ReadFile", 0, "error: \r\nCannot read from file (gle: 0x0000001F)" + cannotReadData},
        // The close right after the read fails: the search goes on and the holder closes.
        {"CloseHandle", 0, cannotClose + "\r\nOK"},
    };
    for (const Case& c : cases) {
        WriteHosts(LocalEntries);
        standin::Fault fault;
        fault.function = c.function;
        fault.error = ERROR_GEN_FAILURE;
        fault.skip = c.skip;
        EXPECT_EQ(Test(&fault), Heading + c.expected) << c.function << " " << c.skip;
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(HostsFileTest, ShortRead) {
    WriteHosts(LocalEntries);
    standin::Fault fault;
    fault.function = "ReadFile";
    fault.limit = 10;
    EXPECT_EQ(Test(&fault),
              Heading + "error: \r\nCannot read all data from file, requested " +
                  std::to_string(LocalEntries.size()) +
                  " bytes, read 10 bytes.error: \r\nerror: Cannot read data from file '" +
                  HostsPath + "'\r\n");
}

// A path longer than the buffer is not opened truncated.
TEST_F(HostsFileTest, ExpandedPathTooLong) {
    machine().SetEnvironmentValue("SystemRoot", "C:\\" + std::string(520, 'w'));
    EXPECT_EQ(Test(), Heading +
                          "error: \r\nerror: Cannot expand path "
                          "'%SystemRoot%\\System32\\drivers\\etc\\hosts'\r\n");
}

}  // namespace
