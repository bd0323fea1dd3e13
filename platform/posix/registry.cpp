// The stand-in registry and its .reg reader.
#include "registry.h"

#include <algorithm>
#include <cwctype>

#include "text.h"

namespace standin {
namespace {

// Appends the UTF-16LE units of bytes[start..] to `text`, a surrogate pair as one character;
// returns where the last whole unit ended (an odd last byte is left).
size_t AppendUtf16Le(const std::string& bytes, size_t start, std::wstring* text) {
    size_t i = start;
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t unit =
            static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                                 (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        *text += static_cast<wchar_t>(unit);
    }
    return i;
}

const wchar_t Version5Header[] = L"Windows Registry Editor Version 5.00";
const wchar_t Version4Header[] = L"REGEDIT4";

struct RootName {
    const wchar_t* longName;
    const wchar_t* shortName;
    HKEY root;
};

const RootName RootNames[] = {
    {L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},
    {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
    {L"HKEY_USERS", L"HKU", HKEY_USERS},
    {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT},
};

const wchar_t* LongRootName(HKEY root) {
    for (const RootName& name : RootNames) {
        if (name.root == root) {
            return name.longName;
        }
    }
    return L"";
}

// The file's text: UTF-16LE after a byte order mark, else UTF-8 (ASCII included).
bool DecodeRegText(const std::string& bytes, std::wstring* text) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            return false;
        }
        text->clear();
        AppendUtf16Le(bytes, 2, text);
        return true;
    }
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    *text = WideFromUtf8(bytes.data() + start, bytes.size() - start);
    return true;
}

void AppendUtf16(std::string* bytes, uint32_t c) {
    auto unit = [bytes](uint32_t u) {
        *bytes += static_cast<char>(u & 0xFF);
        *bytes += static_cast<char>((u >> 8) & 0xFF);
    };
    if (c >= 0x10000 && c <= 0x10FFFF) {
        unit(0xD800 + ((c - 0x10000) >> 10));
        unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        unit(c);
    }
}

std::wstring Trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Reads a quoted string starting at text[*at] == '"'; regedit's escapes are \\ and \".
bool ReadQuoted(const std::wstring& text, size_t* at, std::wstring* out) {
    out->clear();
    for (size_t i = *at + 1; i < text.size(); ++i) {
        if (text[i] == L'"') {
            *at = i + 1;
            return true;
        }
        if (text[i] == L'\\' && i + 1 < text.size() &&
            (text[i + 1] == L'\\' || text[i + 1] == L'"')) {
            ++i;
        }
        *out += text[i];
    }
    return false;
}

// "41,00,42" (blanks allowed around the commas) as bytes.
bool ParseHexBytes(const std::wstring& text, std::string* bytes) {
    bytes->clear();
    std::wstring rest = Trim(text);
    if (rest.empty()) {
        return true;
    }
    size_t start = 0;
    while (true) {
        size_t comma = rest.find(L',', start);
        std::wstring item = Trim(rest.substr(start, comma - start));
        if (item.empty() || item.size() > 2) {
            return false;
        }
        int value = 0;
        for (wchar_t c : item) {
            int digit = HexDigit(c);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + digit;
        }
        *bytes += static_cast<char>(value);
        if (comma == std::wstring::npos) {
            return true;
        }
        start = comma + 1;
    }
}

bool ParseHexNumber(const std::wstring& text, size_t maxDigits, DWORD* value) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    *value = 0;
    for (wchar_t c : text) {
        int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        *value = *value * 16 + static_cast<DWORD>(digit);
    }
    return true;
}

class RegFileReader {
  public:
    RegFileReader(std::map<HKEY, RegistryKey>* roots, const std::vector<std::wstring>& lines)
        : roots_(roots), lines_(lines) {}

    // False with the reason in `why` and the 1-based line in `line`.
    bool Read(std::string* why, size_t* line);

  private:
    bool KeyLine(const std::wstring& text, std::string* why);
    bool ValueLine(const std::wstring& text, size_t* next, std::string* why);
    bool ValueData(const std::wstring& data, size_t* next, RegistryValue* value, bool* remove,
                   std::string* why);

    std::map<HKEY, RegistryKey>* roots_;
    const std::vector<std::wstring>& lines_;
    RegistryKey* current_ = nullptr;
};

bool RegFileReader::Read(std::string* why, size_t* line) {
    size_t first = 0;
    while (first < lines_.size() && Trim(lines_[first]).empty()) {
        ++first;
    }
    if (first == lines_.size() ||
        (Trim(lines_[first]) != Version5Header && Trim(lines_[first]) != Version4Header)) {
        *line = first < lines_.size() ? first + 1 : 1;
        *why =
            "not a registry file: the first line is not \"Windows Registry Editor Version "
            "5.00\"";
        return false;
    }
    for (size_t i = first + 1; i < lines_.size();) {
        *line = i + 1;
        std::wstring text = Trim(lines_[i]);
        size_t next = i + 1;
        bool ok = true;
        if (text.empty() || text[0] == L';') {
            // blank line or comment
        } else if (text[0] == L'[') {
            ok = KeyLine(text, why);
        } else if (text[0] == L'"' || text[0] == L'@') {
            ok = ValueLine(text, &next, why);
        } else {
            *why = "neither a key, a value nor a comment";
            ok = false;
        }
        if (!ok) {
            return false;
        }
        i = next;
    }
    return true;
}

bool RegFileReader::KeyLine(const std::wstring& text, std::string* why) {
    if (text.back() != L']') {
        *why = "a key line must end with ']'";
        return false;
    }
    std::wstring path = text.substr(1, text.size() - 2);
    const bool remove = !path.empty() && path[0] == L'-';
    if (remove) {
        path.erase(0, 1);
    }
    size_t slash = path.find(L'\\');
    HKEY root = RegistryRootOfName(path.substr(0, slash));
    if (root == nullptr) {
        *why = "unknown root key \"" + Utf8FromWide(path.substr(0, slash)) + "\"";
        return false;
    }
    std::vector<std::wstring> components;
    if (slash != std::wstring::npos && !SplitRegistryPath(path.substr(slash + 1), &components)) {
        *why = "empty key name in \"" + Utf8FromWide(path) + "\"";
        return false;
    }
    RegistryKey* key = &(*roots_)[root];
    if (remove) {
        current_ = nullptr;
        if (components.empty()) {
            *why = "a root key cannot be deleted";
            return false;
        }
        for (size_t i = 0; i + 1 < components.size() && key != nullptr; ++i) {
            auto found = key->subkeys.find(components[i]);
            key = found == key->subkeys.end() ? nullptr : found->second.get();
        }
        if (key != nullptr) {
            key->subkeys.erase(components.back());
        }
        return true;
    }
    // Each component keeps the spelling it was first created with.
    size_t start = slash == std::wstring::npos ? path.size() : slash + 1;
    for (const std::wstring& component : components) {
        size_t end = path.find(L'\\', start);
        std::unique_ptr<RegistryKey>& child = key->subkeys[component];
        if (!child) {
            child = std::make_unique<RegistryKey>();
            child->name = path.substr(start, end - start);
        }
        key = child.get();
        start = end == std::wstring::npos ? path.size() : end + 1;
    }
    current_ = key;
    return true;
}

bool RegFileReader::ValueLine(const std::wstring& text, size_t* next, std::string* why) {
    std::wstring name;
    size_t at = 0;
    if (text[0] == L'@') {
        at = 1;
    } else if (!ReadQuoted(text, &at, &name)) {
        *why = "the value name has no closing '\"'";
        return false;
    }
    std::wstring rest = Trim(text.substr(at));
    if (rest.empty() || rest[0] != L'=') {
        *why = "'=' expected after the value name";
        return false;
    }
    if (current_ == nullptr) {
        *why = "a value outside a key";
        return false;
    }
    RegistryValue value;
    value.name = name;
    bool remove = false;
    if (!ValueData(Trim(rest.substr(1)), next, &value, &remove, why)) {
        return false;
    }
    const std::wstring folded = FoldRegistryName(name);
    if (remove) {
        current_->values.erase(folded);
        return true;
    }
    auto found = current_->values.find(folded);
    if (found != current_->values.end()) {
        value.name = found->second.name;
    }
    current_->values[folded] = std::move(value);
    return true;
}

bool RegFileReader::ValueData(const std::wstring& data, size_t* next, RegistryValue* value,
                              bool* remove, std::string* why) {
    if (data == L"-") {
        *remove = true;
        return true;
    }
    if (!data.empty() && data[0] == L'"') {
        size_t at = 0;
        std::wstring text;
        if (!ReadQuoted(data, &at, &text) || !Trim(data.substr(at)).empty()) {
            *why = "a string value must be one quoted text";
            return false;
        }
        value->type = REG_SZ;
        for (wchar_t c : text) {
            AppendUtf16(&value->data, static_cast<uint32_t>(c));
        }
        AppendUtf16(&value->data, 0);
        return true;
    }
    if (data.compare(0, 6, L"dword:") == 0) {
        DWORD number = 0;
        if (!ParseHexNumber(data.substr(6), 8, &number)) {
            *why = "dword: takes one to eight hexadecimal digits";
            return false;
        }
        value->type = REG_DWORD;
        for (int shift = 0; shift < 32; shift += 8) {
            value->data += static_cast<char>((number >> shift) & 0xFF);
        }
        return true;
    }
    size_t colon = data.find(L':');
    std::wstring kind = colon == std::wstring::npos ? data : data.substr(0, colon);
    if (kind == L"hex") {
        value->type = REG_BINARY;
    } else if (kind.size() > 5 && kind.compare(0, 4, L"hex(") == 0 && kind.back() == L')' &&
               ParseHexNumber(kind.substr(4, kind.size() - 5), 8, &value->type)) {
        // hex(N): a value of type N given as bytes
    } else {
        *why = "unknown value type (expected \"text\", dword:, hex: or hex(N):)";
        return false;
    }
    // Hex data continues on the next line after a trailing backslash.
    std::wstring bytes = data.substr(colon + 1);
    while (!bytes.empty() && bytes.back() == L'\\') {
        bytes.pop_back();
        if (*next >= lines_.size()) {
            *why = "the hex data continues past the end of the file";
            return false;
        }
        bytes += Trim(lines_[(*next)++]);
    }
    if (!ParseHexBytes(bytes, &value->data)) {
        *why = "hex data must be two-digit hexadecimal bytes separated by commas";
        return false;
    }
    return true;
}

}  // namespace

std::wstring FoldRegistryName(const std::wstring& name) {
    std::wstring folded = name;
    for (wchar_t& c : folded) {
        c = static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
    }
    return folded;
}

bool SplitRegistryPath(const std::wstring& path, std::vector<std::wstring>* components) {
    components->clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == start) {
            return false;
        }
        components->push_back(FoldRegistryName(path.substr(start, end - start)));
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

HKEY RegistryRootOfName(const std::wstring& name) {
    const std::wstring folded = FoldRegistryName(name);
    for (const RootName& root : RootNames) {
        if (folded == root.longName || folded == root.shortName) {
            return root.root;
        }
    }
    return nullptr;
}

std::string NativeValueBytes(const RegistryValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) {
        return value.data;
    }
    std::wstring text;
    const std::string& bytes = value.data;
    const size_t i = AppendUtf16Le(bytes, 0, &text);
    std::string native(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
    if (i < bytes.size()) {
        native += bytes[i];  // the odd last byte: the low byte of a unit, as on Windows
    }
    return native;
}

Registry::Registry() {
    for (const RootName& name : RootNames) {
        roots_[name.root].name = name.longName;
    }
}

bool Registry::Import(const std::string& bytes, const std::string& name, std::string* error) {
    std::wstring text;
    if (!DecodeRegText(bytes, &text)) {
        *error = name + ":1: UTF-16 text with an odd number of bytes";
        return false;
    }
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        lines.push_back(line);
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    RegFileReader reader(&roots_, lines);
    std::string why;
    size_t line = 0;
    if (!reader.Read(&why, &line)) {
        *error = name + ":" + std::to_string(line) + ": " + why;
        return false;
    }
    return true;
}

const RegistryKey* Registry::Find(HKEY root, const std::vector<std::wstring>& path) const {
    auto found = roots_.find(root);
    if (found == roots_.end()) {
        return nullptr;
    }
    const RegistryKey* key = &found->second;
    for (const std::wstring& component : path) {
        auto child = key->subkeys.find(component);
        if (child == key->subkeys.end()) {
            return nullptr;
        }
        key = child->second.get();
    }
    return key;
}

bool Registry::Deny(const std::wstring& fullPath) {
    size_t slash = fullPath.find(L'\\');
    HKEY root = RegistryRootOfName(fullPath.substr(0, slash));
    std::vector<std::wstring> path;
    if (root == nullptr ||
        (slash != std::wstring::npos && !SplitRegistryPath(fullPath.substr(slash + 1), &path))) {
        return false;
    }
    path.insert(path.begin(), LongRootName(root));
    denied_.insert(path);
    return true;
}

bool Registry::IsDenied(HKEY root, const std::vector<std::wstring>& path) const {
    std::vector<std::wstring> full = path;
    full.insert(full.begin(), LongRootName(root));
    for (const auto& denied : denied_) {
        if (denied.size() <= full.size() &&
            std::equal(denied.begin(), denied.end(), full.begin())) {
            return true;
        }
    }
    return false;
}

}  // namespace standin
