// The directory tree: paths, lookups, new directories and listings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/PackFind.h"
#include "support/PackFixture.h"
#include "support/PackProbe.h"

using pack::DirEntry;
using testpack::Entry;

namespace {

using PackDirectory = FreshPack;

std::vector<std::string> List(CPackFileManager* engine, const char* pattern, std::uint8_t mask)
{
    std::vector<std::string> names;
    CPackFind find;
    for (int r = find.FindFirst(engine, pattern, mask); r == 0; r = find.FindNext()) names.push_back(find.name);
    EXPECT_EQ(find.FindNext(), 1);
    return names;
}

TEST(SplitFirst, CutsAtTheFirstSeparator)
{
    char first[kMaxPath];
    char rest[kMaxPath];
    EXPECT_EQ(PackEngineProbe::SplitFirst("", first, rest), 0);
    EXPECT_EQ(PackEngineProbe::SplitFirst("Z:\\a\\b", first, rest), 2);
    EXPECT_STREQ(first, "Z:\\");
    EXPECT_STREQ(rest, "a\\b");
    EXPECT_EQ(PackEngineProbe::SplitFirst("Z:a", first, rest), 2);
    EXPECT_STREQ(first, "Z:");
    EXPECT_STREQ(rest, "a");
    EXPECT_EQ(PackEngineProbe::SplitFirst("a\\", first, rest), 1);
    EXPECT_STREQ(first, "a\\");
    EXPECT_STREQ(rest, "");
    EXPECT_EQ(PackEngineProbe::SplitFirst("name", first, rest), 1);
    EXPECT_STREQ(first, "name");
    const std::string longName(120, 'x');
    EXPECT_EQ(PackEngineProbe::SplitFirst((longName + "\\b").c_str(), first, rest), 2);
    EXPECT_EQ(std::string(first), std::string(94, 'x'));
    EXPECT_STREQ(rest, "b");
}

TEST_F(PackDirectory, ChangeDirWalksAndRestoresOnFailure)
{
    ASSERT_EQ(pack->MakeDir("Z:\\a\\b\\c"), 0);
    ASSERT_EQ(pack->ChangeDir("Z:\\A\\B"), 0);
    const std::int32_t b = pack->GetCurrentDir();
    EXPECT_NE(b, 0);

    EXPECT_EQ(pack->ChangeDir("Z:"), 0);
    EXPECT_EQ(pack->GetCurrentDir(), b);
    EXPECT_EQ(pack->ChangeDir("\\"), 0);
    EXPECT_EQ(pack->ChangeDir(""), 0);
    EXPECT_EQ(pack->GetCurrentDir(), b);
    EXPECT_EQ(pack->ChangeDir("Z:c"), 0);
    EXPECT_EQ(pack->ChangeDir(".."), 0);
    EXPECT_EQ(pack->GetCurrentDir(), b);
    EXPECT_EQ(pack->ChangeDir("\\c"), 0);  // a leading backslash is not the root
    EXPECT_EQ(pack->ChangeDir("z:\\"), 0);
    EXPECT_EQ(pack->GetCurrentDir(), 0);
    EXPECT_EQ(pack->ChangeDir(".."), -1);
    EXPECT_EQ(pack->ChangeDir("."), 0);
    EXPECT_EQ(pack->GetCurrentDir(), 0);

    // The first component exists, the second not: nothing moves.
    EXPECT_EQ(pack->ChangeDir("a\\missing"), -1);
    EXPECT_EQ(pack->GetCurrentDir(), 0);
    // A file is no directory.
    ASSERT_TRUE(Put("Z:\\a\\file", {1}));
    EXPECT_EQ(pack->ChangeDir("a\\file"), -1);
    EXPECT_EQ(pack->GetCurrentDir(), 0);

    pack->Close();
    EXPECT_EQ(pack->ChangeDir("Z:\\"), -1);
}

TEST_F(PackDirectory, MakeDirCreatesNestedDirectoriesOnce)
{
    ASSERT_EQ(pack->MakeDir("Z:\\one\\two\\three"), 0);
    EXPECT_EQ(pack->GetCurrentDir(), 0);
    EXPECT_EQ(pack->BlockCount(), 4);
    ASSERT_EQ(pack->MakeDir("one\\TWO\\three"), 0);
    EXPECT_EQ(pack->BlockCount(), 4);

    // Names beginning with a dot create nothing, so the walk fails there.
    EXPECT_EQ(PackEngineProbe::MakeOneDir(*pack, ".hidden"), 0);
    EXPECT_EQ(pack->MakeDir(".hidden"), -1);
    EXPECT_EQ(PackEngineProbe::MakeOneDir(*pack, std::string(95, 'n').c_str()), -1);
    EXPECT_EQ(PackEngineProbe::MakeOneDir(*pack, "one"), -1);  // exists
    EXPECT_EQ(pack->BlockCount(), 4);

    // The stored bytes, read without the engine: each level is a directory
    // entry in its parent, with "." and ".." in its own first block.
    pack->Close();
    const testpack::Image image = Stored();
    std::size_t parent = 0;
    for (const char* name : {"one", "two", "three"}) {
        const std::size_t slot = parent == 0 ? 1 : 2;
        const Entry e = image.GetEntry(parent, slot);
        EXPECT_EQ(e.inUse, 1);
        EXPECT_EQ(e.name, name);
        EXPECT_EQ(e.type, 1);
        EXPECT_EQ(e.size, 0u);
        EXPECT_EQ(e.storedBlock, 0);
        EXPECT_EQ(e.storedSlot, 0);
        EXPECT_EQ(e.contiguous, 0);
        const std::size_t own = static_cast<std::size_t>(e.first);
        EXPECT_EQ(image.Link(own), 0);
        const Entry dot = image.GetEntry(own, 0);
        const Entry dotDot = image.GetEntry(own, 1);
        EXPECT_EQ(dot.name, ".");
        EXPECT_EQ(dot.first, e.first);
        EXPECT_EQ(dotDot.name, "..");
        EXPECT_EQ(dotDot.first, static_cast<std::int32_t>(parent));
        for (const Entry& d : {dot, dotDot}) {
            EXPECT_EQ(d.type, 1);
            EXPECT_EQ(d.timeHigh, e.timeHigh);
            EXPECT_EQ(d.timeLow, e.timeLow);
        }
        parent = own;
    }
    EXPECT_EQ(image.GetEntry(parent, 2).inUse, 0);
}

TEST_F(PackDirectory, SeventeenthEntryExtendsTheChainWithAZeroedBlock)
{
    ASSERT_EQ(pack->MakeDir("d"), 0);
    ASSERT_EQ(pack->ChangeDir("d"), 0);
    const std::int32_t d = pack->GetCurrentDir();
    for (int i = 0; i < 14; ++i) ASSERT_EQ(PackEngineProbe::MakeOneDir(*pack, ("sub" + std::to_string(i)).c_str()), 0);
    // 16 slots in use now: "." and ".." and 14 directories, each with a block.
    EXPECT_EQ(pack->BlockCount(), 2 + 14);
    EXPECT_EQ(pack->TableEntry(d), 0);
    ASSERT_EQ(PackEngineProbe::MakeOneDir(*pack, "seventeenth"), 0);
    const std::int32_t extension = pack->TableEntry(d);
    EXPECT_EQ(extension, 16);
    EXPECT_EQ(pack->TableEntry(extension), 0);
    EXPECT_EQ(pack->BlockCount(), 18);

    pack->Close();
    const testpack::Image image = Stored();
    EXPECT_EQ(image.Link(static_cast<std::size_t>(d)), extension);
    const Entry e = image.GetEntry(static_cast<std::size_t>(extension), 0);
    EXPECT_EQ(e.name, "seventeenth");
    EXPECT_EQ(e.first, 17);
    for (std::size_t i = 128; i < testpack::kBlock; ++i)
        ASSERT_EQ(image.bytes[image.At(static_cast<std::size_t>(extension)) + i], 0);
}

TEST_F(PackDirectory, ListingOrderAndPatterns)
{
    ASSERT_EQ(pack->MakeDir("fresh"), 0);
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*.*", 3), (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(List(pack.get(), "Z:\\*.*", 3), (std::vector<std::string>{".", "fresh"}));

    for (const char* name : {"a.txt", "readme", "b.html", "c.TXT", "*", "d.tx"})
        ASSERT_TRUE(Put((std::string("Z:\\fresh\\") + name).c_str(), {}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*.*", 2),
              (std::vector<std::string>{"a.txt", "readme", "b.html", "c.TXT", "*", "d.tx"}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*.TXT", 3), (std::vector<std::string>{"a.txt", "c.TXT"}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*.htm", 3), (std::vector<std::string>{}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*", 3), (std::vector<std::string>{"*"}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\README", 3), (std::vector<std::string>{"readme"}));
    EXPECT_EQ(List(pack.get(), "Z:\\fresh\\*.*", 1), (std::vector<std::string>{".", ".."}));
    // A directory part that cannot be entered lists the current directory.
    EXPECT_EQ(List(pack.get(), "Z:\\nowhere\\*.*", 3), (std::vector<std::string>{".", "fresh"}));
    // The listing does not follow the engine's current directory.
    CPackFind find;
    ASSERT_EQ(find.FindFirst(pack.get(), "Z:\\fresh\\*.txt", 2), 0);
    EXPECT_STREQ(find.name, "a.txt");
    ASSERT_EQ(pack->ChangeDir("Z:\\"), 0);
    ASSERT_EQ(find.FindNext(), 0);
    EXPECT_STREQ(find.name, "c.TXT");
}

TEST(NamePatterns, BaseAndExtension)
{
    NamePattern p;
    ParsePattern("readme.html", p);
    EXPECT_STREQ(p.base, "readme.html");
    EXPECT_STREQ(p.extension, "");
    ParsePattern("a.b.txt", p);
    EXPECT_STREQ(p.base, "a.b");
    EXPECT_STREQ(p.extension, "txt");
    ParsePattern("dir.x\\name", p);
    EXPECT_STREQ(p.base, "dir.x\\name");
    ParsePattern("*", p);
    EXPECT_FALSE(p.baseWildcard);
    ParsePattern("*.*", p);
    EXPECT_TRUE(p.baseWildcard);
    EXPECT_TRUE(p.extensionWildcard);
    ParsePattern(".*", p);
    EXPECT_FALSE(p.extensionWildcard);  // the base is empty

    NamePattern a;
    NamePattern b;
    ParsePattern("x.*", a);
    ParsePattern("X.Dat", b);
    EXPECT_EQ(MatchPattern(a, b), 0);
    EXPECT_EQ(MatchPattern(b, a), 0);
    ParsePattern("y.dat", b);
    EXPECT_EQ(MatchPattern(a, b), -1);
}

TEST_F(PackDirectory, CurrentPathTextAndItsLimit)
{
    char text[kMaxPath];
    EXPECT_EQ(pack->GetCurrentPath(text, 100), 1);
    EXPECT_STREQ(text, "Z:\\");
    ASSERT_EQ(pack->MakeDir("a\\b"), 0);
    ASSERT_EQ(pack->ChangeDir("a\\b"), 0);
    const std::int32_t b = pack->GetCurrentDir();
    EXPECT_EQ(pack->GetCurrentPath(text, 8), 1);
    EXPECT_STREQ(text, "Z:\\a\\b\\");
    EXPECT_EQ(pack->GetCurrentDir(), b);
    EXPECT_EQ(pack->GetCurrentPath(text, 7), 0);
    EXPECT_STREQ(text, "");

    // Deeper than the 260-byte work buffer: refused, nothing overflows.
    ASSERT_EQ(pack->ChangeDir("Z:\\"), 0);
    const std::string level(60, 'L');
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(pack->MakeDir(level.c_str()), 0);
        ASSERT_EQ(pack->ChangeDir(level.c_str()), 0);
    }
    std::fill(std::begin(text), std::end(text), 'x');
    EXPECT_EQ(pack->GetCurrentPath(text, kMaxPath), 0);
    EXPECT_STREQ(text, "");

    pack->Close();
    EXPECT_EQ(pack->GetCurrentPath(text, 4), 1);
    EXPECT_STREQ(text, "Z:\\");
}

TEST_F(PackDirectory, SplitPathRecognisesWholeDirectoryPaths)
{
    ASSERT_EQ(pack->MakeDir("Z:\\dir"), 0);
    char d[kMaxPath];
    char n[kMaxPath];
    pack->SplitPath("Z:\\dir", d, n);
    EXPECT_STREQ(d, "Z:\\dir");
    EXPECT_STREQ(n, "");
    pack->SplitPath("dir", d, n);  // without the drive it stays a name
    EXPECT_STREQ(d, "");
    EXPECT_STREQ(n, "dir");
    pack->SplitPath("Z:\\dir\\file.txt", d, n);
    EXPECT_STREQ(d, "Z:\\dir\\");
    EXPECT_STREQ(n, "file.txt");
    pack->SplitPath(".", d, n);
    EXPECT_STREQ(d, ".");
    EXPECT_STREQ(n, "");
    EXPECT_EQ(pack->GetCurrentDir(), 0);
}

TEST_F(PackDirectory, SetCurrentDirAcceptsOnlyDirectoryBlocks)
{
    ASSERT_EQ(pack->MakeDir("d"), 0);
    ASSERT_TRUE(Put("Z:\\f", Pattern(10)));
    EXPECT_EQ(pack->SetCurrentDir(1), 0);
    EXPECT_EQ(pack->SetCurrentDir(2), -1);  // the file's data block
    EXPECT_EQ(pack->SetCurrentDir(99), -1);
    EXPECT_EQ(pack->SetCurrentDir(-1), -1);
    EXPECT_EQ(pack->GetCurrentDir(), 1);
}

TEST(PackDamage, LoopingAndBrokenDirectoryChainsEndTheWalk)
{
    testutil::TempDir dir;
    const std::string path = dir / "loop.pak";
    // The root's chain runs 0 -> 1 -> 0... through a link back to block 1,
    // and a second directory's chain points past the data area.
    testpack::Image image(4);
    image.SetLink(0, 1);
    image.SetLink(1, 1);
    image.PutEntry(0, 1, Entry{1, "far", 0, 0, 0, 0, 2, 0, 1, 0});
    image.PutEntry(2, 0, Entry{1, ".", 0, 0, 0, 0, 2, 0, 1, 0});
    image.SetLink(2, 5000);
    testutil::WriteFile(path, image.bytes);

    auto pack = std::make_unique<CPackFileManager>();
    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    DirEntry e;
    EXPECT_EQ(pack->FindEntry("missing", 3, e), 0);
    EXPECT_EQ(pack->FindEntry("far", 1, e), 1);
    EXPECT_EQ(List(pack.get(), "*.*", 3), (std::vector<std::string>{".", "far"}));
    ASSERT_EQ(pack->ChangeDir("far"), 0);
    EXPECT_EQ(pack->FindEntry("x", 3, e), 0);
    // A full directory whose chain is broken is not extended.
    for (int s = 1; s < 16; ++s)
        image.PutEntry(2, static_cast<std::size_t>(s), Entry{1, "e" + std::to_string(s), 0, 0, 0, 0, 0, 0, 2, 1});
    testutil::WriteFile(path, image.bytes);
    ASSERT_EQ(pack->Open(path.c_str(), "rb+"), 1);
    ASSERT_EQ(pack->ChangeDir("far"), 0);
    EXPECT_EQ(PackEngineProbe::MakeOneDir(*pack, "new"), -1);
    EXPECT_EQ(pack->BlockCount(), 4);
}

TEST_F(PackDirectory, ReadOnlyPackCreatesNothing)
{
    pack->Close();
    ASSERT_EQ(pack->Open(path.c_str(), "rb"), 1);
    EXPECT_EQ(pack->MakeDir("a"), -1);
    pack->Close();
    EXPECT_EQ(testutil::ReadFile(path).size(), 514560u);
}

}  // namespace
