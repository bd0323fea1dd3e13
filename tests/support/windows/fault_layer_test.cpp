// The fault layer fails, counts and answers the calls of the code under test, and only those.
#include "support/windows/faults.h"

#include <gtest/gtest.h>

#include "support/windows/registry_fixture.h"
#include "sysinfo/registry_values.h"

namespace {

class FaultLayerTest : public testing::Test {
  protected:
    ScratchKey key_{HKEY_CURRENT_USER, L"Software\\SkelvaneTest\\FaultLayer"};
    ImportFaults faults_;

    void SetUp() override { key_.SetDword(L"Number", 42); }

    // The reader makes two calls: the type query and the read.
    bool Read(DWORD* value) {
        SetLastError(0xdeadbeef);
        return ReadRegDword(key_.Get(), L"Number", value);
    }
};

TEST_F(FaultLayerTest, TheNthCallFailsOnceOrFromThenOn) {
    struct Case {
        When when;
        bool firstOk, secondOk;
        unsigned calls;  // after two reads
    };
    const Case cases[] = {
        {Nth(1), false, true, 3}, {Nth(2), false, true, 4},      {Nth(3), true, false, 3},
        {Nth(5), true, true, 4},  {FromNth(2), false, false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "nth " << c.when.nth << " persist " << c.when.persist);
        ResetImportFaults();
        faults_.Fail<Api::RegQueryValueExW>(LONG(ERROR_ACCESS_DENIED), 0, c.when);
        DWORD value = 0;
        EXPECT_EQ(Read(&value), c.firstOk);
        EXPECT_EQ(GetLastError(), c.firstOk ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
        EXPECT_EQ(Read(&value), c.secondOk);
        EXPECT_EQ(ImportFaults::Calls(Api::RegQueryValueExW), c.calls);
    }
}

TEST_F(FaultLayerTest, TheProgramsOwnCallsAreNeitherFailedNorCounted) {
    faults_.Fail<Api::RegQueryValueExW>(LONG(ERROR_ACCESS_DENIED), 0, FromNth(1));
    DWORD value = 0, size = sizeof(value);
    EXPECT_EQ(RegQueryValueExW(key_.Get(), L"Number", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(ImportFaults::Calls(Api::RegQueryValueExW), 0u);
}

TEST_F(FaultLayerTest, AnAnswerReplacesTheCallAndMayCallTheRealOne) {
    faults_.Answer<Api::RegQueryValueExW>(
        [](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
            LONG result =
                ImportFaults::Real<Api::RegQueryValueExW>(key, name, reserved, type, data, size);
            if (result == ERROR_SUCCESS && data != nullptr) {
                *reinterpret_cast<DWORD*>(data) += 1;
            }
            return result;
        });
    DWORD value = 0;
    EXPECT_TRUE(Read(&value));
    EXPECT_EQ(value, 43u);
    EXPECT_EQ(ImportFaults::Calls(Api::RegQueryValueExW), 2u);
}

TEST_F(FaultLayerTest, EverythingIsUndoneWhenTheFaultsGo) {
    {
        ImportFaults inner;
        inner.Fail<Api::RegQueryValueExW>(LONG(ERROR_ACCESS_DENIED), 0, FromNth(1));
    }
    DWORD value = 0;
    EXPECT_TRUE(Read(&value));
    EXPECT_EQ(value, 42u);
}

}  // namespace
