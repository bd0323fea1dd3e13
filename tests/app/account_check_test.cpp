#include "app/account_check.h"

#include <gtest/gtest.h>

#include "support/machine_fixture.h"

namespace {

using AccountCheckTest = MachineTest;

TEST_F(AccountCheckTest, LocalSystemIsRecognisedAndItsSecurityPrivilegeEnabled) {
    machine().SetLocalSystem(true);
    EXPECT_TRUE(IsLocalSystem());
    EXPECT_TRUE(machine().SecurityPrivilegeEnabled());
}

TEST_F(AccountCheckTest, OrdinaryUserIsNotLocalSystem) {
    machine().SetLocalSystem(false);
    EXPECT_FALSE(IsLocalSystem());
    EXPECT_FALSE(machine().SecurityPrivilegeEnabled());  // the token does not hold it
}

TEST_F(AccountCheckTest, MissingPrivilegeAloneDoesNotMakeTheResultFalse) {
    machine().SetLocalSystem(true);
    machine().SetSecurityPrivilegeHeld(false);  // AdjustTokenPrivileges: ERROR_NOT_ALL_ASSIGNED
    EXPECT_TRUE(IsLocalSystem());
}

TEST_F(AccountCheckTest, EveryFailingStepYieldsFalse) {
    const char* steps[] = {"OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges",
                           "GetTokenInformation", "AllocateAndInitializeSid"};
    for (const char* step : steps) {
        machine().SetLocalSystem(true);
        machine().FailCall(step, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(IsLocalSystem()) << step;
        EXPECT_TRUE(IsLocalSystem()) << "after " << step;  // the fault was used up
    }
}

TEST_F(AccountCheckTest, SecondTokenInformationCallFailing) {
    machine().SetLocalSystem(true);
    machine().FailCall("GetTokenInformation", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(IsLocalSystem());
}

}  // namespace
