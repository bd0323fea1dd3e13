// The calls into the delay-loaded system DLLs: each finds the DLL's own function, loaded by its
// full path from the system folder, or a stand-in that fails the call; never a load by bare name.
#include "platform/system_dll_functions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "support/windows/faults.h"

namespace {

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// "crypt32!CertOpenStore" for each function the code under test imports from the four DLLs the
// program delay-loads: the test DLL is linked from the same code and imports them the ordinary way.
std::set<std::string> ImportsFromDelayLoadedDlls() {
    const std::set<std::string> delayLoaded = {"crypt32.dll", "winhttp.dll", "version.dll",
                                               "shell32.dll"};
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(L"skelvane_under_test.dll"));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> imports;
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        const std::string dll = Lower(reinterpret_cast<const char*>(base + descriptor->Name));
        if (delayLoaded.count(dll) == 0) {
            continue;
        }
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        for (; name->u1.AddressOfData != 0; ++name) {
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            imports.insert(dll.substr(0, dll.size() - 4) + "!" +
                           reinterpret_cast<const char*>(byName->Name));
        }
    }
    return imports;
}

FARPROC ProgramsOwn(const char* dll, const char* function) {
    return GetProcAddress(GetModuleHandleA(dll), function);
}

#if defined(__i386__)
// Calls `function` with `words` zero words on the stack (each argument takes one or more whole
// words); returns the bytes it left there. A
// stdcall function takes its own arguments off: a call that disagrees leaves the caller's stack
// off by the difference, which the compiler's own calls would not show before a crash.
long StackLeftByCall(FARPROC function, unsigned words) {
    long left;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "1:\n\t"
        "testl %[words], %[words]\n\t"
        "jz 2f\n\t"
        "pushl $0\n\t"
        "decl %[words]\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%[function]\n\t"
        "movl %%esi, %[left]\n\t"
        "subl %%esp, %[left]\n\t"
        "movl %%esi, %%esp\n\t"
        : [left] "=&a"(left), [words] "+b"(words)
        : [function] "D"(function)
        : "ecx", "edx", "esi", "memory", "cc");
    return left;
}
#endif

// Calls `standIn` as a function of `function`'s type with zero arguments: a stand-in takes its
// call's arguments off the stack and answers zero.
template <typename Result, typename... Args>
void ExpectFails(FARPROC standIn, Result(WINAPI*)(Args...), DWORD error) {
#if defined(__i386__)
    EXPECT_EQ(StackLeftByCall(standIn, (0u + ... + ((sizeof(Args) + 3) / 4))), 0)
        << "bytes left on the stack";
#endif
    auto call = reinterpret_cast<Result(WINAPI*)(Args...)>(reinterpret_cast<void (*)()>(standIn));
    SetLastError(0xdeadbeef);
    if constexpr (std::is_void_v<Result>) {
        call(Args()...);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "a call without a result only returns";
    } else {
        EXPECT_EQ(call(Args()...), Result());
        EXPECT_EQ(GetLastError(), error);
    }
}

struct Load {
    std::wstring path;
    DWORD flags;
    bool operator==(const Load& other) const { return path == other.path && flags == other.flags; }
};
void PrintTo(const Load& load, std::ostream* out) {
    *out << testing::PrintToString(load.path) << " flags 0x" << std::hex << load.flags;
}

std::vector<DWORD> g_setDefaultDllDirectoriesCalls;  // the flags of each call
BOOL g_setDefaultDllDirectoriesResult = TRUE;
BOOL WINAPI RecordedSetDefaultDllDirectories(DWORD flags) {
    g_setDefaultDllDirectoriesCalls.push_back(flags);
    return g_setDefaultDllDirectoriesResult;
}

class SystemDllFunctionsTest : public testing::Test {
  protected:
    ImportFaults faults_;
    std::vector<Load> loads_;

    // Every load the code under test asks for is recorded; it then fails with `error`, or is
    // made when `error` is 0.
    void RecordLoads(DWORD error = 0) {
        faults_.Answer<Api::LoadLibraryExW>([this, error](LPCWSTR path, HANDLE file, DWORD flags) {
            loads_.push_back({path, flags});
            if (error != 0) {
                SetLastError(error);
                return HMODULE(nullptr);
            }
            return ImportFaults::Real<Api::LoadLibraryExW>(path, file, flags);
        });
    }
    Load FromSystemFolder(const wchar_t* dll) {
        return {SystemFolder() + L"\\" + dll, LOAD_WITH_ALTERED_SEARCH_PATH};
    }
};

TEST_F(SystemDllFunctionsTest, EveryFunctionTheProgramCallsInTheseDllsHasItsStandIns) {
    std::set<std::string> listed;
#define SKELVANE_LISTED(dll, name) listed.insert(#dll "!" #name);
    SKELVANE_SYSTEM_DLL_FUNCTIONS(SKELVANE_LISTED)
#undef SKELVANE_LISTED
    EXPECT_EQ(ImportsFromDelayLoadedDlls(), listed);
}

TEST_F(SystemDllFunctionsTest, EachCallFailsWithTheCodeOfWhatIsMissing) {
    struct Case {
        const char* missing;
        DWORD error;
    };
    const Case cases[] = {{"the DLL", ERROR_MOD_NOT_FOUND}, {"the function", ERROR_PROC_NOT_FOUND}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        ResetImportFaults();
        if (c.error == ERROR_MOD_NOT_FOUND) {
            // Whatever keeps the DLL from loading (here its DllMain), the call reports it missing.
            faults_.Fail<Api::LoadLibraryExW>(HMODULE(nullptr), ERROR_DLL_INIT_FAILED, FromNth(1));
        } else {
            faults_.Fail<Api::GetProcAddress>(FARPROC(nullptr), ERROR_PROC_NOT_FOUND, FromNth(1));
        }
#define SKELVANE_EXPECT_FAILS(dll, name)                                        \
    {                                                                           \
        SCOPED_TRACE(#name);                                                    \
        FARPROC standIn = SystemDllFunction(#dll ".dll", #name);                \
        ASSERT_NE(standIn, nullptr);                                            \
        EXPECT_NE(standIn, ProgramsOwn(#dll ".dll", #name));                    \
        ExpectFails(standIn, static_cast<decltype(&::name)>(nullptr), c.error); \
    }
        SKELVANE_SYSTEM_DLL_FUNCTIONS(SKELVANE_EXPECT_FAILS)
#undef SKELVANE_EXPECT_FAILS
    }
}

TEST_F(SystemDllFunctionsTest, TheDllsOwnFunctionComesFromTheSystemFolder) {
    struct Case {
        const char* dll;
        const wchar_t* file;
        const char* function;
    };
    const Case cases[] = {
        {"crypt32.dll", L"crypt32.dll", "CertOpenStore"},
        {"WINHTTP.dll", L"WINHTTP.dll", "WinHttpOpen"},
        {"version.dll", L"version.dll", "VerQueryValueW"},
        {"shell32.dll", L"shell32.dll", "SHGetSpecialFolderPathW"},
    };
    RecordLoads();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dll);
        loads_.clear();
        EXPECT_EQ(SystemDllFunction(c.dll, c.function), ProgramsOwn(c.dll, c.function));
        EXPECT_EQ(loads_, std::vector<Load>{FromSystemFolder(c.file)});
    }
}

TEST_F(SystemDllFunctionsTest, WithoutAFullPathNothingIsLoaded) {
    struct Case {
        const char* why;
        std::wstring folder;  // empty: the folder cannot be had
    };
    const Case cases[] = {
        {"no system folder", L""},
        // With "\version.dll" it would pass MAX_PATH: cut, it would name another file.
        {"a system folder too long", L"C:\\" + std::wstring(MAX_PATH - 15, L'x')},
    };
    RecordLoads();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        loads_.clear();
        faults_.Answer<Api::GetSystemDirectoryW>([&c](LPWSTR buffer, UINT size) -> UINT {
            if (c.folder.empty()) {
                SetLastError(ERROR_ACCESS_DENIED);
                return 0;
            }
            wcsncpy(buffer, c.folder.c_str(), size);
            return static_cast<UINT>(c.folder.size());
        });
        FARPROC standIn = SystemDllFunction("version.dll", "GetFileVersionInfoSizeW");
        ExpectFails(standIn, &::GetFileVersionInfoSizeW, ERROR_MOD_NOT_FOUND);
        EXPECT_TRUE(loads_.empty());
    }
}

TEST_F(SystemDllFunctionsTest, AnUnlistedFunctionIsTheDllsOwnOrNothing) {
    EXPECT_EQ(SystemDllFunction("version.dll", "GetFileVersionInfoExW"),
              ProgramsOwn("version.dll", "GetFileVersionInfoExW"));
    EXPECT_EQ(SystemDllFunction("version.dll", "NoSuchFunction"), nullptr);
    RecordLoads(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(SystemDllFunction("version.dll", "GetFileVersionInfoExW"), nullptr);
    EXPECT_EQ(loads_, std::vector<Load>{FromSystemFolder(L"version.dll")});
}

TEST_F(SystemDllFunctionsTest, TheSearchIsLimitedOrTheUnknownDllsAreLoadedByFullPath) {
    struct Case {
        const char* setDefaultDllDirectories;
        bool kernel32Found, present;
        BOOL result;
        bool preloads;
    };
    const Case cases[] = {
        {"limits the search", true, true, TRUE, false},
        {"fails", true, true, FALSE, true},
        {"is missing (XP, Vista, 7 without the update)", true, false, TRUE, true},
        {"cannot be looked for", false, true, TRUE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setDefaultDllDirectories);
        ResetImportFaults();
        loads_.clear();
        g_setDefaultDllDirectoriesCalls.clear();
        g_setDefaultDllDirectoriesResult = c.result;
        RecordLoads();
        faults_.Answer<Api::GetModuleHandleW>([&c](LPCWSTR name) {
            return c.kernel32Found ? ImportFaults::Real<Api::GetModuleHandleW>(name) : nullptr;
        });
        faults_.Answer<Api::GetProcAddress>([&c](HMODULE module, LPCSTR name) -> FARPROC {
            if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 &&
                strcmp(name, "SetDefaultDllDirectories") == 0) {
                // Never the real one: it would change the search of the whole test program.
                return c.present ? reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(
                                       RecordedSetDefaultDllDirectories))
                                 : nullptr;
            }
            return ImportFaults::Real<Api::GetProcAddress>(module, name);
        });
        SearchSystemFolderFirst();
        const bool asked = c.kernel32Found && c.present;
        EXPECT_EQ(g_setDefaultDllDirectoriesCalls,
                  asked ? std::vector<DWORD>{LOAD_LIBRARY_SEARCH_SYSTEM32} : std::vector<DWORD>{});
        const std::vector<Load> preloads = {FromSystemFolder(L"crypt32.dll"),
                                            FromSystemFolder(L"winhttp.dll"),
                                            FromSystemFolder(L"version.dll")};
        EXPECT_EQ(loads_, c.preloads ? preloads : std::vector<Load>{});
    }
}

}  // namespace
