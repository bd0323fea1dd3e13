// The proxy report's paths that a registry file alone cannot reach: failed reads, failed
// allocations, odd byte counts and the reason shown for a key that cannot be opened.
#include "net/proxy_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/machine_fixture.h"
#include "support/registry_text.h"

namespace {

const std::string UserKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

class ProxySettingsTest : public MachineTest {
  protected:
    std::string Report(bool* reported) {
        g_reportLog = new ReportLog(WindowsPath("skelvane.txt").c_str());
        CapturedStreams streams;
        SetLastError(0xdeadbeef);  // what an earlier call might have left behind
        *reported = ReportProxyKey(HKEY_CURRENT_USER,
                                   L"SOFTWARE\\Microsoft\\Windows\\"
                                   L"CurrentVersion\\Internet Settings",
                                   true);
        return streams.Stderr();
    }
};

TEST_F(ProxySettingsTest, StringValueOutcomes) {
    struct Case {
        const char* name;
        std::string values;
        const char* function;  // fails once after `skip` calls
        unsigned skip;
        std::string output;
        bool reported;
    };
    const std::string info = "\r\nInfo   : HKCU\\" + UserKey + "\r\n           @";
    const Case cases[] = {
        {"server read fails", "\"ProxyServer\"=\"p:8080\"", "RegQueryValueExW", 4, "", false},
        {"override read fails: still counts", "\"ProxyOverride\"=\"<local>\"", "RegQueryValueExW",
         5, "", true},
        {"server buffer refused", "\"ProxyServer\"=\"p:8080\"", "HeapAlloc", 0, "", false},
        {"override buffer refused", "\"ProxyOverride\"=\"<local>\"", "HeapAlloc", 0, "", false},
        {"odd byte count is kept", "\"ProxyServer\"=hex(1):70,00,3a,00,38", nullptr, 0,
         info + "ProxyServer=\"p:8\"", true},
        {"even byte count without terminator", "\"ProxyServer\"=hex(1):70,00,3a,00,38,00", nullptr,
         0, info + "ProxyServer=\"p:8\"", true},
        {"one byte", "\"ProxyServer\"=hex(1):70", nullptr, 0, info + "ProxyServer=\"p\"", true},
        {"stored size 0 is absent", "\"ProxyServer\"=hex(1):", nullptr, 0, "", false},
        {"ProxyEnable as a string is ignored", "\"ProxyEnable\"=\"1\"", nullptr, 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::Machine::Reset(machine().Prefix() + "-" + std::to_string(&c - cases));
        ImportRegistry("[HKCU\\" + UserKey + "]\r\n" + c.values + "\r\n");
        if (c.function != nullptr) {
            machine().FailCall(c.function, ERROR_MORE_DATA, c.skip);
        }
        bool reported = !c.reported;
        EXPECT_EQ(Report(&reported), c.output);
        EXPECT_EQ(reported, c.reported);
        delete g_reportLog;
        g_reportLog = nullptr;
    }
}

TEST_F(ProxySettingsTest, KeyThatCannotBeOpenedShowsTheOpensReason) {
    machine().FailCall("RegOpenKeyExW", ERROR_ACCESS_DENIED);
    bool reported = true;
    EXPECT_EQ(Report(&reported),
              "error: \r\nError: Cannot open key " + UserKey + " [gle:0x00000005]");
    EXPECT_FALSE(reported);
}

}  // namespace
