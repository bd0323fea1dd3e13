// Owner of one Windows file handle with exact-size reads and writes that report their own
// failures through the report log.
#pragma once

#include "platform/win32.h"

class ReportLog;

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

  protected:
    // Where this handle's failures are reported: the run's report log, if any.
    virtual ReportLog* ReportTarget();

  private:
    void ReportFailure(const wchar_t* format, ...);
};
