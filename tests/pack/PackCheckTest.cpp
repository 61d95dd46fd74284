// The pack checker on packs built byte by byte: one broken rule at a time,
// lost blocks apart from problems, unusable headers, and packs the engine
// itself wrote.
#include <gtest/gtest.h>

#include <functional>

#include "pack/PackCheck.h"
#include "support/PackFixture.h"
#include "support/PackImage.h"
#include "support/TempDir.h"

using testpack::Entry;
using testpack::Image;

namespace {

pack::CheckResult Check(const Image& image)
{
    testutil::TempDir dir;
    testutil::WriteFile(dir / "check.pak", image.bytes);
    return pack::CheckPackFile((dir / "check.pak").c_str());
}

// Root: directory "d" (block 1) with file "f" (blocks 2 and 3, 3000 bytes);
// file "g" (block 4, 10 bytes).
Image Base()
{
    Image image;
    image.AddDirectory(0, 1, "d");
    image.AddFile(1, 2, "f", Pattern(3000));
    image.AddFile(0, 2, "g", Pattern(10));
    return image;
}

Entry File(const std::string& name, std::int32_t first, std::uint32_t size)
{
    return Entry{1, name, 0, 0, 0, 0, first, size, 2, 0};
}
Entry Dir(const std::string& name, std::int32_t first) { return Entry{1, name, 0, 0, 0, 0, first, 0, 1, 0}; }

TEST(PackCheck, WellFormedPacksHaveNothingToReport)
{
    Image image = Base();
    for (std::size_t slot = 3; slot < 16; ++slot)
        image.AddFile(1, slot, "n" + std::to_string(slot), Pattern(slot * 300));
    // A seventeenth entry in a second, linked block of "d".
    const std::size_t more = image.AddBlock();
    image.SetLink(1, static_cast<std::int32_t>(more));
    image.SetLink(more, 0);
    image.AddFile(more, 0, "seventeenth", {});
    image.PutEntry(more, 1, Entry{0, "deleted", 0, 0, 0, 0, 2, 99, 2, 1});  // freed slots keep their bytes

    for (const Image& clean : {Image(), Base(), image}) {
        const pack::CheckResult result = Check(clean);
        EXPECT_TRUE(result.readable);
        EXPECT_TRUE(result.Clean()) << (result.problems.empty() ? "" : result.problems[0]);
        EXPECT_EQ(result.blockCount, static_cast<std::int32_t>(clean.Blocks()));
        EXPECT_EQ(result.usedBlocks, static_cast<std::int32_t>(clean.Used()));
    }
}

TEST(PackCheck, EachBrokenRuleIsReportedOnce)
{
    const struct {
        const char* problem;
        std::function<void(Image&)> damage;
        std::vector<std::int32_t> lost;
    } cases[] = {
        {"Z:\\d\\f: chain loops: block 3 links back to block 2", [](Image& i) { i.SetLink(3, 2); }, {}},
        {"Z:\\d: chain loops: block 1 links back to block 1", [](Image& i) { i.SetLink(1, 1); }, {}},
        {"Z:\\d\\f: cross-linked with Z:\\h at block 3", [](Image& i) { i.PutEntry(0, 3, File("h", 3, 2048)); }, {}},
        {"Z:\\d\\f: block 2 links to free block 5",
         [](Image& i) { i.SetLink(2, static_cast<std::int32_t>(i.AddBlock())); },
         {3}},
        {"Z:\\d\\f: block 2 links to 500, outside the data area", [](Image& i) { i.SetLink(2, 500); }, {3}},
        {"Z:\\d\\f: block 2 links to -7, outside the data area", [](Image& i) { i.SetLink(2, -7); }, {3}},
        {"Z:\\g: first block 5 is free",
         [](Image& i) { i.PutEntry(0, 2, File("g", static_cast<std::int32_t>(i.AddBlock()), 10)); },
         {4}},
        {"Z:\\g: first block 99 is outside the data area", [](Image& i) { i.PutEntry(0, 2, File("g", 99, 10)); }, {4}},
        {"Z:\\d\\sub: directory contains itself: it is Z:\\d", [](Image& i) { i.PutEntry(1, 3, Dir("sub", 1)); }, {}},
        {"Z:\\d\\up: directory contains itself: it is Z:\\", [](Image& i) { i.PutEntry(1, 3, Dir("up", 0)); }, {}},
        {"Z:\\e: directory reached twice: it is also Z:\\d", [](Image& i) { i.PutEntry(0, 3, Dir("e", 1)); }, {}},
        {"Z:\\e: cross-linked with Z:\\g at block 4", [](Image& i) { i.PutEntry(0, 3, Dir("e", 4)); }, {}},
        {"Z:\\d: \".\" names block 0, not 1", [](Image& i) { i.PutEntry(1, 0, Dir(".", 0)); }, {}},
        {"Z:\\d: no \".\" entry in slot 0", [](Image& i) { i.bytes[i.At(1, 0)] = 0; }, {}},
        {"Z:\\d: \"..\" names block 1, not 0", [](Image& i) { i.PutEntry(1, 1, Dir("..", 1)); }, {}},
        {"Z:\\d: \"..\" has type 2 and size 0, not a directory's", [](Image& i) { i.bytes[i.At(1, 1) + 124] = 2; }, {}},
        {"Z:\\: \".\" has in-use byte 2", [](Image& i) { i.bytes[i.At(0, 0)] = 2; }, {}},
        {"Z:\\ block 0 slot 3: \"..\" out of place", [](Image& i) { i.PutEntry(0, 3, Dir("..", 0)); }, {}},
        {"Z:\\G: name appears more than once in its directory (ignoring case)",
         [](Image& i) { i.PutEntry(0, 3, File("G", 0, 0)); },
         {}},
        {"Z:\\ block 0 slot 3: name is empty", [](Image& i) { i.PutEntry(0, 3, File("", 0, 0)); }, {}},
        {"Z:\\ block 0 slot 3: name is not terminated",
         [](Image& i) { i.PutEntry(0, 3, File(std::string(95, 'x'), 0, 0)); },
         {}},
        {"Z:\\a\\b: name holds a backslash", [](Image& i) { i.PutEntry(0, 3, File("a\\b", 0, 0)); }, {}},
        {"Z:\\g: in-use byte is 2", [](Image& i) { i.bytes[i.At(0, 2)] = 2; }, {}},
        {"Z:\\g: type byte is 3", [](Image& i) { i.bytes[i.At(0, 2) + 124] = 3; }, {}},
        {"Z:\\g: type byte is 0", [](Image& i) { i.bytes[i.At(0, 2) + 124] = 0; }, {}},
        {"Z:\\g: size 2049 needs 2 blocks, but the chain has 1",
         [](Image& i) { i.PutEntry(0, 2, File("g", 4, 2049)); },
         {}},
        {"Z:\\g: size 0 needs 0 blocks, but the chain has 1", [](Image& i) { i.PutEntry(0, 2, File("g", 4, 0)); }, {}},
        {"Z:\\g: size 10 needs 1 blocks, but the chain has 0",
         [](Image& i) { i.PutEntry(0, 2, File("g", 0, 10)); },
         {4}},
        {"Z:\\d\\f: marked contiguous, but block 3 links to 2",
         [](Image& i) {
             i.SetLink(3, 2);
             i.SetLink(2, 0);
             i.PutEntry(1, 2, Entry{1, "f", 0, 0, 0, 0, 3, 3000, 2, 1});
         },
         {}},
        {"Z:\\g: contiguous byte is 2", [](Image& i) { i.bytes[i.At(0, 2) + 125] = 2; }, {}},
        {"Z:\\d: directory has size 5",
         [](Image& i) {
             i.PutEntry(0, 1, Entry{1, "d", 0, 0, 0, 0, 1, 5, 1, 0});
         },
         {}},
        {"table: entries for blocks 10-11, past the data area, are not free",
         [](Image& i) {
             i.SetLink(10, 0);
             i.SetLink(11, 12);
         },
         {}},
    };
    for (const auto& c : cases) {
        Image image = Base();
        c.damage(image);
        const pack::CheckResult result = Check(image);
        EXPECT_TRUE(result.readable) << c.problem;
        EXPECT_EQ(result.problemCount, 1) << c.problem;
        EXPECT_EQ(result.problems, std::vector<std::string>{c.problem}) << c.problem;
        EXPECT_EQ(result.lostBlocks, c.lost) << c.problem;
    }
}

TEST(PackCheck, BlocksThatNoChainHoldsAreLostNotProblems)
{
    Image image = Base();
    // As a stopped writer leaves them: a chain stored before the entry that
    // would name it, one block linking to a block still free, one to a block
    // that a later file took.
    const std::size_t a = image.AddBlock();
    const std::size_t b = image.AddBlock();
    image.SetLink(a, static_cast<std::int32_t>(b));
    image.SetLink(b, 0);
    const std::size_t c = image.AddBlock();
    image.SetLink(c, static_cast<std::int32_t>(image.AddBlock()));
    const std::size_t d = image.AddBlock();
    image.SetLink(d, 4);
    const pack::CheckResult result = Check(image);
    EXPECT_EQ(result.problemCount, 0);
    EXPECT_EQ(result.lostBlocks, (std::vector<std::int32_t>{5, 6, 7, 9}));
    EXPECT_FALSE(result.Clean());
}

TEST(PackCheck, UnusableHeadersStopTheCheck)
{
    const struct {
        const char* problem;
        std::function<void(Image&)> damage;
    } cases[] = {
        {"header: banner is not \"Pen Dix File Manager!\\n\"", [](Image& i) { i.bytes[0] = 'p'; }},
        {"header: banner is not \"Pen Dix File Manager!\\n\"", [](Image& i) { i.bytes[22] = '!'; }},
        {"header: table length is 999 sectors, not 1000", [](Image& i) { testpack::Put32(i.bytes, 431, 999); }},
        {"header: cannot be read", [](Image& i) { i.bytes.resize(400); }},
        {"table: cannot be read", [](Image& i) { i.bytes.resize(100000); }},
        {"data area: holds no whole block", [](Image& i) { i.bytes.resize(testpack::kDataAt + 2047); }},
        {"root: block 0 slot 0 is not the root's \".\" entry", [](Image& i) { i.PutEntry(0, 0, Dir(".", 3)); }},
        {"root: block 0 slot 0 is not the root's \".\" entry", [](Image& i) { i.bytes[i.At(0, 0) + 124] = 3; }},
    };
    for (const auto& c : cases) {
        Image image = Base();
        c.damage(image);
        const pack::CheckResult result = Check(image);
        EXPECT_FALSE(result.readable) << c.problem;
        EXPECT_EQ(result.problems, std::vector<std::string>{c.problem});
        EXPECT_TRUE(result.lostBlocks.empty());
    }
    // A trailing part block is not a fault.
    Image image = Base();
    image.bytes.resize(image.bytes.size() + 100);
    EXPECT_TRUE(Check(image).Clean());
}

TEST(PackCheck, EndsOnLongLoopsAndListsAtMostTheCap)
{
    Image image = Base();
    // A file whose 3000-block chain runs back to its start, and a directory
    // whose chain runs into it.
    const std::size_t first = image.AddBlock();
    for (std::size_t b = first; b < first + 3000; ++b) {
        if (b > first) image.AddBlock();
        image.SetLink(b, static_cast<std::int32_t>(b + 1 < first + 3000 ? b + 1 : first));
    }
    image.PutEntry(0, 3, File("long", static_cast<std::int32_t>(first), 3000 * 2048));
    image.SetLink(1, static_cast<std::int32_t>(first + 1500));
    // 1500 separate stray table entries past the data area.
    for (std::size_t b = image.Blocks() + 1; b < image.Blocks() + 3001; b += 2) image.SetLink(b, 0);

    // The table's problems come first; the loop and the cross-link are
    // counted past the cap.
    const pack::CheckResult result = Check(image);
    EXPECT_EQ(result.problemCount, 1502);
    EXPECT_EQ(result.problems.size(), pack::kMaxListedProblems);
    EXPECT_TRUE(result.lostBlocks.empty());
}

class PackCheckOnEngine : public FreshPack {};

TEST_F(PackCheckOnEngine, PacksTheEngineWritesAreClean)
{
    ASSERT_EQ(pack->MakeDir("Z:\\a\\b\\c"), 0);
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(Put(("Z:\\a\\f" + std::to_string(i)).c_str(), Pattern(static_cast<std::size_t>(i) * 1500, i)));
    // Two files written at once interleave their blocks.
    const int x = pack->OpenFile("Z:\\a\\b\\x", 1, 1);
    const int y = pack->OpenFile("Z:\\a\\b\\y", 1, 1);
    const std::vector<std::uint8_t> data = Pattern(2048);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(pack->Write(data.data(), data.size(), 1, x), 1u);
        ASSERT_EQ(pack->Write(data.data(), data.size(), 1, y), 1u);
    }
    pack->CloseFile(x);
    pack->CloseFile(y);
    for (int i = 0; i < 40; i += 3) ASSERT_TRUE(Put(("Z:\\a\\F" + std::to_string(i)).c_str(), Pattern(5000)));
    ASSERT_EQ(pack->ChangeDir("Z:\\a"), 0);
    for (int i = 1; i < 40; i += 4) ASSERT_EQ(pack->RemoveFile(("f" + std::to_string(i)).c_str()), 0);
    pack->Close();

    const pack::CheckResult result = pack::CheckPackFile(path.c_str());
    EXPECT_TRUE(result.Clean()) << (result.problems.empty() ? "" : result.problems[0]);
    EXPECT_EQ(result.usedBlocks, static_cast<std::int32_t>(Stored().Used()));
}

}  // namespace
