// The guarded heap catches each kind of memory fault at once, names it, and ends the process with
// its own code; a text read past its end runs into the guard page instead of stopping at a zero
// in the alignment slack.
#include "support/windows/guarded_heap.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>

#include "support/windows/registry_fixture.h"
#include "sysinfo/registry_values.h"

namespace {

using testing::ExitedWithCode;

volatile unsigned char g_sink;

struct FaultCase {
    const char* name;
    std::function<void()> action;
    std::string report;  // a regular expression for the line on standard error
};

// `size` bytes for the test's own code; the block of 5 bytes ends 3 bytes before its page.
unsigned char* Block(size_t size) {
    return static_cast<unsigned char*>(guarded_heap::AllocateBlock(size, true));
}

TEST(GuardedHeapDeathTest, EachFaultIsCaughtAndNamed) {
    const size_t pastSlack = MEMORY_ALLOCATION_ALIGNMENT == 8 ? 8 : 16;
    const std::string past = std::to_string(pastSlack);
    // The offset of the faulting byte from the block's start, and the block's size.
    const FaultCase cases[] = {
        {"read past the end", [&] { g_sink = Block(5)[pastSlack]; },
         "read past the end at \\w+, offset " + past + " of block #\\d+ of 5 bytes"},
        {"write past the end", [&] { Block(5)[pastSlack] = 1; },
         "write past the end at \\w+, offset " + past + " of block #\\d+ of 5 bytes"},
        {"write into the slack",
         [] {
             unsigned char* block = Block(5);
             block[5] = 0;
             guarded_heap::FreeBlock(block);
         },
         "written past the end at \\w+, offset 5 of block #\\d+ of 5 bytes"},
        {"write before the start",
         [] {
             unsigned char* block = Block(5);
             block[-1] = 0;
             guarded_heap::FreeBlock(block);
         },
         "written before the start at \\w+, offset 0 of block #\\d+ of 5 bytes"},
        {"read after free",
         [] {
             unsigned char* block = Block(5);
             guarded_heap::FreeBlock(block);
             g_sink = block[2];
         },
         "read after free at \\w+, offset 2 of block #\\d+ of 5 bytes"},
        {"double free",
         [] {
             unsigned char* block = Block(5);
             guarded_heap::FreeBlock(block);
             guarded_heap::FreeBlock(block);
         },
         "double free at \\w+, offset 0 of block #\\d+ of 5 bytes"},
        // Three wide characters in six bytes: the slack after them would be a terminator if it
        // were zero.
        {"text without terminator",
         [] {
             auto* text = reinterpret_cast<wchar_t*>(Block(6));
             text[0] = L'A', text[1] = L'B', text[2] = L'C';
             g_sink = static_cast<unsigned char>(wcslen(text));
         },
         "read past the end at \\w+, offset " + past + " of block #\\d+ of 6 bytes"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(c.action(), ExitedWithCode(guarded_heap::FaultExitCode),
                    "guarded heap: " + c.report);
    }
}

TEST(GuardedHeapTest, BlocksAreAlignedZeroedAndEndAtTheirPage) {
    for (size_t size : {0u, 1u, 5u, 8u, 4095u, 4096u, 70000u}) {
        SCOPED_TRACE(size);
        auto* block = Block(size);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(guarded_heap::Owns(block));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % MEMORY_ALLOCATION_ALIGNMENT, 0u);
        size_t slack = (MEMORY_ALLOCATION_ALIGNMENT - size % MEMORY_ALLOCATION_ALIGNMENT) %
                       MEMORY_ALLOCATION_ALIGNMENT;
        EXPECT_EQ((reinterpret_cast<uintptr_t>(block) + size + slack) % 4096, 0u);
        for (size_t i = 0; i < size; ++i) {
            ASSERT_EQ(block[i], 0) << i;
        }
        for (size_t i = size; i < size + slack; ++i) {
            ASSERT_EQ(block[i], guarded_heap::SlackPattern) << i;
        }
        guarded_heap::FreeBlock(block);
    }
}

// The reader's buffer as it used to be sized: the stored byte count halved, plus one unit. A
// value of five bytes without a terminator fills all three units, and reading the text runs
// past the block.
TEST(GuardedHeapDeathTest, OddRegistryStringInAHalvedBufferIsCaught) {
    ScratchKey key(HKEY_CURRENT_USER, L"Software\\SkelvaneTest\\GuardedHeap");
    const unsigned char odd[] = {0x41, 0x00, 0x42, 0x00, 0x43};
    key.SetBytes(L"Odd", REG_SZ, odd, sizeof(odd));
    EXPECT_EXIT(
        {
            const DWORD units = sizeof(odd) / 2 + 1;
            auto* text = reinterpret_cast<wchar_t*>(
                guarded_heap::AllocateBlock(units * sizeof(wchar_t), true));
            if (ReadRegString(key.Get(), L"Odd", text, units, nullptr)) {
                g_sink = static_cast<unsigned char>(wcslen(text));
            }
            exit(0);
        },
        ExitedWithCode(guarded_heap::FaultExitCode), "guarded heap: read past the end");
}

}  // namespace
