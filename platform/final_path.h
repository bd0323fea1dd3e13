// Paths that a call writes into the caller's buffer and whose length is learned by asking, read
// whole into a block of their own; among them where a handle really is.
#pragma once

#include <cstdlib>
#include <memory>

#include "platform/win32.h"

using PathText = std::unique_ptr<wchar_t, void (*)(void*)>;

inline PathText NoPathText() {
    return PathText(nullptr, free);
}

// The path that `fill(buffer, size)` writes: a call that returns the length written, the size it
// needs when the buffer is too small, or 0 when it fails. Null when it fails or memory runs out.
template <typename Fill>
PathText ReadPathText(Fill fill) {
    DWORD size = MAX_PATH;
    for (int attempt = 0; attempt < 3; ++attempt) {
        PathText path(static_cast<wchar_t*>(calloc(size, sizeof(wchar_t))), free);
        if (path == nullptr) {
            return NoPathText();
        }
        const DWORD length = fill(path.get(), size);
        if (length == 0) {
            return NoPathText();
        }
        if (length < size) {
            return path;
        }
        size = length + 1;  // the path may have grown meanwhile: asked again, a few times
    }
    return NoPathText();
}

// GetFinalPathNameByHandleW with the volume's DOS name, where the system has it (Vista and
// later): the length written, the size it needs when `size` is too small, or 0 when it fails or
// the call is missing.
DWORD QueryFinalPath(HANDLE handle, wchar_t* buffer, DWORD size);

// Where the file or folder `handle` is open on really is, as QueryFinalPath answers; null where
// the system cannot say (before Vista; a failed query, as on RAM disks and DefineDosDevice
// drives) or memory runs out. The thread's last error is kept.
PathText FinalPathOf(HANDLE handle);
