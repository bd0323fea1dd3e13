// The account check on the real token: Wine's user is an ordinary one, LocalSystem is the token's
// user as answered through GetTokenInformation, and each step of the check can fail.
#include "app/account_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/local_system_answer.h"
#include "support/windows/faults.h"
#include "support/windows/guarded_heap.h"

namespace {

// Whether the program's token has SeSecurityPrivilege enabled; `enable` sets it first.
bool SecurityPrivilegeEnabled(bool* enable = nullptr) {
    HANDLE token = nullptr;
    EXPECT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &token));
    LUID luid;
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, L"SeSecurityPrivilege", &luid));
    if (enable != nullptr) {
        TOKEN_PRIVILEGES privileges = {1, {{luid, *enable ? SE_PRIVILEGE_ENABLED : 0u}}};
        EXPECT_TRUE(
            AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr));
    }
    char buffer[4096];
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer, sizeof(buffer), &size));
    CloseHandle(token);
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& held = privileges->Privileges[i];
        if (held.Luid.LowPart == luid.LowPart && held.Luid.HighPart == luid.HighPart) {
            return (held.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    return false;
}

class AccountCheckTest : public testing::Test {
  protected:
    void TearDown() override { guarded_heap::Reset(); }

    bool Check() {
        SetLastError(0xdeadbeef);
        return IsLocalSystem();
    }

    ImportFaults faults_;
};

TEST_F(AccountCheckTest, LocalSystemIsRecognisedAndItsSecurityPrivilegeEnabled) {
    bool disable = false;
    ASSERT_FALSE(SecurityPrivilegeEnabled(&disable));
    AnswerTokenUserAsLocalSystem(faults_);
    EXPECT_TRUE(Check());
    EXPECT_TRUE(SecurityPrivilegeEnabled());
    EXPECT_EQ(ImportFaults::Calls(Api::FreeSid), 1u);
    EXPECT_EQ(ImportFaults::Calls(Api::CloseHandle), 1u) << "the token is closed";
}

// Wine's own account is an ordinary user (an administrator, but not LocalSystem).
TEST_F(AccountCheckTest, OrdinaryUserIsNotLocalSystem) {
    EXPECT_FALSE(Check());
    EXPECT_EQ(ImportFaults::Calls(Api::EqualSid), 1u);
    EXPECT_EQ(ImportFaults::Calls(Api::FreeSid), 1u);
    EXPECT_EQ(ImportFaults::Calls(Api::CloseHandle), 1u);
}

TEST_F(AccountCheckTest, MissingPrivilegeAloneDoesNotMakeTheResultFalse) {
    AnswerTokenUserAsLocalSystem(faults_);
    // What a token without the privilege answers.
    faults_.Answer<Api::AdjustTokenPrivileges>(
        [](HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
            SetLastError(ERROR_NOT_ALL_ASSIGNED);
            return TRUE;
        });
    EXPECT_TRUE(Check());
}

TEST_F(AccountCheckTest, EveryFailingStepYieldsFalse) {
    struct Case {
        const char* step;
        void (*arrange)(ImportFaults&);
    };
    const Case cases[] = {
        {"OpenProcessToken",
         [](ImportFaults& f) { f.Fail<Api::OpenProcessToken>(FALSE, ERROR_ACCESS_DENIED); }},
        {"LookupPrivilegeValueW",
         [](ImportFaults& f) { f.Fail<Api::LookupPrivilegeValueW>(FALSE, ERROR_ACCESS_DENIED); }},
        {"AdjustTokenPrivileges",
         [](ImportFaults& f) { f.Fail<Api::AdjustTokenPrivileges>(FALSE, ERROR_ACCESS_DENIED); }},
        {"GetTokenInformation, the size",
         [](ImportFaults& f) { f.Fail<Api::GetTokenInformation>(FALSE, ERROR_ACCESS_DENIED); }},
        {"GetTokenInformation, the user",
         [](ImportFaults& f) {
             f.Fail<Api::GetTokenInformation>(FALSE, ERROR_ACCESS_DENIED, Nth(2));
         }},
        {"the user's buffer", [](ImportFaults&) { guarded_heap::FailAllocations(1, false); }},
        {"AllocateAndInitializeSid",
         [](ImportFaults& f) {
             f.Fail<Api::AllocateAndInitializeSid>(FALSE, ERROR_NOT_ENOUGH_MEMORY);
         }},
    };
    const size_t liveBlocks = guarded_heap::LiveBlocks();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        ResetImportFaults();
        AnswerTokenUserAsLocalSystem(faults_);
        c.arrange(faults_);
        EXPECT_FALSE(Check());
        const unsigned tokens = ImportFaults::Calls(Api::OpenProcessToken) -
                                (std::strcmp(c.step, "OpenProcessToken") == 0 ? 1 : 0);
        EXPECT_EQ(ImportFaults::Calls(Api::CloseHandle), tokens) << "every token opened is closed";
        EXPECT_EQ(ImportFaults::Calls(Api::FreeSid), 0u);
        EXPECT_TRUE(Check()) << "the failure was used up";
        EXPECT_EQ(guarded_heap::LiveBlocks(), liveBlocks);
    }
}

}  // namespace
