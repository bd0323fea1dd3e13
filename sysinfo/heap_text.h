// Zero-filled buffers from the process heap, for texts whose size is learned at run time.
#pragma once

#include <cstdint>

#include "platform/scoped_handle.h"
#include "platform/win32.h"

template <typename Unit>
BOOL FreeHeapBlock(Unit* block) {
    return HeapFree(GetProcessHeap(), 0, block);
}
template <typename Unit>
using ScopedHeapBlock = ScopedHandle<Unit*, FreeHeapBlock<Unit>>;
using ScopedHeapText = ScopedHeapBlock<wchar_t>;

// `count` zero-filled units, or null when the heap has no room or the byte count overflows.
template <typename Unit>
Unit* AllocateZeroed(uint64_t count) {
    if (count > SIZE_MAX / sizeof(Unit)) {
        return nullptr;
    }
    return static_cast<Unit*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count * sizeof(Unit))));
}

inline wchar_t* AllocateZeroedText(uint64_t count) {
    return AllocateZeroed<wchar_t>(count);
}
