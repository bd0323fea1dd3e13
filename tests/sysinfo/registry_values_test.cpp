// The registry value readers on Wine's registry: sizes, types, the codes they leave in the last
// error, and texts that end inside their buffer whatever bytes a value holds.
#include "sysinfo/registry_values.h"

#include <gtest/gtest.h>

#include <string>

#include "support/windows/faults.h"
#include "support/windows/registry_fixture.h"
#include "support/windows/scratch.h"

namespace {

class RegistryValuesTest : public testing::Test {
  protected:
    void SetUp() override {
        key_.SetString(L"Ten", L"0123456789");
        const unsigned char odd[] = {0x41, 0x00, 0x42, 0x00, 0x43};
        key_.SetBytes(L"Odd", REG_SZ, odd, sizeof(odd));
        key_.SetString(L"Expand", L"%A%", REG_EXPAND_SZ);
        key_.SetBytes(L"Empty", REG_SZ, nullptr, 0);
        key_.SetDword(L"Number", 42);
        const unsigned char shortDword[] = {0x01, 0x00};
        key_.SetBytes(L"Short", REG_DWORD, shortDword, sizeof(shortDword));
        const unsigned char quad[] = {1, 0, 0, 0, 0, 0, 0, 0};
        key_.SetBytes(L"Quad", REG_QWORD, quad, sizeof(quad));
        const unsigned char bigEndian[] = {0, 0, 0, 1};
        key_.SetBytes(L"BigEndian", REG_DWORD_BIG_ENDIAN, bigEndian, sizeof(bigEndian));
    }
    HKEY key() const { return key_.Get(); }

    ScratchKey key_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\SkelvaneTest\\RegistryValues"};
    ImportFaults faults_;
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
        // An odd last byte counts as a character of its own, and needs its room.
        {L"Odd", 2, false, ERROR_INSUFFICIENT_BUFFER, 3, L""},
        {L"Odd", 3, true, ERROR_SUCCESS, 3, L"ABC"},
        {L"Expand", 4, true, ERROR_SUCCESS, 4, L"%A%"},
        {L"Empty", 0, true, ERROR_SUCCESS, 0, L""},
        {L"Number", 8, false, ERROR_INVALID_DATA, 0, L""},
        {L"Missing", 8, false, ERROR_FILE_NOT_FOUND, 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << Utf8(c.name) << " capacity " << c.capacity);
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
        SCOPED_TRACE(Utf8(c.name));
        DWORD value = 0x5555;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(ReadRegDword(key(), c.name, &value), c.ok);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(value, c.ok ? 42u : 0x5555u);
    }
}

TEST_F(RegistryValuesTest, AFailedQueryLeavesTheRegistrysCode) {
    faults_.Fail<Api::RegQueryValueExW>(LONG(ERROR_ACCESS_DENIED), 0);
    DWORD size = 7;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadRegString(key(), L"Ten", nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(size, 0u);
    // The second query (the read) fails after the size is known.
    faults_.Fail<Api::RegQueryValueExW>(LONG(ERROR_MORE_DATA), 0, Nth(2));
    wchar_t buffer[16] = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ReadRegString(key(), L"Ten", buffer, 16, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 11u);
}

// Whatever bytes a string value holds, the text read ends inside its buffer (size + 1
// characters, from the guarded heap: a read past it would end the test) and is the stored text
// up to its first zero character.
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
        key_.SetBytes(L"Value", REG_SZ, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
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
        Api function;  // fails at its `nth` call with `error`; 0: nothing fails
        unsigned nth;
        DWORD error;
        DWORD size;
        bool buffer;
    };
    const Case cases[] = {
        {"missing", L"Missing", Api::RegQueryValueExW, 0, ERROR_FILE_NOT_FOUND, 0, false},
        {"a number", L"Number", Api::RegQueryValueExW, 0, ERROR_INVALID_DATA, 0, false},
        {"size query fails", L"Ten", Api::RegQueryValueExW, 1, ERROR_ACCESS_DENIED, 0, false},
        {"no memory", L"Ten", Api::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY, 11, false},
        // The value went, or grew, between the size query and the read.
        {"gone before the read", L"Ten", Api::RegQueryValueExW, 2, ERROR_FILE_NOT_FOUND, 11, true},
        {"read fails", L"Ten", Api::RegQueryValueExW, 3, ERROR_MORE_DATA, 11, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetImportFaults();
        DWORD size = 0xdeadbeef;
        ScopedHeapText text(AllocateZeroedText(4));  // an earlier text, which the call lets go
        if (c.nth != 0 && c.function == Api::HeapAlloc) {
            faults_.Fail<Api::HeapAlloc>(static_cast<LPVOID>(nullptr), 0xdeadbeef, Nth(c.nth));
        } else if (c.nth != 0) {
            faults_.Fail<Api::RegQueryValueExW>(LONG(c.error), 0, Nth(c.nth));
        }
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ReadRegText(key(), c.value, &size, &text));
        EXPECT_EQ(size, c.size);
        ASSERT_EQ(!text.IsEmpty(), c.buffer);
        if (c.buffer) {
            EXPECT_EQ(text.Get()[0], L'\0');
        }
        // HeapAlloc leaves the last error alone, as on Windows.
        EXPECT_EQ(GetLastError(), c.function == Api::HeapAlloc ? 0xdeadbeef : c.error);
    }
}

}  // namespace
