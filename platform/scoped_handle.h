// One move-only holder for every kind of platform handle: it knows the handle's empty value and
// its close call, so each named holder is one line. Closing never disturbs the thread's last
// error, so a failure reported after the holder let go still reads the failing call's code.
#pragma once

#include <cstdint>
#include <type_traits>

#include "platform/win32.h"

// `Close` takes the handle and returns non-zero on success (BOOL) or nothing; a close call with
// extra arguments or another result convention gets a small adapter function. `Empty` is the
// handle's empty value as an integer: 0 for null handles, -1 for INVALID_HANDLE_VALUE.
template <typename Handle, auto Close, std::intptr_t Empty = 0>
class ScopedHandle {
  public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { Release(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Detach()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Detach());
        }
        return *this;
    }

    static Handle EmptyValue() { return (Handle)Empty; }

    Handle Get() const { return handle_; }
    bool IsEmpty() const { return handle_ == EmptyValue(); }
    // Where an acquisition stores the new handle; the holder must be empty.
    Handle* Put() { return &handle_; }
    // Closes what it held (its result is not looked at) and takes `handle`.
    void Reset(Handle handle) {
        Release();
        handle_ = handle;
    }
    // Gives up ownership without closing.
    Handle Detach() {
        const Handle handle = handle_;
        handle_ = EmptyValue();
        return handle;
    }
    // False when empty; otherwise whether the close call succeeded, and the holder is empty
    // either way (a handle whose close failed is not closed again). The last error is kept.
    bool Release() {
        if (IsEmpty()) {
            return false;
        }
        const Handle handle = Detach();
        const DWORD error = GetLastError();
        bool closed = true;
        if constexpr (std::is_void_v<decltype(Close(handle))>) {
            Close(handle);
        } else {
            closed = Close(handle) != 0;
        }
        SetLastError(error);
        return closed;
    }

  private:
    Handle handle_ = EmptyValue();
};
