#include "proxy_settings.h"

#include "platform/holders.h"
#include "report/report_log.h"
#include "sysinfo/registry_values.h"

namespace {

struct ProxyKey {
    HKEY root;
    const wchar_t* subKey;
    bool reportOpenFailure;  // the policies key is normally absent
};

const ProxyKey ProxyKeys[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", true},
    {HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", false},
    {HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", true},
    {HKEY_USERS, L"S-1-5-18\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
     true},
};

const wchar_t* RootPrefix(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) {
        return L"HKLM\\";
    }
    if (root == HKEY_USERS) {
        return L"HKU\\";
    }
    return L"HKCU\\";
}

// The texts of one string value: continuing the key's block, or opening it with a header.
struct StringValueTexts {
    const wchar_t* name;
    const wchar_t* continuation;
    const wchar_t* header;
    bool reportedOnceBuffered;  // the flag is set once the buffer is obtained, read or not
};

const StringValueTexts ProxyServerTexts = {L"ProxyServer", L"\r\n           @ProxyServer=\"%s\"",
                                           L"\r\n%s%s%s\r\n           @ProxyServer=\"%s\"", false};
const StringValueTexts ProxyOverrideTexts = {
    L"ProxyOverride", L"\r\n           @ProxyOverride=\"%s\"",
    L"\r\n%s%s%s\r\n           @ProxyOverride=\"%s\"", true};

void ReportProxyString(HKEY key, const wchar_t* prefix, const wchar_t* subKey,
                       const StringValueTexts& texts, bool* reported) {
    DWORD size = 0;
    ScopedHeapText text;
    const bool read = ReadRegText(key, texts.name, &size, &text);
    // Nothing to report for a value missing or stored without a byte, or without a buffer.
    if (size == 0 || text.IsEmpty()) {
        return;
    }
    if (read) {
        if (*reported) {
            g_reportLog->Print(texts.continuation, text.Get());
        } else {
            g_reportLog->Print(texts.header, L"Info   : ", prefix, subKey, text.Get());
        }
        *reported = true;
    } else if (texts.reportedOnceBuffered) {
        *reported = true;
    }
}

}  // namespace

void ReportProxySettings() {
    g_reportLog->Print(L"\r\n\r\nProxy detection:");
    bool anyReported = false;
    for (const ProxyKey& row : ProxyKeys) {
        if (ReportProxyKey(row.root, row.subKey, row.reportOpenFailure)) {
            anyReported = true;
        }
    }
    if (!anyReported) {
        g_reportLog->Print(L"\r\nOK");
    }
}

bool ReportProxyKey(HKEY root, const wchar_t* subKey, bool reportOpenFailure) {
    const wchar_t* prefix = RootPrefix(root);
    bool reported = false;
    ScopedRegKey key;
    LONG opened = RegOpenKeyExW(root, subKey, 0, RegistryReadAccess, key.Put());
    if (opened != ERROR_SUCCESS) {
        if (reportOpenFailure) {
            // The open reports its failure in its result only; the line shows that reason.
            SetLastError(static_cast<DWORD>(opened));
            g_reportLog->PrintError(L"\r\nError: Cannot open key %s [gle:0x%08x]", subKey,
                                    GetLastError());
        }
        return false;
    }
    DWORD value = 0;
    if (ReadRegDword(key.Get(), L"ProxyEnable", &value) && value != 0) {
        g_reportLog->PrintWarning(L"\r\nWarning: %s%s\r\n           @ProxyEnable=%d", prefix,
                                  subKey, value);
        reported = true;
    }
    if (ReadRegDword(key.Get(), L"ProxySettingsPerUser", &value)) {
        g_reportLog->Print(
            L"\r\nInfo: %s%s\r\n           @ProxySettingsPerUser=%d%s", prefix, subKey, value,
            value == 0 ? L" (Proxy settings are managed by system administrator.)" : L"");
    }
    ReportProxyString(key.Get(), prefix, subKey, ProxyServerTexts, &reported);
    ReportProxyString(key.Get(), prefix, subKey, ProxyOverrideTexts, &reported);
    return reported;
}
