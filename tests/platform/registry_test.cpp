// The stand-in registry: .reg files as regedit reads them, and the result codes of the calls.
#include <gtest/gtest.h>

#include <string>

#include "registry.h"
#include "support/machine_fixture.h"
#include "support/registry_text.h"
#include "sysinfo/registry_values.h"
#include "text.h"

namespace {

class RegistryTest : public MachineTest {
  protected:
    // The text of a string value, or "<error N>".
    static std::string Text(HKEY root, const wchar_t* subKey, const wchar_t* name) {
        ScopedRegKey key;
        LONG opened = RegOpenKeyExW(root, subKey, 0, RegistryReadAccess, key.Put());
        if (opened != ERROR_SUCCESS) {
            return "<open " + std::to_string(opened) + ">";
        }
        wchar_t buffer[64] = {};
        if (!ReadRegString(key.Get(), name, buffer, 63, nullptr)) {
            return "<error " + std::to_string(GetLastError()) + ">";
        }
        return standin::Utf8FromWide(buffer);
    }

    static std::string Utf16File(const std::string& ascii) {
        std::string bytes = "\xFF\xFE";
        for (char c : ascii) {
            bytes += c;
            bytes += '\0';
        }
        return bytes;
    }
};

TEST_F(RegistryTest, ReadsRegeditsUtf16FileAndPlainText) {
    // As regedit writes it: UTF-16LE with a byte order mark, CR LF, hex(2) over two lines.
    WriteHostFile(machine().Prefix() + "/system.reg",
                  Utf16File("Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n"
                            "@=\"default\"\r\n"
                            "\"Path\"=hex(2):25,00,53,00,79,00,73,00,74,00,\\\r\n"
                            "  65,00,6d,00,25,00,00,00\r\n"
                            "\"Quoted\"=\"a \\\"b\\\" c:\\\\d\"\r\n"));
    WriteHostFile(machine().Prefix() + "/user.reg",
                  "Windows Registry Editor Version 5.00\n"
                  "; plain ASCII, LF only, short root names\n"
                  "[HKCU\\Software\\Vendor]\n\"Name\"=\"user\"\n"
                  "[hklm\\software\\vendor\\APP]\n\"path\"=\"replaced\"\n");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, L"Software\\VENDOR\\app", nullptr), "default");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\App", L"PATH"), "replaced");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\App", L"Quoted"), "a \"b\" c:\\d");
    EXPECT_EQ(Text(HKEY_CURRENT_USER, L"Software\\Vendor", L"Name"), "user");
}

TEST_F(RegistryTest, Deletions) {
    ImportRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\r\n\"Kept\"=\"1\"\r\n\"Gone\"=\"2\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\r\n\"gone\"=-\r\n"
        "[-HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
        "Settings]\r\n");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B", L"Kept"), "1");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B", L"Gone"), "<error 2>");
    EXPECT_EQ(
        Text(HKEY_CURRENT_USER,
             L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap", nullptr),
        "<open 2>");
}

TEST_F(RegistryTest, MalformedFileNamesItsLine) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"REGEDIT5\r\n", "x.reg:1: not a registry file"},
        {"Windows Registry Editor Version 5.00\r\n\"v\"=\"1\"\r\n", "x.reg:2: a value outside"},
        {"Windows Registry Editor Version 5.00\r\n[HKEY_NOWHERE\\A]\r\n", "x.reg:2: unknown root"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\r\n\"v\"=dword:123456789\r\n",
         "x.reg:4: dword:"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=hex:1,zz\r\n", "x.reg:3: hex"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=hex:01,\\",
         "x.reg:3: the hex data continues"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n\"v\"=\"open\r\n", "x.reg:3:"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\A\r\n", "x.reg:2: a key line"},
        {"Windows Registry Editor Version 5.00\r\njunk\r\n", "x.reg:2: neither"},
    };
    for (const Case& c : cases) {
        standin::Registry registry;
        std::string error;
        EXPECT_FALSE(registry.Import(c.text, "x.reg", &error)) << c.text;
        EXPECT_EQ(error.compare(0, c.error.size(), c.error), 0) << error;
    }
}

TEST_F(RegistryTest, MalformedPrefixFileBreaksTheRegistryInsteadOfEmptyingIt) {
    WriteHostFile(machine().Prefix() + "/user.reg", "Windows Registry Editor Version 5.00\n[x\n");
    CapturedStreams streams;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_NE(streams.Stderr().find("user.reg:2: a key line must end with ']'"), std::string::npos);
}

TEST_F(RegistryTest, ResultCodesLeaveTheLastErrorAlone) {
    ASSERT_TRUE(machine().RegistryTree().Deny(L"HKEY_USERS\\S-1-5-18"));
    ImportRegistry("[HKEY_USERS\\S-1-5-18\\Software]\r\n[HKLM\\SOFTWARE\\V]\r\n\"s\"=\"abc\"\r\n");
    HKEY key = reinterpret_cast<HKEY>(1);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, L"s-1-5-18\\Software", 0, KEY_READ, &key),
              ERROR_ACCESS_DENIED);
    machine().FailCall("RegOpenKeyExW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\V", 0, KEY_READ, &key),
              ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);

    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\V", 0, KEY_READ | KEY_WOW64_64KEY, &key),
        ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 2 * sizeof(WCHAR);
    BYTE data[16] = {};
    EXPECT_EQ(RegQueryValueExW(key, L"s", nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4 * sizeof(WCHAR));
    EXPECT_EQ(RegQueryValueExW(key, L"s", nullptr, nullptr, data, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
}

}  // namespace
