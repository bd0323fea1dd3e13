// A fresh stand-in machine for each test: its own temporary prefix and working folder, the
// account set to an ordinary user, no console, the service host routed to a closed loopback
// port, and the run's report log forgotten.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "machine.h"

class MachineTest : public ::testing::Test {
  public:
    // Files of the host, for checking what the tool wrote.
    static std::string ReadHostFile(const std::string& path);
    static void WriteHostFile(const std::string& path, const std::string& bytes);

  protected:
    void SetUp() override;
    void TearDown() override;

    standin::Machine& machine() { return standin::Machine::Current(); }

    // A folder of the test's own, and the same as a Windows path ("Z:\...").
    const std::string& workDir() const { return workDir_; }
    std::wstring WindowsPath(const std::string& name) const;

  private:
    std::string root_;
    std::string workDir_;
    std::string oldCwd_;
};

// Captures what the process writes to standard output and standard error while it lives.
class CapturedStreams {
  public:
    CapturedStreams();
    ~CapturedStreams();
    std::string Stdout();
    std::string Stderr();

  private:
    std::string Finish(int which);
    int saved_[2];
    std::string files_[2];
    bool done_ = false;
    std::string out_, err_;
};

// The log's bytes as the UTF-8 of its UTF-16LE text (the byte order mark kept as U+FEFF).
std::string DecodeUtf16Log(const std::string& bytes);
