// The stand-in's kernel32 as the tool relies on it: Windows results and last errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/machine_fixture.h"
#include "text.h"

namespace {

constexpr DWORD Sentinel = 0xdeadbeef;

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

TEST(SystemTimeConversion, KnownInstants) {
    struct Case {
        SYSTEMTIME time;
        uint64_t ticks;
        WORD dayOfWeek;
    };
    const Case cases[] = {
        {{1601, 1, 0, 1, 0, 0, 0, 0}, 0, 1},
        {{1970, 1, 0, 1, 0, 0, 0, 0}, 116444736000000000ULL, 4},
        {{2019, 1, 0, 28, 0, 0, 0, 0}, 131931072000000000ULL, 1},
        {{2021, 3, 0, 28, 23, 59, 59, 0}, 132614495990000000ULL, 0},
        {{2000, 2, 0, 29, 12, 30, 15, 250}, 125963010152500000ULL, 2},
    };
    for (const auto& c : cases) {
        FILETIME time;
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &time)) << c.time.wYear;
        EXPECT_EQ(Ticks(time), c.ticks) << c.time.wYear;
        SYSTEMTIME back;
        ASSERT_TRUE(FileTimeToSystemTime(&time, &back));
        EXPECT_EQ(back.wYear, c.time.wYear);
        EXPECT_EQ(back.wMonth, c.time.wMonth);
        EXPECT_EQ(back.wDay, c.time.wDay);
        EXPECT_EQ(back.wHour, c.time.wHour);
        EXPECT_EQ(back.wMinute, c.time.wMinute);
        EXPECT_EQ(back.wSecond, c.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.time.wYear;
    }
}

TEST(SystemTimeConversion, InvalidFieldsAreRefused) {
    const SYSTEMTIME invalid[] = {{2019, 2, 0, 29, 0, 0, 0, 0},   {1900, 2, 0, 29, 0, 0, 0, 0},
                                  {2019, 13, 0, 1, 0, 0, 0, 0},   {2019, 4, 0, 31, 0, 0, 0, 0},
                                  {2019, 1, 0, 1, 24, 0, 0, 0},   {2019, 1, 0, 1, 0, 0, 60, 0},
                                  {2019, 1, 0, 1, 0, 0, 0, 1000}, {1600, 12, 0, 31, 0, 0, 0, 0}};
    for (const auto& time : invalid) {
        FILETIME out;
        SetLastError(Sentinel);
        EXPECT_FALSE(SystemTimeToFileTime(&time, &out)) << time.wYear << "-" << time.wMonth;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(SystemTimeConversion, CompareFileTime) {
    FILETIME early = {5, 1}, late = {4, 2};
    EXPECT_EQ(CompareFileTime(&early, &late), -1);
    EXPECT_EQ(CompareFileTime(&late, &early), 1);
    EXPECT_EQ(CompareFileTime(&early, &early), 0);
}

using Kernel32Test = MachineTest;

TEST_F(Kernel32Test, MachineClockIsWhatGetSystemTimeReads) {
    SYSTEMTIME set = {2019, 1, 0, 28, 0, 0, 0, 1};
    machine().SetClock(set);
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_EQ(now.wYear, 2019);
    EXPECT_EQ(now.wDay, 28);
    EXPECT_EQ(now.wMilliseconds, 1);
    EXPECT_EQ(now.wDayOfWeek, 1);
}

TEST_F(Kernel32Test, ShareModeZeroIsExclusive) {
    const std::wstring path = WindowsPath("locked.txt");
    HANDLE first = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));  // created
    SetLastError(Sentinel);
    HANDLE second = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(Kernel32Test, OpenFailuresCarryWindowsCodes) {
    ASSERT_EQ(mkdir((workDir() + "/folder").c_str(), 0755), 0);
    struct Case {
        std::wstring path;
        DWORD disposition;
        DWORD error;
    };
    const Case cases[] = {
        {WindowsPath("missing.txt"), OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {WindowsPath("no/such/folder/file.txt"), OPEN_ALWAYS, ERROR_PATH_NOT_FOUND},
        {WindowsPath("folder"), OPEN_ALWAYS, ERROR_ACCESS_DENIED},
        {L"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(Sentinel);
        HANDLE file = CreateFileW(c.path.c_str(), GENERIC_READ, 0, nullptr, c.disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error) << standin::Utf8FromWide(c.path);
    }
}

// A host name that is not UTF-8 keeps its bytes through the Windows text (as lone surrogates),
// so a file in such a folder can be opened by the name the tool was given.
TEST_F(Kernel32Test, HostNamesThatAreNotUtf8SurviveTheRoundTrip) {
    const std::string names[] = {"bad\xFF", "mixed-\xC3\xA9-\xC3-\xED\xA0\x80-\xF0\x9F\x98\x80",
                                 "\x80\xBF\xFE"};
    for (const std::string& name : names) {
        const std::wstring wide = standin::WindowsPathOfHost(workDir() + "/" + name);
        EXPECT_EQ(standin::HostPath(wide.c_str()), workDir() + "/" + name);
        ASSERT_EQ(mkdir((workDir() + "/" + name).c_str(), 0755), 0);
        const std::wstring file = wide + L"\\log.txt";
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << name;
        CloseHandle(handle);
        struct stat info;
        EXPECT_EQ(stat((workDir() + "/" + name + "/log.txt").c_str(), &info), 0) << name;
    }
    // Well-formed text is plain UTF-8 both ways.
    EXPECT_EQ(standin::WideFromHostName("Gr\xC3\xBC\xC3\x9F\xF0\x9F\x98\x80"),
              L"Gr\u00FC\u00DF\U0001F600");
    EXPECT_EQ(standin::WideFromHostName("a\xFF"), std::wstring(L"a") + wchar_t(0xDCFF));
}

// Windows truncates a module path that does not fit, terminates it and says so; the version
// calls on the truncated path fail as for a file that is not there.
TEST_F(Kernel32Test, ModulePathThatDoesNotFitIsTruncated) {
    wchar_t full[4096] = {};
    const DWORD length = GetModuleFileNameW(nullptr, full, 4096);
    ASSERT_GT(length, 8u);
    wchar_t cut[8];
    SetLastError(Sentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, cut, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(cut), std::wstring(full, 7));
    DWORD unused = 0;
    SetLastError(Sentinel);
    const std::wstring truncated = std::wstring(full, length - 3);
    EXPECT_EQ(GetFileVersionInfoSizeW(truncated.c_str(), &unused), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileVersionInfoSizeW(WindowsPath("no\\such\\file.exe").c_str(), &unused), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    WriteHostFile(workDir() + "/plain.exe", "MZ");
    EXPECT_EQ(GetFileVersionInfoSizeW(WindowsPath("plain.exe").c_str(), &unused), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST_F(Kernel32Test, FilePointerAndSize) {
    WriteHostFile(workDir() + "/six.bin", "123456");
    HANDLE file = CreateFileW(WindowsPath("six.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD high = Sentinel;
    EXPECT_EQ(GetFileSize(file, &high), 6u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 6u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "78", 2, &written, nullptr));
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    char data[16] = {};
    DWORD read = Sentinel;
    ASSERT_TRUE(ReadFile(file, data, sizeof data, &read, nullptr));
    EXPECT_EQ(read, 8u);  // end of file: success with fewer bytes
    EXPECT_EQ(std::string(data, read), "12345678");
    EXPECT_TRUE(CloseHandle(file));
    SetLastError(Sentinel);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(file, data, 1, &read, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Kernel32Test, FaultsHitTheNthCallOnceOrForEver) {
    machine().FailCall("GetFileSize", ERROR_ACCESS_DENIED, 1, 2);
    WriteHostFile(workDir() + "/a.bin", "abc");
    HANDLE file = CreateFileW(WindowsPath("a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), 3u);
    EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetFileSize(file, nullptr), 3u);
    machine().LimitTransfer("ReadFile", 2);
    char data[3];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, data, 3, &read, nullptr));
    EXPECT_EQ(read, 2u);
    CloseHandle(file);
}

TEST_F(Kernel32Test, HostPathsOfWindowsPaths) {
    const std::string prefix = machine().Prefix();
    struct Case {
        const wchar_t* windows;
        std::string host;
    };
    const Case cases[] = {
        // Existing folders are found whatever the case: a new prefix has them in lower case.
        {L"C:\\Windows\\System32\\drivers\\etc\\hosts",
         prefix + "/drive_c/windows/system32/drivers/etc/hosts"},
        {L"c:\\ProgramData", prefix + "/drive_c/ProgramData"},
        {L"Z:\\tmp\\x.txt", "/tmp/x.txt"},
        {L"D:\\Tools\\check.txt", prefix + "/drive_d/Tools/check.txt"},
        {L"check.txt", "check.txt"},
        {L"sub\\check.txt", "sub/check.txt"},
        {L"\\tmp\\y", "/tmp/y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(standin::HostPath(c.windows), c.host);
    }
}

TEST(TextConversion, IllFormedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring text;
    };
    const Case cases[] = {
        {"abc", L"abc"},
        {"\xC3\xA9", L"\xE9"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
        {"\xC3", L"\xFFFD"},      // cut inside a character
        {"\xE2\x82", L"\xFFFD"},  // one replacement for the cut prefix
        {"\xE2\x82"
         "a",
         L"\xFFFD"
         L"a"},
        {"\xC0\xAF", L"\xFFFD\xFFFD"},            // overlong
        {"\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},  // a surrogate
        {"\xFF"
         "x",
         L"\xFFFD"
         L"x"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(standin::WideFromUtf8(c.bytes), c.text);
    }
    EXPECT_EQ(standin::Utf8FromWide(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(TextConversion, WideCharToMultiByteSizesAndErrors) {
    char out[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\xE9x", 2, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\xE9x", -1, nullptr, 0, nullptr, nullptr), 4);
    SetLastError(Sentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\xE9x", 2, out, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\xE9x", 2, out, 8, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(out, 3), "\xC3\xA9x");
}

using MachineConfigurationTest = MachineTest;

TEST_F(MachineConfigurationTest, KeysAndValues) {
    EXPECT_TRUE(machine().Configure("account", "system"));
    EXPECT_TRUE(machine().IsLocalSystem());
    EXPECT_TRUE(machine().Configure("account", "user"));
    EXPECT_FALSE(machine().IsLocalSystem());
    EXPECT_FALSE(machine().Configure("account", "root"));
    EXPECT_TRUE(machine().Configure("clock", "2019-03-01T12:05:09.250"));
    SYSTEMTIME now;
    GetSystemTime(&now);
    EXPECT_EQ(now.wMinute, 5);
    EXPECT_EQ(now.wMilliseconds, 250);
    EXPECT_FALSE(machine().Configure("clock", "2019-02-30T00:00:00"));
    EXPECT_TRUE(machine().Configure("version", "1.0.300.7"));
    DWORD ms = 0, ls = 0;
    machine().FileVersion(&ms, &ls);
    EXPECT_EQ(ms, 0x00010000u);
    EXPECT_EQ(ls, 0x012C0007u);
    EXPECT_FALSE(machine().Configure("version", "1.0.70000.0"));
    EXPECT_TRUE(machine().Configure("fail", "CloseHandle:6:0:always"));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(machine().Configure("fail", "CloseHandle"));
    // A fault aimed at one file leaves the others alone.
    EXPECT_TRUE(machine().Configure("fail", "GetFileSize@b.bin:5:0:always"));
    WriteHostFile(workDir() + "/a.bin", "a");
    WriteHostFile(workDir() + "/b.bin", "b");
    HANDLE a = CreateFileW(WindowsPath("a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    HANDLE b = CreateFileW(WindowsPath("b.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    EXPECT_EQ(GetFileSize(a, nullptr), 1u);
    EXPECT_EQ(GetFileSize(b, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_FALSE(machine().Configure("colour", "blue"));
}

}  // namespace
