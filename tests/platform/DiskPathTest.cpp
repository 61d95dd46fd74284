// Windows-style disk paths on a case-sensitive file system.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

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

TEST(DiskPath, RelativePathsStartAtTheCurrentDirectoryAndFitOrFail)
{
    const std::filesystem::path before = std::filesystem::current_path();
    TempDir dir;
    std::filesystem::create_directories(dir / "Kivra");
    ASSERT_EQ(ChangeDiskDirectory(dir.path().c_str()), 0);
    EXPECT_EQ(Resolve("a\\b"), dir / "a/b");
    EXPECT_EQ(Resolve("kivra"), dir / "Kivra");
    EXPECT_EQ(Resolve("."), dir.path());
    // An empty path names nothing, as on Windows.
    char out[kHostPathMax];
    errno = 0;
    EXPECT_FALSE(ResolveDiskPath("", out, sizeof out));
    EXPECT_EQ(errno, ENOENT);

    const std::string whole = dir / "Kivra";
    std::vector<char> exact(whole.size() + 1);
    EXPECT_TRUE(ResolveDiskPath("KIVRA", exact.data(), exact.size()));
    EXPECT_EQ(std::string(exact.data()), whole);
    errno = 0;
    EXPECT_FALSE(ResolveDiskPath("KIVRA", exact.data(), exact.size() - 1));
    EXPECT_EQ(errno, ENAMETOOLONG);
    std::filesystem::current_path(before);
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
    EXPECT_EQ(RenameDiskFile((dir.path() + "\\dev\\sub\\A.TMP").c_str(), (dir.path() + "\\dev\\sub\\a.TXT").c_str()),
              0);
    EXPECT_FALSE(std::filesystem::exists(dir / "Dev/Sub/a.tmp"));
    std::vector<std::uint8_t> content = testutil::ReadFile(dir / "Dev/Sub/a.txt");
    EXPECT_EQ(std::string(content.begin(), content.end()), "new");
    EXPECT_EQ(RemoveDiskFile((dir.path() + "\\DEV\\SUB\\A.txt").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "Dev/Sub/a.txt"));
    EXPECT_EQ(RemoveDiskFile((dir.path() + "\\DEV\\SUB\\A.txt").c_str()), -1);
}

}  // namespace
