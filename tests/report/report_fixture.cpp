#include "report_fixture.h"

#include <cstring>

const char VersionLine[] = "FileVersion of this tool: 1.0.0.0\n";

namespace {

const wchar_t ModulePath[] = L"C:\\Tools\\skelvane.exe";

// A version resource as a linker lays it out: VS_VERSIONINFO holding the fixed file information
// and no children. The real VerQueryValueW reads it.
struct VersionResource {
    WORD length;
    WORD valueLength;
    WORD type;  // 0: binary value
    wchar_t key[16];
    WORD padding;  // to the value's 32-bit boundary
    VS_FIXEDFILEINFO value;
};

VersionResource MakeVersionResource(const VS_FIXEDFILEINFO& info) {
    VersionResource resource = {};
    resource.length = sizeof(resource);
    resource.valueLength = sizeof(resource.value);
    wcscpy(resource.key, L"VS_VERSION_INFO");
    resource.value = info;
    return resource;
}

}  // namespace

void ReportTest::SetUp() {
    streams_ = std::make_unique<CapturedStreams>(faults_);
    SetClock(FixedClock);
    SetFileVersion(1, 0, 0, 0);
    faults_.Answer<Api::GetSystemTime>([this](SYSTEMTIME* now) { *now = clock_; });
    faults_.Answer<Api::GetModuleFileNameW>([](HMODULE module, LPWSTR path, DWORD size) -> DWORD {
        EXPECT_EQ(module, nullptr);  // the program's own file, not the DLL's
        const DWORD length = static_cast<DWORD>(wcslen(ModulePath));
        if (size <= length) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        wcscpy(path, ModulePath);
        return length;
    });
    faults_.Answer<Api::GetFileVersionInfoSizeW>([](LPCWSTR path, LPDWORD handle) -> DWORD {
        EXPECT_STREQ(path, ModulePath);
        *handle = 0;
        return sizeof(VersionResource);
    });
    faults_.Answer<Api::GetFileVersionInfoW>(
        [this](LPCWSTR path, DWORD, DWORD size, LPVOID block) -> BOOL {
            EXPECT_STREQ(path, ModulePath);
            EXPECT_GE(size, sizeof(VersionResource));
            const VersionResource resource = MakeVersionResource(version_);
            memcpy(block, &resource, sizeof(resource));
            return TRUE;
        });
}

void ReportTest::TearDown() {
    CloseLog();
}

void ReportTest::OpenAndClose() {
    ASSERT_TRUE(OpenReportLog(ExePath().c_str()));
    CloseLog();
}

void ReportTest::CloseLog() {
    delete g_reportLog;
    g_reportLog = nullptr;
}

void ReportTest::SetClock(const SYSTEMTIME& time) {
    clock_ = time;
}

void ReportTest::SetFileVersion(WORD major, WORD minor, WORD build, WORD revision) {
    version_ = {};
    version_.dwSignature = VS_FFI_SIGNATURE;
    version_.dwStrucVersion = VS_FFI_STRUCVERSION;
    version_.dwFileVersionMS = MAKELONG(minor, major);
    version_.dwFileVersionLS = MAKELONG(revision, build);
    version_.dwProductVersionMS = version_.dwFileVersionMS;
    version_.dwProductVersionLS = version_.dwFileVersionLS;
}
