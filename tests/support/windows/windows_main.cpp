// The Windows test programs' main: the guarded heap and the fault layer are put into the code
// under test's import table before any test runs, and stay for the whole process; the handle
// verifier checks each test's handles at its end.
#include <gtest/gtest.h>

#include "support/windows/faults.h"
#include "support/windows/guarded_heap.h"
#include "support/windows/handle_verifier.h"

int main(int argc, char** argv) {
    HMODULE codeUnderTest = LoadLibraryW(L"skelvane_under_test.dll");
    if (codeUnderTest == nullptr) {
        fprintf(stderr, "cannot load skelvane_under_test.dll: %lu\n", GetLastError());
        return 2;
    }
    // The heap first: the fault layer's HeapAlloc then fails or passes on to the guarded one.
    guarded_heap::Install(codeUnderTest);
    InstallImportFaults(codeUnderTest);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(handle_verifier::NewListener());
    return RUN_ALL_TESTS();
}
