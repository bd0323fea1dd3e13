// Holders of CryptoAPI handles: each owns one handle, knows its empty value (0) and its release
// call. Releasing from the destructor keeps the thread's last error, so a failure report made
// after the holder went away still reads the failing call's code.
#pragma once

#include "platform/win32.h"

class ScopedCryptProvider {
  public:
    ScopedCryptProvider() = default;
    ~ScopedCryptProvider() {
        const DWORD error = GetLastError();
        Release();
        SetLastError(error);
    }
    ScopedCryptProvider(const ScopedCryptProvider&) = delete;
    ScopedCryptProvider& operator=(const ScopedCryptProvider&) = delete;
    ScopedCryptProvider(ScopedCryptProvider&& other) noexcept : handle_(other.handle_) {
        other.handle_ = 0;
    }
    ScopedCryptProvider& operator=(ScopedCryptProvider&& other) noexcept {
        if (this != &other) {
            Release();
            handle_ = other.handle_;
            other.handle_ = 0;
        }
        return *this;
    }

    HCRYPTPROV Get() const { return handle_; }
    // Where an acquisition stores the new handle; the holder must be empty.
    HCRYPTPROV* Put() { return &handle_; }

    // False when empty; otherwise the result of CryptReleaseContext, and the holder is empty.
    bool Release() {
        if (handle_ == 0) {
            return false;
        }
        const BOOL released = CryptReleaseContext(handle_, 0);
        handle_ = 0;
        return released != FALSE;
    }

  private:
    HCRYPTPROV handle_ = 0;
};

class ScopedCryptHash {
  public:
    ScopedCryptHash() = default;
    ~ScopedCryptHash() {
        const DWORD error = GetLastError();
        Release();
        SetLastError(error);
    }
    ScopedCryptHash(const ScopedCryptHash&) = delete;
    ScopedCryptHash& operator=(const ScopedCryptHash&) = delete;
    ScopedCryptHash(ScopedCryptHash&& other) noexcept : handle_(other.handle_) {
        other.handle_ = 0;
    }
    ScopedCryptHash& operator=(ScopedCryptHash&& other) noexcept {
        if (this != &other) {
            Release();
            handle_ = other.handle_;
            other.handle_ = 0;
        }
        return *this;
    }

    HCRYPTHASH Get() const { return handle_; }
    HCRYPTHASH* Put() { return &handle_; }

    // False when empty; otherwise the result of CryptDestroyHash, and the holder is empty.
    bool Release() {
        if (handle_ == 0) {
            return false;
        }
        const BOOL destroyed = CryptDestroyHash(handle_);
        handle_ = 0;
        return destroyed != FALSE;
    }

  private:
    HCRYPTHASH handle_ = 0;
};
