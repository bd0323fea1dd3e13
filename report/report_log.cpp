#include "report_log.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>

#include "console_output.h"
#include "log_file_check.h"
#include "log_name.h"
#include "platform/holders.h"
#include "wide_format.h"

ReportLog* g_reportLog = nullptr;

namespace {

const wchar_t StartBanner[] =
    L"\r\n###########################################\r\nLog start time: "
    L"%04d.%02d.%02d %02d:%02d.%02d\r\n###########################################\r\n";
const wchar_t EndBanner[] =
    L"\r\n###########################################\r\nLog end time: "
    L"%04d.%02d.%02d %02d:%02d.%02d\r\n###########################################\r\n";

const wchar_t ErrorPrefix[] = L"error: ";
const wchar_t WarningPrefix[] = L"warning: ";

// A print operation's buffer needs prefix + text + terminator characters.
bool NeededCharacters(size_t prefixLength, size_t textLength, uint32_t* needed) {
    const size_t limit = std::numeric_limits<uint32_t>::max();
    if (textLength > limit - prefixLength - 1) {
        return false;
    }
    *needed = static_cast<uint32_t>(prefixLength + textLength + 1);
    return true;
}

// An existing log is opened as it is; a new one is created only where no name stands yet, so a
// dangling link's target is never made.
HANDLE OpenLogFile(const wchar_t* logPath) {
    HANDLE file = CreateFileW(logPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) {
        return file;
    }
    file =
        CreateFileW(logPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
        return file;
    }
    // Another run created it in between (or a dangling link stands there: that open fails).
    return CreateFileW(logPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

ReportLog::ReportLog(const wchar_t* logPath) {
    reporter = this;
    if (!LogPathMayBeOpened(logPath)) {
        return;
    }
    ScopedFile opened(OpenLogFile(logPath));
    if (opened.IsEmpty() || !OpenedLogIsThePath(opened.Get(), logPath)) {
        return;  // closed with nothing written
    }
    handle = opened.Detach();
    if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        // Written from where the pointer stands, the run would overwrite earlier runs (a log of
        // 4 GiB and more cannot be reached this way): it goes on with the console alone.
        appending_ = false;
        PrintError(L"\r\nCannot set file pointer (gle: 0x%08X)", GetLastError());
        WriteBanner(StartBanner);
        PrintToolVersion(*this);
        return;
    }
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetFileSize(handle, nullptr);
    const bool sizeKnown = size != INVALID_FILE_SIZE || GetLastError() == ERROR_SUCCESS;
    if (sizeKnown && size == 0) {
        const uint8_t byteOrderMark[] = {0xFF, 0xFE};
        Write(byteOrderMark, sizeof byteOrderMark);
    } else if (sizeKnown && size % 2 != 0) {
        const uint8_t zero = 0;  // the low 32 bits tell whether the whole length is odd
        Write(&zero, 1);
    }
    WriteBanner(StartBanner);
    PrintToolVersion(*this);
}

ReportLog::~ReportLog() {
    WriteBanner(EndBanner);
    // Closed here, after the end banner and with its own report, as the handle is the log's.
    if (IsOpen() && !CloseHandle(handle)) {
        PrintError(L"\r\nCannot close file");
    }
    // A failed close is reported once, here; the system closes the handle when the process ends.
    handle = INVALID_HANDLE_VALUE;
    if (reporter == this) {
        reporter = nullptr;
    }
    free(buffer);  // the scratch buffer is the log's own, grown by realloc and read in place
}

void* ReportLog::operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size);
}

void* ReportLog::operator new(size_t size) {
    // Without exceptions a plain new has no failure to give back: it ends the process, as the
    // library's does. The tool itself uses the nothrow form.
    void* block = malloc(size);
    if (block == nullptr) {
        abort();
    }
    return block;
}

// The deallocation functions pair with the malloc of the allocation functions above.
void ReportLog::operator delete(void* block) noexcept {
    free(block);
}

void ReportLog::operator delete(void* block, const std::nothrow_t&) noexcept {
    free(block);
}

void ReportLog::WriteBanner(const wchar_t* format) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    LogOnly(format, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

void ReportLog::AfterPartialWrite(DWORD written) {
    if (written % 2 != 0) {
        const uint8_t zero = 0;
        DWORD padded = 0;
        WriteFile(handle, &zero, 1, &padded, nullptr);  // nothing more to do if this fails too
    }
}

FailureReporter* ReportLog::ReportTarget() {
    return inFailureReport_ ? nullptr : this;
}

bool ReportLog::Reserve(uint32_t count) {
    bool grown = true;
    if (capacity < count) {
        size_t bytes = 0;
        void* block = nullptr;
        // A count whose byte size does not fit (2^31 and more on 32 bits) cannot be allocated.
        if (ScratchByteSize(count, sizeof(wchar_t), &bytes)) {
            block = buffer == nullptr ? malloc(bytes) : realloc(buffer, bytes);
        }
        if (block != nullptr) {
            buffer = static_cast<wchar_t*>(block);
            capacity = count;
        } else {
            grown = false;
        }
    }
    if (buffer != nullptr) {
        wmemset(buffer, L'\0', capacity);
    }
    return grown;
}

bool ReportLog::Print(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    bool printed = PrintWith(L"", Target::LogAndConsole, format, arguments);
    va_end(arguments);
    return printed;
}

bool ReportLog::PrintError(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    bool printed = PrintWith(ErrorPrefix, Target::LogAndConsole, format, arguments);
    va_end(arguments);
    return printed;
}

bool ReportLog::PrintWarning(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    bool printed = PrintWith(WarningPrefix, Target::LogAndConsole, format, arguments);
    va_end(arguments);
    return printed;
}

bool ReportLog::LogOnly(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    bool printed = PrintWith(L"", Target::LogOnly, format, arguments);
    va_end(arguments);
    return printed;
}

void ReportLog::PrintFailureReport(const wchar_t* format, va_list arguments) {
    const bool outer = !inFailureReport_;
    inFailureReport_ = true;
    PrintWith(ErrorPrefix, Target::LogAndConsole, format, arguments);
    if (outer) {
        inFailureReport_ = false;
    }
}

bool ReportLog::PrintWith(const wchar_t* prefix, Target target, const wchar_t* format,
                          va_list arguments) {
    const size_t prefixLength = wcslen(prefix);
    va_list counting;
    va_copy(counting, arguments);
    const size_t textLength = FormatWide(nullptr, 0, format, counting);
    va_end(counting);
    uint32_t needed = 0;
    if (!NeededCharacters(prefixLength, textLength, &needed)) {
        return false;
    }
    // A report made while a message is being written (its log write failed) keeps off the
    // scratch buffer: that still holds the message, which must reach the console after it.
    ScopedMallocBlock<wchar_t> nestedText;
    wchar_t* text = nullptr;
    if (printDepth_ > 0) {
        nestedText.Reset(static_cast<wchar_t*>(calloc(needed, sizeof(wchar_t))));
        if (nestedText.IsEmpty()) {
            return false;
        }
        text = nestedText.Get();
    } else if (Reserve(needed)) {
        text = buffer;
    } else {
        return false;
    }
    wmemcpy(text, prefix, prefixLength);
    va_list formatting;
    va_copy(formatting, arguments);
    FormatWide(text + prefixLength, textLength + 1, format, formatting);
    va_end(formatting);
    ++printDepth_;
    Emit(text, prefixLength + textLength, target);
    --printDepth_;
    return true;
}

void ReportLog::Emit(const wchar_t* text, size_t length, Target target) {
    WriteText(text, length);
    if (target == Target::LogAndConsole) {
        WriteToStream(STD_ERROR_HANDLE, text, length);
    }
}

// The log holds UTF-16LE code units, as wchar_t text is on Windows.
static_assert(sizeof(wchar_t) == 2, "the log is written as the text's own UTF-16 units");

bool ReportLog::WriteText(const wchar_t* text, size_t length) {
    if (!IsOpen() || !appending_) {
        return false;
    }
    return Write(text, static_cast<DWORD>(length * 2));
}

bool OpenReportLog(const wchar_t* exePath) {
    if (exePath == nullptr) {
        return false;
    }
    const size_t length = wcslen(exePath);
    if (length > std::numeric_limits<size_t>::max() / sizeof(wchar_t) - 6) {
        PrintToStandardOutput(L"Fatal error: Out of memory");
        return false;
    }
    const ScopedMallocBlock<wchar_t> path(
        static_cast<wchar_t*>(malloc((length + 6) * sizeof(wchar_t))));
    if (path.IsEmpty()) {
        PrintToStandardOutput(L"Fatal error: Out of memory");
        return false;
    }
    wmemcpy(path.Get(), exePath, length + 1);
    wcscpy(LogNameSuffix(path.Get()), L".txt");
    auto* log = new (std::nothrow) ReportLog(path.Get());
    if (log == nullptr) {
        PrintToStandardOutput(L"Fatal error: Out of memory");
        return false;
    }
    if (!log->IsOpen()) {
        PrintToStandardOutput(L"Fatal error: While creating log file.");
        delete log;
        return false;
    }
    g_reportLog = log;
    return true;
}

void PrintToolVersion(ReportLog& log) {
    wchar_t modulePath[520] = {};
    if (GetModuleFileNameW(nullptr, modulePath, 520) == 0) {
        PrintToStandardOutput(L"Cannot GetModuleFileName (%d)\n", GetLastError());
        return;
    }
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeW(modulePath, &unused);
    if (size == 0) {
        PrintToStandardOutput(L"Error in GetFileVersionInfoSize: %d\n", GetLastError());
        return;
    }
    const ScopedMallocBlock<void> block(calloc(size, 1));
    if (block.IsEmpty()) {
        PrintToStandardOutput(L"Error in GetFileVersionInfo: %d\n", ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (!GetFileVersionInfoW(modulePath, 0, size, block.Get())) {
        PrintToStandardOutput(L"Error in GetFileVersionInfo: %d\n", GetLastError());
        return;
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (!VerQueryValueW(block.Get(), L"\\", reinterpret_cast<LPVOID*>(&info), &infoLength) ||
        info == nullptr) {
        PrintToStandardOutput(L"Error in VerQueryValue: %d\n", GetLastError());
        return;
    }
    log.Print(L"FileVersion of this tool: %d.%d.%d.%d\n", HIWORD(info->dwFileVersionMS),
              LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
              LOWORD(info->dwFileVersionLS));
}
