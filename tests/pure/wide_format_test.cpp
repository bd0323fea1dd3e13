#include "report/wide_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>

namespace {

// Formats by counting and then writing, and checks that the count and the text agree.
std::wstring Format(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::wstring text = FormatWideString(format, arguments);
    va_end(arguments);
    va_start(arguments, format);
    const size_t count = FormatWide(nullptr, 0, format, arguments);
    va_end(arguments);
    EXPECT_EQ(count == FormatWideError ? 0 : count, text.size());
    return text;
}

struct IntegerCase {
    const wchar_t* format;
    int value;
    const wchar_t* expected;
};

TEST(WideFormat, ThirtyTwoBitConversionsWithFlagsAndWidths) {
    const IntegerCase cases[] = {
        {L"%d", -5, L"-5"},
        {L"%i", 42, L"42"},
        {L"%u", -1, L"4294967295"},
        {L"%x", 0x1aF, L"1af"},
        {L"%X", 0x1aF, L"1AF"},
        {L"%08X", 0x70, L"00000070"},
        {L"%08x", static_cast<int>(0x80090016u), L"80090016"},
        {L"%02d", 5, L"05"},
        {L"%02d", 123, L"123"},
        {L"%04d", 2019, L"2019"},
        {L"%04x", 9, L"0009"},
        {L"%04x", 12, L"000c"},
        {L"% 3d", 0, L"  0"},
        {L"% 3d", 12, L" 12"},
        {L"% 3d", 100, L" 100"},
        {L"% d", -7, L"-7"},
        {L"%+d", 7, L"+7"},
        {L"%-4d|", 7, L"7   |"},
        {L"%05d", -42, L"-0042"},
        {L"%ld", INT_MIN, L"-2147483648"},
        {L"%lu", -2, L"4294967294"},
        {L"%lx", -1, L"ffffffff"},
        {L"0x%x", 0, L"0x0"},
        {L"%I32d", -3, L"-3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Format(c.format, c.value), c.expected) << "format " << c.format;
    }
}

TEST(WideFormat, SixtyFourBitConversions) {
    EXPECT_EQ(Format(L"%lld bytes", 5000000000LL), L"5000000000 bytes");
    EXPECT_EQ(Format(L"%I64d", -5000000000LL), L"-5000000000");
    EXPECT_EQ(Format(L"%I64u", 18446744073709551615ULL), L"18446744073709551615");
    EXPECT_EQ(Format(L"%llx", 0x123456789abcULL), L"123456789abc");
    EXPECT_EQ(Format(L"%lld", INT64_MIN), L"-9223372036854775808");
    // A 64-bit argument followed by a 32-bit one: each conversion takes its own width.
    EXPECT_EQ(Format(L"%lld/%d", 1LL << 40, 3), L"1099511627776/3");
}

TEST(WideFormat, Strings) {
    EXPECT_EQ(Format(L"%s: %ws", L"BuildLab", L"7601"), L"BuildLab: 7601");
    EXPECT_EQ(Format(L"[%5s][%-5s]", L"ab", L"cd"), L"[   ab][cd   ]");
    EXPECT_EQ(Format(L"[%4S][%-4S]", "ab", "cd"), L"[  ab][cd  ]");
    // %S takes bytes; 0x80-0xFF become U+0080-U+00FF, nothing is decoded as UTF-8.
    EXPECT_EQ(Format(L"%S", "a\x80\xe9\xff"), std::wstring(L"a\x80\xe9\xff"));
    EXPECT_EQ(Format(L"%S", "\xc3\xa9"), std::wstring(L"\xc3\xa9"));
    EXPECT_EQ(Format(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(Format(L"%S", static_cast<const char*>(nullptr)), L"(null)");
    // Text outside the BMP passes through as it is.
    EXPECT_EQ(Format(L"%s", L"\U0001F600"), L"\U0001F600");
}

TEST(WideFormat, PercentSigns) {
    EXPECT_EQ(Format(L"100%%"), L"100%");
    EXPECT_EQ(Format(L"%%SystemRoot%%\\System32"), L"%SystemRoot%\\System32");
    // A '%' inside an argument is text, never a conversion.
    EXPECT_EQ(Format(L"%s", L"50%d %s %%"), L"50%d %s %%");
    EXPECT_EQ(Format(L"%S", "%n%x"), L"%n%x");
}

TEST(WideFormat, UnknownConversionsAreCopiedAndTakeNoArgument) {
    EXPECT_EQ(Format(L"%q %d", 4), L"%q 4");
    EXPECT_EQ(Format(L"end %"), L"end %");
    EXPECT_EQ(Format(L"end %08"), L"end %08");
}

TEST(WideFormat, EmptyFormat) {
    EXPECT_EQ(Format(L""), L"");
}

TEST(WideFormat, CutsToCapacityButCountsEverything) {
    wchar_t small[5];
    EXPECT_EQ(FormatWideArgs(small, 5, L"%d-%s", 12345, L"abc"), 9u);
    EXPECT_EQ(std::wstring(small), L"1234");
    wchar_t one[1] = {L'x'};
    EXPECT_EQ(FormatWideArgs(one, 1, L"abc"), 3u);
    EXPECT_EQ(one[0], L'\0');
    EXPECT_EQ(FormatWideArgs(nullptr, 0, L"%d", 100), 3u);
}

TEST(WideFormat, StarWidth) {
    EXPECT_EQ(Format(L"[%*d]", 4, 7), L"[   7]");
    EXPECT_EQ(Format(L"[%*d]", -4, 7), L"[7   ]");
}

// A width beyond the limit is refused as a whole: no text of gigabytes, no wrapped digits, no
// negation of INT_MIN.
TEST(WideFormat, WidthsBeyondTheLimitAreAFormattingError) {
    const int limit = static_cast<int>(MaxFormatWidth);
    EXPECT_EQ(Format(L"[%*d]", limit, 7).size(), MaxFormatWidth + 2);
    EXPECT_EQ(Format(L"[%*d]", -limit, 7).size(), MaxFormatWidth + 2);
    EXPECT_EQ(Format(L"%01024d", 7).size(), MaxFormatWidth);
    struct Refused {
        const wchar_t* format;
        int width;  // the '*' argument, where the format has one
    };
    const Refused cases[] = {
        {L"%*d", INT_MIN},
        {L"%*d", INT_MAX},
        {L"%*d", limit + 1},
        {L"%*d", -limit - 1},
        {L"%1025d", 0},
        {L"%1000000000s", 0},
        {L"%18446744073709551621d", 0},
        {L"ok %d then %99999999999999999999999x", 0},
    };
    for (const auto& c : cases) {
        wchar_t out[8] = {L'#', L'#'};
        EXPECT_EQ(FormatWideArgs(out, 8, c.format, c.width, 5, 6), FormatWideError) << c.format;
        EXPECT_LT(wcsnlen(out, 8), 8u) << c.format;
        EXPECT_EQ(FormatWideArgs(nullptr, 0, c.format, c.width, 5, 6), FormatWideError);
        EXPECT_EQ(Format(c.format, c.width, 5, 6), L"") << c.format;
    }
}

}  // namespace
