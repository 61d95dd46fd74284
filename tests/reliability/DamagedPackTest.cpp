// A catalogue of damaged packs, each tried with every pak verb and with
// kivra-update (as the game's pack, and as the patch's): every run ends in
// bounded time, without a crash, with a clear error or a bounded result, and
// writes nothing outside the pack's own blocks. A damaged patch never
// damages the game's pack. `pak fsck` finds every damage, and
// `pak fsck --repair` frees exactly the blocks that no chain holds.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "pack/PackCheck.h"
#include "reliability/ReliabilitySupport.h"

namespace {

using namespace patchrun;
using namespace reliability;
using testpack::Entry;
using testpack::Image;

// The sound pack every damage starts from: an old game's pack (1.0.0.47, so
// that the patcher's rewrite pass walks it).
//
//   block 0   root: Kivra_Pak (1), a.txt (10), NeedVersion.txt (11)
//   block 1   Kivra_Pak: Version.txt (2), Map (3), big.dat (7-9)
//   block 3   Map: m1.map (4-5), m2.map (6)
struct Sound {
    Image image;
    Sound()
    {
        image.AddDirectory(0, 1, "Kivra_Pak");
        image.AddFile(1, 2, "Version.txt", B("1.0.0.47"));
        image.AddDirectory(1, 3, "Map");
        image.AddFile(3, 2, "m1.map", Noise(3000, 1));
        image.AddFile(3, 3, "m2.map", Noise(100, 2));
        image.AddFile(1, 4, "big.dat", Noise(5000, 3));
        image.AddFile(0, 2, "a.txt", B("hello"));
        image.AddFile(0, 3, "NeedVersion.txt", B("1.0.0.1"));
    }
};

struct Damage {
    const char* what;
    std::function<void(Image&)> apply;
    bool sound = false;  // fsck finds nothing wrong
};

// Changes one field of the entry at (block, slot).
void Edit(Image& image, std::size_t block, std::size_t slot, const std::function<void(Entry&)>& change)
{
    Entry e = image.GetEntry(block, slot);
    change(e);
    image.PutEntry(block, slot, e);
}

std::vector<Damage> Catalogue()
{
    const std::size_t dataAt = testpack::kDataAt;
    return {
        {"header cut short", [](Image& i) { i.bytes.resize(300); }},
        {"table cut short", [](Image& i) { i.bytes.resize(512 + 1000); }},
        {"data area cut inside the root", [=](Image& i) { i.bytes.resize(dataAt + 1000); }},
        {"data area cut inside a file", [](Image& i) { i.bytes.resize(i.At(8) + 100); }},
        {"banner in small letters", [](Image& i) { i.bytes[0] = 'p'; }},
        {"banner without its line feed", [](Image& i) { i.bytes[21] = 0; }},
        {"banner not terminated", [](Image& i) { i.bytes[22] = 'X'; }},
        {"999 table sectors", [](Image& i) { testpack::Put32(i.bytes, 431, 999); }},
        {"0 table sectors", [](Image& i) { testpack::Put32(i.bytes, 431, 0); }},
        {"root not in use", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.inUse = 0; }); }},
        {"root named \"..\"", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.name = ".."; }); }},
        {"root naming block 3", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.first = 3; }); }},
        {"root of size 1", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.size = 1; }); }},
        {"root of type 2", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.type = 2; }); }},
        {"root of type 3", [](Image& i) { Edit(i, 0, 0, [](Entry& e) { e.type = 3; }); }},
        {"directory chain loops", [](Image& i) { i.SetLink(3, 3); }},
        {"file chain loops", [](Image& i) { i.SetLink(9, 7); }},
        {"file chain runs into a free block", [](Image& i) { i.SetLink(8, -1); }},
        {"directory chain runs into a free block",
         [](Image& i) { i.SetLink(3, static_cast<std::int32_t>(i.AddBlock())); }},
        {"file links past the data area", [](Image& i) { i.SetLink(4, 5000); }},
        {"directory links past the data area", [](Image& i) { i.SetLink(1, 127999); }},
        {"first block past the table", [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.first = 200000; }); }},
        {"negative first block", [](Image& i) { Edit(i, 0, 2, [](Entry& e) { e.first = -7; }); }},
        {"two files cross-linked", [](Image& i) { i.SetLink(4, 8); }},
        {"a file cross-linked with a directory", [](Image& i) { Edit(i, 0, 2, [](Entry& e) { e.first = 3; }); }},
        {"a directory that contains itself",
         [](Image& i) {
             i.PutEntry(3, 4, Entry{1, "Loop", 0, 0, 0, 0, 3, 0, 1, 0});
         }},
        {"directories that contain themselves and their parents",
         [](Image& i) {
             i.PutEntry(3, 4, Entry{1, "L1", 0, 0, 0, 0, 3, 0, 1, 0});
             i.PutEntry(3, 5, Entry{1, "L2", 0, 0, 0, 0, 3, 0, 1, 0});
             i.PutEntry(3, 6, Entry{1, "Up", 0, 0, 0, 0, 1, 0, 1, 0});
             i.PutEntry(1, 5, Entry{1, "Top", 0, 0, 0, 0, 0, 0, 1, 0});
         }},
        {"a name without a terminator",
         [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.name = std::string(95, 'N'); }); }},
        {"a name with a backslash", [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.name = "m\\2.map"; }); }},
        {"an empty name", [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.name = ""; }); }},
        {"two names equal but for case", [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.name = "M1.MAP"; }); }},
        {"size beyond the chain", [](Image& i) { Edit(i, 1, 4, [](Entry& e) { e.size = 1000000000; }); }},
        {"size 4 GB",
         [](Image& i) {
             Edit(i, 3, 2, [](Entry& e) {
                 e.size = 0xFFFFFFFFu;
                 e.contiguous = 0;
             });
         }},
        {"in-use byte 2", [](Image& i) { Edit(i, 3, 2, [](Entry& e) { e.inUse = 2; }); }},
        {"in-use byte 255 on a directory", [](Image& i) { Edit(i, 1, 3, [](Entry& e) { e.inUse = 255; }); }},
        {"type byte 0", [](Image& i) { Edit(i, 3, 3, [](Entry& e) { e.type = 0; }); }},
        {"type byte 3", [](Image& i) { Edit(i, 0, 2, [](Entry& e) { e.type = 3; }); }},
        {"type byte 255 on a directory", [](Image& i) { Edit(i, 1, 3, [](Entry& e) { e.type = 255; }); }},
        {"contiguous byte on a split chain",
         [](Image& i) {
             i.SetLink(7, 9);
             i.SetLink(9, 8);
             i.SetLink(8, 0);
         }},
        {"no \".\" in a directory", [](Image& i) { Edit(i, 3, 0, [](Entry& e) { e.inUse = 0; }); }},
        {"\"..\" naming the wrong directory", [](Image& i) { Edit(i, 3, 1, [](Entry& e) { e.first = 3; }); }},
        {"the game's directory a file", [](Image& i) { Edit(i, 0, 1, [](Entry& e) { e.type = 2; }); }},
        {"table entries past the data area in use",
         [](Image& i) {
             i.SetLink(500, 0);
             i.SetLink(127999, 5);
         }},
        {"lost blocks",
         [](Image& i) {
             const std::size_t a = i.AddBlock();
             const std::size_t b = i.AddBlock();
             i.SetLink(a, static_cast<std::int32_t>(b));
             i.SetLink(b, 3);
         }},
        {"a partial block at the end", [](Image& i) { i.bytes.resize(i.bytes.size() + 700, 0xAB); }, true},
    };
}

// The bytes that tell whether a writer kept to the pack's blocks: the
// header, and (for a readable pack) the length of the file.
void ExpectKeptInside(const Bytes& before, const Bytes& after, std::size_t growthBlocks)
{
    ASSERT_GE(after.size(), std::min<std::size_t>(before.size(), 512));
    EXPECT_TRUE(std::equal(
        before.begin(), before.begin() + static_cast<long>(std::min<std::size_t>(before.size(), 512)), after.begin()));
    EXPECT_LE(after.size(), before.size() + growthBlocks * testpack::kBlock);
}

class DamagedPack : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(dir / "put.bin", Noise(4500, 9));
        fs::create_directories(dir / "tree/Sub");
        WriteFile(dir / "tree/one.txt", B("one"));
        WriteFile(dir / "tree/Sub/two.bin", Noise(2500, 10));
    }

    // Runs pak with verb and args over a copy of image; the pack's bytes after.
    Bytes Pak(const Bytes& image, const std::vector<std::string>& args, Outcome& outcome)
    {
        const fs::path pack = dir / "damaged.pak";
        WriteFile(pack, image);
        std::vector<std::string> argv = {PAK};
        argv.insert(argv.end(), args.begin(), args.end());
        for (std::string& a : argv)
            if (a == "PACK") a = pack.string();
        fs::remove_all(dir / "out");
        outcome = RunProgram(argv, dir, 30000);
        return ReadFile(pack);
    }

    testutil::TempDir scratch;
    fs::path dir = scratch.path();
};

TEST_F(DamagedPack, EveryVerbEndsWithAClearErrorOrABoundedResult)
{
    struct Verb {
        std::vector<std::string> args;
        bool writes;
    };
    const std::vector<Verb> verbs = {
        {{"info", "PACK"}, false},
        {{"ls", "PACK"}, false},
        {{"ls", "PACK", "Kivra_Pak/Map"}, false},
        {{"tree", "PACK"}, false},
        {{"get", "PACK", "Kivra_Pak/Map/m1.map", "out"}, false},
        {{"cat", "PACK", "Kivra_Pak/big.dat"}, false},
        {{"export", "PACK", "out"}, false},
        {{"mkdir", "PACK", "Kivra_Pak/New/Deeper"}, true},
        {{"put", "PACK", "put.bin", "Kivra_Pak/Map/m1.map"}, true},
        {{"put", "PACK", "put.bin", "Kivra_Pak/fresh.bin"}, true},
        {{"rm", "PACK", "Kivra_Pak/Map/m2.map"}, true},
        {{"import", "PACK", "tree", "Kivra_Pak"}, true},
    };
    const Bytes sound = Sound().image.bytes;
    int tried = 0;
    for (const Damage& damage : Catalogue()) {
        SCOPED_TRACE(damage.what);
        Image image = Sound().image;
        damage.apply(image);
        ASSERT_NE(image.bytes, sound);
        ++tried;
        for (const Verb& verb : verbs) {
            SCOPED_TRACE(verb.args[0] + (verb.args.size() > 2 ? " " + verb.args[2] : ""));
            Outcome o;
            const Bytes after = Pak(image.bytes, verb.args, o);
            ASSERT_TRUE(o.status == 0 || o.status == 1) << o.status << o.err;
            if (o.status == 1) {
                EXPECT_EQ(o.err.rfind("pak: ", 0), 0u) << o.err;
            }
            if (verb.writes)
                ExpectKeptInside(image.bytes, after, 8);
            else
                EXPECT_EQ(after, image.bytes);
        }

        // fsck finds the damage; the repair frees the lost blocks and the
        // table's entries past the data area, ends the chains that lead out
        // of it, and changes nothing else.
        Outcome check;
        EXPECT_EQ(Pak(image.bytes, {"fsck", "PACK"}, check), image.bytes);
        EXPECT_EQ(check.status, damage.sound ? 0 : 1) << check.out << check.err;
        const fs::path copy = dir / "check.pak";
        WriteFile(copy, image.bytes);
        const pack::CheckResult before = pack::CheckPackFile(copy.c_str());
        Outcome repair;
        Bytes repaired = Pak(image.bytes, {"fsck", "--repair", "PACK"}, repair);
        ASSERT_TRUE(repair.status == 0 || repair.status == 1) << repair.err;
        ASSERT_EQ(repaired.size(), image.bytes.size());
        Bytes expected = image.bytes;
        for (const std::int32_t block : before.lostBlocks)
            testpack::Put32(expected, 512 + 4 * static_cast<std::size_t>(block), 0xFFFFFFFFu);
        const std::size_t blocks = before.readable ? static_cast<std::size_t>(before.blockCount) : 0;
        bool tail = false;
        for (std::size_t b = 0; before.readable && b < 128000; ++b) {
            const std::int32_t link = static_cast<std::int32_t>(testpack::Get32(expected, 512 + 4 * b));
            const bool outside = link != -1 && (link < 0 || static_cast<std::size_t>(link) >= blocks);
            if (b >= blocks ? link != -1 : outside && link != 0) {
                testpack::Put32(expected, 512 + 4 * b, b >= blocks ? 0xFFFFFFFFu : 0u);
                tail = true;
            }
        }
        EXPECT_EQ(repaired, expected) << before.lostBlocks.size() << " lost";
        if (before.readable) {
            WriteFile(copy, repaired);
            const pack::CheckResult after = pack::CheckPackFile(copy.c_str());
            if (!tail) {
                EXPECT_TRUE(after.lostBlocks.empty());
                EXPECT_EQ(after.problemCount, before.problemCount);
            }
        }
    }
    std::cout << "damaged packs tried with every pak verb: " << tried << "\n";
}

class DamagedPackPatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        installation.Lay();
        MakePack(installation.patch / "Update.pak", {{"NeedVersion.txt", B("1.0.0.1")},
                                                     {"Kivra_Pak\\Version.txt", B("1.0.2.30")},
                                                     {"Kivra_Pak\\Map\\m1.map", Noise(7000, 4)},
                                                     {"Kivra_Pak\\New\\n.bin", Noise(3000, 5)},
                                                     {"Bin\\tool.dll", Noise(9000, 6)}});
        patch = ReadFile(installation.patch / "Update.pak");
    }

    testutil::TempDir root;
    Installation installation{root.path()};
    Bytes patch;
};

TEST_F(DamagedPackPatch, ThePatcherEndsAndADamagedPatchLeavesTheGamePackSound)
{
    int tried = 0;
    int completed = 0;
    for (const Damage& damage : Catalogue()) {
        SCOPED_TRACE(damage.what);
        Image image = Sound().image;
        damage.apply(image);
        ++tried;

        // As the game's pack.
        WriteFile(installation.GamePack(), image.bytes);
        WriteFile(installation.patch / "Update.pak", patch);
        const Outcome asGame = installation.Run();
        EXPECT_TRUE(asGame.status == 0 || asGame.status == 1) << asGame.status << asGame.out << asGame.err;
        completed += asGame.status == 0;
        ExpectKeptInside(image.bytes, ReadFile(installation.GamePack()), 64);

        // As the patch's, over a sound game pack.
        WriteFile(installation.GamePack(), Sound().image.bytes);
        WriteFile(installation.patch / "Update.pak", image.bytes);
        const Outcome asPatch = installation.Run();
        EXPECT_TRUE(asPatch.status == 0 || asPatch.status == 1) << asPatch.status << asPatch.out << asPatch.err;
        completed += asPatch.status == 0;
        EXPECT_EQ(ReadFile(installation.patch / "Update.pak"), image.bytes);
        const Outcome check = Fsck(installation.GamePack());
        EXPECT_EQ(check.status, 0) << check.out;
    }
    std::cout << "damaged packs tried with kivra-update: " << tried << " as the game's, " << tried
              << " as the patch's; " << completed << " runs completed, the others stopped with a message\n";
}

}  // namespace
