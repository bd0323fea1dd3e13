// Owner of one Windows file handle with exact-size reads and writes that report their own
// failures through the report log.
#pragma once

#include <cstdarg>

#include "platform/win32.h"

// Where file failures are reported. The report log, itself a file handle, is the one reporter;
// this seam keeps the handle from depending on the log built on it.
class FailureReporter {
  public:
    virtual void PrintFailureReport(const wchar_t* format, va_list arguments) = 0;

  protected:
    ~FailureReporter() = default;
};

class FileHandle {
  public:
    FileHandle() = default;
    virtual ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // True when not open or when the close succeeded; a failed close keeps the handle.
    bool Close();
    // One synchronous ReadFile / WriteFile of exactly `byteCount` bytes; false when it fails
    // or moves fewer bytes.
    bool Read(void* buffer, DWORD byteCount);
    bool Write(const void* buffer, DWORD byteCount);

    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }

    // The owner opens the file itself and stores the handle here.
    HANDLE handle = INVALID_HANDLE_VALUE;

    // The reporter of every handle's failures: the report log registers itself while it lives.
    static FailureReporter* reporter;

  protected:
    // Where this handle's failures are reported: `reporter`, if any.
    virtual FailureReporter* ReportTarget();
    // Called when a write moved only `written` bytes (short, or failed part way), before the
    // failure is reported.
    virtual void AfterPartialWrite(DWORD written);

  private:
    void ReportFailure(const wchar_t* format, ...);
};
