// Drive letters through the Wine prefix's dosdevices/ links.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "PosixTestSupport.h"
#include "platform/Disk.h"
#include "support/TempDir.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

// A prefix as Wine makes it: dosdevices/c: links to ../drive_c.
void MakePrefix(const std::string& prefix, const char* link = "c:")
{
    std::filesystem::create_directories(prefix + "/drive_c/Games/Kivra/Dev");
    std::filesystem::create_directories(prefix + "/dosdevices");
    std::filesystem::create_directory_symlink("../drive_c", prefix + "/dosdevices/" + link);
    testutil::WriteFile(prefix + "/drive_c/Games/Kivra/KNet.exe", "MZ");
}

std::string Resolve(const char* path)
{
    char out[kHostPathMax];
    EXPECT_TRUE(ResolveDiskPath(path, out, sizeof out)) << path;
    return out;
}

TEST(DrivePath, DriveLettersStartAtThePrefixDrive)
{
    TempDir dir;
    MakePrefix(dir.path());
    ScopedEnv prefix("WINEPREFIX", dir.path());

    const std::string c = dir / "dosdevices/c:";
    EXPECT_EQ(Resolve("C:\\GAMES\\kivra\\knet.EXE"), c + "/Games/Kivra/KNet.exe");
    EXPECT_EQ(Resolve("c:/Games/Kivra/Dev"), c + "/Games/Kivra/Dev");
    EXPECT_EQ(Resolve("C:\\"), c);
    std::FILE* f = OpenDiskFile("C:\\games\\KIVRA\\KNet.exe", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fgetc(f), 'M');
    std::fclose(f);
    // What is made below a drive lands in drive_c.
    EXPECT_EQ(MakeDiskDirectory("C:\\Games\\Kivra\\NEW"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "drive_c/Games/Kivra/NEW"));
}

TEST(DrivePath, ADriveLinkInUpperCaseAndTheDefaultPrefix)
{
    TempDir home;
    MakePrefix(home / ".wine", "C:");
    ScopedEnv prefix("WINEPREFIX", std::nullopt);
    ScopedEnv user("HOME", home.path());
    EXPECT_EQ(Resolve("c:\\Games\\Kivra"), home / ".wine/dosdevices/C:/Games/Kivra");
}

TEST(DrivePath, AMissingDriveResolvesToNothing)
{
    TempDir dir;
    MakePrefix(dir.path());
    std::filesystem::create_directory_symlink("../nowhere", dir / "dosdevices/e:");
    ScopedEnv prefix("WINEPREFIX", dir.path());
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());

    char out[kHostPathMax];
    for (const char* path : {"D:\\Games\\x.txt", "e:\\x.txt", "D:"}) {
        errno = 0;
        EXPECT_FALSE(ResolveDiskPath(path, out, sizeof out)) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    // Nothing is made for it, neither there nor as a relative "D:".
    EXPECT_EQ(OpenDiskFile("D:\\new.txt", "wb"), nullptr);
    EXPECT_EQ(MakeDiskDirectory("D:\\New"), -1);
    EXPECT_EQ(MakeDiskDirectory("D:"), -1);
    EXPECT_FALSE(std::filesystem::exists(dir / "D:"));
    EXPECT_FALSE(std::filesystem::exists(dir / "dosdevices/d:"));
    std::filesystem::current_path(before);
}

}  // namespace
