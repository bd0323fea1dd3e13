#include "support/machine_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "report/report_log.h"
#include "text.h"

void MachineTest::SetUp() {
    char pattern[] = "/tmp/skelvane-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    workDir_ = root_ + "/work";
    ASSERT_EQ(mkdir(workDir_.c_str(), 0755), 0);
    standin::Machine::Reset(root_ + "/prefix");
    machine().SetLocalSystem(false);
    machine().SetConsoleDevice(root_ + "/no-console");
    // A run's endpoint probe never leaves the machine: nothing listens where it connects.
    machine().SetHttpsRoute("service.tolv.com", "127.0.0.1", 9);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    ASSERT_EQ(chdir(workDir_.c_str()), 0);
    g_reportLog = nullptr;
    FileHandle::reporter = nullptr;
}

void MachineTest::TearDown() {
    delete g_reportLog;
    g_reportLog = nullptr;
    if (chdir(oldCwd_.c_str()) != 0) {
        ADD_FAILURE() << "cannot return to " << oldCwd_;
    }
    std::string command = "rm -rf '" + root_ + "'";
    if (system(command.c_str()) != 0) {
        ADD_FAILURE() << "cannot remove " << root_;
    }
}

std::wstring MachineTest::WindowsPath(const std::string& name) const {
    return standin::WindowsPathOfHost(workDir_ + "/" + name);
}

std::string MachineTest::ReadHostFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void MachineTest::WriteHostFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

CapturedStreams::CapturedStreams() {
    for (int which = 0; which < 2; ++which) {
        int fd = which == 0 ? 1 : 2;
        char pattern[] = "/tmp/skelvane-stream-XXXXXX";
        int file = mkstemp(pattern);
        files_[which] = pattern;
        fflush(which == 0 ? stdout : stderr);
        saved_[which] = dup(fd);
        dup2(file, fd);
        close(file);
    }
}

std::string CapturedStreams::Finish(int which) {
    int fd = which == 0 ? 1 : 2;
    fflush(which == 0 ? stdout : stderr);
    dup2(saved_[which], fd);
    close(saved_[which]);
    std::string text = MachineTest::ReadHostFile(files_[which]);
    unlink(files_[which].c_str());
    return text;
}

CapturedStreams::~CapturedStreams() {
    if (!done_) {
        Stdout();
    }
}

std::string CapturedStreams::Stdout() {
    if (!done_) {
        done_ = true;
        out_ = Finish(0);
        err_ = Finish(1);
    }
    return out_;
}

std::string CapturedStreams::Stderr() {
    Stdout();
    return err_;
}

std::string DecodeUtf16Log(const std::string& bytes) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = static_cast<unsigned char>(bytes[i]) |
                        (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                text += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        text += static_cast<wchar_t>(unit);
    }
    return standin::Utf8FromWide(text);
}
