#include "file_handle.h"

FailureReporter* FileHandle::reporter = nullptr;

FileHandle::~FileHandle() {
    if (IsOpen()) {
        Close();
    }
}

FailureReporter* FileHandle::ReportTarget() {
    return reporter;
}

void FileHandle::AfterPartialWrite(DWORD) {}

void FileHandle::ReportFailure(const wchar_t* format, ...) {
    FailureReporter* target = ReportTarget();
    if (target == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    target->PrintFailureReport(format, arguments);
    va_end(arguments);
}

bool FileHandle::Close() {
    if (!IsOpen()) {
        return true;
    }
    // This is the handle's holder: a failed close is reported and keeps the handle.
    if (!CloseHandle(handle)) {
        ReportFailure(L"\r\nCannot close file");
        return false;
    }
    handle = INVALID_HANDLE_VALUE;
    return true;
}

bool FileHandle::Read(void* buffer, DWORD byteCount) {
    DWORD read = 0;
    if (!ReadFile(handle, buffer, byteCount, &read, nullptr)) {
        ReportFailure(L"\r\nCannot read from file (gle: 0x%08X)", GetLastError());
        return false;
    }
    if (read < byteCount) {
        ReportFailure(L"\r\nCannot read all data from file, requested %d bytes, read %d bytes.",
                      byteCount, read);
        return false;
    }
    return true;
}

bool FileHandle::Write(const void* buffer, DWORD byteCount) {
    DWORD written = 0;
    if (!WriteFile(handle, buffer, byteCount, &written, nullptr)) {
        const DWORD error = GetLastError();
        if (written > 0) {
            AfterPartialWrite(written);
        }
        ReportFailure(L"\r\nCannot write to file (gle: 0x%08X)", error);
        return false;
    }
    if (written < byteCount) {
        AfterPartialWrite(written);
        ReportFailure(L"\r\nCannot write all data from file, requested %d bytes, written %d bytes.",
                      byteCount, written);
        return false;
    }
    return true;
}
