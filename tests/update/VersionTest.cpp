// Version numbers: the text form, the order, and the version files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/PackFixture.h"
#include "support/PackProbe.h"
#include "update/Globals.h"
#include "update/Version.h"

namespace {

struct Parsed {
    bool ok;
    VersionNumber v;
};

Parsed Parse(std::string text)
{
    Parsed p{false, {0, 0, 0, 0}};
    p.ok = ParseVersionText(text.data(), p.v);
    return p;
}

void ExpectVersion(const std::string& text, VersionNumber expected, bool ok = true)
{
    const Parsed p = Parse(text);
    EXPECT_EQ(p.ok, ok) << text;
    EXPECT_EQ(p.v.major, expected.major) << text;
    EXPECT_EQ(p.v.minor, expected.minor) << text;
    EXPECT_EQ(p.v.minor2, expected.minor2) << text;
    EXPECT_EQ(p.v.build, expected.build) << text;
}

TEST(VersionText, BothFormsAndBlanks)
{
    ExpectVersion("1.0.2.29", {1, 0, 2, 29});
    ExpectVersion("1, 0, 2, 29", {1, 0, 2, 29});
    ExpectVersion(" \t1 . 0 ,\x01 2\x10.  29 ", {1, 0, 2, 29});
    ExpectVersion("1.0.2.29 and anything after", {1, 0, 2, 29});
    ExpectVersion("1.0.2.29\r\n9.9.9.9", {1, 0, 2, 29});
    ExpectVersion("1.0\r\n2.29", {1, 0, 0, 0}, false);
    // A lone carriage return or line feed is a blank, not an end of line.
    ExpectVersion("1.0\n.2\r.29", {1, 0, 2, 29});
    ExpectVersion("", {0, 0, 0, 0}, false);
}

TEST(VersionText, Comments)
{
    ExpectVersion("1.0.2.29 // installed", {1, 0, 2, 29});
    ExpectVersion("1.0.2.29/* note */", {1, 0, 2, 29});
    ExpectVersion("// 1.0.2.29", {0, 0, 0, 0}, false);
    // Only the first slash counts: this one is no comment, and the parse stops at it.
    ExpectVersion("1.0/2.29 // x", {1, 0, 0, 0}, false);
    ExpectVersion("1.0.2.29/", {1, 0, 2, 29});
}

TEST(VersionText, MissingPartsAndSigns)
{
    ExpectVersion("1.2.3.", {1, 2, 3, 0});
    ExpectVersion("1...", {1, 0, 0, 0});
    ExpectVersion("1.2.3", {1, 2, 3, 0}, false);
    ExpectVersion("1.2", {1, 2, 0, 0}, false);
    ExpectVersion("-1.0.0.0", {-1, 0, 0, 0});
    ExpectVersion("+1.0.0.+7", {1, 0, 0, 7});
    ExpectVersion("- 1.0.0.0", {0, 0, 0, 0}, false);
    ExpectVersion("1-.0.0.0", {1, 0, 0, 0}, false);
    // Eleven digits wrap modulo 2^32.
    ExpectVersion("12345678901.0.0.0", {-539222987, 0, 0, 0});
    ExpectVersion("4294967297.0.0.-4294967297", {1, 0, 0, -1});

    // A failed parse keeps what it read and leaves the rest as it was.
    VersionNumber v{5, 5, 5, 5};
    std::string text = "7.8";
    EXPECT_FALSE(ParseVersionText(text.data(), v));
    EXPECT_EQ(v.major, 7);
    EXPECT_EQ(v.minor, 8);
    EXPECT_EQ(v.minor2, 5);
}

TEST(VersionOrderAndDisplay, NumbersNotText)
{
    EXPECT_EQ(CompareVersions({1, 0, 2, 29}, {1, 0, 10, 0}), VersionOrder::Less);
    EXPECT_EQ(CompareVersions({1, 0, 10, 0}, {1, 0, 2, 29}), VersionOrder::Greater);
    EXPECT_EQ(CompareVersions({1, 0, 2, 29}, {1, 0, 2, 29}), VersionOrder::Equal);
    EXPECT_EQ(CompareVersions({-1, 9, 9, 9}, {0, 0, 0, 0}), VersionOrder::Less);
    EXPECT_EQ(CompareVersions({1, 0, 0, 47}, {1, 0, 0, 48}), VersionOrder::Less);

    char shown[64];
    std::snprintf(shown, sizeof shown, kVersionDisplayFormat, 1, 0, 10, 5);
    EXPECT_STREQ(shown, "1.010 Build 5");
    std::snprintf(shown, sizeof shown, kVersionDisplayFormat, 1, 0, 2, 29);
    EXPECT_STREQ(shown, "1.02 Build 29");
}

class VersionFiles : public FreshPack {
protected:
    void TearDown() override
    {
        UpdatePack.Close();
        std::filesystem::current_path(saved);
    }
    std::filesystem::path saved = std::filesystem::current_path();
};

std::vector<std::uint8_t> Bytes(const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

TEST_F(VersionFiles, PackReadersAndTheThousandByteLimit)
{
    ASSERT_EQ(pack->MakeDir("Kivra_Pak"), 0);
    ASSERT_TRUE(Put("Z:\\NeedVersion.txt", Bytes("1, 0, 2, 30\r\n")));
    std::string padded = std::string(995, ' ') + "1.0.2.29";  // the version reaches past byte 1000
    padded.resize(5000, ' ');
    ASSERT_TRUE(Put("Z:\\Kivra_Pak\\Version.txt", Bytes(padded)));
    pack->Close();

    ASSERT_EQ(UpdatePack.Open(path.c_str(), "rb"), 1);
    VersionNumber need{0, 0, 0, 0};
    EXPECT_TRUE(ReadNeedVersion(need));
    EXPECT_EQ(need.build, 30);
    VersionNumber current{0, 0, 0, 0};
    EXPECT_FALSE(ReadPackVersion(UpdatePack, current));
    EXPECT_EQ(current.minor2, 2);  // read as far as the cut allowed
    EXPECT_EQ(current.build, 0);
    EXPECT_EQ(PackEngineProbe::FindFreeHandle(UpdatePack), 1);  // every handle was closed
}

TEST_F(VersionFiles, DiskFallbackBesideThePack)
{
    pack->Close();
    std::filesystem::create_directories(dir / "kivra_pak");
    testutil::WriteFile(dir / "kivra_pak/version.txt", "1.0.0.47");
    std::filesystem::current_path(dir.path());
    ASSERT_EQ(UpdatePack.Open(path.c_str(), "rb"), 1);
    VersionNumber v{0, 0, 0, 0};
    EXPECT_TRUE(ReadPackVersion(UpdatePack, v));
    EXPECT_EQ(v.build, 47);
    EXPECT_FALSE(ReadNeedVersion(v));
}

TEST_F(VersionFiles, EmptyFileFails)
{
    ASSERT_EQ(pack->MakeDir("Kivra_Pak"), 0);
    ASSERT_TRUE(Put("Z:\\Kivra_Pak\\Version.txt", {}));
    VersionNumber v{0, 0, 0, 0};
    EXPECT_FALSE(ReadPackVersion(*pack, v));
}

}  // namespace
