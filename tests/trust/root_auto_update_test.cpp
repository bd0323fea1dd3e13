// The root auto-update check's reasons for a key it cannot open: the open's own result.
#include "trust/root_auto_update.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "support/registry_text.h"

namespace {

const std::string Heading = "\r\n\r\nTrusted store auto update configuration:";
const std::string CannotOpen =
    "error: \r\nError: Cannot open key "
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents [gle:";

class RootAutoUpdateTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        standin::Machine::OsVersion xp;
        xp.major = 5;
        xp.minor = 1;
        machine().SetOsVersion(xp);
    }
    std::string Check() {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        SetLastError(0xdeadbeef);  // what an earlier call might have left behind
        CheckRootAutoUpdate();
        return streams.Stderr();
    }
};

TEST_F(RootAutoUpdateTest, ComponentKeyFailureShowsTheOpensReason) {
    EXPECT_EQ(Check(), Heading + CannotOpen + "0x00000002]");
}

TEST_F(RootAutoUpdateTest, ComponentKeyDeniedShowsAccessDenied) {
    ImportRegistry(
        "[HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents]"
        "\r\n\"rootautoupdate\"=dword:00000001\r\n");
    machine().FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Check(), Heading + CannotOpen + "0x00000005]");
}

TEST_F(RootAutoUpdateTest, AnyComponentValueButOneDisables) {
    ImportRegistry(
        "[HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents]"
        "\r\n\"rootautoupdate\"=dword:00000002\r\n"
        "[HKLM\\SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot]\r\n"
        "\"DisableRootAutoUpdate\"=dword:ffffffff\r\n");
    EXPECT_EQ(Check(),
              Heading +
                  "error: \r\nError: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
                  "Manager\\Subcomponents\\rootautoupdate [0x00000002] disables certificate auto "
                  "update"
                  "error: \r\n Try to enable 'Update Root Certificates' component in\r\n\t "
                  "Control Panel > Add Or Remove Programs > Add/Remove Windows Components'"
                  "error: \r\nError: "
                  "SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\"
                  "DisableRootAutoUpdate [0xffffffff] disables certificate auto update");
}

}  // namespace
