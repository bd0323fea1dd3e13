#include "support/windows/guarded_heap.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "support/windows/import_table.h"

namespace guarded_heap {
namespace {

constexpr size_t Page = 4096;
constexpr size_t Alignment = MEMORY_ALLOCATION_ALIGNMENT;
// Address space for the blocks: one reservation, so that "is this ours" is one comparison.
constexpr size_t RegionBytes = sizeof(void*) == 4 ? (256u << 20) : (size_t(1) << 30);
constexpr size_t RegionPages = RegionBytes / Page;
// Freed blocks stay inaccessible until this many later blocks were freed (or this many pages).
constexpr size_t QuarantineBlocks = 1024;
constexpr size_t QuarantinePages = 16384;
constexpr size_t FreeRanges = 4096;
constexpr DWORD LiveMagic = 0x4C495645;  // "LIVE"
constexpr unsigned char FreshPattern = 0xC0;

struct Header {
    DWORD magic;
    DWORD number;  // the how-manieth allocation, for the report
    size_t size;
    BYTE* user;
    size_t pages;  // committed pages; one inaccessible page follows
};

struct Range {
    size_t first;
    size_t pages;  // including the guard page
};

struct FreedBlock {
    Range range;
    size_t size;
    BYTE* user;
    DWORD number;
};

using MallocFunction = void*(__cdecl*)(size_t);
using CallocFunction = void*(__cdecl*)(size_t, size_t);
using ReallocFunction = void*(__cdecl*)(void*, size_t);
using FreeFunction = void(__cdecl*)(void*);
using MsizeFunction = size_t(__cdecl*)(void*);

struct Originals {
    MallocFunction malloc = nullptr;
    CallocFunction calloc = nullptr;
    ReallocFunction realloc = nullptr;
    FreeFunction free = nullptr;
    MsizeFunction msize = nullptr;
    decltype(&::HeapAlloc) heapAlloc = nullptr;
    decltype(&::HeapReAlloc) heapReAlloc = nullptr;
    decltype(&::HeapFree) heapFree = nullptr;
    decltype(&::HeapSize) heapSize = nullptr;
};

struct State {
    CRITICAL_SECTION lock;
    BYTE* region = nullptr;
    uint32_t* owner = nullptr;  // page -> first page of its block + 1
    size_t nextPage = 0;
    FreedBlock quarantine[QuarantineBlocks];
    size_t quarantineStart = 0, quarantineCount = 0, quarantinePages = 0;
    Range freeRanges[FreeRanges];
    size_t freeCount = 0;
    size_t live = 0;
    DWORD allocations = 0;
    unsigned failNth = 0;  // 0: no failure planned
    bool failPersist = false;
    Originals dll, program;  // the code under test's entries and the program's own
};

State* g_state = nullptr;

class Lock {
  public:
    Lock() { EnterCriticalSection(&g_state->lock); }
    ~Lock() { LeaveCriticalSection(&g_state->lock); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

size_t RoundUp(size_t value, size_t unit) {
    return (value + unit - 1) / unit * unit;
}

BYTE* PageAddress(size_t page) {
    return g_state->region + page * Page;
}

// Writes straight to standard error: the CRT's streams may hold the lock of a block in trouble.
void Say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
              nullptr);
}

[[noreturn]] void Fail(const char* what) {
    Say(what);
    Say("\n");
    // ExitProcess, not TerminateProcess: the DLLs are told, so coverage data is written.
    ExitProcess(FaultExitCode);
}

Header* HeaderOf(const void* block) {
    size_t page = (static_cast<const BYTE*>(block) - g_state->region) / Page;
    uint32_t first = g_state->owner[page];
    if (first == 0) {
        return nullptr;
    }
    auto* header = reinterpret_cast<Header*>(PageAddress(first - 1));
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(header, &info, sizeof(info)) == 0 || info.State != MEM_COMMIT) {
        return nullptr;  // freed: the block's pages are decommitted
    }
    return header->magic == LiveMagic ? header : nullptr;
}

const FreedBlock* FindFreed(size_t page) {
    uint32_t first = g_state->owner[page];
    for (size_t i = 0; i < g_state->quarantineCount; ++i) {
        const FreedBlock& freed =
            g_state->quarantine[(g_state->quarantineStart + i) % QuarantineBlocks];
        if (freed.range.first + 1 == first) {
            return &freed;
        }
    }
    return nullptr;
}

void SetOwner(const Range& range, uint32_t value) {
    for (size_t page = range.first; page < range.first + range.pages; ++page) {
        g_state->owner[page] = value;
    }
}

bool TakeRange(size_t pages, Range* range) {
    for (size_t i = 0; i < g_state->freeCount; ++i) {
        if (g_state->freeRanges[i].pages == pages) {
            *range = g_state->freeRanges[i];
            g_state->freeRanges[i] = g_state->freeRanges[--g_state->freeCount];
            return true;
        }
    }
    if (g_state->nextPage + pages > RegionPages) {
        return false;
    }
    *range = {g_state->nextPage, pages};
    g_state->nextPage += pages;
    return true;
}

void ReleaseFromQuarantine() {
    FreedBlock& oldest = g_state->quarantine[g_state->quarantineStart];
    g_state->quarantineStart = (g_state->quarantineStart + 1) % QuarantineBlocks;
    --g_state->quarantineCount;
    g_state->quarantinePages -= oldest.range.pages;
    if (g_state->freeCount < FreeRanges) {
        g_state->freeRanges[g_state->freeCount++] = oldest.range;
    }  // else the address range is simply never used again
}

void* Allocate(size_t size, bool zero) {
    Lock lock;
    size_t rounded = RoundUp(size, Alignment);
    if (rounded < size || rounded > RegionBytes) {
        return nullptr;
    }
    size_t pages = RoundUp(rounded + sizeof(Header), Page) / Page;
    Range range;
    if (!TakeRange(pages + 1, &range)) {
        Fail("guarded heap: out of address space (raise RegionBytes)");
    }
    BYTE* start = PageAddress(range.first);
    if (VirtualAlloc(start, pages * Page, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        Fail("guarded heap: cannot commit a block");
    }
    SetOwner(range, static_cast<uint32_t>(range.first + 1));
    BYTE* user = start + pages * Page - rounded;
    auto* header = reinterpret_cast<Header*>(start);
    *header = {LiveMagic, ++g_state->allocations, size, user, pages};
    BYTE* afterHeader = start + sizeof(Header);
    memset(afterHeader, SlackPattern, user - afterHeader);
    memset(user, zero ? 0 : FreshPattern, size);
    memset(user + size, SlackPattern, rounded - size);
    ++g_state->live;
    return user;
}

bool PatternIntact(const BYTE* from, const BYTE* to) {
    for (; from < to; ++from) {
        if (*from != SlackPattern) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Describe(const char* what, const void* address, const BYTE* user, size_t size,
                           DWORD number) {
    char text[320];
    long long offset = static_cast<const BYTE*>(address) - user;
    snprintf(text, sizeof(text),
             "guarded heap: %s at %p, offset %lld of block #%lu of %lu bytes at %p", what, address,
             offset, static_cast<unsigned long>(number), static_cast<unsigned long>(size),
             static_cast<const void*>(user));
    Fail(text);
}

void Release(void* block) {
    Lock lock;
    Header* header = HeaderOf(block);
    if (header == nullptr) {
        size_t page = (static_cast<BYTE*>(block) - g_state->region) / Page;
        const FreedBlock* freed = FindFreed(page);
        if (freed != nullptr) {
            Describe("double free", block, freed->user, freed->size, freed->number);
        }
        Describe("free of an address that is no block", block, static_cast<BYTE*>(block), 0, 0);
    }
    if (header->user != block) {
        Describe("free of an address inside a block", block, header->user, header->size,
                 header->number);
    }
    BYTE* start = reinterpret_cast<BYTE*>(header);
    size_t rounded = RoundUp(header->size, Alignment);
    if (!PatternIntact(header->user + header->size, header->user + rounded)) {
        Describe("written past the end", header->user + header->size, header->user, header->size,
                 header->number);
    }
    if (!PatternIntact(start + sizeof(Header), header->user)) {
        Describe("written before the start", header->user, header->user, header->size,
                 header->number);
    }
    FreedBlock freed = {{static_cast<size_t>(start - g_state->region) / Page, header->pages + 1},
                        header->size,
                        header->user,
                        header->number};
    VirtualFree(start, header->pages * Page, MEM_DECOMMIT);
    --g_state->live;
    while (g_state->quarantineCount == QuarantineBlocks ||
           (g_state->quarantineCount > 0 && g_state->quarantinePages > QuarantinePages)) {
        ReleaseFromQuarantine();
    }
    g_state->quarantine[(g_state->quarantineStart + g_state->quarantineCount) % QuarantineBlocks] =
        freed;
    ++g_state->quarantineCount;
    g_state->quarantinePages += freed.range.pages;
}

size_t SizeOf(const void* block) {
    Lock lock;
    Header* header = HeaderOf(block);
    return header != nullptr && header->user == block ? header->size : static_cast<size_t>(-1);
}

bool ShouldFailAllocation() {
    Lock lock;
    if (g_state->failNth == 0) {
        return false;
    }
    if (--g_state->failNth > 0) {
        return false;
    }
    if (g_state->failPersist) {
        g_state->failNth = 1;
    }
    return true;
}

void* Reallocate(void* block, size_t size, bool zero) {
    size_t old = SizeOf(block);
    void* moved = Allocate(size, zero);
    if (moved != nullptr) {
        memcpy(moved, block, old < size ? old : size);
        Release(block);
    }
    return moved;
}

// The code under test's calls.
void* __cdecl DllMalloc(size_t size) {
    return ShouldFailAllocation() ? nullptr : Allocate(size, false);
}
void* __cdecl DllCalloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) {
        return nullptr;
    }
    return ShouldFailAllocation() ? nullptr : Allocate(count * size, true);
}
void* __cdecl DllRealloc(void* block, size_t size) {
    if (block == nullptr) {
        return DllMalloc(size);
    }
    if (!Owns(block)) {
        return g_state->dll.realloc(block, size);
    }
    if (size == 0) {
        Release(block);
        return nullptr;
    }
    return ShouldFailAllocation() ? nullptr : Reallocate(block, size, false);
}
void __cdecl DllFree(void* block) {
    if (block == nullptr) {
        return;
    }
    if (Owns(block)) {
        Release(block);
    } else {
        g_state->dll.free(block);
    }
}
LPVOID WINAPI DllHeapAlloc(HANDLE, DWORD flags, SIZE_T size) {
    return Allocate(size, (flags & HEAP_ZERO_MEMORY) != 0);
}
LPVOID WINAPI DllHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
    if (!Owns(block)) {
        return g_state->dll.heapReAlloc(heap, flags, block, size);
    }
    if ((flags & HEAP_REALLOC_IN_PLACE_ONLY) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t old = SizeOf(block);
    BYTE* moved = static_cast<BYTE*>(Reallocate(block, size, false));
    if (moved != nullptr && (flags & HEAP_ZERO_MEMORY) != 0 && size > old) {
        memset(moved + old, 0, size - old);
    }
    return moved;
}

// Frees reach the guarded heap from both sides; each side keeps its own original for the rest.
template <Originals State::*Side>
BOOL WINAPI HeapFreeRouted(HANDLE heap, DWORD flags, LPVOID block) {
    if (block != nullptr && Owns(block)) {
        Release(block);
        return TRUE;
    }
    return (g_state->*Side).heapFree(heap, flags, block);
}
template <Originals State::*Side>
SIZE_T WINAPI HeapSizeRouted(HANDLE heap, DWORD flags, LPCVOID block) {
    if (block != nullptr && Owns(block)) {
        return SizeOf(block);
    }
    return (g_state->*Side).heapSize(heap, flags, block);
}

// The program's own calls: only blocks of the guarded heap are diverted.
void __cdecl ProgramFree(void* block) {
    if (block != nullptr && Owns(block)) {
        Release(block);
    } else {
        g_state->program.free(block);
    }
}
void* __cdecl ProgramRealloc(void* block, size_t size) {
    if (block == nullptr || !Owns(block)) {
        return g_state->program.realloc(block, size);
    }
    if (size == 0) {
        Release(block);
        return nullptr;
    }
    // Moved into the program's own heap: the code under test no longer owns it.
    void* moved = g_state->program.malloc(size);
    if (moved != nullptr) {
        size_t old = SizeOf(block);
        memcpy(moved, block, old < size ? old : size);
        Release(block);
    }
    return moved;
}
size_t __cdecl ProgramMsize(void* block) {
    return block != nullptr && Owns(block) ? SizeOf(block) : g_state->program.msize(block);
}
LPVOID WINAPI ProgramHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size) {
    return Owns(block) ? DllHeapReAlloc(heap, flags, block, size)
                       : g_state->program.heapReAlloc(heap, flags, block, size);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    auto* address = reinterpret_cast<const BYTE*>(record->ExceptionInformation[1]);
    if (!Owns(address)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const char* access = record->ExceptionInformation[0] == 1 ? "write" : "read";
    char what[64];
    size_t page = (address - g_state->region) / Page;
    if (const FreedBlock* freed = FindFreed(page)) {
        snprintf(what, sizeof(what), "%s after free", access);
        Describe(what, address, freed->user, freed->size, freed->number);
    }
    if (const Header* header = HeaderOf(PageAddress(g_state->owner[page] - 1))) {
        snprintf(what, sizeof(what), "%s past the end", access);
        Describe(what, address, header->user, header->size, header->number);
    }
    snprintf(what, sizeof(what), "%s of a released block", access);
    Describe(what, address, address, 0, 0);
}

template <typename Function>
void Route(HMODULE module, const char* dll, const char* name, Function replacement,
           Function* original) {
    void* old = ReplaceImport(module, dll, name, reinterpret_cast<void*>(replacement));
    if (old != nullptr) {
        *original = reinterpret_cast<Function>(old);
    } else {
        // Not imported by that module: keep the real one for the other paths.
        HMODULE owner = GetModuleHandleA(dll);
        *original =
            reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(owner, name)));
    }
}

}  // namespace

bool Owns(const void* block) {
    auto* byte = static_cast<const BYTE*>(block);
    return g_state != nullptr && byte >= g_state->region && byte < g_state->region + RegionBytes;
}

void* AllocateBlock(size_t size, bool zero) {
    return Allocate(size, zero);
}

void FreeBlock(void* block) {
    Release(block);
}

size_t LiveBlocks() {
    Lock lock;
    return g_state->live;
}

void FailAllocations(unsigned nth, bool persist) {
    Lock lock;
    g_state->failNth = nth;
    g_state->failPersist = persist;
}

bool AllocationFailurePending() {
    Lock lock;
    return g_state->failNth != 0 && !g_state->failPersist;
}

void Reset() {
    FailAllocations(0, false);
}

void Install(HMODULE codeUnderTest) {
    static State state;
    if (g_state != nullptr) {
        return;
    }
    InitializeCriticalSection(&state.lock);
    state.region =
        static_cast<BYTE*>(VirtualAlloc(nullptr, RegionBytes, MEM_RESERVE, PAGE_NOACCESS));
    state.owner = static_cast<uint32_t*>(VirtualAlloc(nullptr, RegionPages * sizeof(uint32_t),
                                                      MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (state.region == nullptr || state.owner == nullptr) {
        Fail("guarded heap: cannot reserve its address space");
    }
    g_state = &state;
    AddVectoredExceptionHandler(1, OnException);

    Originals& dll = state.dll;
    Route<MallocFunction>(codeUnderTest, "msvcrt", "malloc", DllMalloc, &dll.malloc);
    Route<CallocFunction>(codeUnderTest, "msvcrt", "calloc", DllCalloc, &dll.calloc);
    Route<ReallocFunction>(codeUnderTest, "msvcrt", "realloc", DllRealloc, &dll.realloc);
    Route<FreeFunction>(codeUnderTest, "msvcrt", "free", DllFree, &dll.free);
    Route(codeUnderTest, "kernel32", "HeapAlloc", &DllHeapAlloc, &dll.heapAlloc);
    Route(codeUnderTest, "kernel32", "HeapReAlloc", &DllHeapReAlloc, &dll.heapReAlloc);
    Route(codeUnderTest, "kernel32", "HeapFree", &HeapFreeRouted<&State::dll>, &dll.heapFree);
    Route(codeUnderTest, "kernel32", "HeapSize", &HeapSizeRouted<&State::dll>, &dll.heapSize);

    HMODULE program = GetModuleHandleW(nullptr);
    Originals& own = state.program;
    own.malloc = reinterpret_cast<MallocFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt"), "malloc")));
    Route<FreeFunction>(program, "msvcrt", "free", ProgramFree, &own.free);
    Route<ReallocFunction>(program, "msvcrt", "realloc", ProgramRealloc, &own.realloc);
    Route<MsizeFunction>(program, "msvcrt", "_msize", ProgramMsize, &own.msize);
    Route(program, "kernel32", "HeapReAlloc", &ProgramHeapReAlloc, &own.heapReAlloc);
    Route(program, "kernel32", "HeapFree", &HeapFreeRouted<&State::program>, &own.heapFree);
    Route(program, "kernel32", "HeapSize", &HeapSizeRouted<&State::program>, &own.heapSize);
}

}  // namespace guarded_heap
