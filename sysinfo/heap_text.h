// Zero-filled text buffers from the process heap, for values whose size is learned at run time.
#pragma once

#include <cstdint>

#include "platform/scoped_handle.h"
#include "platform/win32.h"

inline BOOL FreeHeapText(wchar_t* text) {
    return HeapFree(GetProcessHeap(), 0, text);
}
using ScopedHeapText = ScopedHandle<wchar_t*, FreeHeapText>;

// `count` zero-filled wide characters, or null when the heap has no room or the byte count
// overflows.
inline wchar_t* AllocateZeroedText(uint64_t count) {
    if (count > SIZE_MAX / sizeof(wchar_t)) {
        return nullptr;
    }
    return static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                           static_cast<SIZE_T>(count * sizeof(wchar_t))));
}
