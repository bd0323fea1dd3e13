#include "report/wide_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Format(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list counting;
    va_copy(counting, arguments);
    size_t length = FormatWide(nullptr, 0, format, counting);
    va_end(counting);
    std::wstring text(length + 1, L'?');
    size_t again = FormatWide(&text[0], text.size(), format, arguments);
    va_end(arguments);
    EXPECT_EQ(again, length);
    EXPECT_EQ(text[length], L'\0');
    text.resize(length);
    return text;
}

TEST(WideFormat, Placeholder) {
    EXPECT_EQ(Format(L"%d", 5), L"5");
}

}  // namespace
