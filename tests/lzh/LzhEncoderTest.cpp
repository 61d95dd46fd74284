// The -lh5- encoder against our decoder: content of many shapes and sizes,
// and thousands of random ones, must come back byte for byte; and the code
// lengths it sends are optimal prefix codes of at most 16 bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <queue>
#include <random>
#include <stdexcept>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "lzh/LzhEncoder.h"
#include "lzh/LzhTestSupport.h"

using namespace lzhtest;

namespace {

struct Encoded {
    LzhEncodeResult result;
    Bytes packed;
    int writesAfterRefusal = 0;
    bool refused = false;
};

// Encodes content handed over in reads of at most readSize bytes; write
// takes at most acceptBytes in all and refuses the write that would pass it.
Encoded Encode(const Bytes& content, std::size_t readSize = 1u << 20, std::size_t acceptBytes = SIZE_MAX)
{
    struct Context {
        const Bytes* content;
        std::size_t at;
        std::size_t readSize;
        std::size_t accept;
        Encoded out;
    } c{&content, 0, readSize, acceptBytes, {}};
    const LzhEncodeStreams streams{[](void* context, std::uint8_t* to, std::size_t count) {
                                       Context& c = *static_cast<Context*>(context);
                                       count = std::min({count, c.readSize, c.content->size() - c.at});
                                       if (count != 0) std::memcpy(to, c.content->data() + c.at, count);
                                       c.at += count;
                                       return count;
                                   },
                                   [](void* context, const std::uint8_t* bytes, std::size_t count) {
                                       Context& c = *static_cast<Context*>(context);
                                       if (c.out.refused) ++c.out.writesAfterRefusal;
                                       if (c.out.packed.size() + count > c.accept) {
                                           c.out.refused = true;
                                           return false;
                                       }
                                       c.out.packed.insert(c.out.packed.end(), bytes, bytes + count);
                                       return true;
                                   },
                                   &c};
    c.out.result = EncodeLh5(streams);
    return c.out;
}

struct FatalStop : std::runtime_error {
    FatalStop() : std::runtime_error("Bad table") {}
};

// Decodes with our decoder from a window that starts as windowByte: a member
// must not reach before its start. Nothing when the decoder stops.
std::optional<Bytes> Decode(const Bytes& packed, std::size_t count, std::uint8_t windowByte = 0)
{
    std::FILE* file = std::tmpfile();
    if (!file) return std::nullopt;
    if (!packed.empty()) std::fwrite(packed.data(), 1, packed.size(), file);
    std::rewind(file);
    std::memset(lzhReader.chunk, windowByte, sizeof lzhReader.chunk);
    const LzhStopFunction before = lzhStop;
    lzhStop = [] { throw FatalStop(); };
    Bytes out;
    try {
        StartMemberDecoding(file, static_cast<std::uint32_t>(packed.size()));
        while (out.size() < count) {
            const unsigned n = static_cast<unsigned>(std::min<std::size_t>(count - out.size(), kLzhChunkSize));
            DecodeChunk(n, lzhReader.chunk);
            out.insert(out.end(), lzhReader.chunk, lzhReader.chunk + n);
        }
    } catch (const FatalStop&) {
        lzhStop = before;
        std::fclose(file);
        return std::nullopt;
    }
    lzhStop = before;
    const bool overrun = LzhInputOverrun();
    std::fclose(file);
    if (overrun) return std::nullopt;
    return out;
}

void ExpectRoundTrip(const Bytes& content, std::size_t readSize = 1u << 20)
{
    const Encoded e = Encode(content, readSize);
    EXPECT_FALSE(e.result.stopped);
    EXPECT_EQ(e.result.contentSize, content.size());
    EXPECT_EQ(e.result.packedSize, e.packed.size());
    EXPECT_EQ(e.result.crc, Crc16(content));
    const std::optional<Bytes> decoded = Decode(e.packed, content.size(), 0xA5);
    ASSERT_TRUE(decoded.has_value()) << "the decoder stopped or read past the packed data";
    EXPECT_TRUE(*decoded == content);
}

Bytes Random(std::size_t count, std::uint32_t seed, unsigned alphabet = 256)
{
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& byte : out) byte = static_cast<std::uint8_t>(random() % alphabet);
    return out;
}

Bytes Prose(std::size_t count, std::uint32_t seed)
{
    static const char* const kWords[] = {"the ", "patch ", "kivra ", "of ",      "field ", "quest ", "and ", "sound ",
                                         "map ", "a ",     "to ",    "version ", "\r\n",   ", ",     ". "};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < count) {
        const std::size_t i = std::min<std::size_t>(random() % 16, random() % 16);
        const char* word = kWords[i % std::size(kWords)];
        out.insert(out.end(), word, word + std::strlen(word));
    }
    out.resize(count);
    return out;
}

// Content that copies itself: runs, repeats at every distance up to and past
// the window, pieces of a small alphabet and of noise, in random measure.
Bytes Mixed(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < count) {
        const unsigned kind = random() % 5;
        const std::size_t n = 1 + random() % (random() % 4 == 0 ? 3000 : 40);
        if (kind == 0 || out.empty()) {
            for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(random()));
        } else if (kind == 1) {
            out.insert(out.end(), n, static_cast<std::uint8_t>(random() % 4));
        } else if (kind == 2) {
            for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>('a' + random() % 3));
        } else {
            const std::size_t distance = 1 + random() % std::min<std::size_t>(out.size(), kind == 3 ? 16 : 9000);
            for (std::size_t i = 0; i < n; ++i) out.push_back(out[out.size() - distance]);
        }
    }
    out.resize(count);
    return out;
}

}  // namespace

TEST(LzhEncoder, ContentOfEveryShapeComesBackThroughTheDecoder)
{
    Bytes farRepeat = Random(8191, 1);
    farRepeat = Concat({farRepeat, farRepeat, Random(1, 2), farRepeat});  // at 8191 and just past the window
    Bytes allBytes(256);
    for (int i = 0; i < 256; ++i) allBytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    const struct {
        const char* name;
        Bytes content;
    } cases[] = {
        {"empty", {}},
        {"one byte", {'A'}},
        {"three bytes", Text("abc")},
        {"a run of four", Text("aaaa")},
        {"8191 bytes", Prose(8191, 3)},
        {"8192 bytes", Prose(8192, 4)},
        {"8193 bytes", Prose(8193, 5)},
        {"a long run", Bytes(300000, 0)},
        {"two bytes alternating",
         [] {
             Bytes b(70001);
             for (std::size_t i = 0; i < b.size(); ++i) b[i] = i % 2 ? 'x' : 'y';
             return b;
         }()},
        {"prose", Prose(400000, 6)},
        {"noise, in more than one block", Random(200000, 7)},
        {"a small alphabet", Random(100000, 8, 3)},
        {"every byte once", allBytes},
        {"every byte, then copies", Concat({allBytes, allBytes, allBytes})},
        {"repeats at the window's edge", farRepeat},
        {"mixed", Mixed(500000, 9)},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        ExpectRoundTrip(content);
        ExpectRoundTrip(content, 1000);  // content that arrives in small reads
    }
    EXPECT_TRUE(Encode({}).packed.empty());
}

TEST(LzhEncoder, ThousandsOfRandomContentsComeBack)
{
    std::mt19937 random(17);
    std::size_t bytes = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::size_t size = random() % 4 == 0 ? random() % 40000 : random() % 600;
        const Bytes content = i % 3 == 0 ? Random(size, random(), 1 + random() % 256) : Mixed(size, random());
        SCOPED_TRACE("case " + std::to_string(i) + ", " + std::to_string(size) + " bytes");
        ExpectRoundTrip(content, 1 + random() % 70000);
        if (HasFailure()) break;
        bytes += size;
    }
    EXPECT_GT(bytes, 10'000'000u);
}

TEST(LzhEncoder, PacksWhatRepeatsAndBarelyGrowsWhatDoesNot)
{
    EXPECT_LT(Encode(Bytes(1'000'000, 'k')).packed.size(), 1000u);
    EXPECT_LT(Encode(Prose(1'000'000, 10)).packed.size(), 400'000u);
    // Noise costs its bytes and a block header per block of at most 65535 symbols.
    const std::size_t noise = Encode(Random(1'000'000, 11)).packed.size();
    EXPECT_LT(noise, 1'000'000u + 1'000'000u / 65535 * 400 + 400);
}

TEST(LzhEncoder, ARefusedWriteEndsTheEncoding)
{
    const Bytes content = Random(300000, 12);
    const Encoded full = Encode(content);
    for (std::size_t accept : {std::size_t{0}, std::size_t{1000}, full.packed.size() - 1}) {
        SCOPED_TRACE(accept);
        const Encoded stopped = Encode(content, 1u << 20, accept);
        EXPECT_TRUE(stopped.result.stopped);
        EXPECT_EQ(stopped.result.packedSize, stopped.packed.size());
        EXPECT_LE(stopped.packed.size(), accept);
        EXPECT_EQ(stopped.writesAfterRefusal, 0);
        EXPECT_TRUE(std::equal(stopped.packed.begin(), stopped.packed.end(), full.packed.begin()));
    }
}

// A plain Huffman code's cost, for comparison, and its depth: ties go to the
// shallower tree, which gives the least depth an optimal code can have.
std::pair<std::uint64_t, int> Huffman(const std::vector<std::uint32_t>& frequencies)
{
    using Node = std::pair<std::uint64_t, int>;  // weight, depth
    std::priority_queue<Node, std::vector<Node>, std::greater<>> queue;
    for (std::uint32_t f : frequencies)
        if (f) queue.push({f, 0});
    std::uint64_t cost = 0;
    while (queue.size() > 1) {
        const Node a = queue.top();
        queue.pop();
        const Node b = queue.top();
        queue.pop();
        cost += a.first + b.first;
        queue.push({a.first + b.first, std::max(a.second, b.second) + 1});
    }
    return {cost, queue.empty() ? 0 : queue.top().second};
}

TEST(LzhEncoder, CodeLengthsFormCompleteOptimalCodesWithinTheLimit)
{
    std::mt19937 random(13);
    int bound = 0;  // cases where the limit binds
    for (int i = 0; i < 2000; ++i) {
        const int symbols = i % 3 == 0 ? 19 : i % 3 == 1 ? 14 : 510;
        const int limit = i % 5 == 0 ? 7 : 16;
        std::vector<std::uint32_t> frequencies(static_cast<std::size_t>(symbols));
        const int shape = i % 4;
        std::uint64_t a = 1;
        std::uint64_t b = 1;
        for (auto& f : frequencies) {
            if (random() % 3 == 0) continue;  // unused
            if (shape == 0) {
                // Fibonacci weights: the deepest tree there is.
                f = static_cast<std::uint32_t>(std::min<std::uint64_t>(a, 1u << 30));
                const std::uint64_t next = a + b;
                a = b;
                b = next;
            } else {
                f = 1 + random() % (shape == 1 ? 3 : shape == 2 ? 1000 : 65535);
            }
        }
        int used = static_cast<int>(std::count_if(frequencies.begin(), frequencies.end(), [](auto f) { return f; }));
        if ((1 << limit) < used) continue;
        std::vector<std::uint8_t> lengths(static_cast<std::size_t>(symbols), 99);
        MakeLimitedCodeLengths(frequencies.data(), symbols, limit, lengths.data());

        SCOPED_TRACE("case " + std::to_string(i));
        std::uint64_t kraft = 0;  // in units of 2^-limit
        std::uint64_t cost = 0;
        int longest = 0;
        for (int s = 0; s < symbols; ++s) {
            const auto f = frequencies[static_cast<std::size_t>(s)];
            const int length = lengths[static_cast<std::size_t>(s)];
            ASSERT_EQ(length == 0, f == 0) << "symbol " << s;
            ASSERT_LE(length, limit);
            if (length) kraft += std::uint64_t{1} << (limit - length);
            cost += std::uint64_t{f} * static_cast<unsigned>(length);
            longest = std::max(longest, length);
        }
        if (used == 1) {
            EXPECT_EQ(kraft, std::uint64_t{1} << (limit - 1));  // sent as a constant
            continue;
        }
        if (used == 0) continue;
        EXPECT_EQ(kraft, std::uint64_t{1} << limit);  // complete: the decoder's table test
        const auto [huffman, depth] = Huffman(frequencies);
        EXPECT_GE(cost, huffman);
        if (depth <= limit) {
            EXPECT_EQ(cost, huffman);  // the limit does not bind
        } else {
            EXPECT_EQ(longest, limit);
            ++bound;
        }
    }
    EXPECT_GT(bound, 100);
}
