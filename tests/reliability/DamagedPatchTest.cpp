// Patches that are damaged, or too big for the game, in-process: each is
// refused before the game changes, and one that is refused for want of room
// never stops half-way.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lzh/LzhWriter.h"
#include "pack/PackFormat.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "support/InProcessRun.h"

namespace {

using namespace inprocess;

Patch MakePatch()
{
    Patch p;
    p.installedPack = {{"Kivra_Pak\\Version.txt", B("1.0.2.29")}, {"Kivra_Pak\\Map\\old.map", Noise(3000, 1)}};
    p.installedDisk = {{"Bin\\tool.dll", Noise(20000, 2)}};
    p.patch = {{"NeedVersion.txt", B("1.0.2.29")},
               {"Kivra_Pak\\Version.txt", B("1.0.2.30")},
               {"Kivra_Pak\\Map\\new.map", Noise(30000, 3)},
               {"Kivra_Pak\\Map\\old.map", Noise(2049, 4)},
               {"Kivra_Pak\\Sound\\hit.wav", Noise(5000, 5)},
               {"Bin\\tool.dll", Noise(40000, 6)},
               {"Docs\\x.txt", B("x")}};
    return p;
}

// The blocks of every directory chain of a pack image, the root's first.
std::vector<std::size_t> DirectoryBlocks(const testpack::Image& image)
{
    std::vector<std::size_t> blocks;
    std::vector<std::int32_t> pending{0};
    for (std::size_t i = 0; i < pending.size(); ++i) {
        std::vector<std::size_t> chain;
        if (!testpack::ChainOf(image, pending[i], chain)) continue;
        for (const std::size_t b : chain) {
            blocks.push_back(b);
            for (std::size_t slot = 0; slot < 16; ++slot) {
                const testpack::Entry e = image.GetEntry(b, slot);
                if (e.inUse == 1 && e.type == 1 && e.name != "." && e.name != "..") pending.push_back(e.first);
            }
        }
    }
    return blocks;
}

// The game folder's every byte, pack included.
Files Everything(const fs::path& game)
{
    Files all;
    for (const auto& item : fs::recursive_directory_iterator(game))
        if (item.is_regular_file()) all[item.path().string()] = testutil::ReadFile(item.path());
    return all;
}

// Runs the patch of root and expects message 7 naming named, with the game
// exactly as it was.
void ExpectRefused(const fs::path& root, const std::string& named, const std::string& what)
{
    SCOPED_TRACE(what);
    const Files before = Everything(root / "game");
    Recorder ui;
    EXPECT_FALSE(RunPatch(root, ui));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].rfind("7\n(", 0), 0u) << ui.shown[0];
    EXPECT_NE(ui.shown[0].find(named), std::string::npos) << ui.shown[0];
    EXPECT_EQ(Everything(root / "game"), before);
}

TEST(DamagedPatch, UpdatePakCutOrWithADirectoryBlockZeroedIsRefusedAndTheGameStays)
{
    const Patch patch = MakePatch();
    testutil::TempDir good;
    patch.Lay(good.path(), false);
    const Bytes sound = testutil::ReadFile(good / "patch/Update.pak");
    testpack::Image image;
    image.bytes = sound;
    const std::vector<std::size_t> directories = DirectoryBlocks(image);
    ASSERT_GE(directories.size(), 5u);

    struct Damage {
        std::string what;
        Bytes bytes;
    };
    std::vector<Damage> damages;
    for (const std::size_t b : directories) {
        Bytes cut(sound.begin(), sound.begin() + static_cast<long>(image.At(b)));
        damages.push_back({"cut at directory block " + std::to_string(b), cut});
        Bytes zeroed = sound;
        std::fill_n(zeroed.begin() + static_cast<long>(image.At(b)), testpack::kBlock, 0);
        damages.push_back({"directory block " + std::to_string(b) + " zeroed", zeroed});
    }
    for (const std::size_t from_end : {1u, 100u, 2047u, 2049u, 7000u})
        damages.push_back({"cut " + std::to_string(from_end) + " bytes before the end",
                           Bytes(sound.begin(), sound.end() - static_cast<long>(from_end))});
    for (const Damage& d : damages) {
        testutil::TempDir dir;
        patch.Lay(dir.path(), false);
        testutil::WriteFile(dir / "patch/Update.pak", d.bytes);
        ExpectRefused(dir.path(), "Update.pak", d.what);
    }
}

TEST(DamagedPatch, UpdateLzhCutOrFlippedIsRefusedOrUnpacksWhole)
{
    const Patch patch = MakePatch();
    // A pack left beside the archive by an earlier patch: a damaged archive
    // must not fall back on it.
    Patch earlier = patch;
    earlier.patch["Kivra_Pak\\Map\\new.map"] = Noise(30000, 99);
    testutil::TempDir stale;
    earlier.Lay(stale.path(), false);
    const Bytes staleBytes = testutil::ReadFile(stale / "patch/Update.pak");

    testutil::TempDir good;
    patch.Lay(good.path());
    const Bytes archive = testutil::ReadFile(good / "patch/update.lzh");
    const Holding patched = patch.Patched();
    int refused = 0;
    std::vector<std::size_t> places;
    for (std::size_t at = 0; at < archive.size(); at += 1 + archive.size() / 40) places.push_back(at);
    // Its end marker, the last byte.
    places.push_back(archive.size() - 1);
    for (const std::size_t at : places) {
        for (const bool cut : {true, false}) {
            testutil::TempDir dir;
            patch.Lay(dir.path());
            testutil::WriteFile(dir / "patch/Update.pak", staleBytes);
            Bytes damaged = archive;
            if (cut)
                damaged.resize(at);
            else
                damaged[at] ^= 0x10;
            testutil::WriteFile(dir / "patch/update.lzh", damaged);
            const std::string what = (cut ? "cut at byte " : "bit flipped at byte ") + std::to_string(at);
            // A flip in what no check covers (the time stamp, say) leaves
            // the content whole: then the patch applies as it is.
            Recorder probe;
            const Files before = Everything(fs::path(dir.path()) / "game");
            const bool completed = RunPatch(dir.path(), probe);
            const Holding held = Read(fs::path(dir.path()) / "game");
            if (completed) {
                EXPECT_FALSE(cut) << what;
                EXPECT_EQ(held.pack, patched.pack) << what;
                EXPECT_EQ(held.disk, patched.disk) << what;
                continue;
            }
            ++refused;
            EXPECT_EQ(Everything(fs::path(dir.path()) / "game"), before) << what;
            ASSERT_FALSE(probe.shown.empty()) << what;
            // Message 7 says what is wrong with the archive, in a detail
            // that fits its buffer. Past the member's header (under 100
            // bytes here) and before the end marker lies its packed data.
            const std::string& told = probe.shown.back();
            EXPECT_EQ(told.rfind("7\n(update.lzh: ", 0), 0u) << what << ": " << told;
            EXPECT_EQ(told.back(), ')') << what;
            EXPECT_LT(told.size() - 1, 260u) << what;
            // An archive cut short is found so by its headers, before
            // anything is unpacked.
            if (!cut && at >= 256 && at + 1 < archive.size()) {
                EXPECT_EQ(told, "7\n(update.lzh: damaged member Update.pak)") << what;
            }
            if (cut && at >= 256) {
                EXPECT_EQ(told, "7\n(update.lzh: ends before its end marker)") << what;
            }
        }
    }
    EXPECT_GT(refused, 40);
}

// A member whose name is as long as a header takes, in Hangul, that cannot be
// unpacked: message 7 names it, cut to the detail's buffer at a whole
// character of the code page, for either parity of the name's length.
TEST(DamagedPatch, UpdateLzhProblemWithALongHangulNameFitsTheMessage)
{
    const Patch patch = MakePatch();
    std::string hangul;
    while (hangul.size() + 2 <= kLzhMaxWrittenName - 3) hangul += "\xB0\xA1";  // "가" in code page 949
    for (const std::string& name : {"xy\\" + hangul, "x\\" + hangul, "\xB0\xA1\\" + hangul}) {
        SCOPED_TRACE(std::to_string(name.size()) + " bytes");
        ASSERT_LE(name.size(), kLzhMaxWrittenName);
        testutil::TempDir dir;
        patch.Lay(dir.path());
        // The member's folder is not there: it cannot be written.
        std::FILE* out = std::fopen((fs::path(dir.path()) / "patch/update.lzh").c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::FILE* in = std::tmpfile();
        std::fputs("data", in);
        std::rewind(in);
        EXPECT_EQ(AddLzhMember(out, in, 4, "Update.pak", LzhDosTime(2026, 12, 9, 12, 0, 0), false).result,
                  LzhAddResult::Added);
        std::rewind(in);
        EXPECT_EQ(AddLzhMember(out, in, 4, name.c_str(), LzhDosTime(2026, 12, 9, 12, 0, 0), false).result,
                  LzhAddResult::Added);
        EXPECT_TRUE(EndLzhArchive(out));
        std::fclose(in);
        std::fclose(out);
        Recorder ui;
        EXPECT_FALSE(RunPatch(dir.path(), ui));
        ASSERT_EQ(ui.shown.size(), 1u);
        const std::string detail = ui.shown[0].substr(1);
        EXPECT_EQ(detail.rfind("\n(update.lzh: ", 0), 0u) << detail;
        EXPECT_EQ(detail.back(), ')');
        EXPECT_LT(detail.size(), 260u);
        // More of the name than the detail's room would not fit.
        EXPECT_GT(detail.size(), 255u);
        std::string text;
        EXPECT_TRUE(SystemToHostText(detail, text)) << "a character cut in two";
        EXPECT_NE(detail.find(name.substr(0, 100)), std::string::npos);
    }
}

// --- Room -------------------------------------------------------------------

// Fills the game pack of root with blocks that no chain holds, until free
// blocks are left for a writer: half of them free entries of the data area,
// the others the blocks it may still grow by before the table's end.
void FillGamePack(const fs::path& root, std::int32_t free)
{
    const fs::path path = root / "game/Dev/Kivra.pak";
    testpack::Image image;
    image.bytes = testutil::ReadFile(path);
    const std::size_t used = image.Blocks();
    const std::size_t inside = static_cast<std::size_t>(free / 2);
    const std::size_t blocks = testpack::kEntries - static_cast<std::size_t>(free - free / 2);
    for (std::size_t b = used; b < blocks; ++b) image.SetLink(b, b < used + inside ? -1 : 0);
    testutil::WriteFile(path, image.bytes);
    fs::resize_file(path, testpack::kDataAt + testpack::kBlock * blocks);
}

// The game folder as a run may change it: every file but the game pack, and
// of the pack its header, table and the blocks a writer could have taken.
Files Changeable(const fs::path& game)
{
    Files all;
    for (const auto& item : fs::recursive_directory_iterator(game)) {
        if (!item.is_regular_file()) continue;
        if (item.path().filename() != "Kivra.pak") {
            all[item.path().string()] = testutil::ReadFile(item.path());
            continue;
        }
        std::FILE* pack = std::fopen(item.path().c_str(), "rb");
        Bytes head(testpack::kDataAt + testpack::kBlock * 64);
        head.resize(std::fread(head.data(), 1, head.size(), pack));
        std::fseek(pack, -static_cast<long>(testpack::kBlock * 64), SEEK_END);
        Bytes tail(testpack::kBlock * 64);
        tail.resize(std::fread(tail.data(), 1, tail.size(), pack));
        std::fclose(pack);
        head.insert(head.end(), tail.begin(), tail.end());
        all["pack"] = head;
        all["pack size"] = B(std::to_string(fs::file_size(item.path())));
    }
    return all;
}

// A patch whose directories must grow: new entries in a full directory, a
// new directory of more entries than a block holds, a file that shrinks.
Patch MakeCrowdedPatch()
{
    Patch p = MakePatch();
    for (int i = 0; i < 13; ++i) p.installedPack["Kivra_Pak\\Map\\m" + std::to_string(i)] = Noise(100, 20 + i);
    for (int i = 0; i < 20; ++i) p.patch["Kivra_Pak\\Many\\f" + std::to_string(i)] = Noise(300 * i, 40 + i);
    p.patch["Kivra_Pak\\Map\\m0"] = Noise(9000, 70);
    p.patch["Kivra_Pak\\Map\\m1"] = {};
    return p;
}

class NoRoom : public ::testing::TestWithParam<Patch (*)()> {};

// Named, so that the cases keep their names from one build to the next.
INSTANTIATE_TEST_SUITE_P(Patches, NoRoom, ::testing::Values(MakePatch, MakeCrowdedPatch),
                         [](const ::testing::TestParamInfo<NoRoom::ParamType>& info) {
                             return info.param == MakePatch ? "Plain" : "Crowded";
                         });

TEST_P(NoRoom, APatchIsAppliedWholeOrRefusedBeforeAnythingIsWrittenNeverStoppedHalfWay)
{
    const Patch patch = GetParam()();
    const Holding patched = patch.Patched();
    // A run that meets the end of the table half-way has failed this test.
    const PackFullFunction stop = packFullStop;
    packFullStop = [](const char*) {
        std::fputs("the game pack ran full half-way through the run\n", stderr);
        std::abort();
    };
    // From too little room to enough: every run is refused with nothing
    // changed, or applies whole, and more room never refuses.
    bool appliedBefore = false;
    int refused = 0;
    int applied = 0;
    long needed = -1;  // as the last refusal said
    for (std::int32_t free = 0; free <= 100 && applied < 3; ++free) {
        SCOPED_TRACE(std::to_string(free) + " blocks free");
        testutil::TempDir dir;
        patch.Lay(dir.path());
        FillGamePack(dir.path(), free);
        const Files before = Changeable(fs::path(dir.path()) / "game");
        Recorder ui;
        if (RunPatch(dir.path(), ui)) {
            // The room it said it needs is the room it takes: no less, or it
            // would have stopped half-way, and no more.
            if (!appliedBefore) {
                EXPECT_EQ(free, needed);
            }
            appliedBefore = true;
            ++applied;
            const Holding held = Read(fs::path(dir.path()) / "game");
            EXPECT_EQ(held.pack, patched.pack);
            EXPECT_EQ(held.disk, patched.disk);
            continue;
        }
        ++refused;
        EXPECT_FALSE(appliedBefore) << "less room applied it, more refused it";
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].rfind("The game pack has no room for this patch.\n(", 0), 0u) << ui.shown[0];
        const std::size_t number = ui.shown[0].rfind(": ") + 2;
        needed = std::strtol(ui.shown[0].c_str() + number, nullptr, 10);
        EXPECT_NE(ui.shown[0].find(" blocks needed, " + std::to_string(free) + " free)"), std::string::npos)
            << ui.shown[0];
        EXPECT_EQ(Changeable(fs::path(dir.path()) / "game"), before);
    }
    packFullStop = stop;
    EXPECT_TRUE(appliedBefore);
    EXPECT_GT(refused, 10);
}

TEST(NoRoomOnDisk, ADiskWithoutRoomRefusesThePatch)
{
    const Patch patch = MakePatch();
    const DiskCalls real = diskCalls;
    for (const std::uint64_t free : {std::uint64_t{1000}, std::uint64_t{1} << 40}) {
        testutil::TempDir dir;
        patch.Lay(dir.path());
        const Files before = Everything(fs::path(dir.path()) / "game");
        static std::uint64_t reported;
        reported = free;
        // The game's disk is short of room; the patch folder has plenty to
        // unpack into.
        diskCalls.freeSpace = [](const char* directory, std::uint64_t* bytes) {
            *bytes = std::strstr(directory, "game") ? reported : std::uint64_t{1} << 40;
            return 0;
        };
        Recorder ui;
        const bool completed = RunPatch(dir.path(), ui);
        diskCalls = real;
        EXPECT_EQ(completed, free > 1000);
        if (completed) continue;
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].rfind("The disk has no room for this patch.\n(", 0), 0u) << ui.shown[0];
        EXPECT_EQ(Everything(fs::path(dir.path()) / "game"), before);
    }
}

}  // namespace
