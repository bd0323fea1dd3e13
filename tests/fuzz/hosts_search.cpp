// The hosts file test on any file: the verdict follows from the file's text up to its first zero
// byte (a vendor name in it, letters compared without case), and a file that names one is shown
// between the rulers exactly as far as that zero byte.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "machine.h"
#include "net/hosts_file.h"
#include "report/report_log.h"
#include "text.h"

namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The log's UTF-16LE text after its byte order mark, as UTF-8.
std::string LogText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    const std::string data = bytes.str();
    std::wstring wide;
    for (size_t i = 2; i + 1 < data.size(); i += 2) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(data[i]) |
                                     (static_cast<unsigned char>(data[i + 1]) << 8));
    }
    return standin::Utf8FromWide(wide);
}

// The UTF-8 of the file's bytes as "%S" widens them: each byte one character.
std::string Widened(const std::string& bytes) {
    std::wstring wide;
    for (unsigned char byte : bytes) {
        wide += static_cast<wchar_t>(byte);
    }
    return standin::Utf8FromWide(wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One folder for the whole run, removed when the fuzzer exits.
    static const struct Folder {
        std::string path;
        Folder() {
            char folder[] = "/tmp/skelvane-fuzz-hosts-XXXXXX";
            path = mkdtemp(folder);
        }
        ~Folder() { std::filesystem::remove_all(path); }
    } folder;
    const std::string& root = folder.path;
    standin::Machine::Reset(root + "/prefix");
    const std::string hosts = root + "/prefix/drive_c/windows/system32/drivers/etc/hosts";
    std::ofstream(hosts, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
    const std::string log = root + "/skelvane.txt";
    unlink(log.c_str());

    // The report's console copy goes nowhere; the log is read back.
    const int savedStderr = dup(2);
    const int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, 2);
    g_reportLog = new ReportLog(standin::WindowsPathOfHost(log).c_str());
    TestHostsFile();
    delete g_reportLog;
    g_reportLog = nullptr;
    dup2(savedStderr, 2);
    close(savedStderr);
    close(nowhere);

    const std::string text = LogText(log);
    const std::string shown(reinterpret_cast<const char*>(data),
                            strnlen(reinterpret_cast<const char*>(data), size));
    const std::string lower = LowerAscii(shown);
    const bool named =
        lower.find("tolv.com") != std::string::npos || lower.find("tolv.eu") != std::string::npos;
    const std::string ruler = "\r\n==================\r\n";
    if (size == 0) {
        if (text.find("warning: \r\nwarning: Empty file") == std::string::npos) {
            __builtin_trap();
        }
    } else if (named) {
        if (text.find(ruler + Widened(shown) + "\r\n==================") == std::string::npos) {
            __builtin_trap();
        }
    } else if (text.find("test:\r\nOK") == std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
