// Registry keys that a test writes through the program's own calls (never failed or counted by
// the fault layer) and removes again, with values stored byte for byte.
#pragma once

#include "platform/win32.h"

#include <string>

class ScratchKey {
  public:
    // Creates (or opens) `root`\`path`, in the 64-bit view where there is one.
    ScratchKey(HKEY root, std::wstring path);
    ~ScratchKey();  // deletes the key with everything below it
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY Get() const { return key_; }
    const std::wstring& Path() const { return path_; }
    void SetBytes(const wchar_t* name, DWORD type, const void* bytes, DWORD size);
    void SetDword(const wchar_t* name, DWORD value);
    // The text and its terminator.
    void SetString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
    void Delete(const wchar_t* name);

  private:
    HKEY root_;
    std::wstring path_;
    HKEY key_ = nullptr;
};
