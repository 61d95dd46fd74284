// HKEY_LOCAL_MACHINE read from a Wine prefix's system.reg.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "platform/posix/RegistryFile.h"
#include "support/TempDir.h"
#include "PosixTestSupport.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

const char kValues[] =
    "#time=1d9e0c1a2b3c4d5\n"
    "\"InstallPath\"=\"C:\\\\Games\\\\Kivra\"\n"
    "@=\"default\"\n"
    "\"Escapes\"=\"say \\\"hi\\\"\\tx\\n\\\\\\0end\"\n"
    "\"Korean\"=\"\\xc548\\xb155!\"\n"
    "\"Emoji\"=\"\\xd83d\\xde00\"\n"
    "\"Expand\"=str(2):\"%ProgramFiles%\\\\Kivra\"\n"
    "\"Count\"=dword:0000002a\n"
    "\"Blob\"=hex:de,ad,\\\n"
    "  be,ef\n"
    "\"List\"=hex(7):61,00,00,00,62,00,\\\n"
    "  63,00,00,00,00,00\n";

std::string SystemReg(const char* arch, const std::string& gameKey)
{
    return std::string("WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n") + arch +
           "\n\n[Software\\\\Pendix\\\\Kivra] 1700000000\n\"InstallPath\"=\"C:\\\\Wrong view\"\n\n[" + gameKey +
           "] 1700000001\n" + kValues + "\n[Software\\\\Other] 1700000002\n\"X\"=\"y\"\n";
}

struct Prefix {
    TempDir dir;
    ScopedEnv env{"WINEPREFIX", dir.path()};
    explicit Prefix(const std::string& systemReg) { testutil::WriteFile(dir / "system.reg", systemReg); }
};

std::vector<BYTE> Query(HKEY key, const char* name, DWORD* type)
{
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS) << name;
    std::vector<BYTE> data(size);
    EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, data.data(), &size), ERROR_SUCCESS) << name;
    return data;
}

std::string QueryString(HKEY key, const char* name, DWORD expectedType = REG_SZ)
{
    DWORD type = REG_NONE;
    const std::vector<BYTE> data = Query(key, name, &type);
    EXPECT_EQ(type, expectedType) << name;
    return std::string(data.begin(), data.end());
}

TEST(Registry, GameKeyOfA64BitPrefixIsReadInThe32BitView)
{
    Prefix prefix(SystemReg("#arch=win64", "SOFTWARE\\\\Wow6432Node\\\\PENDIX\\\\kivra"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Pendix\\Kivra", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);

    // Strings come with their terminating zero.
    EXPECT_EQ(QueryString(key, "installpath"), std::string("C:\\Games\\Kivra", 15));
    EXPECT_EQ(QueryString(key, nullptr), std::string("default", 8));
    EXPECT_EQ(QueryString(key, ""), std::string("default", 8));
    EXPECT_EQ(QueryString(key, "Escapes"), std::string("say \"hi\"\tx\n\\\0end\0", 17));
    // Strings are in the system code page, as the game reads them: Hangul in
    // code page 949, a character it lacks as '?'.
    EXPECT_EQ(QueryString(key, "Korean"), "\xBE\xC8\xB3\xE7!" + std::string(1, '\0'));
    EXPECT_EQ(QueryString(key, "Emoji"), "?" + std::string(1, '\0'));
    EXPECT_EQ(QueryString(key, "Expand", REG_EXPAND_SZ), std::string("%ProgramFiles%\\Kivra", 21));
    EXPECT_EQ(QueryString(key, "List", REG_MULTI_SZ), std::string("a\0bc\0\0", 6));

    DWORD type = REG_NONE;
    EXPECT_EQ(Query(key, "Count", &type), (std::vector<BYTE>{0x2a, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Query(key, "Blob", &type), (std::vector<BYTE>{0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // A key named with Wow6432Node already is not redirected twice; Software
    // of the 64-bit view is not what the game sees.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Pendix\\Kivra", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "InstallPath"), std::string("C:\\Games\\Kivra", 15));
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Other", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST(Registry, A32BitPrefixIsReadAsWritten)
{
    Prefix prefix(SystemReg("#arch=win32", "Software\\\\Wow6432Node\\\\Pendix\\\\Kivra"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\pendix\\KIVRA", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "InstallPath"), std::string("C:\\Wrong view", 14));
    RegCloseKey(key);

    // A key that only has keys below it exists; a sub-key opens from it.
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &software), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(software, "Other", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(key, "X"), std::string("y", 2));
    RegCloseKey(key);
    RegCloseKey(software);
}

TEST(Registry, QueriesFollowWin32Rules)
{
    Prefix prefix(SystemReg("#arch=win64", "Software\\\\Wow6432Node\\\\Pendix\\\\Kivra"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Pendix\\Kivra", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);

    DWORD type = REG_NONE;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 15u);

    // Too small: nothing written, the size needed given back.
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    size = 14;
    EXPECT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(buffer[0], 'x');
    size = 15;
    EXPECT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(buffer, "C:\\Games\\Kivra");

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_NE(RegQueryValueExA(key, "InstallPath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);

    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Pendix\\Nothing", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    // Only HKEY_LOCAL_MACHINE has a file.
    const HKEY currentUser = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
    EXPECT_EQ(RegOpenKeyExA(currentUser, "Software\\Pendix\\Kivra", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, WithoutSystemRegNothingOpens)
{
    TempDir dir;
    ScopedEnv env("WINEPREFIX", dir.path());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Pendix\\Kivra", 0, KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFile, MalformedLinesAreSkipped)
{
    const std::string text =
        "WINE REGISTRY Version 2\n"
        "[Software\\\\Broken\n"
        "[Software\\\\Kivra] 1\r\n"
        "\"Good\"=\"1\"\r\n"
        "\"Open\"=\"no end\n"
        "\"BadHex\"=hex:zz,01\n"
        "\"NoDigits\"=dword:\n"
        "\"BadType\"=str(2:\"x\"\n"
        "\"Cut\"=\"abc\\\n"
        "no value line\n"
        "\"Good\"=\"second\"\n"
        "\"Last\"=hex:01,\\";
    const std::optional<registry::Key> key = registry::ReadKey(text, "software\\kivra");
    ASSERT_TRUE(key.has_value());
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->Find("GOOD")->data, (std::vector<BYTE>{'1', 0}));
    EXPECT_EQ(key->Find("Last")->data, (std::vector<BYTE>{1}));
    EXPECT_EQ(registry::ReadArch(text), registry::Arch::Unknown);

    // Every cut of a well-formed file reads without going past its end.
    const std::string whole = SystemReg("#arch=win64", "Software\\\\Wow6432Node\\\\Pendix\\\\Kivra");
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const std::vector<char> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        registry::ReadKey(std::string_view(cut.data(), cut.size()), "Software\\Wow6432Node\\Pendix\\Kivra");
        registry::ReadArch(std::string_view(cut.data(), cut.size()));
    }
    const std::optional<registry::Key> full = registry::ReadKey(whole, "Software\\Wow6432Node\\Pendix\\Kivra");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->values.size(), 9u);
}

}  // namespace
