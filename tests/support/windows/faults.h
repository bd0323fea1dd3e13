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
#include <tuple>
#include <type_traits>

#include "support/windows/handle_verifier.h"

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

// What each call does to the handles the code under test holds, for the handle verifier: a call
// that closes one forgets it before it runs (its value may be handed out again at once), a call
// that opens one records it once it succeeded. Calls not listed do neither.
template <Api Id>
struct Handles {
    template <typename... Args>
    static void Before(Args...) {}
    template <typename Result, typename... Args>
    static void After(Result, Args...) {}
};

// Values that name no handle of the code's own: none, the predefined registry roots, the
// default chain engines.
inline bool NoHandle(handle_verifier::Kind kind, const void* value) {
    auto number = reinterpret_cast<uintptr_t>(value);
    using handle_verifier::Kind;
    return value == nullptr ||
           (kind == Kind::RegistryKey && number >= 0x80000000u && number <= 0x800000FFu) ||
           (kind == Kind::ChainEngine && number <= 1);
}

#define SKELVANE_CLOSES(name, kind, index)                                                \
    template <>                                                                           \
    struct Handles<Api::name> {                                                           \
        template <typename... Args>                                                       \
        static void Before(Args... args) {                                                \
            const void* value = (const void*)(std::get<index>(std::make_tuple(args...))); \
            if (!NoHandle(handle_verifier::Kind::kind, value)) {                          \
                handle_verifier::Closed(handle_verifier::Kind::kind, value, #name);       \
            }                                                                             \
        }                                                                                 \
        template <typename Result, typename... Args>                                      \
        static void After(Result, Args...) {}                                             \
    };
// `succeeded` and `handle` are expressions of `result` and of `a`, the arguments' tuple.
#define SKELVANE_OPENS(name, kind, what, succeeded, handle)                                        \
    template <>                                                                                    \
    struct Handles<Api::name> {                                                                    \
        template <typename... Args>                                                                \
        static void Before(Args...) {}                                                             \
        template <typename Result, typename... Args>                                               \
        static void After(Result result, Args... args) {                                           \
            auto a = std::make_tuple(args...);                                                     \
            (void)a;                                                                               \
            (void)result;                                                                          \
            if ((succeeded) && (handle) != 0) {                                                    \
                handle_verifier::Opened(handle_verifier::Kind::kind, (const void*)(handle), #name, \
                                        what);                                                     \
            }                                                                                      \
        }                                                                                          \
    };

SKELVANE_OPENS(CreateFileW, Kernel, "file handle", result != INVALID_HANDLE_VALUE, result)
SKELVANE_OPENS(OpenProcessToken, Kernel, "token handle", result, *std::get<2>(a))
SKELVANE_OPENS(NtOpenFile, Kernel, "NT file handle", NT_SUCCESS(result), *std::get<0>(a))
SKELVANE_CLOSES(CloseHandle, Kernel, 0)
SKELVANE_CLOSES(NtClose, Kernel, 0)
SKELVANE_OPENS(FindFirstFileW, Find, "find handle", result != INVALID_HANDLE_VALUE, result)
SKELVANE_CLOSES(FindClose, Find, 0)
SKELVANE_OPENS(RegOpenKeyExW, RegistryKey, "registry key", result == ERROR_SUCCESS, *std::get<4>(a))
SKELVANE_CLOSES(RegCloseKey, RegistryKey, 0)
SKELVANE_OPENS(CertOpenStore, CertificateStore, "certificate store", result != nullptr, result)
SKELVANE_CLOSES(CertCloseStore, CertificateStore, 0)
SKELVANE_OPENS(CertGetCertificateChain, CertificateChain, "certificate chain", result,
               *std::get<7>(a))
SKELVANE_CLOSES(CertFreeCertificateChain, CertificateChain, 0)
SKELVANE_OPENS(CertCreateCertificateChainEngine, ChainEngine, "chain engine", result,
               *std::get<1>(a))
SKELVANE_CLOSES(CertFreeCertificateChainEngine, ChainEngine, 0)
SKELVANE_OPENS(CertAddEncodedCertificateToStore, CertificateContext, "certificate context",
               result != FALSE && std::get<5>(a) != nullptr, *std::get<5>(a))
SKELVANE_OPENS(WinHttpQueryOption, CertificateContext, "certificate context",
               result != FALSE && std::get<1>(a) == WINHTTP_OPTION_SERVER_CERT_CONTEXT,
               *static_cast<PCCERT_CONTEXT*>(std::get<2>(a)))
SKELVANE_CLOSES(CertFreeCertificateContext, CertificateContext, 0)
SKELVANE_OPENS(CryptAcquireContextW, CryptProvider, "crypto provider",
               result && (std::get<4>(a) & CRYPT_DELETEKEYSET) == 0, *std::get<0>(a))
SKELVANE_CLOSES(CryptReleaseContext, CryptProvider, 0)
SKELVANE_OPENS(CryptCreateHash, CryptHash, "hash", result, *std::get<4>(a))
SKELVANE_CLOSES(CryptDestroyHash, CryptHash, 0)
SKELVANE_OPENS(WinHttpOpen, WinHttp, "WinHTTP session", result != nullptr, result)
SKELVANE_OPENS(WinHttpConnect, WinHttp, "WinHTTP connection", result != nullptr, result)
SKELVANE_OPENS(WinHttpOpenRequest, WinHttp, "WinHTTP request", result != nullptr, result)
SKELVANE_CLOSES(WinHttpCloseHandle, WinHttp, 0)
// On failure the out-parameter may hold anything.
SKELVANE_OPENS(GetAddrInfoW, AddressList, "address list", result == 0, *std::get<3>(a))
SKELVANE_CLOSES(FreeAddrInfoW, AddressList, 0)
SKELVANE_OPENS(AllocateAndInitializeSid, Sid, "SID", result, *std::get<10>(a))
SKELVANE_CLOSES(FreeSid, Sid, 0)
#undef SKELVANE_OPENS
#undef SKELVANE_CLOSES

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
        Handles<Id>::Before(args...);
        if constexpr (std::is_void_v<Result>) {
            if (answer()) {
                answer()(args...);
            } else {
                Original(args...);
            }
        } else {
            Result result = answer() ? answer()(args...) : Original(args...);
            DWORD lastError = GetLastError();
            Handles<Id>::After(result, args...);
            SetLastError(lastError);
            return result;
        }
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
