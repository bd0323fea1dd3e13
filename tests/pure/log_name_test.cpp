// Where ".txt" goes in the program's path: only a point in the file name counts.
#include "report/log_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogName, SuffixReplacesTheFileNamesLastExtensionOrIsAppended) {
    struct Case {
        const wchar_t* argv0;
        const wchar_t* log;
    };
    const Case cases[] = {
        {L"C:\\tools\\skelvane.exe", L"C:\\tools\\skelvane.txt"},
        {L"skelvane", L"skelvane.txt"},
        {L".\\skelvane", L".\\skelvane.txt"},
        {L"D:\\tools.2019\\check", L"D:\\tools.2019\\check.txt"},
        {L"check.exe.bak", L"check.exe.txt"},
        {L"run.tar.gz", L"run.tar.txt"},
        {L"C:/mixed\\sep.arated/name.exe", L"C:/mixed\\sep.arated/name.txt"},
        {L"C:\\folder.d\\", L"C:\\folder.d\\.txt"},
        {L"", L".txt"},
    };
    for (const Case& c : cases) {
        std::wstring path(c.argv0);
        path.resize(path.size() + 5);  // room for ".txt" and its terminator
        wchar_t* suffix = LogNameSuffix(&path[0]);
        ASSERT_GE(suffix, &path[0]);
        std::wstring log(&path[0], suffix);
        log += L".txt";
        EXPECT_EQ(log, c.log);
    }
}

}  // namespace
