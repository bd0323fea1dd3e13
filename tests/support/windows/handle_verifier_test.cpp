// The handle verifier fails a test for a handle the code under test leaves open and for a close
// of a handle it does not hold, with one line naming the call; balanced and failed calls pass.
// The calls here go through the code under test's own import table entries.
#include "support/windows/handle_verifier.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/windows/faults.h"
#include "support/windows/scratch.h"

namespace {

template <Api Id, typename... Args>
auto CodeUnderTest(Args... args) {
    return faults_detail::InterceptorOf<Id>::Call(args...);
}

class HandleVerifierTest : public testing::Test {
  protected:
    void TearDown() override { handle_verifier::Forget(); }

    // A new file each time: one left open is not shared.
    HANDLE OpenFile() {
        const std::wstring path = folder_ / (L"held" + std::to_wstring(++files_) + L".bin");
        return CodeUnderTest<Api::CreateFileW>(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    HKEY OpenKey() {
        HKEY key = nullptr;
        EXPECT_EQ(
            CodeUnderTest<Api::RegOpenKeyExW>(HKEY_CURRENT_USER, L"Software", 0u, KEY_READ, &key),
            ERROR_SUCCESS);
        return key;
    }

    ImportFaults faults_;
    ScratchFolder folder_;
    unsigned files_ = 0;
};

TEST_F(HandleVerifierTest, LeaksAndForeignClosesFailWithTheirLine) {
    struct Case {
        const char* name;
        std::function<void()> action;  // a failure expected from it
        std::string line;
    };
    HANDLE file = nullptr;
    HKEY key = nullptr;
    const Case cases[] = {
        {"leaked file",
         [&] {
             file = OpenFile();
             ASSERT_NE(file, INVALID_HANDLE_VALUE);
             handle_verifier::CheckLeaks();
         },
         "handle verifier: CreateFileW opened file handle 0x"},
        {"leaked registry key",
         [&] {
             key = OpenKey();
             handle_verifier::CheckLeaks();
         },
         "handle verifier: RegOpenKeyExW opened registry key 0x"},
        {"double close",
         [&] {
             HANDLE twice = OpenFile();
             ASSERT_NE(twice, INVALID_HANDLE_VALUE);
             EXPECT_TRUE(CodeUnderTest<Api::CloseHandle>(twice));
             CodeUnderTest<Api::CloseHandle>(twice);
         },
         "handle verifier: CloseHandle closed 0x"},
        {"close of the test's own key",
         [&] {
             HKEY own = nullptr;
             ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &own),
                       ERROR_SUCCESS);
             CodeUnderTest<Api::RegCloseKey>(own);
         },
         "which the code under test does not hold (closed twice, or not its own)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NONFATAL_FAILURE(c.action(), c.line);
    }
    // The leaks were forgotten once reported: their closes now are foreign ones.
    EXPECT_EQ(handle_verifier::Held(), 0u);
    CloseHandle(file);
    RegCloseKey(key);
}

TEST_F(HandleVerifierTest, BalancedFailedAndFixtureCallsPass) {
    HANDLE file = OpenFile();
    HKEY key = OpenKey();
    EXPECT_EQ(handle_verifier::Held(), 2u);
    EXPECT_TRUE(CodeUnderTest<Api::CloseHandle>(file));
    EXPECT_EQ(CodeUnderTest<Api::RegCloseKey>(key), ERROR_SUCCESS);
    // A planned failure opens nothing; a close that fails keeps the handle; a predefined root
    // is no handle of the code's.
    faults_.Fail<Api::CreateFileW>(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenFile(), INVALID_HANDLE_VALUE);
    file = OpenFile();
    faults_.Fail<Api::CloseHandle>(FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CodeUnderTest<Api::CloseHandle>(file));
    EXPECT_EQ(handle_verifier::Held(), 1u);
    EXPECT_TRUE(CodeUnderTest<Api::CloseHandle>(file));
    CodeUnderTest<Api::RegCloseKey>(HKEY_CURRENT_USER);
    // A fixture's own calls: neither failed nor reported.
    {
        PausedFaults fixture;
        file = OpenFile();
    }
    handle_verifier::CheckLeaks();
    EXPECT_EQ(handle_verifier::Held(), 1u);  // the fixture's, until it closes it
    {
        PausedFaults fixture;
        EXPECT_TRUE(CodeUnderTest<Api::CloseHandle>(file));
        CodeUnderTest<Api::CloseHandle>(file);
    }
    EXPECT_EQ(handle_verifier::Held(), 0u);
}

}  // namespace
