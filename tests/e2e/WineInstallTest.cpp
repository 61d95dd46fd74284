// kivra-update over Wine prefixes set up as players keep them: a game folder
// moved to another disk behind a symbolic link, and names in Hangul, which
// Wine keeps in UTF-8 on the disk while the patch names them in code page
// 949.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

// Everything below a folder: each path with what it is (a folder, a link
// and where it points, or a file and its bytes). Links are not followed; the
// files a run's input and output go through are left out.
std::map<std::string, std::string> Snapshot(const fs::path& top)
{
    std::map<std::string, std::string> items;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = fs::relative(it->path(), top).string();
        if (path == "in.txt" || path == "out.txt" || path == "err.txt") continue;
        if (it->is_symlink())
            items[path] = "link to " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            items[path] = "folder";
        else
            items[path] = Slurp(it->path());
    }
    return items;
}

// What changed from before to after: "+ path", "- path" or "* path".
std::vector<std::string> Changes(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after)
{
    std::vector<std::string> changes;
    for (const auto& [path, what] : after) {
        const auto old = before.find(path);
        if (old == before.end())
            changes.push_back("+ " + path);
        else if (old->second != what)
            changes.push_back("* " + path);
    }
    for (const auto& [path, what] : before)
        if (!after.count(path)) changes.push_back("- " + path);
    std::sort(changes.begin(), changes.end());
    return changes;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Hangul names in code page 949 (as Update.pak holds them) and in UTF-8 (as
// Wine keeps them on disk).
const std::string kPatchFolderCp949 = "\xC6\xD0\xC4\xA1";  // 패치
const std::string kPatchFolderUtf8 = "\xED\x8C\xA8\xEC\xB9\x98";
const std::string kNoticeCp949 = "\xBE\xC8\xB3\xBB.txt";  // 안내.txt
const std::string kNoticeUtf8 = "\xEC\x95\x88\xEB\x82\xB4.txt";
const std::string kDataCp949 = "\xB5\xA5\xC0\xCC\xC5\xCD";  // 데이터
const std::string kDataUtf8 = "\xEB\x8D\xB0\xEC\x9D\xB4\xED\x84\xB0";
const std::string kHangulCp949 = "\xC7\xD1\xB1\xDB";  // 한글
const std::string kHangulUtf8 = "\xED\x95\x9C\xEA\xB8\x80";

class WineInstall : public PatchRunFixture {
protected:
    void SetUp() override
    {
        PatchRunFixture::SetUp();
        // Bin comes first in the patch; the top-level files and another
        // folder follow it.
        offered["Bin\\Sub\\deep.dat"] = Noise(3000, 7);
        offered["Data\\after.txt"] = B("after Bin");
        offered["Zeta\\last.txt"] = B("last");
    }

    // The patch ran to its end and left the game pack patched.
    void ExpectCompleted(const Outcome& o)
    {
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        EXPECT_NE(o.out.find("Update is completed.\n1.02 Build 29 -> 1.02 Build 30\n"), std::string::npos) << o.out;
        const auto files = PackFiles(game / "Dev/Kivra.pak");
        EXPECT_EQ(files.at("Kivra_Pak\\Version.txt"), B("1.0.2.30\r\n"));
    }
};

TEST_F(WineInstall, ALinkedFolderIsFilledInItsTargetAndLeftTheWayItWasEntered)
{
    struct Case {
        const char* name;
        bool relative;  // the link's target as a relative path
    };
    for (const Case& c : {Case{"absolute link", false}, Case{"relative link", true}}) {
        SCOPED_TRACE(c.name);
        // The game's Bin was moved to another disk; a link stays behind.
        fs::remove_all(root / "disk2");
        fs::remove_all(game / "Bin");
        fs::remove_all(game / "Data");
        fs::remove_all(game / "Zeta");
        for (const char* file : {"NeedVersion.txt", "ReadMe.txt"}) fs::remove(game / file);
        fs::create_directories(root / "disk2/KivraBin");
        WriteFile(root / "disk2/KivraBin/old.dll", B("kept"));
        if (c.relative)
            fs::create_directory_symlink("../../../../disk2/KivraBin", game / "Bin");
        else
            fs::create_directory_symlink(root / "disk2/KivraBin", game / "Bin");
        ASSERT_TRUE(fs::exists(game / "Bin/old.dll"));
        BuildPacks();

        const auto before = Snapshot(root.path());
        const Outcome o = Run();
        ExpectCompleted(o);
        const auto after = Snapshot(root.path());

        // Files in the link land in its target; the rest in the game folder;
        // nothing anywhere else.
        const std::string g = "prefix/drive_c/Games/Kivra/";
        std::vector<std::string> expected = {"* " + g + "Dev/Kivra.pak",      "+ " + g + "Data",
                                             "+ " + g + "Data/after.txt",     "+ " + g + "NeedVersion.txt",
                                             "+ " + g + "ReadMe.txt",         "+ " + g + "Zeta",
                                             "+ " + g + "Zeta/last.txt",      "+ disk2/KivraBin/Sub",
                                             "+ disk2/KivraBin/Sub/deep.dat", "+ disk2/KivraBin/tool.dll"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Changes(before, after), expected);
        ExpectPatched();
        EXPECT_EQ(ReadFile(root / "disk2/KivraBin/old.dll"), B("kept"));
        EXPECT_TRUE(fs::is_symlink(game / "Bin"));
    }
}

TEST_F(WineInstall, HangulNamesOfThePatchAreUtf8OnDisk)
{
    // A folder Wine made in UTF-8 is there already.
    fs::create_directories(game / kDataUtf8);
    WriteFile(game / kDataUtf8 / "old.dat", B("old"));
    offered[kPatchFolderCp949 + "\\" + kNoticeCp949] = B("notice");
    offered[kHangulCp949 + ".txt"] = Noise(70000, 8);
    offered[kDataCp949 + "\\new.dat"] = B("new data");
    BuildPacks();

    const Outcome o = Run();
    ExpectCompleted(o);
    EXPECT_EQ(Text(ReadFile(game / kPatchFolderUtf8 / kNoticeUtf8)), "notice");
    EXPECT_EQ(ReadFile(game / (kHangulUtf8 + ".txt")), Noise(70000, 8));
    // Found by its code page 949 name, not made a second time.
    EXPECT_EQ(Text(ReadFile(game / kDataUtf8 / "new.dat")), "new data");
    EXPECT_EQ(Text(ReadFile(game / kDataUtf8 / "old.dat")), "old");
    // Every name the run made is UTF-8: none is left in code page 949.
    for (const auto& entry : fs::recursive_directory_iterator(game)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(kPatchFolderCp949), std::string::npos) << name;
        EXPECT_EQ(name.find(kHangulCp949), std::string::npos) << name;
        EXPECT_EQ(name.find(kDataCp949), std::string::npos) << name;
    }
}

TEST_F(WineInstall, APatchFolderAndAGameFolderNamedInHangul)
{
    // The player unpacked the patch into a folder named in Hangul, and the
    // game lives in one (the registry names it in code page 949, escaped as
    // Wine writes it).
    Installation hangul(root / "other");
    hangul.patch = hangul.root / kPatchFolderUtf8;
    hangul.game = hangul.prefix / ("drive_c/Games/" + kHangulUtf8);
    hangul.Lay();
    hangul.Registry("\"InstallPath\"=\"C:\\\\Games\\\\\\xd55c\\xae00\"");
    // The engine takes paths in code page 949: the packs are made under
    // plain names and moved.
    MakePack(root / "game.pak", installed);
    MakePack(root / "update.pak", offered);
    fs::rename(root / "game.pak", hangul.game / "Dev/Kivra.pak");
    fs::rename(root / "update.pak", hangul.patch / "Update.pak");

    const Outcome o = hangul.Run();
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("Update is completed."), std::string::npos) << o.out;
    EXPECT_EQ(ReadFile(hangul.game / "Bin/tool.dll"), offered.at("Bin\\tool.dll"));
    EXPECT_EQ(PackFiles(hangul.game / "Dev/Kivra.pak").at("Kivra_Pak\\Version.txt"), B("1.0.2.30\r\n"));
}

TEST_F(WineInstall, APatchFolderNamedWithACharacterCodePage949LacksIsNamedInTheMessage)
{
    // The patcher's own folder cannot be named in the code page: the patch
    // beside it is not found, and the message says where it was looked for.
    Installation emoji(root / "other");
    emoji.patch = emoji.root / "patch\xF0\x9F\x98\x80";
    emoji.Lay();
    MakePack(emoji.game / "Dev/Kivra.pak", installed);
    MakePack(root / "update.pak", offered);
    fs::rename(root / "update.pak", emoji.patch / "Update.pak");
    const Outcome o = emoji.Run();
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("[UPDATE 7]\nfile open error\n(" + (emoji.root / "patch?/Update.pak").string() + ")\n"),
              std::string::npos)
        << o.err;
    EXPECT_FALSE(fs::exists(emoji.game / "Bin"));
}

}  // namespace

namespace {

// With no WINEPREFIX and no game in ~/.wine, the prefixes of the launchers
// that hold the game, its folder there, are named, with the command that
// runs the patch again in one (quoted for the shell, the options kept); none
// is patched.
TEST_F(WineInstall, WithoutAPrefixNamedThePrefixesOfLaunchersThatHoldTheGameAreListed)
{
    BuildPacks();
    const fs::path home = root.path() + "/home";
    const std::string key64 =
        "[Software\\\\Wow6432Node\\\\Pendix\\\\Kivra] 1700000000\n\"InstallPath\"=\"C:\\\\Kivra\"\n";
    const std::string key32 = "[Software\\\\Pendix\\\\Kivra] 1700000000\n\"InstallPath\"=\"C:\\\\Kivra\"\n";
    struct Prefix {
        const char* path;  // below home
        std::string arch;
        std::string keys;
        const char* folder;  // the game's folder below drive_c, or none
    };
    const Prefix other{"Games/other-game", "win64", "[Software\\\\Other] 1\n\"InstallPath\"=\"C:\\\\x\"\n", "x"};
    const Prefix wrongView{"Games/wrong-view", "win64", key32, "Kivra"};
    const Prefix gone{".local/share/Steam/steamapps/compatdata/4242/pfx", "win64", key64, nullptr};
    const Prefix lutris{"Games/my game/prefix", "win64", key64, "KIVRA"};
    const Prefix bottles{".local/share/bottles/bottles/Kivra", "win32", key32, "Kivra"};
    const Prefix playOnLinux{".PlayOnLinux/wineprefix/KivraOnline", "win64", key64, "kivra"};
    const Prefix olderLutris{"Games/kivra", "win64", key64, "Kivra"};
    // A patch folder and a prefix whose names a shell would split.
    const fs::path folder = root.path() + "/my patch (30)";
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(patch)) fs::copy(entry.path(), folder / entry.path().filename());
    const std::string rerun = " ./kivra-update --dry-run '" + folder.string() + "'\n";
    const struct {
        std::vector<Prefix> prefixes;
        std::string told;  // on stderr
    } cases[] = {
        {{other, wrongView, lutris},
         "The game is installed in this Wine prefix:\n  " + (home / lutris.path).string() +
             "\nRun the patch again in it: WINEPREFIX='" + (home / lutris.path).string() + "'" + rerun},
        {{gone, lutris, bottles, playOnLinux, olderLutris},
         "The game is installed in these Wine prefixes:\n  " + (home / playOnLinux.path).string() + "\n  " +
             (home / bottles.path).string() + "\n  " + (home / olderLutris.path).string() + "\n  " +
             (home / lutris.path).string() + "\nChoose one and run the patch again in it, as: WINEPREFIX=" +
             (home / playOnLinux.path).string() + rerun},
        {{gone, other},
         "No Wine prefix of Lutris, Bottles, Steam or PlayOnLinux holds the game either; name the game's prefix "
         "with WINEPREFIX.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.told);
        fs::remove_all(home);
        for (const Prefix& p : c.prefixes) {
            fs::create_directories(home / p.path / "dosdevices");
            fs::create_symlink("../drive_c", home / p.path / "dosdevices/c:");
            if (p.folder) fs::create_directories(home / p.path / "drive_c" / p.folder);
            WriteFile(home / p.path / "system.reg", "WINE REGISTRY Version 2\n\n#arch=" + p.arch + "\n\n" + p.keys);
        }
        // Steam's other root is a link to the same prefixes: each is named once.
        fs::create_directories(home / ".steam");
        fs::create_symlink(home / ".local/share/Steam", home / ".steam/steam");
        RunOptions options;
        options.environment = {"WINEPREFIX=", "HOME=" + home.string()};
        options.arguments = {"--dry-run", folder.string()};
        const Outcome o = installation.Run(options);
        EXPECT_EQ(o.status, 1) << o.out;
        EXPECT_NE(o.err.find(c.told), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("[UPDATE 2] Cannot find the route of game."), std::string::npos) << o.err;
    }

    // A prefix named is the one: nothing else is looked at.
    RunOptions options;
    options.environment = {"WINEPREFIX=" + (home / "Games/other-game").string(), "HOME=" + home.string()};
    EXPECT_EQ(installation.Run(options).err.find("Wine prefix"), std::string::npos);
}

}  // namespace
