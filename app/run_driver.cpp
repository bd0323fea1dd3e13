#include "run_driver.h"

#include "account_check.h"
#include "cache/pki_cache.h"
#include "environment_report.h"
#include "key_wait.h"
#include "net/hosts_file.h"
#include "net/name_resolution.h"
#include "net/proxy_settings.h"
#include "net/service_endpoint.h"
#include "report/report_log.h"
#include "trust/chain_verification.h"
#include "trust/reference_certs.h"
#include "trust/root_auto_update.h"
#include "trust/sha2_support.h"
#include "trust/system_time.h"

namespace {

const wchar_t Prompt[] = L"\r\n\r\nPress any key to quit...";

const wchar_t ImportBanner[] =
    L"\r\n\r\n==================\r\nTest after import\r\n==================\r\n";

void RunChecks() {
    // Each check prints its own heading, findings and verdict; none changes the run.
    PrintOsInfo();
    PrintProductInfo();
    CheckSystemTime();
    CheckSha2Support();
    CheckRootAutoUpdate();
    ReportProxySettings();
    TestHostsFile();
    TestNameResolution();
    RunChainTest(false);
    RunChainTest(true);
    TestServiceEndpoint();
}

// Prompt, key wait, end banner: how every run but /pkiclean ends.
int EndRun(bool runningAsSystem, int exitCode) {
    g_reportLog->Print(Prompt);
    if (!runningAsSystem) {
        WaitForKeyPress();
    }
    delete g_reportLog;
    return exitCode;
}

}  // namespace

bool EqualsIgnoringAsciiCase(const wchar_t* text, const wchar_t* expected) {
    auto fold = [](wchar_t c) {
        return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    };
    for (; *text != L'\0' && *expected != L'\0'; ++text, ++expected) {
        if (fold(*text) != fold(*expected)) {
            return false;
        }
    }
    return *text == L'\0' && *expected == L'\0';
}

int RunDriver(int argc, wchar_t** argv) {
    if (!OpenReportLog(argc > 0 ? argv[0] : nullptr)) {
        return 1;
    }
    const bool runningAsSystem = IsLocalSystem();
    if (runningAsSystem) {
        g_reportLog->Print(L"User: NT AUTHORITY\\SYSTEM\r\n");
    }
    if (argc == 2) {
        if (EqualsIgnoringAsciiCase(argv[1], L"/fix")) {
            if (!ImportReferenceRoot()) {
                return EndRun(runningAsSystem, 1);
            }
            g_reportLog->Print(ImportBanner);
        } else if (EqualsIgnoringAsciiCase(argv[1], L"/pkiclean")) {
            CleanPkiCache();
            // The log stays open without its end banner; the system closes it at exit.
            return 0;
        }
    }
    RunChecks();
    return EndRun(runningAsSystem, 0);
}
