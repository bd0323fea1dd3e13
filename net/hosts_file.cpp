#include "hosts_file.h"

#include <cstring>

#include "net/hosts_search.h"
#include "platform/holders.h"
#include "platform/win32.h"
#include "report/file_handle.h"
#include "report/report_log.h"
#include "vendor/vendor_hosts.h"

namespace {

const wchar_t HostsPathTemplate[] = L"%SystemRoot%\\System32\\drivers\\etc\\hosts";
const DWORD HostsPathCapacity = 520;

using ScopedHeapBytes = ScopedHeapBlock<char>;

// Zero-filled, with one byte more than the file: a terminating zero for the string searches.
char* AllocateText(DWORD size) {
    return AllocateZeroed<char>(uint64_t{size} + 1);
}

// Every name found is reported; true when any was.
bool ReportKeysFound(const char* lowerText) {
    const VendorNamesFound found = FindVendorNames(lowerText);
    if (found.serviceHost) {
        g_reportLog->PrintError(L"\r\nerror: %s in hosts detected!\r\n", ServiceHost);
    }
    if (found.vendorDomainCom) {
        g_reportLog->PrintWarning(L"\r\nwarning: %s in hosts detected!\r\n", VendorDomainCom);
    }
    if (found.vendorDomainEu) {
        g_reportLog->PrintWarning(L"\r\nwarning: %s in hosts detected!\r\n", VendorDomainEu);
    }
    return found.Any();
}

// Reads the open file whole, closes it and reports what it names.
void SearchHostsFile(FileHandle& file, DWORD size, const wchar_t* path) {
    ScopedHeapBytes text(AllocateText(size));
    ScopedHeapBytes lowerText(text.IsEmpty() ? nullptr : AllocateText(size));
    if (text.IsEmpty() || lowerText.IsEmpty()) {
        g_reportLog->PrintError(L"\r\nerror: Out of memory\r\n");
        return;
    }
    const bool read = file.Read(text.Get(), size);
    file.Close();
    if (!read) {
        g_reportLog->PrintError(L"\r\nerror: Cannot read data from file '%s'\r\n", path);
        return;
    }
    memcpy(lowerText.Get(), text.Get(), size);
    LowerAsciiInPlace(lowerText.Get());
    if (ReportKeysFound(lowerText.Get())) {
        g_reportLog->Print(L"\r\n==================\r\n");
        g_reportLog->Print(L"%S", text.Get());
        g_reportLog->Print(L"\r\n==================");
    } else {
        g_reportLog->Print(L"\r\nOK");
    }
}

}  // namespace

void TestHostsFile() {
    g_reportLog->Print(L"\r\n\r\n%%SystemRoot%%\\System32\\drivers\\etc\\hosts test:");
    wchar_t path[HostsPathCapacity + 1] = {};
    const DWORD expanded = ExpandEnvironmentStringsW(HostsPathTemplate, path, HostsPathCapacity);
    // A path longer than the buffer is not opened half-written: it fails like the expansion.
    if (expanded == 0 || expanded > HostsPathCapacity) {
        g_reportLog->PrintError(
            L"\r\nerror: Cannot expand path '%%SystemRoot%%\\System32\\drivers\\etc\\hosts'\r\n");
        return;
    }
    FileHandle file;
    file.handle =
        CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file.IsOpen()) {
        g_reportLog->PrintError(L"\r\nerror: Cannot open file '%s'\r\n", path);
        return;
    }
    const DWORD size = GetFileSize(file.handle, nullptr);
    if (size == 0 || size == INVALID_FILE_SIZE) {
        g_reportLog->PrintWarning(L"\r\nwarning: Empty file '%s'\r\n", path);
        return;
    }
    SearchHostsFile(file, size, path);
}
