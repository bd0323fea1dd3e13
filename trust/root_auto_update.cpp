#include "root_auto_update.h"

#include "platform/win32.h"
#include "report/report_log.h"
#include "sysinfo/os_version.h"
#include "sysinfo/registry_values.h"

namespace {

const wchar_t ComponentKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents";
const wchar_t PolicyKey[] = L"SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot";

// The "Update Root Certificates" component of Windows before Vista: 1 installs it.
void CheckRootUpdateComponent() {
    ScopedRegKey key;
    LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ComponentKey, 0, RegistryReadAccess, key.Put());
    if (opened != ERROR_SUCCESS) {
        // The open reports its failure in its result only; the line shows that reason.
        SetLastError(static_cast<DWORD>(opened));
        g_reportLog->PrintError(
            L"\r\nError: Cannot open key "
            L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC Manager\\Subcomponents "
            L"[gle:0x%08x]",
            GetLastError());
        return;
    }
    DWORD value = 0;
    if (!ReadRegDword(key.Get(), L"rootautoupdate", &value)) {
        g_reportLog->PrintWarning(
            L"\r\nSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
            L"Manager\\Subcomponents\\rootautoupdate does not not exists - Warning");
    } else if (value == 1) {
        g_reportLog->Print(
            L"\r\nSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
            L"Manager\\Subcomponents\\rootautoupdate is enabled - OK");
    } else {
        g_reportLog->PrintError(
            L"\r\nError: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\OC "
            L"Manager\\Subcomponents\\rootautoupdate [0x%08x] disables certificate auto update",
            value);
        g_reportLog->PrintError(
            L"\r\n Try to enable 'Update Root Certificates' component in\r\n\t Control Panel > "
            L"Add Or Remove Programs > Add/Remove Windows Components'");
    }
}

// The certificate policy of every system: any value but 0 switches the update off.
void CheckRootUpdatePolicy(bool vistaOrLater) {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PolicyKey, 0, RegistryReadAccess, key.Put()) !=
        ERROR_SUCCESS) {
        if (vistaOrLater) {
            g_reportLog->Print(
                L"\r\nInfo: Key SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot "
                L"does not exists. - OK");
        }
        return;
    }
    DWORD value = 0;
    if (!ReadRegDword(key.Get(), L"DisableRootAutoUpdate", &value)) {
        g_reportLog->Print(
            L"\r\nSOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\DisableRootAutoUpdat"
            L"e"
            L" does not not exists - OK");
    } else if (value == 0) {
        g_reportLog->Print(
            L"\r\nSOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\DisableRootAutoUpdat"
            L"e"
            L" does not disables certificate auto update - OK");
    } else {
        g_reportLog->PrintError(
            L"\r\nError: "
            L"SOFTWARE\\Policies\\Microsoft\\SystemCertificates\\AuthRoot\\DisableRootAutoUpdate "
            L"[0x%08x] disables certificate auto update",
            value);
    }
}

}  // namespace

void CheckRootAutoUpdate() {
    g_reportLog->Print(L"\r\n\r\nTrusted store auto update configuration:");
    const bool vistaOrLater = IsVistaOrLater();
    if (!vistaOrLater) {
        CheckRootUpdateComponent();
    }
    CheckRootUpdatePolicy(vistaOrLater);
}
