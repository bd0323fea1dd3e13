// The report's formatter on any format: the count, the bounded writes and the whole-text helper
// agree, a cut write never passes its capacity, and numbers agree with the C library's.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "report/wide_format.h"

namespace {

std::wstring Whole(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::wstring text = FormatWideString(format, arguments);
    va_end(arguments);
    return text;
}

// Every argument is a wide string: a pointer-sized slot that each conversion can read safely
// on the 64-bit ABIs this runs on (an integer conversion reads part of the slot).
const wchar_t* const Strings[] = {L"", L"a", L"text", L"%d %s", L"\u00e9\U0001F600", L"0"};

#define ARGUMENTS                                                                           \
    Strings[0], Strings[1], Strings[2], Strings[3], Strings[4], Strings[5], Strings[0],     \
        Strings[1], Strings[2], Strings[3], Strings[4], Strings[5], Strings[0], Strings[1], \
        Strings[2], Strings[3]

void CheckAnyFormat(const uint8_t* data, size_t size) {
    std::wstring format;
    int conversions = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (c == L'\0') {
            continue;
        }
        // '*' takes an argument: only widths from this harness's own case below.
        if (c == L'*' || (c == L'%' && ++conversions > 8)) {
            return;
        }
        format += c;
    }
    const size_t count = FormatWideArgs(nullptr, 0, format.c_str(), ARGUMENTS);
    const std::wstring whole = Whole(format.c_str(), ARGUMENTS);
    if (count == FormatWideError) {
        if (!whole.empty()) {
            __builtin_trap();
        }
        return;
    }
    if (whole.size() != count) {
        __builtin_trap();
    }
    for (size_t capacity : {size_t{1}, size_t{2}, count / 2 + 1, count + 1}) {
        std::vector<wchar_t> out(capacity);  // exactly the capacity: ASan sees any overrun
        if (FormatWideArgs(out.data(), capacity, format.c_str(), ARGUMENTS) != count) {
            __builtin_trap();
        }
        const size_t kept = capacity - 1 < count ? capacity - 1 : count;
        if (out[kept] != L'\0' || whole.compare(0, kept, out.data(), kept) != 0) {
            __builtin_trap();
        }
    }
}

// One integer conversion built from the bytes, against snprintf.
void CheckNumber(const uint8_t* data, size_t size) {
    if (size < 12) {
        return;
    }
    const uint8_t flags = data[0];
    const unsigned width = (data[1] | (data[2] << 8)) % 1100;  // beyond the limit too
    const bool star = (data[3] & 1) != 0;
    const bool wide64 = (data[3] & 2) != 0;
    const char conversion = "diuxX"[data[4] % 5];
    uint64_t raw = 0;
    memcpy(&raw, data + 5, 7);
    std::string flagsAndWidth = "%";
    for (int bit = 0; bit < 4; ++bit) {
        if (flags & (1 << bit)) {
            flagsAndWidth += "-0 +"[bit];
        }
    }
    const std::string widthText = star ? "*" : width == 0 ? "" : std::to_string(width);
    flagsAndWidth += widthText;
    std::string reference(2000, '\0');
    std::wstring wideConversion(flagsAndWidth.begin(), flagsAndWidth.end());
    wideConversion += wide64 ? L"ll" : L"";
    wideConversion += static_cast<wchar_t>(conversion);
    std::string narrowConversion = flagsAndWidth + (wide64 ? "ll" : "") + conversion;
    const int starWidth = static_cast<int>(width) * ((flags & 0x10) ? -1 : 1);
    std::wstring ours;
    int length = 0;
    if (wide64) {
        const long long value = static_cast<long long>(raw << 8);
        ours = star ? Whole(wideConversion.c_str(), starWidth, value)
                    : Whole(wideConversion.c_str(), value);
        length = star ? snprintf(&reference[0], reference.size(), narrowConversion.c_str(),
                                 starWidth, value)
                      : snprintf(&reference[0], reference.size(), narrowConversion.c_str(), value);
    } else {
        const int value = static_cast<int>(static_cast<uint32_t>(raw));
        ours = star ? Whole(wideConversion.c_str(), starWidth, value)
                    : Whole(wideConversion.c_str(), value);
        length = star ? snprintf(&reference[0], reference.size(), narrowConversion.c_str(),
                                 starWidth, value)
                      : snprintf(&reference[0], reference.size(), narrowConversion.c_str(), value);
    }
    if (width > MaxFormatWidth) {
        if (!ours.empty()) {
            __builtin_trap();
        }
        return;
    }
    reference.resize(static_cast<size_t>(length));
    if (ours != std::wstring(reference.begin(), reference.end())) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        CheckNumber(data + 1, size - 1);
    } else {
        CheckAnyFormat(data + 1, size - 1);
    }
    return 0;
}
