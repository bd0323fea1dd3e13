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
        // An odd last byte counts as a character of its own.
        {L"Odd", 2, false, ERROR_INSUFFICIENT_BUFFER, 3, L""},
        {L"Odd", 3, true, ERROR_SUCCESS, 3, L"ABC"},
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

// "hex(1):41,00,..." for the bytes of a REG_SZ value as stored.
std::string RegSzHex(const std::string& bytes) {
    std::string text = "hex(1):";
    const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text += i == 0 ? "" : ",";
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// Whatever bytes a string value holds, the text read ends inside its buffer (size + 1
// characters) and is the stored text up to its first zero character.
TEST_F(RegistryValuesTest, TextIsTerminatedWhateverTheStoredBytes) {
    struct Case {
        const char* name;
        std::string bytes;
        DWORD size;
        std::wstring text;
    };
    const std::string zero(1, '\0');
    const Case cases[] = {
        {"0 bytes", "", 0, L""},
        {"1 byte", "C", 1, L"C"},
        {"1 byte, zero", zero, 1, L""},
        {"2 bytes", "A" + zero, 1, L"A"},
        {"2 bytes, terminator only", zero + zero, 1, L""},
        {"5 bytes", "A" + zero + "B" + zero + "C", 3, L"ABC"},
        {"5 bytes, terminator inside", "A" + zero + zero + zero + "C", 3, L"A"},
        {"6 bytes", "A" + zero + "B" + zero + "C" + zero, 3, L"ABC"},
        {"6 bytes, terminated", "A" + zero + "B" + zero + zero + zero, 3, L"AB"},
        // The odd last byte is the low byte of its character.
        {"3 bytes, not ASCII", "\xac\x20" + std::string("D"), 2, L"\u20acD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImportRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Value\"=" + RegSzHex(c.bytes) +
                       "\r\n");
        DWORD size = 0xdeadbeef;
        ScopedHeapText text;
        ASSERT_TRUE(ReadRegText(key(), L"Value", &size, &text));
        EXPECT_EQ(size, c.size);
        ASSERT_FALSE(text.IsEmpty());
        EXPECT_EQ(text.Get()[size], L'\0');
        EXPECT_EQ(std::wstring(text.Get()), c.text);
    }
}

TEST_F(RegistryValuesTest, TextThatCannotBeRead) {
    struct Case {
        const char* name;
        const wchar_t* value;
        const char* function;  // fails once after `skip` calls with `error`
        unsigned skip;
        DWORD error;
        DWORD size;
        bool buffer;
    };
    const Case cases[] = {
        {"missing", L"Missing", nullptr, 0, ERROR_FILE_NOT_FOUND, 0, false},
        {"a number", L"Number", nullptr, 0, ERROR_INVALID_DATA, 0, false},
        {"size query fails", L"Ten", "RegQueryValueExW", 0, ERROR_ACCESS_DENIED, 0, false},
        {"no memory", L"Ten", "HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY, 11, false},
        // The value went, or grew, between the size query and the read.
        {"gone before the read", L"Ten", "RegQueryValueExW", 1, ERROR_FILE_NOT_FOUND, 11, true},
        {"read fails", L"Ten", "RegQueryValueExW", 2, ERROR_MORE_DATA, 11, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD size = 0xdeadbeef;
        ScopedHeapText text(AllocateZeroedText(4));  // an earlier text, which the call lets go
        if (c.function != nullptr) {
            machine().FailCall(c.function, c.error, c.skip);
        }
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReadRegText(key(), c.value, &size, &text));
        EXPECT_EQ(size, c.size);
        ASSERT_EQ(!text.IsEmpty(), c.buffer);
        if (c.buffer) {
            EXPECT_EQ(text.Get()[0], L'\0');
        }
        // HeapAlloc leaves the last error alone, as on Windows.
        if (std::string(c.function != nullptr ? c.function : "") != "HeapAlloc") {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

}  // namespace
