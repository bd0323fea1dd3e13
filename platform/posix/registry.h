// The stand-in machine's registry: a tree of keys under the predefined roots, filled from text in
// the Windows ".reg" format ("Windows Registry Editor Version 5.00"), the format regedit imports
// and exports, so that one file sets up both the stand-in and a Wine prefix.
//
// Values keep Windows' own bytes (strings as UTF-16LE with the terminator as stored). Names are
// case-insensitive and keep the spelling they were first written with.
// Left out: writing through the API, security descriptors, links, the 32-bit view (both views
// are the same tree), HKEY_CURRENT_USER as a link into HKEY_USERS.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "win32_api.h"

namespace standin {

struct RegistryValue {
    std::wstring name;
    DWORD type = REG_NONE;
    std::string data;  // the stored bytes, as Windows keeps them
};

struct RegistryKey {
    std::wstring name;
    std::map<std::wstring, std::unique_ptr<RegistryKey>> subkeys;  // by folded name
    std::map<std::wstring, RegistryValue> values;                  // by folded name
};

class Registry {
  public:
    Registry();

    // Applies a .reg file as regedit imports it: UTF-16LE with a byte order mark, or ASCII /
    // UTF-8. On a malformed file it stops and says "<name>:<line>: <why>" in `error`; what the
    // lines before it did stays applied.
    bool Import(const std::string& bytes, const std::string& name, std::string* error);

    // The key under `root` at the (folded) path components, or null.
    const RegistryKey* Find(HKEY root, const std::vector<std::wstring>& path) const;

    // Keys whose opening fails with ERROR_ACCESS_DENIED, with everything below them: a full
    // path from the root name, e.g. "HKEY_USERS\S-1-5-18".
    bool Deny(const std::wstring& fullPath);
    bool IsDenied(HKEY root, const std::vector<std::wstring>& path) const;

    // A registry whose files could not be read answers every open with ERROR_BADDB.
    void MarkBroken() { broken_ = true; }
    bool IsBroken() const { return broken_; }

  private:
    std::map<HKEY, RegistryKey> roots_;
    std::set<std::vector<std::wstring>> denied_;  // root name and path, folded
    bool broken_ = false;
};

// Folds a registry name for comparison: letters to upper case, as Windows compares them.
std::wstring FoldRegistryName(const std::wstring& name);

// Splits "A\B\C" into folded components; false for an empty component other than a last one.
bool SplitRegistryPath(const std::wstring& path, std::vector<std::wstring>* components);

// The predefined root of a root name ("HKEY_LOCAL_MACHINE" or "HKLM", ...), or null.
HKEY RegistryRootOfName(const std::wstring& name);

// The bytes a caller of RegQueryValueExW receives for a stored value: string types become this
// build's WCHAR units (an odd last byte kept as one byte), other types are passed as stored.
std::string NativeValueBytes(const RegistryValue& value);

}  // namespace standin
