// The decoder against a plain model of the format, on many random members,
// valid and corrupt: the model reads one bit at a time, decodes canonical
// codes by counting, and copies byte by byte from the whole output so far.
// After every chunk the two must agree on the bytes, on where the bit input
// stands (next 32 bits, packed bytes left, bits past the data), and on
// "Bad table": the same chunk, after the same bytes. After the member they
// agree on how many bytes of the archive stream were read.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

#include "lzh/LzhDecoder.h"
#include "lzh/LzhTestSupport.h"

using namespace lzhtest;

namespace {

constexpr int kLiterals = 510;
constexpr int kLengthCodes = 19;
constexpr int kDistances = 14;
constexpr std::size_t kWindow = 8192;

struct BadTable {};

// The packed bytes as the bit input sees them: the file up to the packed
// size, 0xFF where the file ends first, 0 past the packed size.
class ModelBits {
public:
    ModelBits(const Bytes& file, std::uint32_t packed)
        : file_(file),
          packed_(packed),
          real_(std::min<std::uint64_t>(packed, file.size()))
    {}
    unsigned Bit(std::uint64_t at) const
    {
        const std::uint64_t i = at / 8;
        const unsigned byte = i < real_ ? file_[i] : i < packed_ ? 0xFF : 0;
        return (byte >> (7 - at % 8)) & 1;
    }
    unsigned Read(int n)
    {
        unsigned v = 0;
        while (n-- > 0) v = v << 1 | Bit(decoded_++);
        return v;
    }
    std::uint32_t Next32() const
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 32; ++i) v = v << 1 | Bit(decoded_ + static_cast<unsigned>(i));
        return v;
    }
    // The input holds the 32 bits after the last one decoded, a byte at a time.
    std::uint64_t Taken() const { return 4 + (decoded_ + 7) / 8; }
    unsigned PendingBits() const { return static_cast<unsigned>(8 * Taken() - decoded_ - 32); }
    std::uint32_t PackedLeft() const { return static_cast<std::uint32_t>(packed_ > Taken() ? packed_ - Taken() : 0); }
    bool Overrun() const { return decoded_ > 8 * real_; }
    std::uint64_t FileBytesRead() const { return std::min(Taken(), real_); }

private:
    const Bytes& file_;
    std::uint64_t packed_;
    std::uint64_t real_;
    std::uint64_t decoded_ = 0;
};

// A code as sent: one constant symbol, a complete prefix code, or lengths
// that are all 0, which no symbol can be decoded from.
struct ModelCode {
    int constant = -1;
    bool empty = false;
    std::vector<std::vector<int>> byLength;  // [length] symbols in increasing order

    static ModelCode Constant(unsigned c, int symbolCount)
    {
        if (c >= static_cast<unsigned>(symbolCount)) throw BadTable{};
        ModelCode code;
        code.constant = static_cast<int>(c);
        return code;
    }
    static ModelCode From(const std::vector<std::uint8_t>& lengths)
    {
        ModelCode code;
        code.byLength.resize(17);
        std::uint32_t space = 0;
        for (std::size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] == 0) continue;
            code.byLength[lengths[s]].push_back(static_cast<int>(s));
            space += 1u << (16 - lengths[s]);
        }
        if (space != 0 && space != 1u << 16) throw BadTable{};
        code.empty = space == 0;
        return code;
    }
    int Decode(ModelBits& in) const
    {
        if (constant >= 0) return constant;
        if (empty) throw BadTable{};
        unsigned value = 0, first = 0;
        for (int length = 1; length <= 16; ++length) {
            value = value << 1 | in.Read(1);
            const std::vector<int>& symbols = byLength[static_cast<std::size_t>(length)];
            if (value - first < symbols.size()) return symbols[value - first];
            first = (first + static_cast<unsigned>(symbols.size())) << 1;
        }
        throw BadTable{};
    }
};

ModelCode ReadSmallCode(ModelBits& in, int symbolCount, int countBits, int specialIndex)
{
    const unsigned n = in.Read(countBits);
    if (n == 0) return ModelCode::Constant(in.Read(countBits), symbolCount);
    if (n > static_cast<unsigned>(symbolCount)) throw BadTable{};
    std::vector<std::uint8_t> lengths(static_cast<std::size_t>(symbolCount), 0);
    unsigned i = 0;
    while (i < n) {
        unsigned c = in.Read(3);
        if (c == 7)
            while (in.Read(1))
                if (++c > 16) throw BadTable{};
        lengths[i++] = static_cast<std::uint8_t>(c);
        if (static_cast<int>(i) == specialIndex) {
            const unsigned zeros = in.Read(2);
            if (i + zeros > static_cast<unsigned>(symbolCount)) throw BadTable{};
            i += zeros;
        }
    }
    return ModelCode::From(lengths);
}

ModelCode ReadLiteralCode(ModelBits& in, const ModelCode& lengthCode)
{
    const unsigned n = in.Read(9);
    if (n == 0) return ModelCode::Constant(in.Read(9), kLiterals);
    if (n > kLiterals) throw BadTable{};
    std::vector<std::uint8_t> lengths(kLiterals, 0);
    unsigned i = 0;
    while (i < n) {
        const int c = lengthCode.Decode(in);
        if (c > 2) {
            lengths[i++] = static_cast<std::uint8_t>(c - 2);
            continue;
        }
        const unsigned run = c == 0 ? 1 : c == 1 ? in.Read(4) + 3 : in.Read(9) + 20;
        if (i + run > kLiterals) throw BadTable{};
        i += run;
    }
    return ModelCode::From(lengths);
}

// The member's content as the format defines it. history starts with the
// window's 8192 bytes from before the member.
class ModelDecoder {
public:
    ModelDecoder(const Bytes& file, std::uint32_t packed, const Bytes& window) : in(file, packed), history_(window) {}

    // Appends count bytes to the history; BadTable leaves those made so far.
    void Chunk(std::size_t count)
    {
        const std::size_t end = history_.size() + count;
        while (history_.size() < end) {
            if (copyLeft_ > 0) {
                --copyLeft_;
                history_.push_back(history_[history_.size() - distance_ - 1]);
                continue;
            }
            if (blockLeft_ == 0) {
                const unsigned count16 = in.Read(16);
                const ModelCode lengthCode = ReadSmallCode(in, kLengthCodes, 5, 3);
                literal_ = ReadLiteralCode(in, lengthCode);
                distanceCode_ = ReadSmallCode(in, kDistances, 4, -1);
                blockLeft_ = count16 == 0 ? -1 : static_cast<long>(count16);
            }
            if (blockLeft_ > 0) --blockLeft_;
            const int c = literal_.Decode(in);
            if (c < 256) {
                history_.push_back(static_cast<std::uint8_t>(c));
                continue;
            }
            copyLeft_ = c - 253;
            const int j = distanceCode_.Decode(in);
            distance_ = j == 0 ? 0 : (std::size_t{1} << (j - 1)) + in.Read(j - 1);
        }
    }
    Bytes Last(std::size_t count) const
    {
        return Bytes(history_.end() - static_cast<std::ptrdiff_t>(count), history_.end());
    }
    std::size_t Size() const { return history_.size(); }

    ModelBits in;

private:
    Bytes history_;
    long blockLeft_ = 0;
    int copyLeft_ = 0;
    std::size_t distance_ = 0;
    ModelCode literal_;
    ModelCode distanceCode_;
};

// ---- Members to decode ------------------------------------------------

using Random = std::mt19937;

unsigned Below(Random& random, unsigned n) { return static_cast<unsigned>(random() % n); }

bool Chance(Random& random, unsigned inN) { return Below(random, inN) == 0; }

int Pick(Random& random, const std::vector<int>& from)
{
    return from[Below(random, static_cast<unsigned>(from.size()))];
}

// Lengths of a random complete code over symbols (two or more): leaves of a
// binary tree split at random, now and then the deepest one, so that codes
// up to maxLength bits come up.
std::vector<std::uint8_t> RandomLengths(Random& random, int symbolCount, const std::vector<int>& symbols, int maxLength)
{
    std::vector<int> depths{0};
    const bool deep = Chance(random, 3);
    while (depths.size() < symbols.size()) {
        std::size_t pick = Below(random, static_cast<unsigned>(depths.size()));
        if (deep && Chance(random, 2)) {
            pick = 0;
            for (std::size_t i = 0; i < depths.size(); ++i)
                if (depths[i] < maxLength && (depths[pick] >= maxLength || depths[i] > depths[pick])) pick = i;
        }
        while (depths[pick] >= maxLength) pick = (pick + 1) % depths.size();
        const int depth = ++depths[pick];
        depths.push_back(depth);
    }
    std::shuffle(depths.begin(), depths.end(), random);
    std::vector<std::uint8_t> lengths(static_cast<std::size_t>(symbolCount), 0);
    for (std::size_t i = 0; i < symbols.size(); ++i)
        lengths[static_cast<std::size_t>(symbols[i])] = static_cast<std::uint8_t>(depths[i]);
    return lengths;
}

std::vector<int> RandomSubset(Random& random, int symbolCount, unsigned size, const std::vector<int>& required)
{
    std::vector<int> all(static_cast<std::size_t>(symbolCount));
    for (int i = 0; i < symbolCount; ++i) all[static_cast<std::size_t>(i)] = i;
    std::shuffle(all.begin(), all.end(), random);
    std::vector<int> subset = required;
    for (int s : all)
        if (subset.size() < size && std::find(subset.begin(), subset.end(), s) == subset.end()) subset.push_back(s);
    std::sort(subset.begin(), subset.end());
    return subset;
}

struct SentCode {
    std::vector<int> symbols;  // those that have a code
    int constant = -1;
    std::vector<std::uint8_t> lengths;
    std::vector<std::uint32_t> codes;
};

SentCode MakeCode(Random& random, int symbolCount, std::vector<int> symbols)
{
    SentCode code;
    code.symbols = symbols;
    if (symbols.size() == 1) {
        code.constant = symbols[0];
        return code;
    }
    code.lengths = RandomLengths(random, symbolCount, symbols, 16);
    // Now and then a length set that is not one complete code.
    if (Chance(random, 60)) {
        std::uint8_t& length = code.lengths[static_cast<std::size_t>(Pick(random, symbols))];
        length = static_cast<std::uint8_t>(Chance(random, 2) ? std::max(1, length - 1) : std::min(16, length + 1));
    }
    code.codes.assign(code.lengths.size(), 0);
    std::uint32_t next = 0;
    for (int length = 1; length <= 16; ++length) {
        for (std::size_t s = 0; s < code.lengths.size(); ++s)
            if (code.lengths[s] == length) code.codes[s] = next++;
        next <<= 1;
    }
    return code;
}

void PutSymbol(BitWriter& out, const SentCode& code, int symbol)
{
    if (code.constant < 0)
        out.Put(code.codes[static_cast<std::size_t>(symbol)], code.lengths[static_cast<std::size_t>(symbol)]);
}

// A code-length or distance code, with a zero run after specialIndex lengths.
void PutSmallCode(BitWriter& out, Random& random, const SentCode& code, int symbolCount, int countBits,
                  int specialIndex)
{
    if (code.constant >= 0) {
        out.Put(0, countBits);
        out.Put(static_cast<std::uint32_t>(code.constant), countBits);
        return;
    }
    int n = 0;
    for (int i = 0; i < symbolCount; ++i)
        if (code.lengths[static_cast<std::size_t>(i)]) n = i + 1;
    if (Chance(random, 4)) n += static_cast<int>(Below(random, static_cast<unsigned>(symbolCount - n + 1)));
    out.Put(static_cast<std::uint32_t>(n), countBits);
    for (int i = 0; i < n; ++i) {
        const unsigned length = code.lengths[static_cast<std::size_t>(i)];
        if (length < 7) {
            out.Put(length, 3);
        } else {
            out.Put(7, 3);
            for (unsigned k = 7; k < length; ++k) out.Put(1, 1);
            out.Put(0, 1);
        }
        if (i + 1 == specialIndex) {
            int zeros = 0;
            while (zeros < 3 && i + 1 + zeros < symbolCount &&
                   code.lengths[static_cast<std::size_t>(i + 1 + zeros)] == 0)
                ++zeros;
            zeros = static_cast<int>(Below(random, static_cast<unsigned>(zeros + 1)));
            out.Put(static_cast<std::uint32_t>(zeros), 2);
            i += zeros;
        }
    }
}

// One block header: its symbol count, the code-length code, the literal
// lengths (with zero runs) and the distance code.
void PutBlockHeader(BitWriter& out, Random& random, std::uint16_t count, const SentCode& literal,
                    const SentCode& distance)
{
    out.Put(count, 16);
    struct Token {
        int c;
        unsigned extra;
    };
    std::vector<Token> tokens;
    unsigned sent = 0;  // lengths sent
    if (literal.constant < 0) {
        int n = 0;
        for (int i = 0; i < kLiterals; ++i)
            if (literal.lengths[static_cast<std::size_t>(i)]) n = i + 1;
        for (int i = 0; i < n;) {
            const int length = literal.lengths[static_cast<std::size_t>(i)];
            int zeros = 0;
            while (i + zeros < n && literal.lengths[static_cast<std::size_t>(i + zeros)] == 0) ++zeros;
            if (length) {
                tokens.push_back({length + 2, 0});
                ++i;
            } else if (zeros >= 20 && Chance(random, 2)) {
                const int run = 20 + static_cast<int>(Below(random, static_cast<unsigned>(std::min(zeros, 531) - 19)));
                tokens.push_back({2, static_cast<unsigned>(run - 20)});
                i += run;
            } else if (zeros >= 3 && Chance(random, 2)) {
                const int run = 3 + static_cast<int>(Below(random, static_cast<unsigned>(std::min(zeros, 18) - 2)));
                tokens.push_back({1, static_cast<unsigned>(run - 3)});
                i += run;
            } else {
                tokens.push_back({0, 0});
                ++i;
            }
        }
        sent = static_cast<unsigned>(n);
        // Now and then a last zero run that reaches past the count sent.
        if (n <= kLiterals - 3 && Chance(random, 4)) {
            const unsigned run = 3 + Below(random, std::min(16u, static_cast<unsigned>(kLiterals - n - 2)));
            tokens.push_back({1, run - 3});
            sent = static_cast<unsigned>(n) + 1 + Below(random, run);
        }
    }
    std::vector<int> used;
    for (const Token& t : tokens)
        if (std::find(used.begin(), used.end(), t.c) == used.end()) used.push_back(t.c);
    if (used.empty()) used.push_back(static_cast<int>(Below(random, kLengthCodes)));
    std::sort(used.begin(), used.end());
    const SentCode lengthCode = MakeCode(random, kLengthCodes, used);
    PutSmallCode(out, random, lengthCode, kLengthCodes, 5, 3);
    if (literal.constant >= 0) {
        out.Put(0, 9);
        out.Put(static_cast<std::uint32_t>(literal.constant), 9);
    } else {
        out.Put(sent, 9);
        for (const Token& t : tokens) {
            PutSymbol(out, lengthCode, t.c);
            if (t.c == 1) out.Put(t.extra, 4);
            if (t.c == 2) out.Put(t.extra, 9);
        }
    }
    PutSmallCode(out, random, distance, kDistances, 4, -1);
}

struct Packed {
    Bytes packed;
    std::size_t size = 0;  // content bytes the symbols make
};

// A member of one to four blocks of random codes and symbols. Every eighth
// chunk border that a symbol starts at gets a copy at distance 0 or 8191 if
// the codes have one.
Packed RandomMember(Random& random)
{
    BitWriter out;
    Packed member;
    const std::size_t target = Chance(random, 3) ? 1000 + Below(random, 40000) : 1 + Below(random, 4000);
    const int blocks = 1 + static_cast<int>(Below(random, 4));
    for (int b = 0; b < blocks && member.size < target; ++b) {
        const bool last = b + 1 == blocks;
        std::vector<int> literalSymbols;
        const unsigned kind = Below(random, 4);
        const unsigned size = kind == 0 ? 1 : kind == 1 ? 2 + Below(random, 20) : 2 + Below(random, kLiterals - 1);
        const std::vector<int> none;
        literalSymbols =
            RandomSubset(random, kLiterals, size, Chance(random, 2) ? std::vector<int>{'e', 509, 256} : none);
        const SentCode literal = MakeCode(random, kLiterals, literalSymbols);
        const unsigned distanceSize = 1 + Below(random, kDistances);
        const SentCode distance = MakeCode(
            random, kDistances,
            RandomSubset(random, kDistances, distanceSize, Chance(random, 2) ? std::vector<int>{0, 13} : none));
        // The symbols first: the header counts them.
        struct Planned {
            int s, j;
            std::uint32_t extra;
        };
        std::vector<Planned> planned;
        const std::size_t most = 1 + Below(random, Chance(random, 4) ? 30000 : 2000);
        while (planned.size() < most && member.size < target) {
            const bool border = member.size % kWindow == 0 && Chance(random, 8);
            // Half the time the lowest symbols: literals and short copies.
            const unsigned choices = static_cast<unsigned>(literal.symbols.size());
            Planned p{literal.symbols[Below(random, Chance(random, 2) ? choices : 1 + Below(random, choices))], 0, 0};
            if (border)
                for (int t : literal.symbols)
                    if (t >= 256) p.s = t;
            if (p.s < 256) {
                ++member.size;
            } else {
                member.size += static_cast<std::size_t>(p.s - 253);
                p.j = Pick(random, distance.symbols);
                if (border) p.j = distance.symbols[Chance(random, 2) ? 0 : distance.symbols.size() - 1];
                if (p.j > 1) p.extra = border ? (1u << (p.j - 1)) - 1 : random() & ((1u << (p.j - 1)) - 1);
            }
            planned.push_back(p);
        }
        const bool holds = last && Chance(random, 5);
        PutBlockHeader(out, random, holds ? 0 : static_cast<std::uint16_t>(planned.size()), literal, distance);
        for (const Planned& p : planned) {
            PutSymbol(out, literal, p.s);
            if (p.s < 256) continue;
            PutSymbol(out, distance, p.j);
            if (p.j > 1) out.Put(p.extra, p.j - 1);
        }
    }
    member.packed = out.Finish();
    return member;
}

// One member as the decoder is given it.
struct Case {
    Bytes file;            // the archive from the member's packed data on
    std::uint32_t packed;  // packedLeft at the start
    std::size_t size;      // content bytes asked for
    Bytes window;          // the chunk buffer before the member
    std::size_t offset;    // bytes of the stream before the packed data
};

Case MakeCase(Random& random, const Packed& member, int variant)
{
    Case c{member.packed, static_cast<std::uint32_t>(member.packed.size()), member.size, Bytes(kWindow),
           Below(random, 40)};
    for (auto& b : c.window) b = static_cast<std::uint8_t>(random());
    // What follows the member: the next header, say.
    for (int i = 0; i < 16; ++i) c.file.push_back(static_cast<std::uint8_t>(random()));
    switch (variant) {
    case 0: break;
    case 1:  // bits flipped
        for (unsigned k = 1 + Below(random, 6); k > 0; --k)
            c.file[Below(random, static_cast<unsigned>(c.file.size()))] ^=
                static_cast<std::uint8_t>(1u << Below(random, 8));
        break;
    case 2: {  // bytes overwritten, inserted or removed
        const std::size_t at = Below(random, static_cast<unsigned>(c.file.size()));
        const std::size_t n = 1 + Below(random, 16);
        if (Chance(random, 2)) {
            for (std::size_t i = at; i < std::min(c.file.size(), at + n); ++i)
                c.file[i] = static_cast<std::uint8_t>(random());
        } else if (Chance(random, 2)) {
            c.file.insert(c.file.begin() + static_cast<std::ptrdiff_t>(at), n, static_cast<std::uint8_t>(random()));
        } else {
            c.file.erase(c.file.begin() + static_cast<std::ptrdiff_t>(at),
                         c.file.begin() + static_cast<std::ptrdiff_t>(std::min(c.file.size(), at + n)));
        }
        break;
    }
    case 3:  // the packed size short of the data, or the file
        if (Chance(random, 2))
            c.packed = Below(random, c.packed + 1);
        else
            c.file.resize(Below(random, static_cast<unsigned>(c.packed + 1)));
        break;
    default:  // more content asked for than the symbols make
        c.size += 1 + Below(random, Chance(random, 4) ? 100000 : 20000);
        break;
    }
    return c;
}

// ---- The decoder under test -------------------------------------------

std::jmp_buf stopped;

void JumpBack() { std::longjmp(stopped, 1); }

Bytes window;

// False when the chunk stopped with "Bad table".
bool DecodeOneChunk(unsigned count)
{
    if (setjmp(stopped) != 0) return false;
    DecodeChunk(count, window.data());
    return true;
}

struct Tally {
    int cases = 0, unseekable = 0, chunks = 0, badTable = 0, overrun = 0;
    std::size_t bytes = 0;
    bool overrunSeen = false;  // in the current case
};
Tally tally;

// A stream that cannot seek, as a pipe: the decoder reads it a byte at a
// time. Unbuffered, so that what it has read is what the decoder took.
struct Unseekable {
    const Bytes* bytes;
    std::size_t read;
};

ssize_t ReadUnseekable(void* cookie, char* to, std::size_t size)
{
    auto& source = *static_cast<Unseekable*>(cookie);
    const std::size_t n = std::min(size, source.bytes->size() - source.read);
    std::memcpy(to, source.bytes->data() + source.read, n);
    source.read += n;
    return static_cast<ssize_t>(n);
}

// Decodes the case with the decoder and the model side by side; the first
// difference is a failure. The archive stream is a file, or with seekable
// false a stream that cannot seek.
void Compare(const Case& c, bool seekable = true)
{
    ++tally.cases;
    tally.overrunSeen = false;
    ModelDecoder model(c.file, c.packed, c.window);
    Bytes stream(c.offset, 0x5A);
    stream.insert(stream.end(), c.file.begin(), c.file.end());
    std::FILE* file = nullptr;
    Unseekable source{&stream, c.offset};
    if (seekable) {
        file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(stream.data(), 1, stream.size(), file);
        std::fseek(file, static_cast<long>(c.offset), SEEK_SET);
    } else {
        file = fopencookie(&source, "r", {ReadUnseekable, nullptr, nullptr, nullptr});
        ASSERT_NE(file, nullptr);
        std::setvbuf(file, nullptr, _IONBF, 0);
        ++tally.unseekable;
    }
    // A window of its own, so that the sanitizers see any access past it.
    window = c.window;
    StartMemberDecoding(file, c.packed);

    std::size_t done = 0;
    for (int chunk = 0; done < c.size; ++chunk) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        const unsigned n = static_cast<unsigned>(std::min(c.size - done, kWindow));
        const std::size_t before = model.Size();
        bool modelBad = false;
        try {
            model.Chunk(n);
        } catch (BadTable) {
            modelBad = true;
        }
        const bool decoded = DecodeOneChunk(n);
        ASSERT_EQ(!decoded, modelBad);
        if (modelBad) {
            ++tally.badTable;
            const std::size_t made = model.Size() - before;
            ASSERT_TRUE(std::equal(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(made),
                                   model.Last(made).begin()))
                << made << " bytes";
            std::fclose(file);
            return;
        }
        ASSERT_TRUE(std::equal(window.begin(), window.begin() + n, model.Last(n).begin()));
        ASSERT_EQ(lzhDecoder.bitWindow, model.in.Next32());
        ASSERT_EQ(lzhDecoder.pendingBits, model.in.PendingBits());
        ASSERT_EQ(lzhDecoder.packedLeft, model.in.PackedLeft());
        ASSERT_EQ(LzhInputOverrun(), model.in.Overrun());
        done += n;
        ++tally.chunks;
        tally.bytes += n;
        if (model.in.Overrun() && !tally.overrunSeen) tally.overrunSeen = true, ++tally.overrun;
    }
    FinishMemberDecoding();
    const std::uint64_t position = seekable ? static_cast<std::uint64_t>(std::ftell(file)) : source.read;
    EXPECT_EQ(position - c.offset, model.in.FileBytesRead());
    std::fclose(file);
}

class LzhDifferential : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousStop_ = lzhStop;
        lzhStop = JumpBack;
        ::testing::internal::CaptureStderr();  // "Bad table" lines
    }
    void TearDown() override
    {
        ::testing::internal::GetCapturedStderr();
        lzhStop = previousStop_;
        std::printf(
            "%d cases (%d from a stream that cannot seek), %d chunks of %zu bytes in all; %d stopped with Bad table, "
            "%d read past their data\n",
            tally.cases, tally.unseekable, tally.chunks, tally.bytes, tally.badTable, tally.overrun);
        tally = {};
    }

private:
    LzhStopFunction previousStop_ = nullptr;
};

}  // namespace

TEST_F(LzhDifferential, RandomMembersValidAndCorruptDecodeAsTheModelDoes)
{
    Random random(20261209);
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kMembers = 800;  // the sanitizers' build is ten times slower
#else
    constexpr int kMembers = 2000;
#endif
    for (int m = 0; m < kMembers; ++m) {
        const Packed member = RandomMember(random);
        for (int variant = 0; variant < 5; ++variant) {
            SCOPED_TRACE("member " + std::to_string(m) + ", variant " + std::to_string(variant));
            Compare(MakeCase(random, member, variant), (m + variant) % 4 != 0);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
        }
    }
}

TEST_F(LzhDifferential, RandomBytesDecodeAsTheModelDoes)
{
    // Mostly "Bad table" early; some get through a header by chance.
    Random random(77);
    for (int k = 0; k < 20000; ++k) {
        Case c{Bytes(1 + Below(random, 64)), 0, 1 + Below(random, 20000), Bytes(kWindow, 0x11), Below(random, 4)};
        for (auto& b : c.file) b = static_cast<std::uint8_t>(random());
        c.packed = static_cast<std::uint32_t>(c.file.size()) - Below(random, 2);
        SCOPED_TRACE("case " + std::to_string(k));
        Compare(c, k % 4 != 0);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
}
