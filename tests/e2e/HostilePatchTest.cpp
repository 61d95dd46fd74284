// Hostile patch folders and archives, run for real and with --dry-run: the two
// agree on whether the patch applies and say why not in the same words;
// nothing outside the game folder and the patch folder changes; and a patch
// refused leaves the game folder as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "lzh/LzhWriter.h"
#include "support/PatchRun.h"

namespace {

using namespace patchrun;

// Every file and folder below folder, with the bytes of each file.
std::map<std::string, Bytes> Everything(const fs::path& folder)
{
    std::map<std::string, Bytes> all;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::end(it); it.increment(error)) {
        const fs::path& path = it->path();
        const fs::file_status status = fs::symlink_status(path);
        all[path.string()] = fs::is_regular_file(status) ? ReadFile(path) : Bytes{};
    }
    return all;
}

// An archive member: its name field and its content.
struct Member {
    std::string name;
    Bytes content;
};

// Writes update.lzh at path holding the members, each stored.
void WriteArchive(const fs::path& path, const std::vector<Member>& members)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    for (const Member& m : members) {
        std::FILE* in = std::tmpfile();
        std::fwrite(m.content.data(), 1, m.content.size(), in);
        std::rewind(in);
        EXPECT_EQ(
            AddLzhMember(out, in, m.content.size(), m.name.c_str(), LzhDosTime(2026, 12, 9, 12, 0, 0), false).result,
            LzhAddResult::Added);
        std::fclose(in);
    }
    EXPECT_TRUE(EndLzhArchive(out));
    std::fclose(out);
}

// The offset of the member after the one at offset (level-1 headers).
std::size_t NextMember(const Bytes& archive, std::size_t offset)
{
    const std::uint32_t packed = archive[offset + 7] | archive[offset + 8] << 8 | archive[offset + 9] << 16 |
                                 static_cast<std::uint32_t>(archive[offset + 10]) << 24;
    return offset + 2 + archive[offset] + packed;
}

// The level-1 header of the member at offset: its size field of the content
// (after the header's size, checksum, method and packed size) set to size,
// and its checksum made right again. The offset of the next member.
std::size_t ClaimSize(Bytes& archive, std::size_t offset, std::uint32_t size)
{
    const std::size_t length = archive[offset];
    for (int i = 0; i < 4; ++i)
        archive[offset + 11 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
    unsigned sum = 0;
    for (std::size_t i = 2; i < length + 2; ++i) sum += archive[offset + i];
    archive[offset + 1] = static_cast<std::uint8_t>(sum);
    return NextMember(archive, offset);
}

class HostilePatch : public PatchRunFixture {
public:
    using PatchRunFixture::BuildPacks;
    using PatchRunFixture::game;
    using PatchRunFixture::installation;
    using PatchRunFixture::offered;
    using PatchRunFixture::patch;

    // update.lzh in the patch folder: Update.pak as the patch offers it, and
    // members beside it.
    void Archive(const std::vector<Member>& more, const fs::path& where = {})
    {
        BuildPacks();
        std::vector<Member> members = {{"Update.pak", ReadFile(patch / "Update.pak")}};
        members.insert(members.end(), more.begin(), more.end());
        fs::remove(patch / "Update.pak");
        WriteArchive((where.empty() ? patch : where) / "update.lzh", members);
    }

    fs::path outside = installation.root / "outside";
};

TEST_F(HostilePatch, ARealRunAndADryRunAgreeAndNothingOutsideChanges)
{
    const struct {
        const char* what;
        std::function<void(HostilePatch&, RunOptions&)> arrange;
        bool applies;
        std::string line;  // in the output of both runs
    } cases[] = {
        {"a link in the patch folder leading outside",
         [](HostilePatch& t, RunOptions&) {
             fs::create_symlink(t.outside, t.patch / "x");
             t.Archive({{"x\\evil.txt", B("evil")}});
         },
         false, "update.lzh cannot be used"},
        {"a member named as the archive",
         [](HostilePatch& t, RunOptions&) {
             t.Archive({{"UPDATE.LZH", B("not an archive")}});
         },
         false, "update.lzh cannot be used"},
        {"a member named as the game pack, run from the game folder",
         [](HostilePatch& t, RunOptions& o) {
             t.Archive({{"Dev\\Kivra.pak", B("not a pack")}}, t.game);
             fs::copy_file(t.patch / "kivra-update", t.game / "kivra-update");
             o.directory = t.game.string();
             o.program = "./kivra-update";
         },
         false, "update.lzh cannot be used"},
        {"members that claim more than the disk holds",
         [](HostilePatch& t, RunOptions&) {
             std::vector<Member> bombs;
             for (int i = 0; i < 40; ++i) bombs.push_back({"zeros" + std::to_string(i) + ".bin", B("0")});
             t.Archive(bombs);
             Bytes archive = ReadFile(t.patch / "update.lzh");
             std::size_t at = NextMember(archive, 0);
             for (int i = 0; i < 40; ++i) at = ClaimSize(archive, at, 0xFFFFFFF0u);
             WriteFile(t.patch / "update.lzh", archive);
         },
         false, "no room to unpack it"},
        {"an Update.pak that claims more than a pack can be",
         [](HostilePatch& t, RunOptions&) {
             t.Archive({});
             Bytes archive = ReadFile(t.patch / "update.lzh");
             ClaimSize(archive, 0, 300000000u);
             WriteFile(t.patch / "update.lzh", archive);
         },
         false, "more than a pack file can be"},
        {"a pipe as update.lzh",
         [](HostilePatch& t, RunOptions&) {
             t.BuildPacks();
             ASSERT_EQ(mkfifo((t.patch / "update.lzh").c_str(), 0644), 0);
         },
         false, "update.lzh is no regular file"},
        {"standard input fed, and a member that cannot be made",
         [](HostilePatch& t, RunOptions& o) {
             t.Archive({{"missing\\file.txt", B("x")}});
             o.input = "yes\nyes\n";
         },
         false, "missing\\file.txt: cannot be created"},
        {"an archive without Update.pak beside a stale one",
         [](HostilePatch& t, RunOptions&) {
             t.BuildPacks();
             WriteArchive(t.patch / "update.lzh", {{"ReadMe.txt", B("only this")}});
         },
         false, "holds no Update.pak"},
        {"Update.pak a hard link to the game pack",
         [](HostilePatch& t, RunOptions&) {
             t.BuildPacks();
             fs::remove(t.patch / "Update.pak");
             fs::create_hard_link(t.game / "Dev/Kivra.pak", t.patch / "Update.pak");
         },
         false, "is the game pack itself"},
        {"a read-only game pack",
         [](HostilePatch& t, RunOptions&) {
             t.BuildPacks();
             fs::permissions(t.game / "Dev/Kivra.pak", fs::perms(0444));
         },
         false, "Kivra.pak may not be written"},
        {"an InstallPath that is no full path",
         [](HostilePatch& t, RunOptions&) {
             t.BuildPacks();
             t.installation.Registry("\"InstallPath\"=\"Games\\\\Kivra\"");
         },
         false, "InstallPath \"Games\\Kivra\""},
        {"a NeedVersion.txt saved with a byte-order mark",
         [](HostilePatch& t, RunOptions&) {
             t.offered["NeedVersion.txt"] =
                 B("\xEF\xBB\xBF"
                   "1.0.2.29\r\n");
             t.BuildPacks();
         },
         true, "would apply"},
        {"a NeedVersion.txt saved as UTF-16",
         [](HostilePatch& t, RunOptions&) {
             t.offered["NeedVersion.txt"] =
                 B(std::string("\xFF\xFE"
                               "1\0.\0"
                               "0\0.\0"
                               "2\0.\0"
                               "2\0"
                               "9\0",
                               18));
             t.BuildPacks();
         },
         true, "would apply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir scratch;
        installation = Installation(scratch.path());
        SetUp();
        outside = installation.root / "outside";
        fs::create_directories(outside);
        fs::create_directories(installation.root / "tmp");
        RunOptions options;
        c.arrange(*this, options);
        const auto gameBefore = Everything(game);
        const auto outsideBefore = Everything(outside);

        RunOptions dry = options;
        dry.arguments = {"--dry-run"};
        dry.environment = {"TMPDIR=" + (installation.root / "tmp").string()};
        const Outcome d = installation.Run(dry);
        EXPECT_EQ(d.status, c.applies ? 0 : 1) << d.out << d.err;
        EXPECT_NE(d.out.find(c.applies ? "would apply" : "would not apply"), std::string::npos) << d.out;
        if (!c.applies) {
            EXPECT_NE(d.err.find(c.line), std::string::npos) << d.err;
        }
        EXPECT_EQ(Everything(game), gameBefore) << "the dry run changed the game";
        EXPECT_TRUE(fs::is_empty(installation.root / "tmp")) << "the dry run left its folder";

        const Outcome r = installation.Run(options);
        EXPECT_EQ(r.status, c.applies ? 0 : 1) << r.out << r.err;
        if (!c.applies) {
            EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
            EXPECT_EQ(Everything(game), gameBefore) << "a refused patch changed the game";
            EXPECT_FALSE(fs::exists(patch / "yes")) << "standard input was read as an answer";
        } else {
            ExpectPatched();
        }
        EXPECT_EQ(Everything(outside), outsideBefore) << "something outside changed";
        std::error_code ignored;
        fs::permissions(game / "Dev/Kivra.pak", fs::perms(0644), ignored);
    }
}

// Started with standard output closed, as some launchers start programs: the
// patch applies, and nothing meant for standard output reaches a file.
TEST_F(HostilePatch, StandardOutputClosedWritesIntoNoFile)
{
    BuildPacks();
    RunOptions options;
    options.closedStdout = true;
    const Outcome o = installation.Run(options);
    EXPECT_EQ(o.status, 0) << o.err;
    ExpectPatched();
}

}  // namespace
