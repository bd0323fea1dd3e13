// The Windows test programs' main: the guarded heap and the fault layer are put into the code
// under test's import table before any test runs, and stay for the whole process.
#include <gtest/gtest.h>

#include "support/windows/faults.h"
#include "support/windows/guarded_heap.h"

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
    return RUN_ALL_TESTS();
}
