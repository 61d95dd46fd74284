// kivra-update --dry-run: the checks of a run and the list of what it would
// do, with nothing of the game, the patch folder or the temporary folder
// changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "support/PatchRun.h"

namespace {

using namespace patchrun;

// A digest of a file's bytes (FNV-1a), read a part at a time: a full game
// pack is 262 MB.
std::uint64_t Digest(const fs::path& path)
{
    std::uint64_t hash = 14695981039346656037ull;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return 0;
    static std::uint64_t part[8192];
    for (std::size_t got; (got = std::fread(part, 1, sizeof part, in)) > 0;) {
        // Whole words at a time; a short last part is zero-filled.
        std::memset(reinterpret_cast<char*>(part) + got, 0, sizeof part - got);
        for (std::size_t i = 0; i < (got + 7) / 8; ++i) hash = (hash ^ part[i]) * 1099511628211ull;
        hash ^= got;
    }
    std::fclose(in);
    return hash;
}

// Every file below a folder, with a digest of its bytes, but the run's own
// input and output at the top.
std::map<std::string, std::uint64_t> Everything(const fs::path& folder)
{
    std::map<std::string, std::uint64_t> all;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const fs::path name = item.path().filename();
        if (item.path().parent_path() == folder && (name == "in.txt" || name == "out.txt" || name == "err.txt"))
            continue;
        all[item.path().string()] = item.is_regular_file() ? Digest(item.path()) : 0;
    }
    return all;
}

class DryRun : public PatchRunFixture {
public:
    using PatchRunFixture::BuildPacks;
    using PatchRunFixture::game;
    using PatchRunFixture::installed;
    using PatchRunFixture::offered;
    using PatchRunFixture::patch;
};

TEST_F(DryRun, ListsWhatARunWouldDoAndChangesNothing)
{
    const struct {
        const char* what;
        std::function<void(DryRun&)> arrange;
        int status;
        std::vector<std::string> lines;  // each on stdout, in this order
        std::vector<std::string> told;   // each on stderr, in this order: what keeps the patch out
    } cases[] = {
        {"a patch that applies",
         [](DryRun& t) { t.BuildPacks(); },
         0,
         {"Dry run: nothing is changed.", "launcher: not replaced (no KNet.exe with a version beside the patcher)",
          "pack add          70000 Kivra_Pak\\Map\\new.map", "pack replace       2049 Kivra_Pak\\Map\\old.map",
          "pack folder           0 Kivra_Pak\\Sound", "pack add          65536 Kivra_Pak\\Sound\\hit.wav",
          "disk folder           0 Bin", "disk add         100000 Bin\\tool.dll",
          "disk add              8 NeedVersion.txt", "disk add             12 ReadMe.txt",
          "pack replace         10 Kivra_Pak\\Version.txt", "version: 1.02 Build 29 -> 1.02 Build 30",
          "game pack: 71 blocks needed, 127991 free", "would apply: 7 files and 2 folders"},
         {}},
        {"from update.lzh, with a newer launcher",
         [](DryRun& t) {
             t.BuildPacks();
             Installation::Executable(t.patch / "KNet.exe", "1.0.2.30");
             Installation::Executable(t.game / "KNet.exe", "1.0.2.29");
             const std::string command =
                 "cd '" + t.patch.string() + "' && '" LZH_TOOL "' a update.lzh Update.pak >/dev/null";
             ASSERT_EQ(system(command.c_str()), 0);
             fs::remove(t.patch / "Update.pak");
         },
         0,
         {"launcher: KNet.exe 1.02 Build 30 would replace 1.02 Build 29", "update.lzh: unpacked whole (1 member)",
          "pack add          70000 Kivra_Pak\\Map\\new.map", "would apply"},
         {}},
        {"an installation too old",
         [](DryRun& t) {
             t.installed["Kivra_Pak\\Version.txt"] = B("1.0.2.28");
             t.BuildPacks();
         },
         1,
         {"version: 1.02 Build 28 -> 1.02 Build 30", "would not apply"},
         {"The game is 1.02 Build 28; this patch needs 1.02 Build 29 or later: it was not applied.",
          "[UPDATE 1] 1.02 Build 29"}},
        {"a damaged Update.pak",
         [](DryRun& t) {
             t.BuildPacks();
             fs::resize_file(t.patch / "Update.pak", fs::file_size(t.patch / "Update.pak") - 3000);
         },
         1,
         {"would not apply"},
         {"Update.pak is damaged (see pak fsck)", "[UPDATE 7] file open error ("}},
        {"a game pack without room",
         [](DryRun& t) {
             t.BuildPacks();
             fs::resize_file(t.game / "Dev/Kivra.pak", 512512 + 2048 * 128000ull);
         },
         1,
         {"game pack: 71 blocks needed, 0 free", "would not apply"},
         {"The game pack has no room for this patch. ("}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        c.arrange(*this);
        fs::create_directories(installation.root / "tmp");
        const auto before = Everything(installation.root);
        RunOptions options;
        options.arguments = {"--dry-run"};
        options.environment = {"TMPDIR=" + installation.root.string() + "/tmp"};
        const Outcome o = installation.Run(options);
        EXPECT_EQ(o.status, c.status) << o.out << o.err;
        for (const auto& [lines, stream] : {std::pair{c.lines, o.out}, std::pair{c.told, o.err}}) {
            std::size_t at = 0;
            for (const std::string& line : lines) {
                const std::size_t found = stream.find(line, at);
                EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << stream;
                if (found == std::string::npos) break;
                at = found;
            }
        }
        // A dry run refused before the copying pass was planned has no room
        // to tell of.
        const bool roomTold = std::any_of(c.lines.begin(), c.lines.end(),
                                          [](const std::string& line) { return line.rfind("game pack: ", 0) == 0; });
        if (c.status == 1 && !roomTold) {
            EXPECT_EQ(o.out.find("game pack: "), std::string::npos) << o.out;
        }
        EXPECT_EQ(Everything(installation.root), before) << "the dry run changed something";
    }
}

// Sets or clears the immutable flag of path (as chattr does); false when the
// file system or the user cannot.
bool Immutable(const fs::path& path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool set = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    set = set && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return set;
}

// Sets the table entry of block in the pack at path.
void SetLink(const fs::path& path, std::uint32_t block, std::uint32_t value)
{
    Bytes bytes = ReadFile(path);
    for (int i = 0; i < 4; ++i)
        bytes[512 + 4 * block + static_cast<std::uint32_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    WriteFile(path, bytes);
}

// What only the copying pass would meet (a name the disk cannot take, a file
// or folder that may not be written, a game pack whose table is damaged past
// its end) is found before anything is written: the dry run says the patch
// would not apply and why, and the run refuses it the same way and leaves the
// game folder as it was.
TEST_F(DryRun, AgreesWithTheRunOnWhatCannotBeWritten)
{
    const bool root = geteuid() == 0;
    const struct {
        const char* what;
        std::function<bool(DryRun&)> arrange;  // false: cannot be arranged here
        std::string line;
    } cases[] = {
        {"a read-only file the patch replaces",
         [](DryRun& t) {
             t.BuildPacks();
             fs::create_directories(t.game / "Bin");
             WriteFile(t.game / "Bin/tool.dll", "old");
             fs::permissions(t.game / "Bin/tool.dll", fs::perms(0444));
             return true;
         },
         "Bin\\tool.dll may not be written"},
        {"an immutable file the patch replaces",
         [](DryRun& t) {
             t.BuildPacks();
             fs::create_directories(t.game / "Bin");
             WriteFile(t.game / "Bin/tool.dll", "old");
             return Immutable(t.game / "Bin/tool.dll", true);
         },
         "Bin\\tool.dll may not be written"},
        {"a read-only folder the patch writes into",
         [root](DryRun& t) {
             t.BuildPacks();
             fs::create_directories(t.game / "Bin");
             fs::permissions(t.game / "Bin", fs::perms(0555));
             return !root;  // root writes into any folder, as an administrator does
         },
         "Bin may not be written"},
        {"a name with a wildcard",
         [](DryRun& t) {
             t.offered["Bin\\what?.dll"] = B("x");
             t.BuildPacks();
             return true;
         },
         "Bin\\what?.dll has a name Windows cannot give a file"},
        {"a name that is no code page 949 text",
         [](DryRun& t) {
             t.offered["Docs\\\xff\xfe.txt"] = B("x");
             t.BuildPacks();
             return true;
         },
         "has a name the disk cannot take"},
        {"a game pack whose table names blocks past its end",
         [](DryRun& t) {
             t.BuildPacks();
             SetLink(t.game / "Dev/Kivra.pak", 1000, 0);
             return true;
         },
         "names blocks past its end in its table (see pak fsck --repair)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        if (!c.arrange(*this)) {
            Immutable(game / "Bin/tool.dll", false);
            std::cout << c.what << ": cannot be arranged here, passed over\n";
            continue;
        }
        fs::create_directories(installation.root / "tmp");
        const auto before = Everything(game);
        RunOptions options;
        options.arguments = {"--dry-run"};
        options.environment = {"TMPDIR=" + installation.root.string() + "/tmp"};
        const Outcome dry = installation.Run(options);
        EXPECT_EQ(dry.status, 1) << dry.out;
        EXPECT_NE(dry.err.find(c.line), std::string::npos) << dry.err;
        EXPECT_NE(dry.out.find("would not apply"), std::string::npos) << dry.out;
        const Outcome real = installation.Run();
        EXPECT_EQ(real.status, 1) << real.out;
        EXPECT_NE(real.err.find(c.line), std::string::npos) << real.err;
        EXPECT_EQ(Everything(game), before) << "the run changed the game";
        Immutable(game / "Bin/tool.dll", false);
        std::error_code ignored;
        fs::permissions(game / "Bin", fs::perms(0755), ignored);
    }
}

// Names the game or Windows cannot take, on disk and in the game pack,
// are refused by the counting pass: the dry run says so, and the run
// refuses the patch before anything is written.
TEST_F(DryRun, NamesThatCannotBeTakenAreRefusedBeforeAnythingIsWritten)
{
    // Deeper than a path the engine takes whole: made a folder at a time.
    const std::string deep = "(deep)";
    const struct {
        std::string name;  // a file of the patch
        std::string line;  // in the output of both runs
    } cases[] = {
        {"Bin\\CON", "a name Windows cannot give a file"},
        {"Bin\\nul.txt", "a name Windows cannot give a file"},
        {"COM1\\x.dll", "a name Windows cannot give a file"},
        {"Bin\\lpt9.log", "a name Windows cannot give a file"},
        {"Bin\\dot.", "a name Windows cannot give a file"},
        {"Bin\\space ", "a name Windows cannot give a file"},
        {"Bin\\bell\x07", "a name Windows cannot give a file"},
        {"Bin\\a<b", "a name Windows cannot give a file"},
        {"Bin\\a|b", "a name Windows cannot give a file"},
        {"Kivra_Pak\\a/b", "has a name that leads outside its folder"},
        {deep, "would have a path of 260 bytes or more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        if (c.name != deep) offered[c.name] = B("x");
        BuildPacks();
        if (c.name == deep) {
            CPackFileManager pack;
            ASSERT_EQ(pack.Open((patch / "Update.pak").c_str(), "rb+"), 1);
            ASSERT_EQ(pack.ChangeDir("Kivra_Pak"), 0);
            for (const char letter : {'d', 'e'}) {
                const std::string folder(90, letter);
                ASSERT_EQ(pack.MakeDir(folder.c_str()), 0);
                ASSERT_EQ(pack.ChangeDir(folder.c_str()), 0);
            }
            const int h = pack.OpenFile((std::string(70, 'f') + ".dat").c_str(), OF_WRITE, kInPack);
            ASSERT_GE(h, 1);
            ASSERT_EQ(pack.Write("x", 1, 1, h), 1u);
            ASSERT_EQ(pack.CloseFile(h), 0);
            pack.Close();
        }
        fs::create_directories(installation.root / "tmp");
        const auto before = Everything(game);
        RunOptions options;
        options.arguments = {"--dry-run"};
        options.environment = {"TMPDIR=" + installation.root.string() + "/tmp"};
        const Outcome dry = installation.Run(options);
        EXPECT_EQ(dry.status, 1) << dry.out;
        EXPECT_NE(dry.err.find(c.line), std::string::npos) << dry.err;
        const Outcome real = installation.Run();
        EXPECT_EQ(real.status, 1) << real.out;
        EXPECT_NE(real.err.find(c.line), std::string::npos) << real.err;
        EXPECT_EQ(Everything(game), before) << "the run changed the game";
    }
}

}  // namespace
