// Stand-in for kernel32: files (POSIX descriptors, share mode 0 as an exclusive flock), the
// clock of the stand-in machine, the module path, the console (standard streams, and CONIN$ as
// the machine's console device in raw mode), UTF-8 conversion, environment expansion from the
// machine's variables and the process heap (the C heap).
// Left out: overlapped I/O, file attributes beyond what CreateFileW needs, code pages other
// than UTF-8, console output attributes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <cwctype>
#include <map>

#include "handles.h"
#include "machine.h"
#include "process.h"
#include "text.h"

namespace standin {
namespace {

thread_local DWORD lastError = 0;

class FileObject : public KernelObject {
  public:
    FileObject(int fd, bool owned, std::string path = std::string())
        : fd(fd), owned(owned), path(std::move(path)) {}
    ~FileObject() override {
        if (owned) {
            close(fd);
        }
    }
    const int fd;
    const bool owned;        // the standard streams stay open when their handle goes
    const std::string path;  // host path of a file; empty for the standard streams
};

// The host path of a file handle, for faults aimed at one file.
std::string PathOf(HANDLE handle) {
    auto* file = HandleAs<FileObject>(handle);
    return file == nullptr ? std::string() : file->path;
}

class ConsoleInput : public KernelObject {
  public:
    explicit ConsoleInput(int fd) : fd(fd) {}
    ~ConsoleInput() override { close(fd); }
    const int fd;
};

int DescriptorOf(HANDLE handle) {
    if (auto* file = HandleAs<FileObject>(handle)) {
        return file->fd;
    }
    return -1;
}

bool IsConsoleInputName(const wchar_t* name) {
    const wchar_t* expected = L"CONIN$";
    for (; *name != L'\0' && *expected != L'\0'; ++name, ++expected) {
        if (static_cast<wchar_t>(towupper(static_cast<wint_t>(*name))) != *expected) {
            return false;
        }
    }
    return *name == L'\0' && *expected == L'\0';
}

HANDLE OpenConsoleInput() {
    int fd = open(Machine::Current().ConsoleDevice().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!isatty(fd)) {
        close(fd);
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return AddHandle(std::make_unique<ConsoleInput>(fd));
}

// ENOENT means a missing folder on the way when the parent does not exist.
DWORD OpenError(int error, const std::string& path) {
    if (error == ENOENT) {
        size_t slash = path.find_last_of('/');
        std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        struct stat info;
        if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
    }
    return ErrorFromErrno(error);
}

constexpr uint64_t TicksPerSecond = 10000000ULL;
constexpr uint64_t TicksPerDay = 86400ULL * TicksPerSecond;

// Days since 1601-01-01 of a proleptic Gregorian date (the civil-from-days algorithm).
int64_t DaysFrom1601(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t daysFrom1970 = era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
    return daysFrom1970 + 134774;  // 1601-01-01 to 1970-01-01
}

bool IsLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Moves up to `wanted` bytes with `step` (read or write) until done, end of file or an error;
// false with errno set on an error.
template <class Step>
bool Transfer(DWORD wanted, DWORD* done, Step step) {
    *done = 0;
    while (*done < wanted) {
        ssize_t moved = step(*done, wanted - *done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return false;
        }
        if (moved == 0) {
            return true;
        }
        *done += static_cast<DWORD>(moved);
    }
    return true;
}

DWORD TransferError() {
    return errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
}

template <class Char>
int CopyOut(const Char* converted, size_t length, Char* out, int outSize) {
    if (length > INT_MAX) {
        return static_cast<int>(Fail(ERROR_INVALID_PARAMETER));
    }
    if (outSize == 0) {
        return static_cast<int>(length);
    }
    if (static_cast<size_t>(outSize) < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, converted, length * sizeof(Char));
    return static_cast<int>(length);
}

// %NAME% becomes the variable's value; an unknown name, an empty one or a lone '%' stays as
// written.
std::wstring ExpandedText(const wchar_t* source) {
    std::wstring expanded;
    for (const wchar_t* at = source; *at != L'\0';) {
        const wchar_t* close = *at == L'%' ? wcschr(at + 1, L'%') : nullptr;
        if (close == nullptr) {
            expanded += *at++;
            continue;
        }
        std::string value;
        const std::string name = Utf8FromWide(at + 1, static_cast<size_t>(close - at - 1));
        if (name.empty() || !Machine::Current().EnvironmentValue(name, &value)) {
            expanded.append(at, close);  // the closing '%' may open the next name
            at = close;
            continue;
        }
        expanded += WideFromUtf8(value);
        at = close + 1;
    }
    return expanded;
}

// The one heap of the process: a fixed non-null value.
HANDLE ProcessHeap() {
    static int heap;
    return &heap;
}

}  // namespace

std::wstring ModuleWindowsPath() {
    // No bound of its own: a path longer than PATH_MAX is the caller's to truncate, as Windows'
    // GetModuleFileNameW does into its buffer.
    std::string host(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", &host[0], host.size());
        if (length <= 0) {
            return L"";
        }
        if (static_cast<size_t>(length) < host.size()) {
            host.resize(static_cast<size_t>(length));
            break;
        }
        host.resize(host.size() * 2);
    }
    size_t name = host.find_last_of('/');
    if (host.find('.', name == std::string::npos ? 0 : name) == std::string::npos) {
        host += ".exe";
    }
    return WindowsPathOfHost(host);
}

std::wstring PresentedArgv0(const char* argv0) {
    struct stat self, named;
    if (argv0 == nullptr || stat("/proc/self/exe", &self) != 0) {
        return argv0 == nullptr ? L"" : WideFromHostName(argv0);
    }
    auto isSelf = [&](const std::string& candidate) {
        return stat(candidate.c_str(), &named) == 0 && named.st_dev == self.st_dev &&
               named.st_ino == self.st_ino;
    };
    std::string name(argv0);
    bool found = false;
    if (name.find('/') != std::string::npos) {
        found = isSelf(name);
    } else if (const char* path = getenv("PATH")) {
        std::string directories(path);
        for (size_t start = 0; !found && start <= directories.size();) {
            size_t colon = directories.find(':', start);
            std::string directory = directories.substr(start, colon - start);
            found = isSelf((directory.empty() ? "." : directory) + "/" + name);
            start = colon == std::string::npos ? directories.size() + 1 : colon + 1;
        }
    }
    const std::wstring module = found ? ModuleWindowsPath() : std::wstring();
    return !module.empty() ? module : WideFromHostName(name);
}

}  // namespace standin

using namespace standin;

DWORD WINAPI GetLastError(void) {
    return lastError;
}

void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES, DWORD creationDisposition, DWORD, HANDLE) {
    if (Injected("CreateFileW")) {
        return INVALID_HANDLE_VALUE;
    }
    if (fileName == nullptr || *fileName == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (IsConsoleInputName(fileName)) {
        return OpenConsoleInput();
    }
    int flags = O_CLOEXEC;
    const bool reading = (desiredAccess & GENERIC_READ) != 0;
    const bool writing = (desiredAccess & GENERIC_WRITE) != 0;
    flags |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    switch (creationDisposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            flags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    const std::string path = HostPath(fileName);
    struct stat before;
    const bool existed = stat(path.c_str(), &before) == 0;
    if (existed && S_ISDIR(before.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);  // a folder is not opened without backup semantics
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) {
        SetLastError(OpenError(errno, path));
        return INVALID_HANDLE_VALUE;
    }
    // Share mode 0 keeps every other open out; any other mode only keeps share-0 opens out.
    if (flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = AddHandle(std::make_unique<FileObject>(fd, true, path));
    const bool reportsExisting =
        creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    if (Injected("CloseHandle", PathOf(object))) {
        return FALSE;
    }
    return RemoveHandle(object) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    FaultHit hit = Machine::Current().Check("ReadFile", PathOf(file));
    if (hit.fail) {
        return Fail(hit.error);
    }
    int fd = DescriptorOf(file);
    if (fd < 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD wanted = hit.limited && hit.limit < bytesToRead ? hit.limit : bytesToRead;
    DWORD done = 0;
    bool moved = Transfer(wanted, &done, [&](DWORD offset, DWORD count) {
        return read(fd, static_cast<char*>(buffer) + offset, count);
    });
    if (bytesRead != nullptr) {
        *bytesRead = done;
    }
    if (!moved) {
        return Fail(TransferError());
    }
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    FaultHit hit = Machine::Current().Check("WriteFile", PathOf(file));
    if (hit.fail) {
        return Fail(hit.error);
    }
    int fd = DescriptorOf(file);
    if (fd < 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DWORD wanted = hit.limited && hit.limit < bytesToWrite ? hit.limit : bytesToWrite;
    DWORD done = 0;
    bool moved = Transfer(wanted, &done, [&](DWORD offset, DWORD count) {
        ssize_t put = write(fd, static_cast<const char*>(buffer) + offset, count);
        return put == 0 && count > 0 ? (errno = EIO, -1) : put;  // a write that moves nothing fails
    });
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    if (!moved) {
        return Fail(TransferError());
    }
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                            DWORD moveMethod) {
    if (Injected("SetFilePointer", PathOf(file))) {
        return INVALID_SET_FILE_POINTER;
    }
    int fd = DescriptorOf(file);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t distance =
        distanceToMoveHigh != nullptr
            ? static_cast<int64_t>(
                  (static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
                  static_cast<uint32_t>(distanceToMove))
            : distanceToMove;
    int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
                 : moveMethod == FILE_CURRENT ? SEEK_CUR
                                              : SEEK_END;
    off_t position = lseek(fd, static_cast<off_t>(distance), whence);
    if (position < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceToMoveHigh != nullptr) {
        *distanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
    if (Injected("GetFileSize", PathOf(file))) {
        return INVALID_FILE_SIZE;
    }
    struct stat info;
    int fd = DescriptorOf(file);
    if (fd < 0 || fstat(fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(info.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    if (Injected("ExpandEnvironmentStringsW")) {
        return 0;
    }
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring expanded = ExpandedText(source);
    const DWORD needed = static_cast<DWORD>(expanded.size() + 1);  // counts the terminator
    if (destination != nullptr && size >= needed) {
        wmemcpy(destination, expanded.c_str(), needed);
    }
    return needed;
}

HANDLE WINAPI GetProcessHeap(void) {
    return ProcessHeap();
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (Injected("HeapAlloc") || heap != ProcessHeap()) {
        return nullptr;  // no last error, as without HEAP_GENERATE_EXCEPTIONS
    }
    // At least one byte, so that every success is a distinct block.
    return (flags & HEAP_ZERO_MEMORY) != 0 ? calloc(bytes == 0 ? 1 : bytes, 1)
                                           : malloc(bytes == 0 ? 1 : bytes);
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (Injected("HeapFree")) {
        return FALSE;
    }
    if (heap != ProcessHeap()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    free(memory);
    return TRUE;
}

void WINAPI GetSystemTime(LPSYSTEMTIME systemTime) {
    FILETIME now;
    uint64_t ticks = Machine::Current().NowFileTime();
    now.dwLowDateTime = static_cast<DWORD>(ticks);
    now.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    FileTimeToSystemTime(&now, systemTime);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
    const SYSTEMTIME& t = *systemTime;
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > DaysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59 || t.wMilliseconds > 999) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    uint64_t ticks = static_cast<uint64_t>(DaysFrom1601(t.wYear, t.wMonth, t.wDay)) * TicksPerDay +
                     ((t.wHour * 60ULL + t.wMinute) * 60ULL + t.wSecond) * TicksPerSecond +
                     t.wMilliseconds * 10000ULL;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
    uint64_t ticks =
        (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    uint64_t days = ticks / TicksPerDay;
    uint64_t rest = ticks % TicksPerDay;
    // Civil date from days since 1970, shifted from 1601.
    int64_t z = static_cast<int64_t>(days) - 134774 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
    systemTime->wYear = static_cast<WORD>(year);
    systemTime->wMonth = static_cast<WORD>(month);
    systemTime->wDay = static_cast<WORD>(day);
    systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    systemTime->wHour = static_cast<WORD>(rest / (3600 * TicksPerSecond));
    systemTime->wMinute = static_cast<WORD>(rest / (60 * TicksPerSecond) % 60);
    systemTime->wSecond = static_cast<WORD>(rest / TicksPerSecond % 60);
    systemTime->wMilliseconds = static_cast<WORD>(rest / 10000 % 1000);
    return TRUE;
}

LONG WINAPI CompareFileTime(const FILETIME* first, const FILETIME* second) {
    uint64_t a = (static_cast<uint64_t>(first->dwHighDateTime) << 32) | first->dwLowDateTime;
    uint64_t b = (static_cast<uint64_t>(second->dwHighDateTime) << 32) | second->dwLowDateTime;
    return a < b ? -1 : a > b ? 1 : 0;
}

// Milliseconds since an arbitrary start, wrapping at 2^32 as Windows' count does.
DWORD WINAPI GetTickCount(void) {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (Injected("GetModuleFileNameW")) {
        return 0;
    }
    if (module != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::wstring path = ModuleWindowsPath();
    if (path.empty()) {
        // The host cannot name a program deeper than its own path limit.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {  // truncated and terminated, as Vista and later do
        wmemcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
    int fd = stdHandle == STD_INPUT_HANDLE    ? 0
             : stdHandle == STD_OUTPUT_HANDLE ? 1
             : stdHandle == STD_ERROR_HANDLE  ? 2
                                              : -1;
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    static std::map<int, HANDLE> handles;
    HANDLE& handle = handles[fd];
    auto* stream = HandleAs<FileObject>(handle);
    if (stream == nullptr || stream->fd != fd || stream->owned) {
        handle = AddHandle(std::make_unique<FileObject>(fd, false));
    }
    return handle;
}

BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
    if (Injected("GetConsoleMode")) {
        return FALSE;
    }
    if (auto* input = HandleAs<ConsoleInput>(console)) {
        struct termios settings;
        if (tcgetattr(input->fd, &settings) != 0) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        *mode = ((settings.c_lflag & ICANON) ? ENABLE_LINE_INPUT : 0) |
                ((settings.c_lflag & ECHO) ? ENABLE_ECHO_INPUT : 0) |
                ((settings.c_lflag & ISIG) ? ENABLE_PROCESSED_INPUT : 0);
        return TRUE;
    }
    int fd = DescriptorOf(console);
    if (fd < 0 || !isatty(fd)) {
        return Fail(ERROR_INVALID_HANDLE);  // a redirected stream is no console
    }
    *mode = 0x0003;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

BOOL WINAPI SetConsoleMode(HANDLE console, DWORD mode) {
    if (Injected("SetConsoleMode")) {
        return FALSE;
    }
    auto* input = HandleAs<ConsoleInput>(console);
    struct termios settings;
    if (input == nullptr || tcgetattr(input->fd, &settings) != 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    auto setFlag = [&](tcflag_t flag, bool on) {
        settings.c_lflag = on ? (settings.c_lflag | flag) : (settings.c_lflag & ~flag);
    };
    setFlag(ICANON, (mode & ENABLE_LINE_INPUT) != 0);
    setFlag(ECHO, (mode & ENABLE_ECHO_INPUT) != 0);
    setFlag(ISIG, (mode & ENABLE_PROCESSED_INPUT) != 0);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(input->fd, TCSANOW, &settings) == 0 ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI WriteConsoleW(HANDLE console, const void* buffer, DWORD charsToWrite,
                          LPDWORD charsWritten, LPVOID) {
    if (charsWritten != nullptr) {
        *charsWritten = 0;
    }
    if (Injected("WriteConsoleW")) {
        return FALSE;
    }
    int fd = DescriptorOf(console);
    if (fd < 0 || !isatty(fd)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::string text = Utf8FromWide(static_cast<const wchar_t*>(buffer), charsToWrite);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return Fail(ErrorFromErrno(errno));
        }
        done += static_cast<size_t>(put);
    }
    if (charsWritten != nullptr) {
        *charsWritten = charsToWrite;
    }
    return TRUE;
}

BOOL WINAPI ReadConsoleInputW(HANDLE console, PINPUT_RECORD buffer, DWORD length,
                              LPDWORD eventsRead) {
    *eventsRead = 0;
    if (Injected("ReadConsoleInputW")) {
        return FALSE;
    }
    auto* input = HandleAs<ConsoleInput>(console);
    if (input == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (length == 0) {
        return TRUE;
    }
    unsigned char key = 0;
    ssize_t got;
    do {
        got = read(input->fd, &key, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) {
        return Fail(got == 0 ? ERROR_HANDLE_EOF : ErrorFromErrno(errno));
    }
    memset(buffer, 0, sizeof *buffer);
    buffer->EventType = KEY_EVENT;
    buffer->Event.KeyEvent.bKeyDown = TRUE;
    buffer->Event.KeyEvent.wRepeatCount = 1;
    buffer->Event.KeyEvent.uChar.UnicodeChar = key;
    *eventsRead = 1;
    return TRUE;
}

BOOL WINAPI FlushConsoleInputBuffer(HANDLE console) {
    if (Injected("FlushConsoleInputBuffer")) {
        return FALSE;
    }
    auto* input = HandleAs<ConsoleInput>(console);
    if (input == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    tcflush(input->fd, TCIFLUSH);
    return TRUE;
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD, LPCWCH wideText, int wideLength, LPSTR text,
                               int textSize, LPCCH, PBOOL usedDefault) {
    if (codePage != CP_UTF8 || wideText == nullptr || textSize < 0 || usedDefault != nullptr) {
        return static_cast<int>(Fail(ERROR_INVALID_PARAMETER));
    }
    size_t length = wideLength < 0 ? wcslen(wideText) + 1 : static_cast<size_t>(wideLength);
    std::string converted = Utf8FromWide(wideText, length);
    return CopyOut(converted.data(), converted.size(), text, textSize);
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD, LPCCH text, int textLength, LPWSTR wideText,
                               int wideSize) {
    if (codePage != CP_UTF8 || text == nullptr || wideSize < 0) {
        return static_cast<int>(Fail(ERROR_INVALID_PARAMETER));
    }
    size_t length = textLength < 0 ? strlen(text) + 1 : static_cast<size_t>(textLength);
    std::wstring converted = WideFromUtf8(text, length);
    return CopyOut(converted.data(), converted.size(), wideText, wideSize);
}
