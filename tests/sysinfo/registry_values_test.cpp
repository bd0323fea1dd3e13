// The registry value readers: sizes, types and the codes they leave in the last error.
#include "sysinfo/registry_values.h"

#include <gtest/gtest.h>

#include <string>

#include "support/machine_fixture.h"
#include "support/registry_text.h"
#include "text.h"

namespace {

const wchar_t TestKey[] = L"SOFTWARE\\Test";

class RegistryValuesTest : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        ImportRegistry(
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
            "\"Ten\"=\"0123456789\"\r\n"
            "\"Odd\"=hex(1):41,00,42,00,43\r\n"
            "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
            "\"Empty\"=hex(1):\r\n"
            "\"Number\"=dword:0000002a\r\n"
            "\"Short\"=hex(4):01,00\r\n"
            "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "\"BigEndian\"=hex(5):00,00,00,01\r\n");
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TestKey, 0, RegistryReadAccess, key_.Put()),
                  ERROR_SUCCESS);
    }
    HKEY key() const { return key_.Get(); }

  private:
    ScopedRegKey key_;
};

TEST_F(RegistryValuesTest, StringSizesAndCapacities) {
    struct Case {
        const wchar_t* name;
        DWORD capacity;
        bool ok;
        DWORD error;
        DWORD size;
        std::wstring text;
    };
    const Case cases[] = {
        {L"Ten", 10, false, ERROR_INSUFFICIENT_BUFFER, 11, L""},
        {L"Ten", 11, true, ERROR_SUCCESS, 11, L"0123456789"},
        {L"Ten", 0, false, ERROR_INSUFFICIENT_BUFFER, 11, L""},
        // An odd last byte is dropped from the size but still needs room.
        {L"Odd", 2, false, ERROR_INSUFFICIENT_BUFFER, 2, L""},
        {L"Odd", 3, true, ERROR_SUCCESS, 2, L"ABC"},
        {L"Expand", 4, true, ERROR_SUCCESS, 4, L"%A%"},
        {L"Empty", 0, true, ERROR_SUCCESS, 0, L""},
        {L"Number", 8, false, ERROR_INVALID_DATA, 0, L""},
        {L"Missing", 8, false, ERROR_FILE_NOT_FOUND, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << standin::Utf8FromWide(c.name) << " capacity " << c.capacity);
        wchar_t buffer[16] = {};
        DWORD size = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(
            ReadRegString(key(), c.name, c.capacity == 0 ? nullptr : buffer, c.capacity, &size),
            c.ok);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(size, c.size);
        if (c.ok) {
            EXPECT_EQ(std::wstring(buffer), c.text);
        }
    }
}

TEST_F(RegistryValuesTest, DwordTypesAndSizes) {
    struct Case {
        const wchar_t* name;
        bool ok;
        DWORD error;
    };
    const Case cases[] = {
        {L"Number", true, ERROR_SUCCESS},      {L"Ten", false, ERROR_INVALID_DATA},
        {L"Quad", false, ERROR_INVALID_DATA},  {L"BigEndian", false, ERROR_INVALID_DATA},
        {L"Short", false, ERROR_INVALID_DATA}, {L"Missing", false, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(standin::Utf8FromWide(c.name));
        DWORD value = 0x5555;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(ReadRegDword(key(), c.name, &value), c.ok);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(value, c.ok ? 42u : 0x5555u);
    }
}

TEST_F(RegistryValuesTest, AFailedQueryLeavesTheRegistrysCode) {
    machine().FailCall("RegQueryValueExW", ERROR_ACCESS_DENIED);
    DWORD size = 7;
    EXPECT_FALSE(ReadRegString(key(), L"Ten", nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(size, 0u);
    // The second query (the read) fails after the size is known.
    machine().FailCall("RegQueryValueExW", ERROR_MORE_DATA, 1);
    wchar_t buffer[16] = {};
    EXPECT_FALSE(ReadRegString(key(), L"Ten", buffer, 16, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 11u);
}

}  // namespace
