// The root auto-update check: the component setting (read before Vista only) and the certificate
// policy, each from the real registry, and the reasons for a key it cannot open.
#include "trust/root_auto_update.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "support/windows/registry_fixture.h"
#include "sysinfo/os_version.h"
#include "trust/trust_fixture.h"

namespace {

const std::string Heading = "\r\n\r\nTrusted store auto update configuration:";
const wchar_t ComponentKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents";
const wchar_t PolicyKey[] = L"SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot";
const std::string CannotOpen =
    "error: \r\nError: Cannot open key "
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents [gle:";
const std::string ComponentEnabled =
    "\r\nSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
    "Manager\\Subcomponents\\rootautoupdate is enabled - OK";
const std::string ComponentMissing =
    "warning: \r\nSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
    "Manager\\Subcomponents\\rootautoupdate does not not exists - Warning";
const std::string PolicyKeyMissing =
    "\r\nInfo: Key SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot does not exists. - "
    "OK";
const std::string PolicyValueMissing =
    "\r\nSOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\DisableRootAutoUpdate does "
    "not not exists - OK";
const std::string PolicyAllows =
    "\r\nSOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\DisableRootAutoUpdate does "
    "not disables certificate auto update - OK";

// The version the code under test sees. IsVistaOrLater looks RtlGetVersion up once per process,
// so the lookup is answered with this function before any test runs; it reports the real
// version unless a test has chosen one.
DWORD g_reportedMajor = 0;  // 0: the real version

LONG WINAPI ChosenRtlGetVersion(RTL_OSVERSIONINFOW* version) {
    static const auto real = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    const LONG status = real(version);
    if (status == 0 && g_reportedMajor != 0) {
        version->dwMajorVersion = g_reportedMajor;
        version->dwMinorVersion = g_reportedMajor == 5 ? 1 : 0;
    }
    return status;
}

class ChosenVersionLookup : public testing::Environment {
  public:
    void SetUp() override {
        ImportFaults faults;
        faults.Answer<Api::GetProcAddress>([](HMODULE module, LPCSTR name) -> FARPROC {
            if (reinterpret_cast<uintptr_t>(name) > 0xFFFF && strcmp(name, "RtlGetVersion") == 0) {
                return reinterpret_cast<FARPROC>(
                    reinterpret_cast<void (*)()>(&ChosenRtlGetVersion));
            }
            return ImportFaults::Real<Api::GetProcAddress>(module, name);
        });
        IsVistaOrLater();
    }
};
const testing::Environment* const g_chosenVersion =
    testing::AddGlobalTestEnvironment(new ChosenVersionLookup);

class RootAutoUpdateTest : public TrustTest {
  protected:
    void TearDown() override {
        g_reportedMajor = 0;
        TrustTest::TearDown();
    }
    std::string Check(DWORD major) {
        g_reportedMajor = major;
        StartReport();
        SetLastError(0xdeadbeef);  // what an earlier call might have left behind
        CheckRootAutoUpdate();
        return ConsoleText();
    }
};

struct Values {
    bool componentKey;
    const wchar_t* component;  // null: no value
    DWORD componentValue;
    bool policyKey;
    bool policyValue;
    DWORD policyValueData;
};

TEST_F(RootAutoUpdateTest, EverySetting) {
    // The prefix has neither key (Wine leaves both out, as a new Windows does).
    HKEY probe = nullptr;
    ASSERT_NE(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, ComponentKey, 0, KEY_READ | KEY_WOW64_64KEY, &probe),
        ERROR_SUCCESS);
    ASSERT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, PolicyKey, 0, KEY_READ | KEY_WOW64_64KEY, &probe),
              ERROR_SUCCESS);
    const struct {
        const char* name;
        DWORD major;
        Values values;
        std::string expected;
    } cases[] = {
        {"XP, no keys",
         5,
         {false, nullptr, 0, false, false, 0},
         Heading + CannotOpen + "0x00000002]"},
        {"XP, component on, no policy value",
         5,
         {true, L"rootautoupdate", 1, true, false, 0},
         Heading + ComponentEnabled + PolicyValueMissing},
        {"XP, component value missing, policy 0",
         5,
         {true, nullptr, 0, true, true, 0},
         Heading + ComponentMissing + PolicyAllows},
        {"XP, any component value but one, any policy value but 0",
         5,
         {true, L"rootautoupdate", 2, true, true, 0xffffffff},
         Heading + "error: \r\nError: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
                   "Manager\\Subcomponents\\rootautoupdate [0x00000002] disables certificate auto "
                   "update"
                   "error: \r\n Try to enable 'Update Root Certificates' component in\r\n\t "
                   "Control Panel > Add Or Remove Programs > Add/Remove Windows Components'"
                   "error: \r\nError: "
                   "SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\"
                   "DisableRootAutoUpdate [0xffffffff] disables certificate auto update"},
        // From Vista on the component is not read, and a missing policy key is said to be fine.
        {"Vista, no keys", 6, {false, nullptr, 0, false, false, 0}, Heading + PolicyKeyMissing},
        {"Vista, component off, policy 1",
         6,
         {true, L"rootautoupdate", 0, true, true, 1},
         Heading + "error: \r\nError: "
                   "SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\"
                   "DisableRootAutoUpdate [0x00000001] disables certificate auto update"},
        {"real version", 0, {false, nullptr, 0, true, true, 0}, Heading + PolicyAllows},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<ScratchKey> component, policy;
        if (c.values.componentKey) {
            component = std::make_unique<ScratchKey>(HKEY_LOCAL_MACHINE, ComponentKey);
            if (c.values.component != nullptr) {
                component->SetDword(c.values.component, c.values.componentValue);
            }
        }
        if (c.values.policyKey) {
            policy = std::make_unique<ScratchKey>(HKEY_LOCAL_MACHINE, PolicyKey);
            if (c.values.policyValue) {
                policy->SetDword(L"DisableRootAutoUpdate", c.values.policyValueData);
            }
        }
        EXPECT_EQ(Check(c.major), c.expected);
        EndReport();
    }
}

// The open reports its failure in its result only: the line shows that, not the last error.
TEST_F(RootAutoUpdateTest, ComponentKeyDeniedShowsTheOpensResult) {
    ScratchKey component(HKEY_LOCAL_MACHINE, ComponentKey);
    component.SetDword(L"rootautoupdate", 1);
    faults_.Fail<Api::RegOpenKeyExW>(LONG(ERROR_ACCESS_DENIED), 0);
    EXPECT_EQ(Check(5), Heading + CannotOpen + "0x00000005]");
}

}  // namespace
