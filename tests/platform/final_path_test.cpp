// Where a handle really is, and the calls looked up at run time: each is found where the system
// has it, and a missing or failing one is an answer of "cannot say", never a wrong path.
#include "platform/final_path.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/optional_calls.h"
#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

// A misspelt name or module in the table would silently take a protection away.
TEST(OptionalCallsTest, EveryCallIsFoundWhereTheSystemHasIt) {
#define SKELVANE_EXPECT_FOUND(Module, Name, ...)                                             \
    EXPECT_NE(FindOptionalCall<optional_call::Name>(), nullptr) << #Name;                    \
    EXPECT_EQ(reinterpret_cast<void (*)()>(FindOptionalCall<optional_call::Name>()),         \
              reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(Module), #Name))) \
        << #Name;
    SKELVANE_OPTIONAL_CALLS(SKELVANE_EXPECT_FOUND)
#undef SKELVANE_EXPECT_FOUND
}

// What the code under test's GetFinalPathNameByHandleW answers; empty: the real call.
std::function<DWORD(HANDLE, LPWSTR, DWORD)> g_answer;

DWORD WINAPI AnsweredFinalPath(HANDLE handle, LPWSTR buffer, DWORD size, DWORD flags) {
    EXPECT_EQ(flags, DWORD{FILE_NAME_NORMALIZED | VOLUME_NAME_DOS});
    return g_answer(handle, buffer, size);
}

// Writes `path` as the call does: its length, or the size it needs when `size` is too small.
DWORD Give(const std::wstring& path, LPWSTR buffer, DWORD size) {
    if (size <= path.size()) {
        return static_cast<DWORD>(path.size() + 1);
    }
    wcscpy(buffer, path.c_str());
    return static_cast<DWORD>(path.size());
}

struct FinalPathCase {
    const char* name;
    bool callExists;
    std::function<DWORD(HANDLE, LPWSTR, DWORD)> answer;  // null: the real call
    std::wstring expected;                               // L"" : null, "cannot say"
};

const std::wstring LongPath = L"\\\\?\\C:\\" + std::wstring(400, L'a');

class FinalPathTest : public testing::TestWithParam<FinalPathCase> {};

TEST_P(FinalPathTest, AnswersWhatTheSystemSaysAndKeepsTheLastError) {
    const FinalPathCase& c = GetParam();
    ScratchFolder folder;
    const std::wstring path = folder / L"file";
    WriteFileBytes(path, "x");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    wchar_t real[1024] = {};
    ASSERT_GT(GetFinalPathNameByHandleW(file, real, 1024, 0), 0u);

    ImportFaults faults;
    g_answer = c.answer;
    faults.Answer<Api::GetProcAddress>([&c](HMODULE module, LPCSTR name) -> FARPROC {
        if (HIWORD(name) != 0 && strcmp(name, "GetFinalPathNameByHandleW") == 0) {
            if (!c.callExists) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            if (g_answer) {
                return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(AnsweredFinalPath));
            }
        }
        return ImportFaults::Real<Api::GetProcAddress>(module, name);
    });
    SetLastError(0x1234);
    PathText finalPath = FinalPathOf(file);
    EXPECT_EQ(GetLastError(), 0x1234u);
    CloseHandle(file);

    const std::wstring expected = c.expected == L"real" ? std::wstring(real) : c.expected;
    if (expected.empty()) {
        EXPECT_TRUE(finalPath.IsEmpty());
    } else {
        ASSERT_FALSE(finalPath.IsEmpty());
        EXPECT_EQ(std::wstring(finalPath.Get()), expected);
    }
    g_answer = nullptr;
}

const FinalPathCase FinalPathCases[] = {
    {"TheRealPath", true, nullptr, L"real"},
    {"BeforeVista", false, nullptr, L""},
    {"QueryFails", true,
     [](HANDLE, LPWSTR, DWORD) -> DWORD {
         SetLastError(ERROR_INVALID_FUNCTION);
         return 0;
     },
     L""},
    {"LongerThanMaxPath", true,
     [](HANDLE, LPWSTR buffer, DWORD size) { return Give(LongPath, buffer, size); }, LongPath},
    // A path that grows at each asking is given up, not chased for ever.
    {"GrowsAtEachAsking", true, [](HANDLE, LPWSTR, DWORD size) { return size + 1; }, L""},
};

INSTANTIATE_TEST_SUITE_P(Cases, FinalPathTest, testing::ValuesIn(FinalPathCases),
                         [](const testing::TestParamInfo<FinalPathCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
