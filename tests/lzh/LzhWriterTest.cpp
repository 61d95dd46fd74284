// The archive writer read back by our own reader: headers field by field,
// members packed only when that makes them smaller, nothing left past a
// member's end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "lzh/LzhArchive.h"
#include "lzh/LzhEncoder.h"
#include "lzh/LzhTestSupport.h"
#include "lzh/LzhWriter.h"

using namespace lzhtest;

namespace {

Bytes Noise(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(random());
    return out;
}

Bytes Lines(std::size_t count)
{
    Bytes out;
    for (int i = 0; out.size() < count; ++i) {
        const std::string line = "quest " + std::to_string(i % 97) + " reward " + std::to_string(i % 13) + "\r\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(count);
    return out;
}

std::FILE* TemporaryWith(const Bytes& bytes)
{
    std::FILE* file = std::tmpfile();
    if (file) {
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
    }
    return file;
}

Bytes Contents(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    Bytes out;
    for (int c; (c = std::getc(file)) != EOF;) out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

}  // namespace

TEST(LzhWriter, HeadersReadBackFieldByField)
{
    const std::string longest(kLzhMaxWrittenName, 'n');
    const struct {
        char method;
        std::string name;
        std::uint32_t packed;
        std::uint32_t size;
        std::uint16_t crc;
    } cases[] = {
        {'5', "Update.pak", 1234, 99999, 0xBEEF},         {'0', "Data\\Map\\field01.map", 7, 7, 0x0001},
        {'0', "\xC6\xD0\xC4\xA1.txt", 0, 0, 0},  // code page 949
        {'5', longest, 0xFFFEFFF0u, 0xFFFF0000u, 0xFFFF}, {'0', "", 3, 3, 0x1234},
    };
    testutil::TempDir temp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LzhHeaderFields fields{c.method, c.packed,       c.size,       LzhDosTime(2024, 5, 6, 7, 8, 10),
                                     c.crc,    c.name.c_str(), c.name.size()};
        Bytes header(kLzhMemberHeaderSize + c.name.size());
        ASSERT_EQ(MakeLzhMemberHeader(fields, header.data()), header.size());
        EXPECT_EQ(header[0], 25 + c.name.size());  // a standard level-1 header
        EXPECT_EQ(header[header[0] - 1], 'W');

        // The header CRC covers the whole header with its own field as zero.
        Bytes zeroed = header;
        const std::size_t crcAt = header[0] + 3;
        zeroed[crcAt] = zeroed[crcAt + 1] = 0;
        EXPECT_EQ(header[crcAt] | header[crcAt + 1] << 8, Crc16(zeroed));

        testutil::WriteFile(temp / "h.lzh", Concat({header, {0}}));
        ASSERT_TRUE(OpenLzhArchive((temp / "h.lzh").c_str()));
        ASSERT_TRUE(ReadMemberHeader());
        EXPECT_EQ(lzhReader.level, 1);
        EXPECT_EQ(lzhReader.header[3], c.method);
        EXPECT_EQ(lzhReader.packedSize, c.packed);
        EXPECT_EQ(lzhReader.unpackedSize, c.size);
        EXPECT_EQ(lzhReader.memberCrc, c.crc);
        EXPECT_EQ(std::string(LzhMemberName()), c.name);
        CloseLzhArchive();
    }
}

TEST(LzhWriter, MembersArePackedOnlyWhenThatMakesThemSmaller)
{
    const struct {
        const char* name;
        Bytes content;
        bool compress;
        char method;
    } cases[] = {
        {"empty", {}, true, '0'},
        {"one", {'x'}, true, '0'},
        {"short", Text("abcabcabc"), true, '0'},
        {"noise", Noise(100000, 1), true, '0'},
        {"lines", Lines(300000), true, '5'},
        {"stored lines", Lines(300000), false, '0'},
        {"run", Bytes(70000, 0), true, '5'},
    };
    std::FILE* archive = std::tmpfile();
    ASSERT_NE(archive, nullptr);
    std::size_t expectedSize = 1;  // the end marker
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::FILE* source = TemporaryWith(c.content);
        const LzhAddedMember added = AddLzhMember(archive, source, c.content.size(), c.name, 0, c.compress);
        std::fclose(source);
        ASSERT_EQ(added.result, LzhAddResult::Added);
        EXPECT_EQ(added.compressed, c.method == '5');
        if (c.method == '5') {
            EXPECT_LT(added.packedSize, c.content.size());
        }
        expectedSize += kLzhMemberHeaderSize + std::strlen(c.name) + added.packedSize;
    }
    ASSERT_TRUE(EndLzhArchive(archive));
    const Bytes bytes = Contents(archive);
    std::fclose(archive);
    EXPECT_EQ(bytes.size(), expectedSize);  // nothing past any member's end

    testutil::TempDir temp;
    testutil::WriteFile(temp / "a.lzh", bytes);
    ASSERT_TRUE(OpenLzhArchive((temp / "a.lzh").c_str()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ReadMemberHeader());
        EXPECT_EQ(std::string(LzhMemberName()), c.name);
        EXPECT_EQ(lzhReader.header[3], c.method);
        EXPECT_EQ(lzhReader.unpackedSize, c.content.size());
        EXPECT_EQ(lzhReader.memberCrc, Crc16(c.content));
        EXPECT_EQ(TestMember(), LzhMemberCheck::Good);
    }
    EXPECT_FALSE(ReadMemberHeader());
    EXPECT_EQ(lzhReader.walkEnd, LzhWalkEnd::EndMarker);
    CloseLzhArchive();
}

TEST(LzhWriter, ASourceShorterThanItsSizeCannotBeRead)
{
    for (const bool compress : {true, false}) {
        std::FILE* archive = std::tmpfile();
        std::FILE* source = TemporaryWith(Lines(5000));
        EXPECT_EQ(AddLzhMember(archive, source, 5001, "a", 0, compress).result, LzhAddResult::CannotRead) << compress;
        std::fclose(source);
        std::fclose(archive);
    }
    std::FILE* archive = std::tmpfile();
    std::FILE* source = TemporaryWith({});
    const std::string name(kLzhMaxWrittenName + 1, 'n');
    EXPECT_EQ(AddLzhMember(archive, source, 0, name.c_str(), 0, true).result, LzhAddResult::NameTooLong);
    EXPECT_EQ(AddLzhMember(archive, source, kLzhMaxEncodedSize + 1, "big", 0, true).result, LzhAddResult::TooLarge);
    EXPECT_TRUE(Contents(archive).empty());
    std::fclose(source);
    std::fclose(archive);
}

TEST(LzhWriter, DosTimesPackTheLocalTimeAndClampToTheirRange)
{
    const struct {
        int year, month, day, hour, minute, second;
        std::uint32_t dos;
    } cases[] = {
        {1980, 1, 1, 0, 0, 0, 0x00210000},
        {2024, 12, 31, 23, 59, 59, (44u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u},
        {1970, 6, 1, 12, 0, 0, 0x00210000},
        {2200, 1, 1, 0, 0, 0, (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LzhDosTime(c.year, c.month, c.day, c.hour, c.minute, c.second), c.dos) << c.year;
}
