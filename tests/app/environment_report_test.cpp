// The environment block: the version record, the architecture names, the registry strings as
// stored, and the OS generation probe. The version and the processor are answers (Wine's cannot be
// set from outside); the strings are real registry values.
#include "app/environment_report.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "report/report_log.h"
#include "support/windows/faults.h"
#include "support/windows/registry_fixture.h"
#include "support/windows/scratch.h"
#include "sysinfo/os_version.h"

namespace {

const wchar_t WindowsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t ProductKey[] = L"SOFTWARE\\TOLV\\TOLV Security\\CurrentVersion\\Info";

// What the answered RtlGetVersion reports.
RTL_OSVERSIONINFOEXW g_version;
LONG g_versionStatus;

LONG WINAPI AnsweredRtlGetVersion(RTL_OSVERSIONINFOW* version) {
    if (g_versionStatus == 0) {
        *reinterpret_cast<RTL_OSVERSIONINFOEXW*>(version) = g_version;
    }
    return g_versionStatus;
}

void SetWindows7() {
    g_version = {};
    g_version.dwOSVersionInfoSize = sizeof(g_version);
    g_version.dwMajorVersion = 6;
    g_version.dwMinorVersion = 1;
    g_version.dwBuildNumber = 7601;
    g_version.dwPlatformId = VER_PLATFORM_WIN32_NT;
    wcscpy(g_version.szCSDVersion, L"Service Pack 1");
    g_version.wServicePackMajor = 1;
    g_version.wProductType = VER_NT_WORKSTATION;
    g_versionStatus = 0;
}

// ntdll's RtlGetVersion as the code under test finds it: the answer, or none when `present` is
// false.
void AnswerRtlGetVersion(ImportFaults& faults, bool present = true) {
    faults.Answer<Api::GetProcAddress>([present](HMODULE module, LPCSTR name) -> FARPROC {
        if (HIWORD(name) != 0 && strcmp(name, "RtlGetVersion") == 0) {
            if (!present) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(AnsweredRtlGetVersion));
        }
        return ImportFaults::Real<Api::GetProcAddress>(module, name);
    });
}

void AnswerArchitecture(ImportFaults& faults, WORD architecture) {
    faults.Answer<Api::GetNativeSystemInfo>([architecture](SYSTEM_INFO* system) {
        ImportFaults::Real<Api::GetNativeSystemInfo>(system);
        system->wProcessorArchitecture = architecture;
    });
}

// A value of a key the test does not own, set for the test and put back as it was.
class BorrowedValue {
  public:
    BorrowedValue(const wchar_t* subKey, const wchar_t* name) : name_(name) {
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, &key_),
                  ERROR_SUCCESS);
        DWORD size = 0;
        existed_ = RegQueryValueExW(key_, name, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
        saved_.resize(size);
        if (existed_ && size > 0) {
            RegQueryValueExW(key_, name, nullptr, &type_, saved_.data(), &size);
        }
    }
    ~BorrowedValue() {
        if (existed_) {
            RegSetValueExW(key_, name_, 0, type_, saved_.data(), static_cast<DWORD>(saved_.size()));
        } else {
            RegDeleteValueW(key_, name_);
        }
        RegCloseKey(key_);
    }
    BorrowedValue(const BorrowedValue&) = delete;
    BorrowedValue& operator=(const BorrowedValue&) = delete;

    void Set(DWORD type, const void* bytes, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key_, name_, 0, type, static_cast<const BYTE*>(bytes), size),
                  ERROR_SUCCESS);
    }
    void SetString(const std::wstring& text, DWORD type = REG_SZ) {
        Set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

  private:
    const wchar_t* name_;
    HKEY key_ = nullptr;
    bool existed_ = false;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> saved_;
};

class EnvironmentReportTest : public testing::Test {
  protected:
    void SetUp() override {
        SetWindows7();
        AnswerRtlGetVersion(faults_);
        AnswerArchitecture(faults_, PROCESSOR_ARCHITECTURE_INTEL);
        // Strings as stored: an unexpanded, untrimmed REG_EXPAND_SZ; a DWORD product name
        // leaves only its separators.
        buildLab_.SetString(L"19041.vb_release.191206-1406");
        buildLabEx_.SetString(L" %x%", REG_EXPAND_SZ);
        const DWORD one = 1;
        productName_.Set(REG_DWORD, &one, sizeof(one));
    }

    // What `print` writes to standard error, with the run's log open in a folder of its own.
    std::string Output(const std::function<void()>& print) {
        ScratchFolder logFolder;
        {
            CapturedStreams opening(faults_);
            g_reportLog = new ReportLog((logFolder / L"skelvane.txt").c_str());
        }
        CapturedStreams streams(faults_);
        print();
        delete g_reportLog;
        g_reportLog = nullptr;
        return streams.Stderr();
    }

    ImportFaults faults_;
    BorrowedValue buildLab_{WindowsKey, L"BuildLab"};
    BorrowedValue buildLabEx_{WindowsKey, L"BuildLabEx"};
    BorrowedValue productName_{WindowsKey, L"ProductName"};
};

const std::string Windows7Line =
    "OS version: 6.1.7601 (1.0) \"Service Pack 1\", PlatformId: 2, ProductType: 0x00000001, "
    "SuiteMask: 0x00000000";
const std::string WindowsStrings = "BuildLab: 19041.vb_release.191206-1406, BuildLabEx:  %x%, ";

TEST_F(EnvironmentReportTest, OsInfo) {
    struct Case {
        const char* name;
        std::function<void(ImportFaults&)> arrange;
        std::string expected;
    };
    const Case cases[] = {
        {"Windows 7", [](ImportFaults&) {},
         Windows7Line + "\r\nOS processor architecture: x86 (0000), " + WindowsStrings},
        {"64-bit Windows 10",
         [](ImportFaults& faults) {
             g_version.dwMajorVersion = 10;
             g_version.dwMinorVersion = 0;
             g_version.dwBuildNumber = 19045;
             g_version.wServicePackMajor = 0;
             g_version.szCSDVersion[0] = L'\0';
             g_version.wSuiteMask = 0x100;
             g_version.wProductType = VER_NT_SERVER;
             AnswerArchitecture(faults, PROCESSOR_ARCHITECTURE_AMD64);
         },
         "OS version: 10.0.19045 (0.0) \"\", PlatformId: 2, ProductType: 0x00000003, SuiteMask: "
         "0x00000100\r\nOS processor architecture: x64 (0009), " +
             WindowsStrings},
        {"ARM64",
         [](ImportFaults& faults) { AnswerArchitecture(faults, PROCESSOR_ARCHITECTURE_ARM64); },
         Windows7Line + "\r\nOS processor architecture: Unknown (000c), " + WindowsStrings},
        {"compatibility layer",
         [](ImportFaults&) { g_version.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS; },
         "OS version: 6.1.7601 (1.0) \"Service Pack 1\", PlatformId: 1, ProductType: 0x00000001, "
         "SuiteMask: 0x00000000error: \r\nError: Probably application compatibility is set or "
         "inherited from parent process (platformID = 1)\r\n\r\nOS processor architecture: x86 "
         "(0000), " +
             WindowsStrings},
        {"no RtlGetVersion", [](ImportFaults& faults) { AnswerRtlGetVersion(faults, false); },
         "\r\nOS processor architecture: x86 (0000), " + WindowsStrings},
        {"RtlGetVersion fails", [](ImportFaults&) { g_versionStatus = LONG(0xC0000001); },
         "\r\nOS processor architecture: x86 (0000), " + WindowsStrings},
        {"no ntdll lookup",
         [](ImportFaults& faults) {
             // Only ntdll is missing: the log looks up kernel32's newer calls the same way.
             faults.Answer<Api::GetModuleHandleW>([](LPCWSTR name) -> HMODULE {
                 if (name != nullptr && _wcsicmp(name, L"ntdll.dll") == 0) {
                     SetLastError(ERROR_MOD_NOT_FOUND);
                     return nullptr;
                 }
                 return ImportFaults::Real<Api::GetModuleHandleW>(name);
             });
         },
         "\r\nOS processor architecture: x86 (0000), " + WindowsStrings},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        SetUp();
        c.arrange(faults_);
        EXPECT_EQ(Output(PrintOsInfo), c.expected);
    }
}

TEST_F(EnvironmentReportTest, ProductStrings) {
    ScratchKey product(HKEY_LOCAL_MACHINE, ProductKey);
    product.SetString(L"ProductType", L"Endpoint");
    product.SetString(L"ProductVersion", L"7.2.0.15");
    EXPECT_EQ(Output(PrintProductInfo),
              "\r\nTOLV Product: ProductType: Endpoint, ProductVersion: 7.2.0.15, \r\n");
}

TEST_F(EnvironmentReportTest, NoProductKeyLeavesTheSeparators) {
    EXPECT_EQ(Output(PrintProductInfo), "\r\nTOLV Product: , , \r\n");
}

TEST_F(EnvironmentReportTest, FailedAllocationOrReadLeavesTheValueOut) {
    ScratchKey product(HKEY_LOCAL_MACHINE, ProductKey);
    product.SetString(L"ProductType", L"Endpoint");
    product.SetString(L"ProductVersion", L"7.2");
    product.SetString(L"LanguageCode", L"en");
    faults_.Fail<Api::HeapAlloc>(LPVOID(nullptr), 0);
    // The read of the second value (its fourth query) fails after its size was learned.
    faults_.Fail<Api::RegQueryValueExW>(LONG(ERROR_MORE_DATA), 0, Nth(4));
    EXPECT_EQ(Output(PrintProductInfo), "\r\nTOLV Product: , , LanguageCode: en\r\n");
}

// In a process of their own: the probe keeps its lookup for the rest of the process.
TEST_F(EnvironmentReportTest, VistaOrLaterLooksUpOnce) {
    EXPECT_EXIT(
        {
            const bool firstAnswer = IsVistaOrLater();
            const unsigned lookups = ImportFaults::Calls(Api::GetModuleHandleW);
            // A second lookup would now find nothing.
            AnswerRtlGetVersion(faults_, false);
            faults_.Fail<Api::GetModuleHandleW>(HMODULE(nullptr), ERROR_MOD_NOT_FOUND, FromNth(1));
            const bool secondAnswer = IsVistaOrLater();
            g_version.dwMajorVersion = 5;
            const bool thirdAnswer = IsVistaOrLater();
            exit(firstAnswer && secondAnswer && !thirdAnswer &&
                         ImportFaults::Calls(Api::GetModuleHandleW) == lookups
                     ? 0
                     : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(EnvironmentReportTest, VistaOrLaterByMajorVersion) {
    EXPECT_EXIT(
        {
            bool right = true;
            for (const auto& [major, expected] :
                 std::vector<std::pair<DWORD, bool>>{{10, true}, {6, true}, {5, false}}) {
                g_version.dwMajorVersion = major;
                right = right && IsVistaOrLater() == expected;
            }
            exit(right ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(EnvironmentReportTest, VistaOrLaterWithoutRtlGetVersion) {
    EXPECT_EXIT(
        {
            AnswerRtlGetVersion(faults_, false);
            exit(IsVistaOrLater() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
