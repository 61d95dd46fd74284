#include "lzh/LzhTestSupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"

namespace lzhtest {

const std::string kCorpus = LZH_CORPUS_DIR;

bool HaveCorpus() { return std::filesystem::is_regular_file(kCorpus + "/LEVEL1.txt"); }

std::string CorpusMissing() { return "needs the shared LZH corpus, " + kCorpus + " (../shared/lzh-corpus)"; }

namespace {

// The reader asks standard input for a replacement name when a member's file
// can't be created; tests answer with the end of input unless they say more.
class QuietStandardInput : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr); }
};

[[maybe_unused]] ::testing::Environment* const quietStandardInput =
    ::testing::AddGlobalTestEnvironment(new QuietStandardInput);

void PutLe(Bytes& out, std::uint32_t value, int size)
{
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint16_t MemberCrc(const Member& member)
{
    return member.crc >= 0 ? static_cast<std::uint16_t>(member.crc) : Crc16(member.content);
}

const Bytes& PackedData(const Member& member)
{
    return member.method == "-lh0-" && member.packedData.empty() ? member.content : member.packedData;
}

// The common fields from the method to the level byte.
void PutCommonFields(Bytes& out, const Member& member, std::uint32_t packedSize, int level)
{
    out.insert(out.end(), member.method.begin(), member.method.end());
    PutLe(out, packedSize, 4);
    PutLe(out, static_cast<std::uint32_t>(member.content.size()), 4);
    PutLe(out, 0x5A8C3D21, 4);  // time stamp
    out.push_back(0x20);
    out.push_back(static_cast<std::uint8_t>(level));
}

void PutSmallLength(BitWriter& out, int length)
{
    if (length < 7) {
        out.Put(static_cast<std::uint32_t>(length), 3);
        return;
    }
    out.Put(7, 3);
    for (int i = 7; i < length; ++i) out.Put(1, 1);
    out.Put(0, 1);
}

int LastNonZero(const std::vector<std::uint8_t>& lengths)
{
    int last = -1;
    for (int i = 0; i < static_cast<int>(lengths.size()); ++i)
        if (lengths[i]) last = i;
    return last;
}

void Prepare(Code& code)
{
    if (code.constant >= 0) return;
    code.codes.assign(code.lengths.size(), 0);
    std::uint32_t next = 0;
    for (int length = 1; length <= 16; ++length) {
        for (std::size_t symbol = 0; symbol < code.lengths.size(); ++symbol)
            if (code.lengths[symbol] == length) code.codes[symbol] = next++;
        next <<= 1;
    }
}

void PutSymbol(BitWriter& out, const Code& code, int symbol)
{
    if (code.constant >= 0) {
        EXPECT_EQ(symbol, code.constant);
        return;
    }
    ASSERT_NE(code.lengths.at(static_cast<std::size_t>(symbol)), 0) << "symbol " << symbol << " has no code";
    out.Put(code.codes[static_cast<std::size_t>(symbol)], code.lengths[static_cast<std::size_t>(symbol)]);
}

// The small codes (code-length and distance) with the 3-bit length scheme.
void PutSmallCode(BitWriter& out, const Code& code, int countBits, int specialIndex)
{
    if (code.constant >= 0) {
        out.Put(0, countBits);
        out.Put(static_cast<std::uint32_t>(code.constant), countBits);
        return;
    }
    const int count = code.count >= 0 ? code.count : LastNonZero(code.lengths) + 1;
    out.Put(static_cast<std::uint32_t>(count), countBits);
    for (int i = 0; i < count; ++i) {
        PutSmallLength(out, code.lengths[static_cast<std::size_t>(i)]);
        if (i + 1 == specialIndex) out.Put(0, 2);  // no zero run
    }
}

int DistanceSymbol(int distance)
{
    return distance == 0 ? 0 : static_cast<int>(std::bit_width(static_cast<unsigned>(distance)));
}

Code CodeOver(int symbolCount, const std::set<int>& used)
{
    Code code;
    if (used.size() == 1) {
        code.constant = *used.begin();
        return code;
    }
    code.lengths = CompleteLengths(symbolCount, std::vector<int>(used.begin(), used.end()));
    return code;
}

}  // namespace

std::uint16_t Crc16(const Bytes& data)
{
    unsigned crc = 0;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

InDirectory::InDirectory(const std::string& dir) : previous_(std::filesystem::current_path())
{
    std::filesystem::current_path(dir);
}

InDirectory::~InDirectory()
{
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

std::vector<std::string> FilesBelow(const std::string& dir)
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && !entry.is_symlink())
            files.push_back(std::filesystem::relative(entry.path(), dir).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int RunShell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveCommand(const char* name) { return RunShell(std::string("command -v ") + name + " >/dev/null 2>&1") == 0; }

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Bytes Level1(const Member& member)
{
    const Bytes& packed = PackedData(member);
    std::uint32_t extensionBytes = 0;
    for (const Bytes& extension : member.extensions) extensionBytes += static_cast<std::uint32_t>(extension.size() + 2);

    Bytes header;
    PutCommonFields(header, member, static_cast<std::uint32_t>(packed.size()) + extensionBytes, 1);
    header.push_back(static_cast<std::uint8_t>(member.name.size()));
    header.insert(header.end(), member.name.begin(), member.name.end());
    PutLe(header, MemberCrc(member), 2);
    header.push_back('M');
    PutLe(header, member.extensions.empty() ? 0 : static_cast<std::uint32_t>(member.extensions[0].size() + 2), 2);

    Bytes out;
    out.push_back(static_cast<std::uint8_t>(header.size()));
    std::uint8_t sum = 0;
    for (std::uint8_t byte : header) sum = static_cast<std::uint8_t>(sum + byte);
    out.push_back(sum);
    out.insert(out.end(), header.begin(), header.end());
    for (std::size_t i = 0; i < member.extensions.size(); ++i) {
        out.insert(out.end(), member.extensions[i].begin(), member.extensions[i].end());
        const bool last = i + 1 == member.extensions.size();
        PutLe(out, last ? 0 : static_cast<std::uint32_t>(member.extensions[i + 1].size() + 2), 2);
    }
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

Bytes Level0(const Member& member)
{
    const Bytes& packed = PackedData(member);
    Bytes header;
    PutCommonFields(header, member, static_cast<std::uint32_t>(packed.size()), 0);
    header.push_back(static_cast<std::uint8_t>(member.name.size()));
    header.insert(header.end(), member.name.begin(), member.name.end());
    PutLe(header, MemberCrc(member), 2);

    Bytes out;
    out.push_back(static_cast<std::uint8_t>(header.size()));
    std::uint8_t sum = 0;
    for (std::uint8_t byte : header) sum = static_cast<std::uint8_t>(sum + byte);
    out.push_back(sum);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

Bytes Level2(const Member& member)
{
    const Bytes& packed = PackedData(member);
    std::vector<Bytes> extensions;
    extensions.push_back(Concat({{0x01}, Text(member.name)}));
    extensions.push_back({0x00, 0, 0});  // header CRC, filled in below
    extensions.insert(extensions.end(), member.extensions.begin(), member.extensions.end());

    Bytes out;
    PutLe(out, 0, 2);  // total size, filled in below
    PutCommonFields(out, member, static_cast<std::uint32_t>(packed.size()), 2);
    PutLe(out, MemberCrc(member), 2);
    out.push_back('M');
    std::size_t crcAt = 0;
    PutLe(out, static_cast<std::uint32_t>(extensions[0].size() + 2), 2);
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        if (extensions[i][0] == 0x00) crcAt = out.size() + 1;
        out.insert(out.end(), extensions[i].begin(), extensions[i].end());
        const bool last = i + 1 == extensions.size();
        PutLe(out, last ? 0 : static_cast<std::uint32_t>(extensions[i + 1].size() + 2), 2);
    }
    out[0] = static_cast<std::uint8_t>(out.size());
    out[1] = static_cast<std::uint8_t>(out.size() >> 8);
    const std::uint16_t headerCrc = Crc16(out);
    out[crcAt] = static_cast<std::uint8_t>(headerCrc);
    out[crcAt + 1] = static_cast<std::uint8_t>(headerCrc >> 8);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

Bytes Archive(std::initializer_list<Bytes> members)
{
    Bytes out = Concat(members);
    out.push_back(0);
    return out;
}

void BitWriter::Put(std::uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        pending_ = (pending_ << 1) | ((value >> i) & 1);
        if (++pendingCount_ == 8) {
            bytes_.push_back(static_cast<std::uint8_t>(pending_));
            pending_ = 0;
            pendingCount_ = 0;
        }
    }
}

Bytes BitWriter::Finish()
{
    if (pendingCount_ > 0) Put(0, 8 - pendingCount_);
    return bytes_;
}

std::vector<std::uint8_t> CompleteLengths(int symbolCount, const std::vector<int>& symbols)
{
    const int count = static_cast<int>(symbols.size());
    int bits = 0;
    while ((1 << bits) < count) ++bits;
    int shorter = (1 << bits) - count;  // these take bits - 1
    std::vector<std::uint8_t> lengths(static_cast<std::size_t>(symbolCount), 0);
    for (int symbol : symbols)
        lengths[static_cast<std::size_t>(symbol)] = static_cast<std::uint8_t>(shorter-- > 0 ? bits - 1 : bits);
    return lengths;
}

BlockWriter::BlockWriter(BitWriter& out, std::uint16_t symbolCount, Code literal, Code distance)
    : out_(out),
      literal_(std::move(literal)),
      distance_(std::move(distance))
{
    Prepare(literal_);
    Prepare(distance_);
    out_.Put(symbolCount, 16);

    // The code-length code covers the symbols that send the literal lengths:
    // 0 for an absent symbol, length + 2 otherwise.
    const int literalCount = literal_.constant >= 0 ? 0
                             : literal_.count >= 0  ? literal_.count
                                                    : LastNonZero(literal_.lengths) + 1;
    std::set<int> used;
    for (int i = 0; i < literalCount; ++i) {
        const int length = literal_.lengths[static_cast<std::size_t>(i)];
        used.insert(length == 0 ? 0 : length + 2);
    }
    if (used.empty()) used.insert(0);
    Code lengthCode = CodeOver(19, used);
    Prepare(lengthCode);
    PutSmallCode(out_, lengthCode, 5, 3);

    if (literal_.constant >= 0) {
        out_.Put(0, 9);
        out_.Put(static_cast<std::uint32_t>(literal_.constant), 9);
    } else {
        out_.Put(static_cast<std::uint32_t>(literalCount), 9);
        for (int i = 0; i < literalCount; ++i) {
            const int length = literal_.lengths[static_cast<std::size_t>(i)];
            PutSymbol(out_, lengthCode, length == 0 ? 0 : length + 2);
        }
    }
    PutSmallCode(out_, distance_, 4, -1);
}

void BlockWriter::Literal(int symbol) { PutSymbol(out_, literal_, symbol); }

void BlockWriter::Copy(int length, int distance)
{
    PutSymbol(out_, literal_, length + 253);
    const int symbol = DistanceSymbol(distance);
    PutSymbol(out_, distance_, symbol);
    if (symbol > 1) out_.Put(static_cast<std::uint32_t>(distance - (1 << (symbol - 1))), symbol - 1);
}

void WriteBlock(BitWriter& bits, const std::vector<Symbol>& symbols, std::uint16_t blockCount)
{
    std::set<int> literals;
    std::set<int> distances;
    for (const Symbol& s : symbols) {
        if (s.literal >= 0) {
            literals.insert(s.literal);
        } else {
            literals.insert(s.length + 253);
            distances.insert(DistanceSymbol(s.distance));
        }
    }
    if (distances.empty()) distances.insert(0);
    BlockWriter block(bits, blockCount, CodeOver(510, literals), CodeOver(14, distances));
    for (const Symbol& s : symbols) {
        if (s.literal >= 0)
            block.Literal(s.literal);
        else
            block.Copy(s.length, s.distance);
    }
}

Bytes EncodeBlock(const std::vector<Symbol>& symbols, std::uint16_t blockCount)
{
    BitWriter bits;
    WriteBlock(bits, symbols, blockCount);
    return bits.Finish();
}

std::vector<Symbol> Literals(const Bytes& content)
{
    std::vector<Symbol> symbols;
    for (std::uint8_t byte : content) symbols.push_back({byte});
    return symbols;
}

Bytes DecodeAll(const Bytes& packed, std::size_t count, std::size_t packedSize, const Bytes* fileBytes)
{
    const Bytes& inFile = fileBytes ? *fileBytes : packed;
    std::FILE* file = std::tmpfile();
    if (!file) return {};
    std::fwrite(inFile.data(), 1, inFile.size(), file);
    std::rewind(file);
    std::memset(lzhReader.chunk, 0, sizeof lzhReader.chunk);
    StartMemberDecoding(file, static_cast<std::uint32_t>(packedSize));
    Bytes out;
    while (out.size() < count) {
        const unsigned n = static_cast<unsigned>(std::min<std::size_t>(count - out.size(), kLzhChunkSize));
        DecodeChunk(n, lzhReader.chunk);
        out.insert(out.end(), lzhReader.chunk, lzhReader.chunk + n);
    }
    std::fclose(file);
    return out;
}

}  // namespace lzhtest
