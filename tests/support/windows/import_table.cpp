#include "support/windows/import_table.h"

#include <cstring>

namespace {

// "KERNEL32.dll" names "kernel32" and "kernel32.dll".
bool SameDll(const char* imported, const char* wanted) {
    size_t length = strlen(wanted);
    if (_strnicmp(imported, wanted, length) != 0) {
        return false;
    }
    return imported[length] == '\0' || _stricmp(imported + length, ".dll") == 0;
}

void* Swap(void** entry, void* replacement) {
    DWORD protection = 0;
    if (!VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &protection)) {
        return nullptr;
    }
    void* old = *entry;
    *entry = replacement;
    VirtualProtect(entry, sizeof(*entry), protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof(*entry));
    return old;
}

}  // namespace

void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return nullptr;
    }
    void* found = nullptr;
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        if (!SameDll(reinterpret_cast<const char*>(base + descriptor->Name), dll)) {
            continue;
        }
        // The name table stays as linked; the address table holds what the loader bound.
        DWORD names = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk
                                                          : descriptor->FirstThunk;
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + names);
        auto* entry = reinterpret_cast<void**>(base + descriptor->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++entry) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
                continue;
            }
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                found = Swap(entry, replacement);
            }
        }
    }
    return found;
}
