// A guarded heap for the code under test, after Windows' PageHeap: every block it hands out ends
// at a page boundary before an inaccessible page, so the first byte read or written past a block
// faults at the faulting instruction; the alignment slack and the bytes before the block hold a
// pattern that is checked when the block is freed; freed blocks stay inaccessible for a while, so
// a use after free faults too. A fault prints the block and ends the process with
// GuardedHeapFaultExitCode (after saving coverage data, through the normal process exit).
#pragma once

#include "platform/win32.h"

#include <cstddef>

namespace guarded_heap {

constexpr UINT FaultExitCode = 86;
// The byte in the slack after a block and before it: never zero, so an over-read of a text runs
// on into the inaccessible page instead of stopping silently at a zero.
constexpr unsigned char SlackPattern = 0xD5;

// Routes the allocation calls that `codeUnderTest` imports (malloc, calloc, realloc, free,
// HeapAlloc, HeapReAlloc, HeapFree, HeapSize) to the guarded heap, and this program's own frees to
// it for the blocks it owns (a string made by the code under test is often freed by a test).
// Installs the handler that reports faults. Once per process, before any test runs.
void Install(HMODULE codeUnderTest);

bool Owns(const void* block);
// A block for a test's own buffer that the code under test fills or reads, guarded the same way.
void* AllocateBlock(size_t size, bool zero);
void FreeBlock(void* block);
// The number of the code under test's blocks not yet freed.
size_t LiveBlocks();

// The next allocations of the code under test through malloc, calloc, realloc or operator new
// fail: the `nth` from now, and with `persist` every one after it too. Cleared by Reset.
void FailAllocations(unsigned nth, bool persist);
// Whether a one-time failure planned by FailAllocations has yet to strike.
bool AllocationFailurePending();
void Reset();

}  // namespace guarded_heap
