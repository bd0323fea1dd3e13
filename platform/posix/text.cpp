// Text and path conversions of the stand-in.
#include "text.h"

#include <cerrno>
#include <climits>
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine.h"

namespace standin {
namespace {

bool IsScalarValue(uint32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (!IsScalarValue(c)) {
        c = 0xFFFD;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at `bytes`, 0 when there is none.
size_t WellFormedLength(const unsigned char* bytes, size_t length) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
        return 1;
    }
    const size_t need = lead >= 0xC2 && lead < 0xE0   ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
    if (need == 0 || length < need) {
        return 0;
    }
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (bytes[1] < low || bytes[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < need; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return need;
}

constexpr uint32_t EscapedByteBase = 0xDC00;  // + a byte 0x80-0xFF: a lone low surrogate

// Inside a drive of the prefix, names match without regard to case, as Windows and Wine's
// drives do: each component that does not exist as written takes the name of an entry that
// differs only in ASCII case. Components past the first that has no match stay as written.
std::string MatchCase(const std::string& root, const std::string& rest) {
    std::string path = root;
    size_t start = 0;
    while (start < rest.size()) {
        size_t slash = rest.find('/', start);
        if (slash == std::string::npos) {
            slash = rest.size();
        }
        std::string name = rest.substr(start, slash - start);
        struct stat info;
        if (!name.empty() && name != "." && name != ".." &&
            lstat((path + "/" + name).c_str(), &info) != 0) {
            if (DIR* folder = opendir(path.c_str())) {
                while (const dirent* entry = readdir(folder)) {
                    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
                        name = entry->d_name;
                        break;
                    }
                }
                closedir(folder);
            }
        }
        path += "/" + name;
        start = slash + 1;
    }
    if (!rest.empty() && rest.back() == '/') {
        path += "/";
    }
    return path;
}

}  // namespace

std::wstring WideFromHostName(const std::string& name) {
    std::wstring out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
    for (size_t i = 0; i < name.size();) {
        const size_t length = WellFormedLength(bytes + i, name.size() - i);
        if (length == 0) {
            out += static_cast<wchar_t>(EscapedByteBase + bytes[i]);
            ++i;
            continue;
        }
        out += WideFromUtf8(name.data() + i, length);
        i += length;
    }
    return out;
}

std::string HostNameFromWide(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= EscapedByteBase + 0x80 && c <= EscapedByteBase + 0xFF) {
            out += static_cast<char>(c - EscapedByteBase);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::string Utf8FromWide(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        AppendUtf8(out, static_cast<uint32_t>(text[i]));
    }
    return out;
}

std::string Utf8FromWide(const std::wstring& text) {
    return Utf8FromWide(text.data(), text.size());
}

std::wstring WideFromUtf8(const char* text, size_t length) {
    std::wstring out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < length) {
        unsigned char lead = bytes[i];
        int extra = lead < 0x80                   ? 0
                    : lead >= 0xC2 && lead < 0xE0 ? 1
                    : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xF0 && lead < 0xF5 ? 3
                                                  : -1;
        if (extra < 0) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra) && i + j < length; ++j) {
            unsigned char next = bytes[i + j];
            // The second byte's range also rules out overlong forms and surrogates.
            unsigned char low = 0x80, high = 0xBF;
            if (j == 1) {
                if (lead == 0xE0)
                    low = 0xA0;
                if (lead == 0xED)
                    high = 0x9F;
                if (lead == 0xF0)
                    low = 0x90;
                if (lead == 0xF4)
                    high = 0x8F;
            }
            if (next < low || next > high) {
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (j <= static_cast<size_t>(extra)) {
            out += L'\xFFFD';  // one replacement for the maximal ill-formed prefix
            i += j;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += j;
    }
    return out;
}

std::wstring WideFromUtf8(const std::string& text) {
    return WideFromUtf8(text.data(), text.size());
}

std::string HostPath(const wchar_t* windowsPath) {
    std::string path = HostNameFromWide(windowsPath, wcslen(windowsPath));
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (path.size() >= 2 && path[1] == ':' && isalpha(static_cast<unsigned char>(path[0]))) {
        char drive = static_cast<char>(tolower(static_cast<unsigned char>(path[0])));
        std::string rest = path.substr(2);
        if (drive == 'z') {
            return rest.empty() ? "/" : rest;
        }
        std::string root = Machine::Current().Prefix() + "/drive_" + std::string(1, drive);
        if (rest.empty()) {
            return root + "/";
        }
        return MatchCase(root, rest[0] == '/' ? rest.substr(1) : rest);
    }
    return path;
}

std::wstring WindowsPathOfHost(const std::string& hostPath) {
    std::string absolute = hostPath;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            absolute = std::string(cwd) + "/" + absolute;
        }
    }
    std::wstring wide = L"Z:" + WideFromHostName(absolute);
    for (wchar_t& c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return wide;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EWOULDBLOCK:
            return ERROR_SHARING_VIOLATION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

}  // namespace standin
