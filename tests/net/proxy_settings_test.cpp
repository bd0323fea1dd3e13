// The proxy report of one key: its blocks as the stored values make them, and the paths that
// stored values alone cannot reach: failed reads, failed allocations, odd byte counts and the
// reason shown for a key that cannot be opened.
#include "net/proxy_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_log.h"
#include "support/windows/registry_fixture.h"
#include "support/windows/scratch.h"

namespace {

const std::string KeyPath = "Software\\SkelvaneTest\\Internet Settings";

class ProxySettingsTest : public testing::Test {
  protected:
    void TearDown() override {
        delete g_reportLog;
        g_reportLog = nullptr;
    }

    std::string Report(bool* reported) {
        delete g_reportLog;
        g_reportLog = new ReportLog((folder_ / L"skelvane.txt").c_str());
        CapturedStreams streams(faults_);
        SetLastError(0xdeadbeef);  // what an earlier call might have left behind
        *reported = ReportProxyKey(HKEY_CURRENT_USER, Wide(KeyPath).c_str(), true);
        return streams.Stderr();
    }

    ScratchFolder folder_;
    ImportFaults faults_;
};

TEST_F(ProxySettingsTest, StringValueOutcomes) {
    struct Case {
        const char* name;
        const wchar_t* value;
        std::string bytes;  // UTF-16LE, as stored
        void (*plan)(ImportFaults&);
        std::string output;
        bool reported;
    };
    const std::string pColon8080(
        "p\0:\0"
        "8\0"
        "0\0"
        "8\0"
        "0\0\0\0",
        14);
    const std::string local("<\0l\0o\0c\0a\0l\0>\0\0\0", 16);
    const std::string info = "\r\nInfo   : HKCU\\" + KeyPath + "\r\n           @";
    // The reads before a value's: ProxyEnable and ProxySettingsPerUser (absent), then the size.
    const Case cases[] = {
        {"server read fails", L"ProxyServer", pColon8080,
         [](ImportFaults& f) { f.Fail<Api::RegQueryValueExW>(LONG(ERROR_MORE_DATA), 0, Nth(5)); },
         "", false},
        {"override read fails: still counts", L"ProxyOverride", local,
         [](ImportFaults& f) { f.Fail<Api::RegQueryValueExW>(LONG(ERROR_MORE_DATA), 0, Nth(6)); },
         "", true},
        {"server buffer refused", L"ProxyServer", pColon8080,
         [](ImportFaults& f) { f.Fail<Api::HeapAlloc>(LPVOID(nullptr), ERROR_NOT_ENOUGH_MEMORY); },
         "", false},
        {"override buffer refused", L"ProxyOverride", local,
         [](ImportFaults& f) { f.Fail<Api::HeapAlloc>(LPVOID(nullptr), ERROR_NOT_ENOUGH_MEMORY); },
         "", false},
        {"odd byte count is kept", L"ProxyServer",
         std::string("p\0:\0"
                     "8",
                     5),
         [](ImportFaults&) {}, info + "ProxyServer=\"p:8\"", true},
        {"even byte count without terminator", L"ProxyServer", std::string("p\0:\08\0", 6),
         [](ImportFaults&) {}, info + "ProxyServer=\"p:8\"", true},
        {"one byte", L"ProxyServer", "p", [](ImportFaults&) {}, info + "ProxyServer=\"p\"", true},
        {"stored size 0 is absent", L"ProxyServer", "", [](ImportFaults&) {}, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchKey key(HKEY_CURRENT_USER, Wide(KeyPath));
        key.SetBytes(c.value, REG_SZ, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        ResetImportFaults();
        c.plan(faults_);
        bool reported = !c.reported;
        EXPECT_EQ(Report(&reported), c.output);
        EXPECT_EQ(reported, c.reported);
    }
}

// A key's whole block: the enabled proxy's warning continued by its values, or an information
// header; the per-user setting is information that never counts as reported.
TEST_F(ProxySettingsTest, KeyBlocks) {
    struct Case {
        const char* name;
        DWORD enable;  // 0xFFFFFFFF: not stored
        DWORD perUser;
        const wchar_t* server;  // null: not stored
        const wchar_t* override;
        std::string output;
        bool reported;
    };
    const std::string key = "HKCU\\" + KeyPath;
    const std::string line = "\r\n           @";
    const DWORD none = 0xFFFFFFFF;
    const Case cases[] = {
        {"enabled with server and exceptions", 1, none, L"proxy:8080", L"<local>",
         "warning: \r\nWarning: " + key + line + "ProxyEnable=1" + line +
             "ProxyServer=\"proxy:8080\"" + line + "ProxyOverride=\"<local>\"",
         true},
        {"enabled alone", 2, none, nullptr, nullptr,
         "warning: \r\nWarning: " + key + line + "ProxyEnable=2", true},
        {"disabled, server left behind", 0, none, L"proxy:8080", nullptr,
         "\r\nInfo   : " + key + line + "ProxyServer=\"proxy:8080\"", true},
        {"managed by the administrator", none, 0, nullptr, nullptr,
         "\r\nInfo: " + key + line +
             "ProxySettingsPerUser=0 (Proxy settings are managed by system administrator.)",
         false},
        {"per user", none, 1, nullptr, nullptr,
         "\r\nInfo: " + key + line + "ProxySettingsPerUser=1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchKey proxy(HKEY_CURRENT_USER, Wide(KeyPath));
        if (c.enable != none) {
            proxy.SetDword(L"ProxyEnable", c.enable);
        }
        if (c.perUser != none) {
            proxy.SetDword(L"ProxySettingsPerUser", c.perUser);
        }
        if (c.server != nullptr) {
            proxy.SetString(L"ProxyServer", c.server);
        }
        if (c.override != nullptr) {
            proxy.SetString(L"ProxyOverride", c.override);
        }
        bool reported = !c.reported;
        EXPECT_EQ(Report(&reported), c.output);
        EXPECT_EQ(reported, c.reported);
    }
}

TEST_F(ProxySettingsTest, ProxyEnableAsAStringIsIgnored) {
    ScratchKey key(HKEY_CURRENT_USER, Wide(KeyPath));
    key.SetString(L"ProxyEnable", L"1");
    bool reported = true;
    EXPECT_EQ(Report(&reported), "");
    EXPECT_FALSE(reported);
}

TEST_F(ProxySettingsTest, KeyThatCannotBeOpenedShowsTheOpensReason) {
    ScratchKey key(HKEY_CURRENT_USER, Wide(KeyPath));
    faults_.Fail<Api::RegOpenKeyExW>(LONG(ERROR_ACCESS_DENIED), 0);
    bool reported = true;
    EXPECT_EQ(Report(&reported),
              "error: \r\nError: Cannot open key " + KeyPath + " [gle:0x00000005]");
    EXPECT_FALSE(reported);
}

}  // namespace
