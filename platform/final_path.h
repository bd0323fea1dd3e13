// Paths that a call writes into the caller's buffer and whose length is learned by asking, read
// whole into a block of their own; among them where a handle really is.
#pragma once

#include <cstdlib>

#include "platform/holders.h"
#include "platform/win32.h"

// A path read whole, in a block from calloc.
using PathText = ScopedMallocBlock<wchar_t>;

// The path that `fill(buffer, size)` writes: a call that returns the length written, the size it
// needs when the buffer is too small, or 0 when it fails. Null when it fails or memory runs out.
template <typename Fill>
PathText ReadPathText(Fill fill) {
    DWORD size = MAX_PATH;
    for (int attempt = 0; attempt < 3; ++attempt) {
        PathText path(static_cast<wchar_t*>(calloc(size, sizeof(wchar_t))));
        if (path.IsEmpty()) {
            return PathText();
        }
        const DWORD length = fill(path.Get(), size);
        if (length == 0) {
            return PathText();
        }
        if (length < size) {
            return path;
        }
        size = length + 1;  // the path may have grown meanwhile: asked again, a few times
    }
    return PathText();
}

// GetFinalPathNameByHandleW with the volume's DOS name, where the system has it (Vista and
// later): the length written, the size it needs when `size` is too small, or 0 when it fails or
// the call is missing.
DWORD QueryFinalPath(HANDLE handle, wchar_t* buffer, DWORD size);

// Where the file or folder `handle` is open on really is, as QueryFinalPath answers; null where
// the system cannot say (before Vista; a failed query, as on RAM disks and DefineDosDevice
// drives) or memory runs out. The thread's last error is kept.
PathText FinalPathOf(HANDLE handle);
