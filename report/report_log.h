// The report log: the one object through which the run reports, to a UTF-16LE log file beside
// the program and to the console (standard error).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <new>

#include "file_handle.h"

class ReportLog : public FileHandle, public FailureReporter {
  public:
    // Opens (or creates) the log exclusively, appends, writes the byte order mark into an
    // empty file (one zero byte into a file of odd length, so the run starts on a UTF-16 code
    // unit), the start banner and the tool-version line. Holds no file when the open fails or
    // when the path is a link or the opened file is not the log at the path
    // (log_file_check.h): the run must not write wherever a link planted beside the program
    // points.
    // While it lives it is the reporter of every file handle's failures.
    explicit ReportLog(const wchar_t* logPath);
    // Writes the end banner and closes the file.
    ~ReportLog() override;

    // The object lives on the C heap like the tool's other blocks: a failed allocation is a null
    // result that OpenReportLog reports, never an exception.
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    static void* operator new(size_t size);
    static void operator delete(void* block) noexcept;
    static void operator delete(void* block, const std::nothrow_t&) noexcept;

    // Each formats one message with the report's formatter and writes it, prefix first, to the
    // log and (except LogOnly) to standard error. False when the message could not be formatted
    // for lack of memory; nothing is written then.
    bool Print(const wchar_t* format, ...);
    bool PrintError(const wchar_t* format, ...);    // prefix "error: "
    bool PrintWarning(const wchar_t* format, ...);  // prefix "warning: "
    bool LogOnly(const wchar_t* format, ...);

    // Makes the scratch buffer at least `count` characters long and zero-fills it.
    bool Reserve(uint32_t count);

    // The failure report of a file write or read: PrintError, except that a failure of its
    // own log write is not reported again.
    void PrintFailureReport(const wchar_t* format, va_list arguments) override;

    uint32_t capacity = 0;
    wchar_t* buffer = nullptr;

  protected:
    FailureReporter* ReportTarget() override;
    // Keeps the log on UTF-16 code units: a write cut after an odd byte count gets one zero
    // byte, so the messages after it still read.
    void AfterPartialWrite(DWORD written) override;

  private:
    enum class Target { LogAndConsole, LogOnly };
    bool PrintWith(const wchar_t* prefix, Target target, const wchar_t* format, va_list arguments);
    void Emit(const wchar_t* text, size_t length, Target target);
    bool WriteText(const wchar_t* text, size_t length);
    void WriteBanner(const wchar_t* format);

    int printDepth_ = 0;            // prints in progress: a nested one keeps off `buffer`
    bool inFailureReport_ = false;  // a failure report's own failures are not reported
    bool appending_ = true;         // false when the end of the file could not be reached
};

// count x unitSize in `Size` (the platform's size_t, or a narrower type in a test); false when
// the product does not fit.
template <typename Size>
bool ScratchByteSize(uint32_t count, Size unitSize, Size* bytes) {
    if (unitSize != 0 && count > static_cast<Size>(-1) / unitSize) {
        return false;
    }
    *bytes = static_cast<Size>(count) * unitSize;
    return true;
}

// The run's one report log; null until OpenReportLog succeeded.
extern ReportLog* g_reportLog;

// Derives the log path from argv[0] (everything from the last '.' of its file name becomes
// ".txt"; a file name without one gets ".txt" appended) and creates g_reportLog. False, after a
// fatal message on standard output, when it cannot.
bool OpenReportLog(const wchar_t* exePath);

// Prints the tool's own file version through `log` as the first line of the run; its failures
// go to standard output only.
void PrintToolVersion(ReportLog& log);
