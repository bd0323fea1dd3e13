// The environment block: the version record, the architecture names, the registry strings, and
// the OS generation probe.
#include "app/environment_report.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "support/registry_text.h"
#include "sysinfo/os_version.h"

namespace {

const std::string Windows7Line =
    "OS version: 6.1.7601 (1.0) \"Service Pack 1\", PlatformId: 2, ProductType: 0x00000001, "
    "SuiteMask: 0x00000000";

class EnvironmentReportTest : public MachineTest {
  protected:
    template <typename Print>
    std::string Output(Print print) {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        print();
        return streams.Stderr();
    }
};

TEST_F(EnvironmentReportTest, OsInfo) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> settings;
        std::string expected;
    };
    const Case cases[] = {
        {"fresh machine",
         {},
         Windows7Line + "\r\nOS processor architecture: x86 (0000), , , ProductName: Microsoft "
                        "Windows 7"},
        {"64-bit Windows 10",
         {{"os-version", "10.0.19045"},
          {"service-pack", "0.0"},
          {"csd-version", ""},
          {"suite-mask", "0x100"},
          {"product-type", "3"},
          {"architecture", "x64"}},
         "OS version: 10.0.19045 (0.0) \"\", PlatformId: 2, ProductType: 0x00000003, SuiteMask: "
         "0x00000100\r\nOS processor architecture: x64 (0009), , , ProductName: Microsoft "
         "Windows 7"},
        {"ARM64",
         {{"architecture", "arm64"}},
         Windows7Line + "\r\nOS processor architecture: Unknown (000c)"},
        {"compatibility layer",
         {{"platform-id", "1"}},
         "OS version: 6.1.7601 (1.0) \"Service Pack 1\", PlatformId: 1, ProductType: 0x00000001, "
         "SuiteMask: 0x00000000error: \r\nError: Probably application compatibility is set or "
         "inherited from parent process (platformID = 1)\r\n\r\nOS processor architecture: x86 "
         "(0000)"},
        {"no RtlGetVersion",
         {{"export-missing", "ntdll.dll!RtlGetVersion"}},
         "\r\nOS processor architecture: x86 (0000), , , ProductName"},
        {"RtlGetVersion fails",
         {{"fail", "RtlGetVersion:0xC0000001"}},
         "\r\nOS processor architecture: x86 (0000), , , ProductName"},
        {"no ntdll lookup", {{"fail", "GetModuleHandleW:126"}}, "\r\nOS processor architecture"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::Machine::Reset(machine().Prefix() + "-" + std::to_string(&c - cases));
        for (const auto& [key, value] : c.settings) {
            ASSERT_TRUE(machine().Configure(key, value)) << key;
        }
        std::string output = Output(PrintOsInfo);
        EXPECT_EQ(output.compare(0, c.expected.size(), c.expected), 0) << output;
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(EnvironmentReportTest, WindowsAndProductStrings) {
    ImportRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
        "\"BuildLab\"=\"19041.vb_release.191206-1406\"\r\n"
        "\"BuildLabEx\"=hex(2):20,00,25,00,78,00,25,00,00,00\r\n"
        "\"ProductName\"=dword:00000001\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLV\\TOLV Security\\CurrentVersion\\Info]\r\n"
        "\"ProductType\"=\"Endpoint\"\r\n\"ProductVersion\"=\"7.2.0.15\"\r\n");
    // Strings as stored (an unexpanded, untrimmed REG_EXPAND_SZ); a DWORD ProductName and a
    // missing LanguageCode leave only their separators.
    EXPECT_EQ(Output(PrintOsInfo).substr(Windows7Line.size()),
              "\r\nOS processor architecture: x86 (0000), BuildLab: 19041.vb_release.191206-1406, "
              "BuildLabEx:  %x%, ");
    delete g_reportLog;
    g_reportLog = nullptr;
    EXPECT_EQ(Output(PrintProductInfo),
              "\r\nTOLV Product: ProductType: Endpoint, ProductVersion: 7.2.0.15, \r\n");
}

TEST_F(EnvironmentReportTest, FailedAllocationOrReadLeavesTheValueOut) {
    ImportRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLV\\TOLV Security\\CurrentVersion\\Info]\r\n"
        "\"ProductType\"=\"Endpoint\"\r\n\"ProductVersion\"=\"7.2\"\r\n\"LanguageCode\"="
        "\"en\"\r\n");
    machine().FailCall("HeapAlloc", 0);
    // The read of the second value (its fourth query) fails after its size was learned.
    machine().FailCall("RegQueryValueExW", ERROR_MORE_DATA, 3);
    EXPECT_EQ(Output(PrintProductInfo), "\r\nTOLV Product: , , LanguageCode: en\r\n");
}

// In a process of its own: the probe keeps its lookup for the rest of the process.
TEST_F(EnvironmentReportTest, VistaOrLaterLooksUpOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool firstAnswer = IsVistaOrLater();
            // A second lookup would now find nothing.
            machine().RemoveExport("ntdll.dll", "RtlGetVersion");
            machine().FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND, 0, -1);
            bool secondAnswer = IsVistaOrLater();
            standin::Machine::OsVersion xp;
            xp.major = 5;
            machine().SetOsVersion(xp);
            exit(firstAnswer && secondAnswer && !IsVistaOrLater() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(EnvironmentReportTest, VistaOrLaterByMajorVersion) {
    const std::pair<DWORD, bool> cases[] = {{10, true}, {6, true}, {5, false}};
    for (const auto& [major, expected] : cases) {
        standin::Machine::OsVersion version;
        version.major = major;
        version.minor = major == 5 ? 1 : 0;
        machine().SetOsVersion(version);
        EXPECT_EQ(IsVistaOrLater(), expected) << major;
    }
}

TEST_F(EnvironmentReportTest, VistaOrLaterWithoutRtlGetVersion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            machine().RemoveExport("ntdll.dll", "RtlGetVersion");
            exit(IsVistaOrLater() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
