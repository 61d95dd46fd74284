// The decoder on hand-built bit streams, checked against a plain model of
// literals and byte-by-byte copies.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "lzh/LzhDecoder.h"
#include "lzh/LzhTestSupport.h"

using namespace lzhtest;

namespace {

// What the symbols mean: the window starts as zero bytes.
Bytes Model(const std::vector<Symbol>& symbols)
{
    Bytes out;
    for (const Symbol& s : symbols) {
        if (s.literal >= 0) {
            out.push_back(static_cast<std::uint8_t>(s.literal));
            continue;
        }
        for (int i = 0; i < s.length; ++i) {
            const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(out.size()) - s.distance - 1;
            out.push_back(from >= 0 ? out[static_cast<std::size_t>(from)] : 0);
        }
    }
    return out;
}

Bytes Decode(const Bytes& packed, std::size_t count) { return DecodeAll(packed, count, packed.size()); }

void ExpectDecodes(const std::vector<Symbol>& symbols, std::uint16_t blockCount)
{
    const Bytes expected = Model(symbols);
    const Bytes packed = EncodeBlock(symbols, blockCount);
    EXPECT_EQ(Decode(packed, expected.size()), expected);
}

Bytes Letters(std::size_t count, std::uint32_t seed, int alphabet = 26)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out) byte = static_cast<std::uint8_t>('a' + random() % static_cast<unsigned>(alphabet));
    return out;
}

std::FILE* stream = nullptr;

void LoadStream(const Bytes& fileBytes)
{
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(fileBytes.data(), 1, fileBytes.size(), file);
    std::rewind(file);
    stream = file;
}

void CloseStream()
{
    std::fclose(stream);
    stream = nullptr;
}

}  // namespace

TEST(LzhBitInput, TakesBitsMostSignificantFirstThenZerosAndPastTheFileOnes)
{
    LoadStream({0xA5, 0x0F, 0x33, 0xC3, 0x81, 0xFF, 0x00, 0x7E, 0x99});
    StartMemberDecoding(stream, 8);
    EXPECT_EQ(lzhDecoder.bitWindow, 0xA50F33C3u);
    EXPECT_EQ(lzhDecoder.packedLeft, 4u);
    EXPECT_EQ(TakeBits(4), 0xAu);
    EXPECT_EQ(TakeBits(0), 0u);
    EXPECT_EQ(TakeBits(12), 0x50Fu);
    EXPECT_EQ(TakeBits(16), 0x33C3u);
    EXPECT_EQ(lzhDecoder.bitWindow, 0x81FF007Eu);
    EXPECT_EQ(lzhDecoder.packedLeft, 0u);
    EXPECT_EQ(TakeBits(16), 0x81FFu);
    EXPECT_EQ(lzhDecoder.bitWindow, 0x007E0000u);  // the ninth byte is beyond packedLeft
    CloseStream();

    LoadStream({0x12, 0x34});
    StartMemberDecoding(stream, 6);
    EXPECT_EQ(lzhDecoder.bitWindow, 0x1234FFFFu);
    EXPECT_EQ(TakeBits(16), 0x1234u);
    EXPECT_EQ(lzhDecoder.bitWindow, 0xFFFFFFFFu);
    EXPECT_EQ(lzhDecoder.packedLeft, 0u);
    CloseStream();
}

TEST(LzhDecodeTable, AssignsCodesByLengthThenSymbolAndKeepsTableForEmptySet)
{
    // Codes: symbol 1 "0", symbol 0 "10", symbol 2 "110", symbol 3 "111".
    const std::uint8_t lengths[4] = {2, 1, 3, 3};
    std::uint16_t table[256];
    BuildDecodeTable(4, lengths, 8, table);
    for (int i = 0; i < 256; ++i) {
        const int expected = i < 128 ? 1 : i < 192 ? 0 : i < 224 ? 2 : 3;
        ASSERT_EQ(table[i], expected) << "entry " << i;
    }

    const std::uint8_t none[14] = {};
    std::uint16_t kept[256];
    for (int i = 0; i < 256; ++i) kept[i] = static_cast<std::uint16_t>(i * 7);
    BuildDecodeTable(14, none, 8, kept);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(kept[i], i * 7);
}

TEST(LzhDecoder, ConstantCodesTakeNoBitsAndBlockCountZeroHoldsToTheEnd)
{
    // 70,000 symbols from a header alone: a count of 0 is not 65,536, and no
    // second header is read from the zero bits that follow.
    BitWriter bits;
    Code literal;
    literal.constant = 'x';
    Code distance;
    distance.constant = 0;
    BlockWriter block(bits, 0, literal, distance);
    EXPECT_EQ(Decode(bits.Finish(), 70000), Bytes(70000, 'x'));

    // A constant distance symbol is still followed by its extra bits.
    ExpectDecodes({{'a'}, {'b'}, {'c'}, {-1, 3, 2}, {-1, 4, 3}, {'d'}, {-1, 5, 2}}, 7);
    EXPECT_EQ(Model({{'a'}, {'b'}, {'c'}, {-1, 3, 2}, {-1, 4, 3}, {'d'}, {-1, 5, 2}}), Text("abcabccabcdbcdbc"));
}

TEST(LzhDecoder, DistanceZeroRepeatsThePreviousByte)
{
    ExpectDecodes({{0x61}, {-1, 10, 0}}, 2);
    EXPECT_EQ(Decode(EncodeBlock({{0x61}, {-1, 10, 0}}, 2), 11), Bytes(11, 0x61));
}

TEST(LzhDecoder, CopiesCarryAcrossChunksAndReachIntoThePreviousOne)
{
    // A copy that starts 2 bytes before the end of the first chunk.
    std::vector<Symbol> spanning = Literals(Letters(8190, 1));
    spanning.push_back({-1, 10, 100});
    spanning.push_back({'!'});
    ExpectDecodes(spanning, static_cast<std::uint16_t>(spanning.size()));

    // At the start of a chunk distance 0 is the last byte of the previous one,
    // and the longest distance its first byte.
    std::vector<Symbol> atStart = Literals(Letters(8191, 2));
    atStart.push_back({'Z'});
    atStart.push_back({-1, 5, 0});
    atStart.push_back({-1, 256, 8191});
    const Bytes expected = Model(atStart);
    ASSERT_EQ(expected[8192], 'Z');
    ExpectDecodes(atStart, static_cast<std::uint16_t>(atStart.size()));
}

TEST(LzhDecoder, RandomLiteralsAndCopiesMatchTheModel)
{
    std::mt19937 random(4);
    std::vector<Symbol> symbols;
    std::size_t produced = 0;
    while (produced < 60000) {
        if (produced < 8 || random() % 3 == 0) {
            symbols.push_back({static_cast<int>(random() % 256)});
            ++produced;
        } else {
            const int length = 3 + static_cast<int>(random() % 254);
            const int reach = static_cast<int>(std::min<std::size_t>(produced, 8192));
            symbols.push_back({-1, length, static_cast<int>(random() % static_cast<unsigned>(reach))});
            produced += static_cast<std::size_t>(length);
        }
    }
    ExpectDecodes(symbols, static_cast<std::uint16_t>(symbols.size()));
}

TEST(LzhDecoder, CodesLongerThanTheTablesWalkTheTrees)
{
    // Literal lengths 1 to 16 (17 symbols, the last two of 16 bits) and
    // distance lengths 1 to 13: most codes are longer than the 12-bit and
    // 8-bit tables.
    Code literal;
    literal.lengths.assign(510, 0);
    std::vector<int> literalSymbols;
    for (int i = 0; i < 16; ++i) literalSymbols.push_back('a' + i);
    literalSymbols.push_back(509);  // a copy of 256
    for (int i = 0; i < 17; ++i)
        literal.lengths[static_cast<std::size_t>(literalSymbols[static_cast<std::size_t>(i)])] =
            static_cast<std::uint8_t>(i < 16 ? i + 1 : 16);
    Code distance;
    distance.lengths.assign(14, 0);
    for (int j = 0; j < 14; ++j)
        distance.lengths[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(j < 13 ? j + 1 : 13);

    std::vector<Symbol> symbols;
    for (int i = 0; i < 9000; ++i) symbols.push_back({literalSymbols[static_cast<std::size_t>(i * 7 % 16)]});
    for (int j = 0; j < 14; ++j) symbols.push_back({-1, 256, j == 0 ? 0 : (1 << (j - 1)) + j % 2});

    BitWriter bits;
    BlockWriter block(bits, static_cast<std::uint16_t>(symbols.size()), literal, distance);
    for (const Symbol& s : symbols) s.literal >= 0 ? block.Literal(s.literal) : block.Copy(s.length, s.distance);
    const Bytes expected = Model(symbols);
    EXPECT_EQ(Decode(bits.Finish(), expected.size()), expected);
}

TEST(LzhDecoder, ReadsTheNextBlockHeaderAfterExactlyTheCountedSymbols)
{
    const std::vector<Symbol> first = Literals(Text("first block"));
    const std::vector<Symbol> second = {{'X'}, {'Y'}, {-1, 20, 1}, {'Z'}};
    BitWriter bits;
    WriteBlock(bits, first, static_cast<std::uint16_t>(first.size()));
    WriteBlock(bits, second, static_cast<std::uint16_t>(second.size()));
    std::vector<Symbol> all = first;
    all.insert(all.end(), second.begin(), second.end());
    const Bytes expected = Model(all);
    EXPECT_EQ(Decode(bits.Finish(), expected.size()), expected);
}

TEST(LzhDecoder, ExhaustedPackedDataReadsZeroBitsAndThePastFileOnes)
{
    // Content that ends in codes of zero bits: the zero bytes at the end of
    // the packed data may be cut off and the content still comes out whole.
    std::vector<Symbol> symbols = Literals(Letters(3000, 5, 4));
    for (int i = 0; i < 40; ++i) symbols.push_back({'a'});  // 'a' has the all-zero code
    const Bytes expected = Model(symbols);
    const Bytes packed = EncodeBlock(symbols, 0);  // the codes hold past the symbols sent
    ASSERT_EQ(packed[packed.size() - 1], 0);
    ASSERT_EQ(packed[packed.size() - 2], 0);
    const Bytes cut(packed.begin(), packed.end() - 2);
    EXPECT_EQ(DecodeAll(cut, expected.size(), cut.size()), expected);

    // Decoding past the symbols sent reads the filler: zero bits once
    // packedLeft is used up, one bits where the file ends before it.
    const std::size_t beyond = expected.size() + 500;
    Bytes zeros = packed;
    zeros.resize(packed.size() + 64, 0x00);
    Bytes ones = packed;
    ones.resize(packed.size() + 64, 0xFF);
    EXPECT_EQ(DecodeAll(packed, beyond, packed.size()), DecodeAll(zeros, beyond, zeros.size()));
    EXPECT_EQ(DecodeAll(packed, beyond, ones.size(), &packed), DecodeAll(ones, beyond, ones.size()));
}

TEST(LzhDecoder, OverrunIsToldExactlyWhenBitsPastThePackedDataAreDecoded)
{
    // A stream of B bits needs ceil(B / 8) bytes. Short of that, the last
    // codes decode filler: zero bits once packedLeft is used up, one bits past
    // the end of the file. Streams of every length modulo 8 are tried.
    std::set<std::size_t> residues;
    for (std::uint32_t seed = 0; residues.size() < 8 && seed < 200; ++seed) {
        std::mt19937 random(seed);
        std::vector<Symbol> symbols = Literals(Letters(20 + random() % 200, seed, 3 + static_cast<int>(seed % 20)));
        for (int i = 0; i < 10; ++i)
            symbols.push_back({-1, 3 + static_cast<int>(random() % 50), static_cast<int>(random() % 20)});
        BitWriter bits;
        WriteBlock(bits, symbols, static_cast<std::uint16_t>(symbols.size()));
        const std::size_t bitCount = bits.BitCount();
        residues.insert(bitCount % 8);
        const Bytes packed = bits.Finish();
        const std::size_t count = Model(symbols).size();
        for (int cut = -2; cut <= 4; ++cut) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", bytes cut " + std::to_string(cut));
            const std::size_t size = packed.size() - static_cast<std::size_t>(cut);
            Bytes file = packed;
            file.resize(size, 0x00);
            DecodeAll(file, count, size);  // packedLeft ends first
            EXPECT_EQ(LzhInputOverrun(), cut > 0);
            DecodeAll(file, count, size + 100);  // the file ends first
            EXPECT_EQ(LzhInputOverrun(), cut > 0);
        }
    }
    EXPECT_EQ(residues.size(), 8u);
}

TEST(LzhDecoderDeathTest, CorruptCodeTablesStopWithBadTable)
{
    // Each stream breaks one rule; the ones that get past the tables decode a
    // symbol of an absent code.
    struct Case {
        const char* what;
        Bytes packed;
    };
    auto stream = [](auto write) {
        BitWriter bits;
        bits.Put(50, 16);  // block symbol count
        write(bits);
        bits.Put(0, 32);
        return bits.Finish();
    };
    // Code-length code constant c, so each literal length costs no bits.
    auto lengthCodeConstant = [](BitWriter& bits, int c) {
        bits.Put(0, 5);
        bits.Put(static_cast<std::uint32_t>(c), 5);
    };
    auto twoLiterals = [&](BitWriter& bits) {
        lengthCodeConstant(bits, 3);  // every length is 1
        bits.Put(2, 9);
    };
    const std::vector<Case> cases = {
        {"single symbol of length 1",
         [] {
             BitWriter bits;
             Code literal;
             literal.lengths = std::vector<std::uint8_t>(510, 0);
             literal.lengths['A'] = 1;
             Code distance;
             distance.constant = 0;
             BlockWriter block(bits, 5, literal, distance);
             bits.Put(0, 32);
             return bits.Finish();
         }()},
        {"code-length count 20", stream([](BitWriter& b) { b.Put(20, 5); })},
        {"code-length length 17", stream([](BitWriter& b) {
             b.Put(1, 5);
             b.Put(7, 3);
             b.Put(0x3FF, 10);
             b.Put(0, 1);
         })},
        {"code-length constant 19", stream([&](BitWriter& b) { lengthCodeConstant(b, 19); })},
        {"literal count 511", stream([&](BitWriter& b) {
             lengthCodeConstant(b, 0);
             b.Put(511, 9);
         })},
        {"literal zero run past 510", stream([&](BitWriter& b) {
             lengthCodeConstant(b, 2);
             b.Put(10, 9);
             b.Put(500, 9);  // 520 zeros
         })},
        {"literal constant 510", stream([&](BitWriter& b) {
             lengthCodeConstant(b, 0);
             b.Put(0, 9);
             b.Put(510, 9);
         })},
        {"literal lengths summing to twice the code space", stream([&](BitWriter& b) {
             lengthCodeConstant(b, 3);
             b.Put(4, 9);
         })},
        {"distance count 15", stream([&](BitWriter& b) {
             twoLiterals(b);
             b.Put(15, 4);
         })},
        {"distance constant 14", stream([&](BitWriter& b) {
             twoLiterals(b);
             b.Put(0, 4);
             b.Put(14, 4);
         })},
        {"literal from a code with no lengths", stream([&](BitWriter& b) {
             lengthCodeConstant(b, 0);
             b.Put(5, 9);  // five lengths of 0
             b.Put(0, 4);
             b.Put(0, 4);
         })},
        {"distance from a code with no lengths",
         [] {
             BitWriter bits;
             Code literal;
             literal.lengths = CompleteLengths(510, {'a', 256});
             Code distance;
             distance.lengths.assign(14, 0);
             distance.count = 3;
             BlockWriter block(bits, 5, literal, distance);
             block.Literal('a');
             block.Literal(256);  // a copy: its distance has no code
             bits.Put(0, 32);
             return bits.Finish();
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(Decode(c.packed, 8192), ::testing::ExitedWithCode(1), "\nBad table\n");
    }
}
