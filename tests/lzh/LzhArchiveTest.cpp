// The archive walk on hand-built archives: header levels and their damage,
// member files and their temporaries, names, and the fatal stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <unistd.h>

#include "lzh/LzhArchive.h"
#include "lzh/LzhCrc.h"
#include "lzh/LzhDecoder.h"
#include "lzh/LzhTestSupport.h"

using namespace lzhtest;

namespace {

Member Stored(const std::string& name, const Bytes& content)
{
    Member m;
    m.name = name;
    m.content = content;
    return m;
}

Member Compressed(const std::string& name, const Bytes& content)
{
    Member m;
    m.method = "-lh5-";
    m.name = name;
    m.content = content;
    m.packedData = EncodeBlock(Literals(content), static_cast<std::uint16_t>(content.size()));
    return m;
}

// Sets the level-0/1 checksum byte to match the S header bytes.
Bytes WithChecksum(Bytes member)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < member[0]; ++i) sum = static_cast<std::uint8_t>(sum + member[2 + i]);
    member[1] = sum;
    return member;
}

Bytes Pseudorandom(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(random());
    return out;
}

class LzhArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(out); }

    void Extract(const Bytes& archive)
    {
        testutil::WriteFile(archivePath, archive);
        InDirectory in(out);
        ExtractLzhArchive(archivePath.c_str());
    }

    // Extracts and yields what went to standard error.
    std::string ExtractTelling(const Bytes& archive)
    {
        ::testing::internal::CaptureStderr();
        Extract(archive);
        return ::testing::internal::GetCapturedStderr();
    }

    Bytes Read(const std::string& name) const { return testutil::ReadFile(out + "/" + name); }
    std::vector<std::string> Files() const { return FilesBelow(out); }

    testutil::TempDir temp;
    const std::string out = temp / "out";
    const std::string archivePath = temp / "update.lzh";
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(LzhArchiveTest, EmptyAndMissingArchivesWriteNothing)
{
    Extract({});
    EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::FileEnd);
    Extract({0});
    EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::EndMarker);
    {
        InDirectory in(out);
        ExtractLzhArchive("no such archive.lzh");
    }
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(lzhReader.archive, nullptr);
}

TEST_F(LzhArchiveTest, MembersOfEveryLevelAreWrittenInChunksWithOneDotEach)
{
    const Bytes big = Pseudorandom(20000, 1);
    const std::string dots = ExtractTelling(Archive({
        Level1(Stored("empty.txt", {})),
        Level1(Stored("big.bin", big)),
        Level0(Stored("zero.txt", Text("level 0"))),
        Level2(Stored("two.txt", Text("level 2"))),
        Level2(Compressed("packed.txt", Text("compressed, level 2"))),
    }));
    EXPECT_EQ(dots, "......");  // 8192 + 8192 + 3616, then one each
    EXPECT_EQ(Files(), (Names{"big.bin", "empty.txt", "packed.txt", "two.txt", "zero.txt"}));
    EXPECT_TRUE(Read("empty.txt").empty());
    EXPECT_EQ(Read("big.bin"), big);
    EXPECT_EQ(Read("zero.txt"), Text("level 0"));
    EXPECT_EQ(Read("two.txt"), Text("level 2"));
    EXPECT_EQ(Read("packed.txt"), Text("compressed, level 2"));
    EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::EndMarker);
}

TEST_F(LzhArchiveTest, CompressedMembersShareTheWindowWithTheMembersBefore)
{
    // A stored member fills the chunk; the next member starts with a copy at
    // distance 0, which repeats the stored member's last byte.
    Bytes stored = Pseudorandom(8192, 2);
    stored.back() = 'Q';
    Member copying;
    copying.method = "-lh4-";
    copying.name = "copy.txt";
    copying.content = Text("QQQQQ!");
    copying.packedData = EncodeBlock({{-1, 5, 0}, {'!'}}, 2);
    Extract(Archive({Level1(Stored("stored.bin", stored)), Level1(copying)}));
    EXPECT_EQ(Read("copy.txt"), Text("QQQQQ!"));
}

TEST_F(LzhArchiveTest, PackedDataIsTakenThroughTheFourthByteAfterTheLastBit)
{
    // With four bytes after the one holding the last bit the whole packed data
    // is consumed; with five, the next header is read from the fifth.
    for (int extra : {4, 5}) {
        SCOPED_TRACE(extra);
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        Member m = Compressed("first.txt", Text("abcabcabc"));
        m.packedData.resize(m.packedData.size() + static_cast<std::size_t>(extra), 0);
        Extract(Archive({Level1(m), Level1(Stored("second.txt", Text("2")))}));
        EXPECT_EQ(Files(), extra == 4 ? (Names{"first.txt", "second.txt"}) : (Names{"first.txt"}));
    }
}

TEST_F(LzhArchiveTest, ExtendedHeadersAreCountedInThePackedSizeAndHaveNoEffect)
{
    Member m = Compressed("plain.txt", Text("extended headers before the data"));
    m.extensions = {Concat({{0x01}, Text("name")}), {0x02, 'd', 0xFF}};  // sizes 7 and 5
    Extract(Archive({Level1(m), Level1(Stored("after.txt", Text("after")))}));
    EXPECT_EQ(Files(), (Names{"after.txt", "plain.txt"}));
    EXPECT_EQ(Read("plain.txt"), m.content);
}

TEST_F(LzhArchiveTest, OtherMethodsArePassedOver)
{
    Member six = Stored("six.txt", Text("not for us"));
    six.method = "-lh6-";
    six.packedData = Pseudorandom(300, 3);
    Member directory = Stored("dir", {});
    directory.method = "-lhd-";
    Member other = Stored("other.txt", Text("x"));
    other.method = "-lz5-";
    const std::string told = ExtractTelling(
        Archive({Level1(six), Level1(directory), Level1(other), Level1(Stored("after.txt", Text("after")))}));
    EXPECT_EQ(Files(), (Names{"after.txt"}));
    EXPECT_EQ(told, ".");  // the patcher says nothing of them
}

TEST_F(LzhArchiveTest, DamagedHeadersEndTheWalk)
{
    const Bytes first = Level1(Stored("first.txt", Text("1")));
    const Bytes last = Level1(Stored("last.txt", Text("3")));
    const Bytes good = Level1(Stored("middle.txt", Text("2")));
    Member extended = Stored("middle.txt", Text("2"));
    extended.extensions = {{0x40, 0x10, 0x00}};
    const Bytes withExtension = Level1(extended);
    const std::size_t extensionSizeAt = withExtension[0];  // header offset S

    auto patched = [](Bytes member, std::size_t at, std::uint8_t value) {
        member[at] = value;
        return WithChecksum(member);
    };
    Bytes wrongSum = good;
    ++wrongSum[1];
    Bytes tooShort = Level1(Stored("", Text("2")));  // S = 25
    tooShort[0] = 24;
    Bytes level2 = Level2(Stored("middle.txt", Text("2")));
    level2[30] ^= 1;  // a name byte: the header CRC no longer matches
    const Bytes level0 = Level0(Stored("middle.txt", Text("2")));

    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"checksum", wrongSum},
        {"S below 25", WithChecksum(tooShort)},
        {"N above S - 25", patched(good, 21, static_cast<std::uint8_t>(good[0] - 24))},
        {"extended size 1", patched(withExtension, extensionSizeAt, 1)},
        {"extended size 2", patched(withExtension, extensionSizeAt, 2)},
        {"level-0 N above S - 22", patched(level0, 21, static_cast<std::uint8_t>(level0[0] - 21))},
        {"level-2 header CRC", level2},
        {"cut short by the end of the file", Bytes(good.begin(), good.begin() + 20)},
    };
    for (const auto& [what, middle] : cases) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        const bool atEnd = middle.size() == 20;
        Extract(atEnd ? Concat({first, middle}) : Concat({first, middle, last, {0}}));
        EXPECT_EQ(Files(), (Names{"first.txt"}));
        EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::BadHeader);
    }
}

TEST_F(LzhArchiveTest, MembersFailingTheirCrcLeaveNoFileAndKeepTheOldOne)
{
    testutil::WriteFile(out + "/keep.txt", "old");
    Member keep = Stored("keep.txt", Text("new"));
    keep.crc = Crc16(keep.content) ^ 1;
    Member fresh = Compressed("fresh.txt", Text("fresh"));
    fresh.crc = 0x1234;
    Member cut = Stored("cut.txt", Pseudorandom(100, 4));
    Bytes cutBytes = Level1(cut);
    cutBytes.resize(cutBytes.size() - 50);
    const std::string told = ExtractTelling(Concat({Level1(keep), Level1(fresh), cutBytes}));
    EXPECT_EQ(Files(), (Names{"keep.txt"}));
    EXPECT_EQ(Read("keep.txt"), Text("old"));
    EXPECT_NE(told.find("\nCRC error: keep.txt\n"), std::string::npos) << told;
    EXPECT_NE(told.find("\nCRC error: fresh.txt\n"), std::string::npos) << told;
    EXPECT_NE(told.find("\nData ends early: cut.txt\n"), std::string::npos) << told;
    EXPECT_EQ(lzhReader.membersFailed, 3u);
}

TEST_F(LzhArchiveTest, LaterMembersReplaceEarlierOnesUnderAnyLetterCase)
{
    testutil::WriteFile(out + "/same.txt", "old");
    Extract(Archive({Level1(Stored("same.txt", Text("first"))), Level1(Compressed("same.txt", Text("second"))),
                     Level1(Stored("SAME.TXT", Text("third")))}));
    EXPECT_EQ(Files(), (Names{"same.txt"}));
    EXPECT_EQ(Read("same.txt"), Text("third"));
}

TEST_F(LzhArchiveTest, TemporariesLeftByKilledRunsAreNeverInTheWay)
{
    // Killed runs leave temporaries of the old names, ~lzh00.tmp to
    // ~lzh99.tmp, and of the present ones, here with this very process id,
    // as when an id comes round again.
    std::filesystem::create_directory(out + "/sub");
    Names expected = {"a.txt", "sub/b.txt"};
    for (const std::string dir : {"", "sub/"}) {
        for (int i = 0; i < 100; ++i) {
            char old[16];
            std::snprintf(old, sizeof old, "~lzh%02d.tmp", i);
            expected.push_back(dir + old);
        }
        for (int i = 0; i < 150; ++i)
            expected.push_back(dir + "~lzh" + std::to_string(getpid()) + "-" + std::to_string(i) + ".tmp");
    }
    for (const std::string& name : expected) testutil::WriteFile(out + "/" + name, "stale");
    std::sort(expected.begin(), expected.end());

    Extract(Archive({Level1(Stored("a.txt", Text("a"))), Level1(Compressed("sub\\b.txt", Text("b"))),
                     Level1(Stored("a.txt", Text("again")))}));
    EXPECT_EQ(Files(), expected);
    EXPECT_EQ(Read("a.txt"), Text("again"));
    EXPECT_EQ(Read("sub/b.txt"), Text("b"));
    EXPECT_EQ(Read("sub/~lzh99.tmp"), Text("stale"));
}

TEST_F(LzhArchiveTest, NamesWithDirectoriesNeedTheDirectoryToExist)
{
    std::filesystem::create_directory(out + "/Sub");
    const std::string told = ExtractTelling(Archive({
        Level1(Stored("sub\\a.txt", Text("a"))),
        Level0(Stored("SUB/b.txt", Text("b"))),
        Level1(Stored("missing\\c.txt", Text("c"))),
        Level1(Stored("sub\\", {})),
        Level1(Stored("", {})),
    }));
    EXPECT_EQ(Files(), (Names{"Sub/a.txt", "Sub/b.txt"}));
    EXPECT_EQ(told, "..");  // members without a file are passed over quietly
}

TEST_F(LzhArchiveTest, ReplacementNamesComeFromStandardInput)
{
    testutil::WriteFile(temp / "answers", "renamed.txt\n../outside.txt\n");
    ASSERT_NE(std::freopen((temp / "answers").c_str(), "r", stdin), nullptr);
    const std::string told = ExtractTelling(
        Archive({Level1(Stored("missing\\a.txt", Text("a"))), Level1(Stored("missing\\b.txt", Text("b")))}));
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    EXPECT_EQ(Files(), (Names{"renamed.txt"}));
    EXPECT_EQ(Read("renamed.txt"), Text("a"));
    EXPECT_NE(told.find("\nUnsafe name: ../outside.txt\n"), std::string::npos) << told;

    // Long lines keep their first maxLength characters; the rest is dropped.
    testutil::WriteFile(temp / "answers", "abcdefgh\nxyz");
    ASSERT_NE(std::freopen((temp / "answers").c_str(), "r", stdin), nullptr);
    char name[8];
    EXPECT_EQ(ReadReplacementName(name, 5), 5u);
    EXPECT_STREQ(name, "abcde");
    EXPECT_EQ(ReadReplacementName(name, 5), 3u);
    EXPECT_STREQ(name, "xyz");
    EXPECT_EQ(ReadReplacementName(name, 5), 0u);
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
}

TEST_F(LzhArchiveTest, NamesReachingOutsideTheCurrentDirectoryAreRefused)
{
    std::filesystem::create_directory(out + "/sub");
    const Names unsafe = {"/abs.txt",         "\\abs.txt",       "C:\\drive.txt", "c:drive.txt", "..\\up.txt",
                          "sub/../../up.txt", "sub\\..\\in.txt", ".. \\up.txt",   "...\\up.txt"};
    std::vector<Bytes> members;
    for (const std::string& name : unsafe) members.push_back(Level1(Stored(name, Text("evil"))));
    members.push_back(Level2(Stored("..\\two.txt", Text("evil"))));
    members.push_back(Level1(Stored("sub\\..x\\..\\", {})));
    members.push_back(Level1(Stored("ok..txt", Text("fine"))));
    Bytes archive;
    for (const Bytes& m : members) archive = Concat({archive, m});
    archive.push_back(0);

    const std::string told = ExtractTelling(archive);
    EXPECT_EQ(Files(), (Names{"ok..txt"}));
    EXPECT_EQ(FilesBelow(temp.path()), (Names{"out/ok..txt", "update.lzh"}));
    for (const std::string& name : unsafe)
        EXPECT_NE(told.find("\nUnsafe name: " + name + "\n"), std::string::npos) << name;
    EXPECT_FALSE(std::filesystem::exists("/abs.txt"));
}

TEST_F(LzhArchiveTest, CompressedDataEndingEarlyIsNotWrittenAndLeavesTheNextHeader)
{
    // Members whose last codes fall past their packed data: cut short by a few
    // bytes (the zero bits cut would even decode alike), or claiming far more
    // content than their bits hold. Decoding stops at the first chunk that
    // used filler, before that chunk is written: no full stop for it.
    std::vector<Symbol> symbols = Literals(Pseudorandom(5000, 5));
    for (int i = 0; i < 64; ++i) symbols.push_back({0x00});
    Member cut;
    cut.method = "-lh5-";
    cut.name = "cut.bin";
    cut.content = Concat({Pseudorandom(5000, 5), Bytes(64, 0x00)});
    cut.packedData = EncodeBlock(symbols, static_cast<std::uint16_t>(symbols.size()));
    ASSERT_EQ(cut.packedData.back(), 0);
    cut.packedData.resize(cut.packedData.size() - 3);
    Member claims = Compressed("claims.bin", Text("abc"));
    claims.content = Concat({Text("abc"), Bytes((1u << 26) - 3, 0x00)});
    Member longer = Compressed("longer.bin", Pseudorandom(9000, 7));
    longer.content.resize(20000);  // one whole chunk of real data, then filler

    const struct {
        Member member;
        std::string dots;
    } cases[] = {{cut, ""}, {claims, ""}, {longer, "."}};
    for (const auto& [member, dots] : cases) {
        SCOPED_TRACE(member.name);
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        testutil::WriteFile(out + "/" + member.name, "old");
        const std::string told = ExtractTelling(Archive({Level1(member), Level1(Stored("next.txt", Text("next")))}));
        EXPECT_EQ(told, dots + "\nData ends early: " + member.name + "\n.");
        EXPECT_EQ(Files(), (Names{member.name, "next.txt"}));
        EXPECT_EQ(Read(member.name), Text("old"));
        EXPECT_EQ(lzhReader.membersFailed, 1u);
    }
}

TEST_F(LzhArchiveTest, FatalStopLeavesNoTemporaryAndKeepsTheOldFile)
{
    // The first block holds 9000 symbols, so a chunk is written before the
    // second block's header turns out to be broken.
    testutil::WriteFile(out + "/victim.bin", "old");
    const Bytes content = Pseudorandom(9000, 6);
    BitWriter bits;
    WriteBlock(bits, Literals(content), 9000);
    bits.Put(100, 16);
    bits.Put(25, 5);  // a code-length count above 19
    Member m;
    m.method = "-lh5-";
    m.name = "victim.bin";
    m.content = Concat({content, Bytes(1000, 'x')});
    m.packedData = bits.Finish();
    EXPECT_EXIT(Extract(Archive({Level1(m)})), ::testing::ExitedWithCode(1), "\nBad table\n");
    EXPECT_EQ(Files(), (Names{"victim.bin"}));
    EXPECT_EQ(Read("victim.bin"), Text("old"));
}

TEST(LzhCrc, AnyRunOfBytesFromAnyRegisterGivesTheBitwiseCrc)
{
    // Whole chunks take a faster way than other lengths; both must agree with
    // the CRC taken a bit at a time, and runs must join.
    auto bitwise = [](unsigned crc, const Bytes& data, std::size_t from, std::size_t count) {
        for (std::size_t i = from; i < from + count; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
        return crc;
    };
    std::mt19937 random(16);
    Bytes data(3 * kLzhChunkSize);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    for (const std::size_t count : {0, 1, 7, 8, 9, 2047, 2048, 8191, 8192, 8193, 16384, 24576}) {
        for (int k = 0; k < 8; ++k) {
            const auto start = static_cast<std::uint16_t>(random());
            const std::size_t from = random() % (data.size() - count + 1);
            SCOPED_TRACE(std::to_string(count) + " bytes from " + std::to_string(from));
            EXPECT_EQ(UpdateLzhCrc(start, data.data() + from, count), bitwise(start, data, from, count));
            const std::size_t split = count == 0 ? 0 : random() % count;
            EXPECT_EQ(
                UpdateLzhCrc(UpdateLzhCrc(start, data.data() + from, split), data.data() + from + split, count - split),
                bitwise(start, data, from, count));
        }
    }
}

TEST(LzhCrc, TheTablesAloneGiveWhatTheProcessorsWayGives)
{
    // Where the processor multiplies without carries, UpdateLzhCrc takes no
    // table for long runs; the way without it must still agree.
    std::mt19937 random(17);
    Bytes data(3 * kLzhChunkSize + 100);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    for (const std::size_t count : {63, 64, 65, 100, 8191, 8192, 8193, 16384 + 77, 24576}) {
        const auto start = static_cast<std::uint16_t>(random());
        const std::size_t from = random() % (data.size() - count + 1);
        EXPECT_EQ(UpdateLzhCrcByTables(start, data.data() + from, count),
                  UpdateLzhCrc(start, data.data() + from, count))
            << count << " bytes from " << from;
    }
}
