// The fault layer: every platform call of the code under test goes through an entry of its
// import table, and the test program replaces those entries at start with pass-through
// interceptors. A test then makes the Nth call of a function fail with a given result and last
// error (once, or from then on), or answers it itself (a fixed clock, another account, a
// transfer cut short), and reads how often it was called. Only the code under test's calls are
// seen: the tests' own set-up calls the platform through the program's table.
//
//   ImportFaults faults;  // a fixture member: everything is undone when it goes
//   faults.Fail<Api::CreateFileW>(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
//   faults.Fail<Api::ReadFile>(FALSE, ERROR_HANDLE_EOF, Nth(2));
//   faults.Answer<Api::GetSystemTime>([](SYSTEMTIME* now) { *now = fixed; });
#pragma once

#include "platform/win32.h"
#include "cache/nt_files.h"

#include <functional>
#include <type_traits>

// Each function of the platform that the code under test may call, with its DLL. Functions of
// the C runtime and the thread's last error are not here: the guarded heap serves allocations.
#define SKELVANE_FAULTABLE_IMPORTS(X)            \
    X(advapi32, AdjustTokenPrivileges)           \
    X(advapi32, AllocateAndInitializeSid)        \
    X(advapi32, CryptAcquireContextW)            \
    X(advapi32, CryptCreateHash)                 \
    X(advapi32, CryptDestroyHash)                \
    X(advapi32, CryptGetHashParam)               \
    X(advapi32, CryptHashData)                   \
    X(advapi32, CryptReleaseContext)             \
    X(advapi32, EqualSid)                        \
    X(advapi32, FreeSid)                         \
    X(advapi32, GetTokenInformation)             \
    X(advapi32, LookupPrivilegeValueW)           \
    X(advapi32, OpenProcessToken)                \
    X(advapi32, RegCloseKey)                     \
    X(advapi32, RegOpenKeyExW)                   \
    X(advapi32, RegQueryValueExW)                \
    X(crypt32, CertAddEncodedCertificateToStore) \
    X(crypt32, CertCloseStore)                   \
    X(crypt32, CertCreateCertificateChainEngine) \
    X(crypt32, CertFreeCertificateChain)         \
    X(crypt32, CertFreeCertificateChainEngine)   \
    X(crypt32, CertFreeCertificateContext)       \
    X(crypt32, CertGetCertificateChain)          \
    X(crypt32, CertNameToStrW)                   \
    X(crypt32, CertOpenStore)                    \
    X(crypt32, CertVerifyCertificateChainPolicy) \
    X(crypt32, CryptBinaryToStringW)             \
    X(kernel32, CloseHandle)                     \
    X(kernel32, CompareFileTime)                 \
    X(kernel32, CreateFileW)                     \
    X(kernel32, ExpandEnvironmentStringsW)       \
    X(kernel32, FindClose)                       \
    X(kernel32, FindFirstFileW)                  \
    X(kernel32, FlushConsoleInputBuffer)         \
    X(kernel32, GetConsoleMode)                  \
    X(kernel32, GetFileAttributesW)              \
    X(kernel32, GetFileInformationByHandle)      \
    X(kernel32, GetFileSize)                     \
    X(kernel32, GetFullPathNameW)                \
    X(kernel32, GetLongPathNameW)                \
    X(kernel32, GetModuleFileNameW)              \
    X(kernel32, GetModuleHandleW)                \
    X(kernel32, GetNativeSystemInfo)             \
    X(kernel32, GetProcAddress)                  \
    X(kernel32, GetProcessHeap)                  \
    X(kernel32, GetStdHandle)                    \
    X(kernel32, GetSystemDirectoryW)             \
    X(kernel32, GetSystemTime)                   \
    X(kernel32, GetTickCount)                    \
    X(kernel32, HeapAlloc)                       \
    X(kernel32, LoadLibraryExW)                  \
    X(kernel32, ReadConsoleInputW)               \
    X(kernel32, ReadFile)                        \
    X(kernel32, SetConsoleMode)                  \
    X(kernel32, SetFilePointer)                  \
    X(kernel32, SystemTimeToFileTime)            \
    X(kernel32, WriteConsoleW)                   \
    X(kernel32, WriteFile)                       \
    X(ntdll, NtClose)                            \
    X(ntdll, NtOpenFile)                         \
    X(ntdll, NtQueryDirectoryFile)               \
    X(ntdll, NtQueryInformationFile)             \
    X(ntdll, NtSetInformationFile)               \
    X(ntdll, RtlNtStatusToDosError)              \
    X(shell32, SHGetSpecialFolderPathW)          \
    X(version, GetFileVersionInfoSizeW)          \
    X(version, GetFileVersionInfoW)              \
    X(version, VerQueryValueW)                   \
    X(winhttp, WinHttpAddRequestHeaders)         \
    X(winhttp, WinHttpCloseHandle)               \
    X(winhttp, WinHttpConnect)                   \
    X(winhttp, WinHttpOpen)                      \
    X(winhttp, WinHttpOpenRequest)               \
    X(winhttp, WinHttpQueryDataAvailable)        \
    X(winhttp, WinHttpQueryOption)               \
    X(winhttp, WinHttpReadData)                  \
    X(winhttp, WinHttpReceiveResponse)           \
    X(winhttp, WinHttpSendRequest)               \
    X(ws2_32, FreeAddrInfoW)                     \
    X(ws2_32, GetAddrInfoW)                      \
    X(ws2_32, WSAAddressToStringW)               \
    X(ws2_32, WSACleanup)                        \
    X(ws2_32, WSAGetLastError)                   \
    X(ws2_32, WSAStartup)

enum class Api {
#define SKELVANE_API_ENUM(dll, name) name,
    SKELVANE_FAULTABLE_IMPORTS(SKELVANE_API_ENUM)
#undef SKELVANE_API_ENUM
        Count
};

// When a planned failure strikes, counted in the calls made after it was planned.
struct When {
    unsigned nth;  // 1 for the next call
    bool persist;  // and every call after it
};
inline When Nth(unsigned nth) {
    return {nth, false};
}
inline When FromNth(unsigned nth) {
    return {nth, true};
}

namespace faults_detail {

struct ImportState {
    const char* dll;
    const char* name;
    void* original;  // null: the code under test does not import it
    unsigned calls;
    unsigned failAt;  // 0: no failure planned
    bool persist;
    DWORD lastError;
};
ImportState& State(Api api);
// While set, calls are neither counted nor failed (answers still apply).
bool& Paused();
// Counts the call and says whether it is to fail.
bool CountCall(Api api);
[[noreturn]] void NotImported(Api api);

template <Api Id>
struct Signature;
#define SKELVANE_API_SIGNATURE(dll, name) \
    template <>                           \
    struct Signature<Api::name> {         \
        using Type = decltype(&::name);   \
    };
SKELVANE_FAULTABLE_IMPORTS(SKELVANE_API_SIGNATURE)
#undef SKELVANE_API_SIGNATURE

template <Api Id, typename Function = typename Signature<Id>::Type>
struct Interceptor;

template <Api Id, typename Result, typename... Args>
struct Interceptor<Id, Result(WINAPI*)(Args...)> {
    using Answer = std::function<Result(Args...)>;
    using Stored = std::conditional_t<std::is_void_v<Result>, int, Result>;

    static Answer& answer() {
        static Answer stored;
        return stored;
    }
    static Stored& failure() {
        static Stored stored{};
        return stored;
    }
    static Result Original(Args... args) {
        auto original = reinterpret_cast<Result(WINAPI*)(Args...)>(State(Id).original);
        return original(args...);
    }
    static Result WINAPI Call(Args... args) {
        if (CountCall(Id)) {
            SetLastError(State(Id).lastError);
            if constexpr (!std::is_void_v<Result>) {
                return failure();
            } else {
                return;
            }
        }
        if (answer()) {
            return answer()(args...);
        }
        return Original(args...);
    }
};

template <Api Id>
using InterceptorOf = Interceptor<Id>;

}  // namespace faults_detail

// Installs the interceptors into the import table of the code under test. Once, at start.
void InstallImportFaults(HMODULE codeUnderTest);
// Undoes every planned failure and answer, and the call counts.
void ResetImportFaults();

// While it lives, the code under test's calls are neither counted nor failed; answers still
// apply. For a fixture's own use of the code under test (opening and closing the run's log), so
// that a test's plan and counts concern the code it tests alone.
class PausedFaults {
  public:
    PausedFaults() : was_(faults_detail::Paused()) { faults_detail::Paused() = true; }
    ~PausedFaults() { faults_detail::Paused() = was_; }
    PausedFaults(const PausedFaults&) = delete;
    PausedFaults& operator=(const PausedFaults&) = delete;

  private:
    bool was_;
};

class ImportFaults {
  public:
    ImportFaults() { ResetImportFaults(); }
    ~ImportFaults() { ResetImportFaults(); }
    ImportFaults(const ImportFaults&) = delete;
    ImportFaults& operator=(const ImportFaults&) = delete;

    // The `when.nth` call from now returns `result` with `lastError` as the thread's last error
    // (for a function without a result, it only sets the last error).
    template <Api Id, typename Result>
    void Fail(Result result, DWORD lastError, When when = Nth(1)) {
        faults_detail::ImportState& state = Checked(Id);
        faults_detail::InterceptorOf<Id>::failure() = result;
        state.failAt = state.calls + when.nth;
        state.persist = when.persist;
        state.lastError = lastError;
    }
    template <Api Id>
    void Fail(DWORD lastError, When when = Nth(1)) {
        Fail<Id>(0, lastError, when);
    }
    // Every call from now is answered by `answer`, which may call the real function through
    // Real<Id>(...).
    template <Api Id, typename Function>
    void Answer(Function answer) {
        Checked(Id);
        faults_detail::InterceptorOf<Id>::answer() = answer;
    }
    template <Api Id, typename... Args>
    static auto Real(Args... args) {
        return faults_detail::InterceptorOf<Id>::Original(args...);
    }
    // The code under test's calls since this object was made.
    static unsigned Calls(Api api) { return faults_detail::State(api).calls; }

  private:
    static faults_detail::ImportState& Checked(Api api) {
        faults_detail::ImportState& state = faults_detail::State(api);
        if (state.original == nullptr) {
            faults_detail::NotImported(api);
        }
        return state;
    }
};
