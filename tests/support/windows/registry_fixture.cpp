#include "support/windows/registry_fixture.h"

#include <gtest/gtest.h>

ScratchKey::ScratchKey(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
    LONG result = RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
    if (result != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create the test key: " << result;
        key_ = nullptr;
    }
}

ScratchKey::~ScratchKey() {
    if (key_ != nullptr) {
        // Through the open key and with the view named: a 32-bit program's RegDeleteTreeW(root,
        // path) would look in the 32-bit view and leave the key behind.
        RegDeleteTreeW(key_, nullptr);
        RegCloseKey(key_);
        RegDeleteKeyExW(root_, path_.c_str(), KEY_WOW64_64KEY, 0);
    }
}

void ScratchKey::SetBytes(const wchar_t* name, DWORD type, const void* bytes, DWORD size) {
    // Windows (and Wine) store a string value one character longer than asked when its last
    // character is not zero and the one after it in memory is: followed by non-zero bytes, the
    // value is stored exactly as given.
    std::string stored(static_cast<const char*>(bytes), size);
    stored.append(2, '\xff');
    ASSERT_EQ(
        RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(stored.data()), size),
        ERROR_SUCCESS);
}

void ScratchKey::SetDword(const wchar_t* name, DWORD value) {
    SetBytes(name, REG_DWORD, &value, sizeof(value));
}

void ScratchKey::SetString(const wchar_t* name, const std::wstring& text, DWORD type) {
    SetBytes(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScratchKey::Delete(const wchar_t* name) {
    RegDeleteValueW(key_, name);
}
