// File versions read from the version resource of Windows executables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "platform/posix/PeVersion.h"
#include "support/TempDir.h"

using testutil::TempDir;

namespace {

#ifdef KIVRA_TEST_PE_DIR
std::string Exe(const char* name) { return std::string(KIVRA_TEST_PE_DIR) + "/" + name + ".exe"; }
#define REQUIRE_EXECUTABLES() (void)0
#else
std::string Exe(const char*) { return {}; }
#define REQUIRE_EXECUTABLES() GTEST_SKIP() << "mingw-w64 (g++-mingw-w64-x86-64) is not installed"
#endif

// A block fetched the way the patcher fetches it, sized exactly so that the
// sanitizer sees any access past its end.
std::vector<std::uint8_t> FetchBlock(const std::string& path)
{
    DWORD handle = 7;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    if (size == 0) return {};
    std::vector<std::uint8_t> block(size);
    EXPECT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
    return block;
}

std::optional<std::string> QueryText(std::vector<std::uint8_t>& block, const char* key)
{
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), key, &value, &length)) return std::nullopt;
    const char* text = static_cast<const char*>(value);
    EXPECT_EQ(length, std::strlen(text) + 1) << key;
    return std::string(text);
}

DWORD FirstTranslation(std::vector<std::uint8_t>& block)
{
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4) return 0;
    DWORD entry;
    std::memcpy(&entry, value, sizeof entry);
    return entry;
}

// The patcher's sequence: the first translation names the string table.
std::optional<std::string> FileVersionOf(const std::string& path)
{
    std::vector<std::uint8_t> block = FetchBlock(path);
    if (block.empty()) return std::nullopt;
    const DWORD translation = FirstTranslation(block);
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\FileVersion",
                  static_cast<unsigned>(translation & 0xFFFF), static_cast<unsigned>(translation >> 16));
    return QueryText(block, query);
}

std::vector<std::uint8_t> Resource(const std::string& path)
{
    const std::vector<std::uint8_t> file = testutil::ReadFile(path);
    std::vector<std::uint8_t> resource;
    EXPECT_TRUE(peversion::ExtractVersionResource(file.data(), file.size(), &resource)) << path;
    return resource;
}

TEST(VersionInfo, FileVersionOfRealExecutables)
{
    REQUIRE_EXECUTABLES();
    struct Case {
        const char* exe;
        DWORD translation;
        const char* version;
    };
    std::vector<Case> cases = {
        {"dotted", 0x04b00409, "1.0.2.29"},
        {"comma", 0x04b00409, "1, 0, 2, 30"},
        {"korean", 0x03b50412, "1.0.3.1"},      // language 0412, code page 949
        {"two_tables", 0x03b50412, "1.0.4.7"},  // not the first table's 9.9.9.9
    };
#ifdef KIVRA_TEST_PE32
    cases.push_back({"dotted32", 0x04b00409, "1.0.2.29"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exe);
        std::vector<std::uint8_t> block = FetchBlock(Exe(c.exe));
        ASSERT_FALSE(block.empty());
        EXPECT_EQ(FirstTranslation(block), c.translation);
        EXPECT_EQ(FileVersionOf(Exe(c.exe)), c.version);
    }
}

TEST(VersionInfo, FixedInfoTranslationsAndKeyMatching)
{
    REQUIRE_EXECUTABLES();
    std::vector<std::uint8_t> block = FetchBlock(Exe("dotted"));
    ASSERT_FALSE(block.empty());
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
    ASSERT_EQ(length, 52u);  // VS_FIXEDFILEINFO
    DWORD fixed[13];
    std::memcpy(fixed, value, sizeof fixed);
    EXPECT_EQ(fixed[0], 0xFEEF04BDu);
    EXPECT_EQ(fixed[2], 0x00010000u);  // file version 1.0
    EXPECT_EQ(fixed[3], 0x0002001Du);  // .2.29

    // Keys match whatever their case; the script writes the table as 040904B0.
    EXPECT_EQ(QueryText(block, "\\StringFileInfo\\040904b0\\FileVersion"), "1.0.2.29");
    EXPECT_EQ(QueryText(block, "\\stringfileinfo\\040904B0\\FILEVERSION"), "1.0.2.29");
    EXPECT_EQ(QueryText(block, "StringFileInfo\\040904b0\\ProductVersion\\"), "1.0.2.29");
    EXPECT_EQ(QueryText(block, "\\StringFileInfo\\040904b0\\Comments"), "");

    for (const char* missing :
         {"\\StringFileInfo\\040904b0\\FileVersio", "\\StringFileInfo\\040904b0\\FileVersionX",
          "\\StringFileInfo\\04090000\\FileVersion", "\\StringFileInfo\\040904b0", "\\StringFileInfo", "\\VarFileInfo",
          "\\VarFileInfo\\Translations", "\\Nothing", "\\StringFileInfo\\040904b0\\FileVersion\\More"}) {
        EXPECT_FALSE(VerQueryValueA(block.data(), missing, &value, &length)) << missing;
    }

    // Several translations come back as one array.
    std::vector<std::uint8_t> two = FetchBlock(Exe("two_tables"));
    ASSERT_TRUE(VerQueryValueA(two.data(), "\\VARFILEINFO\\translation", &value, &length));
    ASSERT_EQ(length, 8u);
    DWORD entries[2];
    std::memcpy(entries, value, sizeof entries);
    EXPECT_EQ(entries[1], 0x04b00409u);
    EXPECT_EQ(QueryText(two, "\\StringFileInfo\\040904b0\\FileVersion"), "9.9.9.9");
}

TEST(VersionInfo, StringsAsAnsiTextEachInItsOwnPlace)
{
    REQUIRE_EXECUTABLES();
    std::vector<std::uint8_t> block = FetchBlock(Exe("korean"));
    ASSERT_FALSE(block.empty());
    void* company = nullptr;
    void* version = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\041203b5\\CompanyName", &company, &length));
    // Hangul, a surrogate pair and an accented letter each become one '?'.
    EXPECT_STREQ(static_cast<const char*>(company), "Kivra ?? ? caf?");
    EXPECT_EQ(length, 16u);
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\041203b5\\FileVersion", &version, &length));
    EXPECT_STREQ(static_cast<const char*>(version), "1.0.3.1");
    // An earlier answer stays valid, and asking again gives the same place.
    EXPECT_STREQ(static_cast<const char*>(company), "Kivra ?? ? caf?");
    void* again = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\041203B5\\companyname", &again, &length));
    EXPECT_EQ(again, company);
}

TEST(VersionInfo, NoVersionInformation)
{
    REQUIRE_EXECUTABLES();
    TempDir dir;
    testutil::WriteFile(dir / "notes.txt", "MZ but nothing more of an executable");
    std::filesystem::create_directories(dir / "folder.exe");
    for (const std::string& path : {Exe("plain"), dir / "notes.txt", dir / "missing.exe", dir / "folder.exe"}) {
        DWORD handle = 7;
        EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), &handle), 0u) << path;
        EXPECT_EQ(handle, 0u);
        std::vector<std::uint8_t> block(4096);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) << path;
    }

    // A block too small for the information is refused, and a block not made
    // by GetFileVersionInfoA answers nothing.
    const DWORD size = GetFileVersionInfoSizeA(Exe("dotted").c_str(), nullptr);
    std::vector<std::uint8_t> block(size);
    EXPECT_FALSE(GetFileVersionInfoA(Exe("dotted").c_str(), 0, size - 1, block.data()));
    void* value = nullptr;
    UINT length = 0;
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\", &value, &length));
}

TEST(VersionInfo, PathsAreWindowsDiskPaths)
{
    REQUIRE_EXECUTABLES();
    TempDir dir;
    std::filesystem::create_directories(dir / "Game/Bin");
    std::filesystem::copy_file(Exe("comma"), dir / "Game/Bin/Launcher.EXE");
    EXPECT_EQ(FileVersionOf(dir.path() + "\\game\\BIN\\launcher.exe"), "1, 0, 2, 30");
}

// The executables whose every byte the next tests take apart: PE32+, and PE32
// when the i686 tools are there.
std::vector<std::string> SampleExecutables()
{
    std::vector<std::string> names = {Exe("dotted")};
#ifdef KIVRA_TEST_PE32
    names.push_back(Exe("dotted32"));
#endif
    return names;
}

std::vector<std::uint8_t> Prefix(const std::vector<std::uint8_t>& file, std::size_t length)
{
    return std::vector<std::uint8_t>(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
}

// Where the version information lies in the file: its first byte and one past its last.
std::pair<std::size_t, std::size_t> Place(const std::vector<std::uint8_t>& file,
                                          const std::vector<std::uint8_t>& resource)
{
    const auto at = std::search(file.begin(), file.end(), resource.begin(), resource.end());
    EXPECT_NE(at, file.end());
    const auto start = static_cast<std::size_t>(at - file.begin());
    return {start, start + resource.size()};
}

TEST(VersionInfo, TruncatedExecutablesFail)
{
    REQUIRE_EXECUTABLES();
    for (const std::string& path : SampleExecutables()) {
        SCOPED_TRACE(path);
        const std::vector<std::uint8_t> file = testutil::ReadFile(path);
        const std::vector<std::uint8_t> resource = Resource(path);
        ASSERT_FALSE(resource.empty());
        const auto [start, end] = Place(file, resource);

        // Every prefix that lacks part of the resource fails; each copy sits
        // in an allocation of its own size for the sanitizer to guard.
        for (std::size_t length = 0; length <= file.size(); ++length) {
            const std::vector<std::uint8_t> prefix = Prefix(file, length);
            std::vector<std::uint8_t> got;
            const bool ok = peversion::ExtractVersionResource(prefix.data(), prefix.size(), &got);
            if (length < end) {
                ASSERT_FALSE(ok) << length;
            } else {
                ASSERT_TRUE(ok && got == resource) << length;
            }
        }
        TempDir dir;
        for (std::size_t length :
             {std::size_t{0}, std::size_t{2}, std::size_t{64}, std::size_t{0x200}, start, end - 1}) {
            testutil::WriteFile(dir / "cut.exe", Prefix(file, length));
            EXPECT_EQ(GetFileVersionInfoSizeA((dir / "cut.exe").c_str(), nullptr), 0u) << length;
        }
    }
}

TEST(VersionInfo, CorruptedBytesStayInBounds)
{
    REQUIRE_EXECUTABLES();
    for (const std::string& path : SampleExecutables()) {
        SCOPED_TRACE(path);
        const std::vector<std::uint8_t> file = testutil::ReadFile(path);
        const auto [start, end] = Place(file, Resource(path));

        // One byte changed at a time in the headers and section table, and in
        // the resource tree and version information: whatever the outcome,
        // nothing is read outside the file or the block.
        const std::size_t tree = start - std::min<std::size_t>(start, 0x100);
        const std::pair<std::size_t, std::size_t> ranges[] = {{0, 0x400}, {tree, end}};
        int found = 0;
        for (auto [from, to] : ranges) {
            for (std::size_t i = from; i < to && i < file.size(); ++i) {
                const std::uint8_t flipped = static_cast<std::uint8_t>(file[i] ^ 0x81);
                for (std::uint8_t change : {std::uint8_t{0}, std::uint8_t{0xFF}, flipped}) {
                    std::vector<std::uint8_t> bad = file;
                    bad[i] = change;
                    std::vector<std::uint8_t> got;
                    if (!peversion::ExtractVersionResource(bad.data(), bad.size(), &got)) continue;
                    std::vector<std::uint8_t> block(peversion::VersionBlockSize(got.size()));
                    ASSERT_TRUE(peversion::BuildVersionBlock(got.data(), got.size(), block.data(), block.size()));
                    for (const char* key :
                         {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904b0\\FileVersion",
                          "\\StringFileInfo\\040904b0\\CompanyName"}) {
                        void* value = nullptr;
                        UINT length = 0;
                        if (!VerQueryValueA(block.data(), key, &value, &length)) continue;
                        ++found;
                        const auto* v = static_cast<const std::uint8_t*>(value);
                        ASSERT_TRUE(v >= block.data() && v + length <= block.data() + block.size()) << i << " " << key;
                    }
                }
            }
        }
        EXPECT_GT(found, 0);  // most changes leave something to find
    }
}

// ---- Nodes as other resource compilers write them, and broken ones ----------

// The offset of the node whose key is key (its first occurrence).
std::size_t NodeOf(const std::vector<std::uint8_t>& resource, std::u16string_view key)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t c : key) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
    const auto at = std::search(resource.begin(), resource.end(), bytes.begin(), bytes.end());
    EXPECT_NE(at, resource.end());
    return static_cast<std::size_t>(at - resource.begin()) - 6;
}

// The text at key after one 16-bit field of a node was set to value.
std::optional<std::string> QueryChanged(std::vector<std::uint8_t> resource, std::size_t field, unsigned value,
                                        const char* key)
{
    resource[field] = static_cast<std::uint8_t>(value);
    resource[field + 1] = static_cast<std::uint8_t>(value >> 8);
    std::vector<std::uint8_t> block(peversion::VersionBlockSize(resource.size()));
    EXPECT_TRUE(peversion::BuildVersionBlock(resource.data(), resource.size(), block.data(), block.size()));
    if (std::strcmp(key, "\\") != 0) return QueryText(block, key);
    void* fixed = nullptr;
    UINT length = 0;
    return VerQueryValueA(block.data(), key, &fixed, &length) ? std::optional<std::string>("fixed") : std::nullopt;
}

TEST(VersionResource, StringLengthFormsAndBrokenNodes)
{
    REQUIRE_EXECUTABLES();
    const std::vector<std::uint8_t> resource = Resource(Exe("dotted"));
    ASSERT_FALSE(resource.empty());
    const char* version = "\\StringFileInfo\\040904b0\\FileVersion";
    const char* company = "\\StringFileInfo\\040904b0\\CompanyName";
    const std::size_t node = NodeOf(resource, u"FileVersion");  // wLength 50, 9 units "1.0.2.29"
    const std::size_t wLength = node, wValueLength = node + 2, wType = node + 4;

    // The value length in bytes, without the terminator, shorter than the
    // text; a string marked binary; no terminator stored at all.
    for (auto [field, value] :
         {std::pair{wValueLength, 18u}, {wValueLength, 8u}, {wValueLength, 3u}, {wType, 0u}, {wLength, 48u}}) {
        EXPECT_EQ(QueryChanged(resource, field, value, version), "1.0.2.29") << field - node << " " << value;
    }

    // A node longer than its parent ends the search there, one before it is
    // still found; so does a wLength too short for a node, or one that leaves
    // the key's terminator outside.
    EXPECT_EQ(QueryChanged(resource, wLength, 0x7000, version), std::nullopt);
    EXPECT_EQ(QueryChanged(resource, wLength, 0x7000, company), "Kivra Test");
    EXPECT_EQ(QueryChanged(resource, wLength, 28, version), std::nullopt);
    EXPECT_EQ(QueryChanged(resource, NodeOf(resource, u"CompanyName"), 4, version), std::nullopt);

    // Only a VS_VERSION_INFO root holds information; its fixed info must fit.
    EXPECT_EQ(QueryChanged(resource, 6, 'W', version), std::nullopt);
    EXPECT_EQ(QueryChanged(resource, 2, 0, "\\"), std::nullopt);
    EXPECT_EQ(QueryChanged(resource, 2, 2000, "\\"), std::nullopt);
    EXPECT_EQ(QueryChanged(resource, 2, 52, "\\"), "fixed");
}

}  // namespace
