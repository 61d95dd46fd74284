// The current directory kept as the path the walk took, and names crossing
// between code page 949 and the UTF-8 of the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "PosixTestSupport.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

// Names in code page 949 and as the disk holds them.
const std::string kFolderCp949 = "\xC7\xD1\xB1\xDB\xC6\xFA\xB4\xF5";  // 한글폴더
const std::string kFolderUtf8 = "\xED\x95\x9C\xEA\xB8\x80\xED\x8F\xB4\xEB\x8D\x94";
const std::string kFileCp949 = "\xC6\xC4\xC0\xCF.txt";  // 파일.txt
const std::string kFileUtf8 = "\xED\x8C\x8C\xEC\x9D\xBC.txt";

// Restores the process's directory (changed behind the platform's back, as
// another part of a program might) after each test.
class LogicalDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        // root/game is where walks start; Bin is a relative link and Abs an
        // absolute one to folders elsewhere; Inner, inside the linked folder,
        // links back into the game.
        fs::create_directories(root / "game/Data/Deep");
        fs::create_directories(root / ("game/" + kFolderUtf8));
        fs::create_directories(root / "elsewhere/BinTarget");
        fs::create_directories(root / "elsewhere/AbsTarget");
        fs::create_directories(root / "prefix/drive_c/Games/Kivra");
        fs::create_directories(root / "prefix/dosdevices");
        fs::create_directory_symlink("../drive_c", root / "prefix/dosdevices/c:");
        fs::create_directory_symlink("../elsewhere/BinTarget", root / "game/Bin");
        fs::create_directory_symlink(root / "elsewhere/AbsTarget", root / "game/Abs");
        fs::create_directory_symlink("../../game/Data", root / "elsewhere/BinTarget/Inner");
        testutil::WriteFile(root / "game/ReadMe.txt", "read me");
        testutil::WriteFile(root / "elsewhere/BinTarget/tool.dll", "tool");
        testutil::WriteFile(root / ("game/" + kFolderUtf8) + "/" + kFileUtf8, "hangul");
    }
    void TearDown() override { fs::current_path(before); }

    std::string Resolve(const std::string& path)
    {
        char out[kHostPathMax];
        if (!ResolveDiskPath(path.c_str(), out, sizeof out)) return "(none)";
        return out;
    }

    const fs::path before = fs::current_path();
    TempDir root;
    ScopedEnv prefix{"WINEPREFIX", root / "prefix"};
};

TEST_F(LogicalDirectory, WalksThroughLinksComeBackTheWayTheyWent)
{
    struct Case {
        std::vector<std::string> steps;  // ChangeDiskDirectory from root/game, in order
        std::string path;                // then resolved
        std::string expected;            // below root; "" for nothing
    };
    const std::string c = "prefix/dosdevices/c:";
    const Case cases[] = {
        {{"Bin"}, "..\\ReadMe.txt", "game/ReadMe.txt"},
        {{"Bin", ".."}, "ReadMe.txt", "game/ReadMe.txt"},
        {{"bin"}, "TOOL.dll", "game/Bin/tool.dll"},
        {{"Abs", ".."}, "data", "game/Data"},
        {{"Bin", "Inner", "..", ".."}, "ReadMe.txt", "game/ReadMe.txt"},
        {{"Bin", "Inner"}, "..\\..\\Data\\Deep", "game/Data/Deep"},
        {{"Bin", "Inner", "Deep", "..", "..", ".."}, "Bin", "game/Bin"},
        {{}, "Bin\\..\\Bin\\.\\tool.dll", "game/Bin/tool.dll"},
        {{}, "Bin\\..\\..\\game\\DATA", "game/Data"},
        // Past a name that matches nothing, ".." looks again.
        {{}, "New\\..\\DATA\\deep", "game/Data/Deep"},
        {{}, "New\\Other\\..\\x", "game/New/x"},
        // ".." stops at a drive's root, and at the host's.
        {{}, "C:\\..\\..\\games\\KIVRA", c + "/Games/Kivra"},
        {{"C:\\Games", "..", "..", ".."}, "Games\\kivra\\..", c + "/Games"},
        {{"\\", ".."}, "..\\tmp", "/tmp"},
        // Hangul in code page 949 is found as the disk's UTF-8; ASCII case is
        // ignored beside it.
        {{kFolderCp949}, kFileCp949, "game/" + kFolderUtf8 + "/" + kFileUtf8},
        {{}, kFolderCp949 + "\\" + "\xC6\xC4\xC0\xCF.TXT", "game/" + kFolderUtf8 + "/" + kFileUtf8},
        {{kFolderCp949, ".."}, "readme.txt", "game/ReadMe.txt"},
        // What is not code page 949 text names nothing.
        {{},
         "\x80"
         "Data",
         ""},
        {{}, "Data\\\xFF", ""},
        {{}, "Data\\\xC9\xA1", ""},
        {{}, "Data\\\xB0", ""},
        // Nor do the wildcards a host text's missing characters become.
        {{}, "Data\\?", ""},
        {{}, "Da*a", ""},
        {{}, "", ""},
    };
    for (const Case& test : cases) {
        std::string trace = "steps:";
        ASSERT_EQ(ChangeDiskDirectory((root / "game").c_str()), 0);
        for (const std::string& step : test.steps) {
            trace += " [" + step + "]";
            ASSERT_EQ(ChangeDiskDirectory(step.c_str()), 0) << trace;
        }
        const std::string expected = test.expected.empty()     ? "(none)"
                                     : test.expected[0] == '/' ? test.expected
                                                               : root / test.expected;
        EXPECT_EQ(Resolve(test.path), expected) << trace << " path: " << test.path;
        // The process is in the same directory as the walk.
        struct stat logical {};
        struct stat real {};
        ASSERT_EQ(stat(Resolve(".").c_str(), &logical), 0) << trace;
        ASSERT_EQ(stat(".", &real), 0);
        EXPECT_EQ(logical.st_ino, real.st_ino) << trace;
    }
}

TEST_F(LogicalDirectory, FilesWrittenThroughALinkLandInItsTarget)
{
    ASSERT_EQ(ChangeDiskDirectory((root / "game").c_str()), 0);
    ASSERT_EQ(ChangeDiskDirectory("Bin"), 0);
    std::FILE* file = OpenDiskFile("new.dll", "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_EQ(MakeDiskDirectory("Sub"), 0);
    ASSERT_EQ(ChangeDiskDirectory(".."), 0);
    file = OpenDiskFile("NeedVersion.txt", "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);

    EXPECT_TRUE(fs::exists(root / "elsewhere/BinTarget/new.dll"));
    EXPECT_TRUE(fs::is_directory(root / "elsewhere/BinTarget/Sub"));
    EXPECT_TRUE(fs::exists(root / "game/NeedVersion.txt"));
    EXPECT_FALSE(fs::exists(root / "elsewhere/NeedVersion.txt"));
}

TEST_F(LogicalDirectory, TheStartIsPwdWhenItNamesTheDirectory)
{
    // The shell entered the linked folder by its link.
    fs::current_path(root / "elsewhere/BinTarget");
    {
        ScopedEnv pwd("PWD", root / "game/Bin");
        EXPECT_EQ(Resolve("..\\ReadMe.txt"), root / "game/ReadMe.txt");
    }
    // A $PWD that names another directory is not taken: the real path is.
    fs::current_path(root / "elsewhere/AbsTarget");
    {
        ScopedEnv pwd("PWD", root / "game/Bin");
        EXPECT_EQ(Resolve(".."), fs::canonical(root / "elsewhere").string());
    }
    // A folder walked into that went away, the process moved elsewhere by
    // other means (the new folder may well have the old one's inode).
    ASSERT_EQ(ChangeDiskDirectory((root / "game/Data/Deep").c_str()), 0);
    fs::current_path(root.path());
    fs::remove(root / "game/Data/Deep");
    fs::create_directory(root / "game/Data/Fresh");
    fs::current_path(root / "game/Data/Fresh");
    EXPECT_EQ(Resolve("x"), fs::canonical(root / "game/Data/Fresh").string() + "/x");
}

// Random walks in and out of folders, links among them, against a model of
// the path taken.
TEST_F(LogicalDirectory, RandomWalksFollowThePathTaken)
{
    fs::create_directories(root / "elsewhere/BinTarget/More");
    fs::create_directory_symlink("../Abs", root / "game/Data/Back");
    std::mt19937 random(1234);
    for (int walk = 0; walk < 40; ++walk) {
        ASSERT_EQ(ChangeDiskDirectory((root / "game").c_str()), 0);
        std::vector<std::string> model = {"game"};
        std::string trace;
        for (int step = 0; step < 30; ++step) {
            std::string host = root.path();
            for (const std::string& name : model) host += "/" + name;
            std::vector<std::string> names;
            for (const auto& entry : fs::directory_iterator(host))
                if (entry.is_directory()) names.push_back(entry.path().filename().string());
            std::sort(names.begin(), names.end());
            const bool up = names.empty() || random() % 3 == 0;
            if (up && model.size() > 1) {
                trace += " ..";
                ASSERT_EQ(ChangeDiskDirectory(".."), 0) << trace;
                model.pop_back();
            } else if (!names.empty()) {
                const std::string name = names[random() % names.size()];
                trace += " " + name;
                std::string asked;
                ASSERT_TRUE(HostToSystemText(name, asked));
                ASSERT_EQ(ChangeDiskDirectory(asked.c_str()), 0) << trace;
                model.push_back(name);
            }
            std::string expected = root.path();
            for (const std::string& name : model) expected += "/" + name;
            ASSERT_EQ(Resolve("."), expected) << trace;
            struct stat logical {};
            struct stat real {};
            ASSERT_EQ(stat(expected.c_str(), &logical), 0);
            ASSERT_EQ(stat(".", &real), 0);
            ASSERT_EQ(logical.st_ino, real.st_ino) << trace;
        }
    }
}

TEST_F(LogicalDirectory, NonAsciiLettersMatchOnlyAsTheyAre)
{
    // ASCII letters fold; fullwidth and Greek letters, and two Hangul
    // syllables whose second bytes differ as 'A' and 'a' do, do not.
    const struct {
        std::string disk;   // UTF-8
        std::string asked;  // code page 949
        bool found;
    } cases[] = {
        {"\xED\x95\x9C\xEA\xB8\x80"
         "A.txt",
         "\xC7\xD1\xB1\xDB"
         "a.TXT",
         true},
        {"\xEF\xBC\xA1\xEF\xBC\xA2", "\xA3\xE1\xA3\xE2", false},  // ＡＢ asked as ａｂ
        {"\xCE\x91", "\xA5\xE1", false},                          // Α asked as α
        {"\xEA\xB0\x82", "\x81\x61", false},                      // 0x81 0x41 asked as 0x81 0x61
        {"\xEA\xB0\x82", "\x81\x41", true},
    };
    for (const auto& test : cases) {
        fs::remove_all(root / "game/match");
        fs::create_directories(root / "game/match");
        testutil::WriteFile(root / "game/match/" + test.disk, "x");
        const std::string path = root.path() + "\\game\\match\\" + test.asked;
        std::FILE* file = OpenDiskFile(path.c_str(), "rb");
        EXPECT_EQ(file != nullptr, test.found) << test.disk;
        if (file) std::fclose(file);
    }
}

TEST_F(LogicalDirectory, AHostNameWithoutACodePageFormIsReachedByNothing)
{
    // The registry hands out the install path in the code page; the emoji
    // has no form there and comes as '?', which no path can name, even where
    // a folder is really called so.
    fs::create_directories(root / "prefix/drive_c/Games/Kivra\xF0\x9F\x98\x80");
    fs::create_directories(root / "prefix/drive_c/Games/Kivra?");
    testutil::WriteFile(root / "prefix/system.reg",
                        "WINE REGISTRY Version 2\n\n#arch=win32\n\n[Software\\\\Pendix\\\\Kivra] 1\n"
                        "\"InstallPath\"=\"C:\\\\Games\\\\Kivra\\xd83d\\xde00\"\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Pendix\\Kivra", 0, KEY_READ, &key), ERROR_SUCCESS);
    char path[260] = {};
    DWORD size = sizeof path;
    ASSERT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_STREQ(path, "C:\\Games\\Kivra?");
    EXPECT_EQ(ChangeDiskDirectory(path), -1);
    EXPECT_EQ(Resolve(path), "(none)");
}

TEST(CodePage, EveryTwoByteCharacterComesBackAsItWent)
{
    // Every lead and trail byte pair: what converts to UTF-8 converts back to
    // the same bytes, and never holds a separator.
    int characters = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead)
        for (int trail = 0x41; trail <= 0xFE; ++trail) {
            const std::string bytes = {static_cast<char>(lead), static_cast<char>(trail)};
            std::string host;
            if (!SystemToHostText(bytes, host)) continue;
            ++characters;
            std::string back;
            ASSERT_TRUE(HostToSystemText(host, back)) << lead << " " << trail;
            ASSERT_EQ(back, bytes);
            ASSERT_EQ(host.find_first_of("\\/:"), std::string::npos);
        }
    // The Unified Hangul Code has all 11,172 Hangul syllables.
    EXPECT_GT(characters, 11172);

    std::string out;
    for (const char* invalid : {"\x80", "\xFF", "a\xB0", "\xC9\xA1"}) EXPECT_FALSE(SystemToHostText(invalid, out));
    for (const char* lacking : {"\xC3\xA9", "\xF0\x9F\x98\x80", "\xE2\x82\xA9", "\xFF"})
        EXPECT_FALSE(HostToSystemText(lacking, out)) << lacking;
    EXPECT_EQ(SystemTextForDisplay("a\x80\xC7\xD1"), "a\\x80\xED\x95\x9C");
}

}  // namespace
