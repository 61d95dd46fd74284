// Windows-style disk paths on a case-sensitive file system.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Disk.h"
#include "support/TempDir.h"

using testutil::TempDir;

namespace {

std::string Resolve(const std::string& path)
{
    char out[kHostPathMax];
    EXPECT_TRUE(ResolveDiskPath(path.c_str(), out, sizeof out));
    return out;
}

TEST(DiskPath, ComponentsMatchIgnoringCase)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "kivra_pak/Sub");
    testutil::WriteFile(dir / "kivra_pak/Sub/version.txt", "1");

    EXPECT_EQ(Resolve(dir.path() + "\\Kivra_Pak\\sub\\Version.txt"), dir / "kivra_pak/Sub/version.txt");
    // A name that exists as written is taken as it is.
    testutil::WriteFile(dir / "Upper.TXT", "2");
    testutil::WriteFile(dir / "upper.txt", "3");
    EXPECT_EQ(Resolve(dir.path() + "/Upper.TXT"), dir / "Upper.TXT");
    // What matches nothing is kept as written, from there on.
    EXPECT_EQ(Resolve(dir.path() + "\\Kivra_Pak\\New\\File.txt"), dir / "kivra_pak/New/File.txt");
    EXPECT_EQ(Resolve(dir.path() + "\\\\kivra_pak\\\\"), dir / "kivra_pak/");

    std::FILE* f = OpenDiskFile((dir.path() + "\\KIVRA_PAK\\sub\\Version.TXT").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), '1');
    std::fclose(f);
}

TEST(DiskPath, RelativePathsAndLimits)
{
    EXPECT_EQ(Resolve(""), "");
    EXPECT_EQ(Resolve("a\\b"), "a/b");
    char small[4];
    EXPECT_FALSE(ResolveDiskPath("abcd", small, sizeof small));
    EXPECT_TRUE(ResolveDiskPath("abc", small, sizeof small));
}

TEST(DiskPath, FileOperationsGoThroughTheResolution)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "Dev");
    ASSERT_EQ(MakeDiskDirectory((dir.path() + "\\dev\\Sub").c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Dev/Sub"));
    EXPECT_EQ(MakeDiskDirectory((dir.path() + "\\DEV\\sub").c_str()), -1);

    testutil::WriteFile(dir / "Dev/Sub/a.tmp", "new");
    testutil::WriteFile(dir / "Dev/Sub/a.txt", "old");
    EXPECT_EQ(RenameDiskFile((dir.path() + "\\dev\\sub\\A.TMP").c_str(), (dir.path() + "\\dev\\sub\\a.TXT").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "Dev/Sub/a.tmp"));
    std::vector<std::uint8_t> content = testutil::ReadFile(dir / "Dev/Sub/a.txt");
    EXPECT_EQ(std::string(content.begin(), content.end()), "new");
    EXPECT_EQ(RemoveDiskFile((dir.path() + "\\DEV\\SUB\\A.txt").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "Dev/Sub/a.txt"));
    EXPECT_EQ(RemoveDiskFile((dir.path() + "\\DEV\\SUB\\A.txt").c_str()), -1);
}

}  // namespace
