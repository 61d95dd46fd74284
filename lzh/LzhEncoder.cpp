// Encoding of -lh5- packed data.
//
// The parse runs a byte behind the search, as a lazy matcher does: the copy
// found at a position waits until the search one byte further has shown
// whether a literal there and the copy after it are worth more. Worth is
// measured in bits saved against sending the bytes as literals, at the
// prices that the block's statistics so far give; they are brought up to date
// after every segment of symbols, and less often once the block is large.
//
// Symbols are gathered in segments of kSegmentSymbols. At the end of each
// segment the block so far and the segment are costed apart and together
// (their entropy and an estimate of a block header): the segment starts a new
// block when keeping them apart is cheaper, or when the block would pass 65535
// symbols.
#include "lzh/LzhEncoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "lzh/LzhCrc.h"
#include "lzh/LzhFormat.h"

namespace {

constexpr std::uint32_t kMaxOffset = kLzhWindowSize - 1;
// A copy of length L is symbol L + kCopySymbolBias.
constexpr unsigned kCopySymbolBias = kLzhFirstCopySymbol - kLzhMinCopyLength;

// The match search.
constexpr unsigned kHash3Bits = 14;
constexpr unsigned kHash4Bits = 15;
constexpr std::uint32_t kChainMask = kLzhWindowSize - 1;
constexpr int kSearchDepth = 24;       // candidates looked at, at most
constexpr unsigned kNiceLength = 128;  // a copy this long ends the search
constexpr unsigned kGoodLength = 24;   // beating a copy this long: a quarter of the depth
constexpr unsigned kLazyLength = 64;   // a copy this long is taken without a look further

// The content buffer: it slides by kSlide once full, keeping the window.
constexpr std::uint32_t kSlide = 1u << 16;
constexpr std::uint32_t kBufferSize = 2 * kSlide;
constexpr std::uint32_t kLookahead = kLzhMaxCopyLength + 2;
// The position of a member's first byte: a hash head of 0 is then always
// farther back than a copy can reach.
constexpr std::uint32_t kFirstPosition = kLzhWindowSize;

// Blocks.
constexpr unsigned kMaxBlockSymbols = 65535;
constexpr unsigned kSegmentSymbols = 1024;
constexpr unsigned kRepriceEvery = 4096;  // symbols, once a block has that many
// A block header's cost beyond the code lengths themselves, in bits, and per
// used symbol: the estimate that block splitting weighs.
constexpr double kBlockHeaderBits = 50;
constexpr double kLiteralLengthBits = 3;
constexpr double kDistanceLengthBits = 3;

// Packed bytes go to the streams' write in pieces of about this size.
constexpr std::size_t kOutputSize = 1u << 16;
constexpr std::size_t kOutputFlush = kOutputSize - 4096;

// Prices are in 1/16 bits.
constexpr int kPriceScale = 16;
constexpr int kMaxPrice = 24 * kPriceScale;

struct Symbol {
    std::uint16_t code;      // a literal byte, or a copy length + kCopySymbolBias
    std::uint16_t distance;  // for a copy: its offset less 1 (0 to 8190)
};

struct Histogram {
    std::uint32_t literal[kLzhLiteralSymbols];
    std::uint32_t distance[kLzhDistanceSymbols];
    unsigned count;  // symbols counted
};

struct Match {
    unsigned length;  // 0: none worth sending
    std::uint32_t offset;
    int value;  // bits saved against literals, in price units
};

struct Encoder {
    LzhEncodeStreams streams;
    // The content: data[0] is position base; bytes up to position end.
    std::uint8_t data[kBufferSize];
    std::uint32_t base;
    std::uint32_t end;
    bool contentEnded;
    std::uint64_t contentSize;
    std::uint16_t crc;

    // The last position of each hash of 3 bytes; the chains of positions
    // with the same hash of 4 bytes, head4 the newest of each.
    std::uint32_t head3[1u << kHash3Bits];
    std::uint32_t head4[1u << kHash4Bits];
    std::uint32_t chain[kLzhWindowSize];

    std::uint16_t symbolPrice[kLzhLiteralSymbols];
    std::uint16_t distancePrice[kLzhDistanceSymbols];  // extra bits included
    int literalPrice;                                  // a literal byte, on average

    // symbols[0 .. block.count) are the block, the segment follows.
    Symbol symbols[kMaxBlockSymbols + kSegmentSymbols];
    Histogram block;
    Histogram segment;
    double blockCost;
    unsigned segmentsUnpriced;  // segments since the prices were last brought up to date

    std::uint8_t output[kOutputSize];
    std::size_t outputCount;
    std::uint64_t bitBuffer;  // the low bitCount bits are pending
    unsigned bitCount;
    std::uint64_t packedSize;
    bool stopped;
};

Encoder encoder;

// --- Prefix codes ----------------------------------------------------------

struct Code {
    std::uint8_t lengths[kLzhLiteralSymbols];
    std::uint16_t codes[kLzhLiteralSymbols];
    int constant;  // the one symbol of a code that takes no bits, or -1
    int sent;      // lengths sent: up to the last used symbol
};

void MakeCanonicalCodes(Code& code, int symbolCount)
{
    unsigned count[kLzhMaxCodeLength + 1] = {};
    for (int i = 0; i < symbolCount; ++i) ++count[code.lengths[i]];
    count[0] = 0;
    unsigned next[kLzhMaxCodeLength + 1] = {};
    unsigned value = 0;
    for (int length = 1; length <= kLzhMaxCodeLength; ++length) {
        value = (value + count[length - 1]) << 1;
        next[length] = value;
    }
    for (int i = 0; i < symbolCount; ++i) {
        const int length = code.lengths[i];
        code.codes[i] = length ? static_cast<std::uint16_t>(next[length]++) : 0;
    }
}

// A code over the used symbols; one used symbol (or none) makes a constant.
void BuildCode(Code& code, const std::uint32_t* frequencies, int symbolCount)
{
    MakeLimitedCodeLengths(frequencies, symbolCount, kLzhMaxCodeLength, code.lengths);
    int used = 0;
    int last = -1;
    for (int i = 0; i < symbolCount; ++i) {
        if (frequencies[i]) {
            ++used;
            last = i;
        }
    }
    code.sent = last + 1;
    code.constant = -1;
    if (used <= 1) {
        code.constant = last < 0 ? 0 : last;
        code.lengths[code.constant] = 0;
        code.sent = 0;
    }
    MakeCanonicalCodes(code, symbolCount);
}

// --- Bit output ------------------------------------------------------------

void FlushOutput()
{
    Encoder& e = encoder;
    if (e.outputCount == 0) return;
    if (!e.stopped && !e.streams.write(e.streams.context, e.output, e.outputCount)) e.stopped = true;
    if (!e.stopped) e.packedSize += e.outputCount;
    e.outputCount = 0;
}

// Puts the low n bits of value (n up to 32), the highest first.
inline void PutBits(std::uint32_t value, unsigned n)
{
    Encoder& e = encoder;
    e.bitBuffer = (e.bitBuffer << n) | value;
    e.bitCount += n;
    if (e.bitCount >= 32) {
        e.bitCount -= 32;
        const std::uint32_t word = static_cast<std::uint32_t>(e.bitBuffer >> e.bitCount);
        std::uint8_t* out = e.output + e.outputCount;
        out[0] = static_cast<std::uint8_t>(word >> 24);
        out[1] = static_cast<std::uint8_t>(word >> 16);
        out[2] = static_cast<std::uint8_t>(word >> 8);
        out[3] = static_cast<std::uint8_t>(word);
        e.outputCount += 4;
    }
}

// The pending bits, padded with zero bits to a byte.
void FinishBits()
{
    Encoder& e = encoder;
    while (e.bitCount > 0) {
        const unsigned n = e.bitCount < 8 ? e.bitCount : 8;
        e.bitCount -= n;
        e.output[e.outputCount++] =
            static_cast<std::uint8_t>(((e.bitBuffer >> e.bitCount) & ((1u << n) - 1)) << (8 - n));
    }
    FlushOutput();
}

inline void PutSymbol(const Code& code, unsigned symbol) { PutBits(code.codes[symbol], code.lengths[symbol]); }

// A length of the code-length and distance codes: 0 to 6 in three bits, 7
// and more as 7 followed by a 1 bit for each beyond 7 and a closing 0.
void PutSmallLength(unsigned length)
{
    if (length < 7) {
        PutBits(length, 3);
    } else {
        PutBits(7, 3);
        PutBits(((1u << (length - 7)) - 1) << 1, length - 6);
    }
}

// The code-length or distance code. The code-length code (specialIndex 3)
// follows its third length with a 2-bit count of zero lengths after it.
void PutSmallCode(const Code& code, unsigned countBits, int specialIndex)
{
    if (code.constant >= 0) {
        PutBits(0, countBits);
        PutBits(static_cast<unsigned>(code.constant), countBits);
        return;
    }
    PutBits(static_cast<unsigned>(code.sent), countBits);
    for (int i = 0; i < code.sent;) {
        PutSmallLength(code.lengths[i++]);
        if (i == specialIndex) {
            unsigned zeros = 0;
            while (zeros < 3 && i + static_cast<int>(zeros) < code.sent && code.lengths[i + zeros] == 0) ++zeros;
            PutBits(zeros, 2);
            i += static_cast<int>(zeros);
        }
    }
}

// --- Blocks ----------------------------------------------------------------

inline unsigned DistanceSymbol(unsigned distance) { return static_cast<unsigned>(std::bit_width(distance)); }

struct LengthItem {
    std::uint8_t symbol;  // of the code-length code
    std::uint16_t extra;  // a zero run's length less its symbol's least
};

// The literal code's lengths as symbols of the code-length code: 0 one zero
// length, 1 a run of 3 to 18 (4 bits more), 2 a run of 20 to 531 (9 bits
// more), 3 to 18 a length of 1 to 16.
int LengthItems(const Code& literal, LengthItem* items)
{
    int n = 0;
    for (int i = 0; i < literal.sent;) {
        if (literal.lengths[i] != 0) {
            items[n++] = {static_cast<std::uint8_t>(literal.lengths[i] + 2), 0};
            ++i;
            continue;
        }
        int run = 0;
        while (i + run < literal.sent && literal.lengths[i + run] == 0) ++run;
        i += run;
        while (run > 0) {
            if (run <= 2) {
                items[n++] = {0, 0};
                --run;
            } else if (run <= 18) {
                items[n++] = {1, static_cast<std::uint16_t>(run - 3)};
                run = 0;
            } else if (run == 19) {
                items[n++] = {0, 0};
                --run;
            } else {
                const int taken = std::min(run, 531);
                items[n++] = {2, static_cast<std::uint16_t>(taken - 20)};
                run -= taken;
            }
        }
    }
    return n;
}

Code literalCode;
Code distanceCode;
Code lengthCode;
LengthItem lengthItems[kLzhLiteralSymbols];

void WriteBlock(const Symbol* symbols, const Histogram& histogram)
{
    Encoder& e = encoder;
    BuildCode(literalCode, histogram.literal, kLzhLiteralSymbols);
    BuildCode(distanceCode, histogram.distance, kLzhDistanceSymbols);

    int itemCount = 0;
    std::uint32_t itemFrequencies[kLzhLengthSymbols] = {};
    if (literalCode.constant < 0) {
        itemCount = LengthItems(literalCode, lengthItems);
        for (int i = 0; i < itemCount; ++i) ++itemFrequencies[lengthItems[i].symbol];
    }
    BuildCode(lengthCode, itemFrequencies, kLzhLengthSymbols);

    PutBits(histogram.count, kLzhBlockCountBits);
    PutSmallCode(lengthCode, kLzhLengthCountBits, kLzhLengthSpecialIndex);
    if (literalCode.constant >= 0) {
        PutBits(0, kLzhLiteralCountBits);
        PutBits(static_cast<unsigned>(literalCode.constant), kLzhLiteralCountBits);
    } else {
        PutBits(static_cast<unsigned>(literalCode.sent), kLzhLiteralCountBits);
        for (int i = 0; i < itemCount; ++i) {
            const LengthItem item = lengthItems[i];
            PutSymbol(lengthCode, item.symbol);
            if (item.symbol == 1) PutBits(item.extra, 4);
            if (item.symbol == 2) PutBits(item.extra, 9);
        }
    }
    PutSmallCode(distanceCode, kLzhDistanceCountBits, kLzhNoSpecialIndex);

    for (unsigned i = 0; i < histogram.count; ++i) {
        const Symbol s = symbols[i];
        PutSymbol(literalCode, s.code);
        if (s.code >= kLzhFirstCopySymbol) {
            const unsigned j = DistanceSymbol(s.distance);
            PutSymbol(distanceCode, j);
            if (j > 1) PutBits(s.distance - (1u << (j - 1)), j - 1);
        }
        if (e.outputCount >= kOutputFlush) FlushOutput();
    }
    FlushOutput();
}

// log2(1 + i / 4096), for Log2.
float log2Fractions[1u << 12];

void MakeLog2Table()
{
    if (log2Fractions[1] != 0) return;
    for (unsigned i = 0; i < (1u << 12); ++i) log2Fractions[i] = static_cast<float>(std::log2(1.0 + i / 4096.0));
}

// log2(x) for x of 1 and more, to about 1/4096.
inline float Log2(std::uint32_t x)
{
    const int exponent = 31 - std::countl_zero(x);
    const std::uint32_t fraction = exponent >= 12 ? x >> (exponent - 12) : x << (12 - exponent);
    return static_cast<float>(exponent) + log2Fractions[fraction & 0xFFF];
}

// Sum of f log2(total / f) over the frequencies f of a and b together, and
// the number of symbols used.
float CodeBits(const std::uint32_t* a, const std::uint32_t* b, int n, int& used)
{
    float sum = 0;
    std::uint32_t total = 0;
    used = 0;
    for (int i = 0; i < n; ++i) {
        const std::uint32_t f = a[i] + (b ? b[i] : 0);
        if (f == 0) continue;
        sum -= static_cast<float>(f) * Log2(f);
        total += f;
        ++used;
    }
    return total ? sum + static_cast<float>(total) * Log2(total) : 0.0f;
}

// Bits of the histogram's symbols under codes made for them, and an
// estimate of their block header.
double BlockCost(const Histogram& a, const Histogram* b)
{
    int usedLiterals;
    int usedDistances;
    const float literalBits = CodeBits(a.literal, b ? b->literal : nullptr, kLzhLiteralSymbols, usedLiterals);
    const float distanceBits = CodeBits(a.distance, b ? b->distance : nullptr, kLzhDistanceSymbols, usedDistances);
    return kBlockHeaderBits + literalBits + distanceBits + usedLiterals * kLiteralLengthBits +
           usedDistances * kDistanceLengthBits;
}

// Prices of symbols seen frequency times in total: log2(total / frequency)
// bits; a symbol not seen yet costs as one seen half a time.
struct Pricing {
    float totalBits;
    explicit Pricing(std::uint32_t total) : totalBits(Log2(2 * total)) {}
    int operator()(std::uint32_t frequency) const
    {
        const float bits = (totalBits - Log2(frequency ? 2 * frequency : 1)) * kPriceScale;
        return bits > kMaxPrice ? kMaxPrice : static_cast<int>(bits + 0.5f);
    }
};

// Prices from the block so far: what its symbols would cost under codes made
// for it.
void UpdatePrices(const Histogram& h)
{
    Encoder& e = encoder;
    std::uint32_t total = 0;
    for (int i = 0; i < kLzhLiteralSymbols; ++i) total += h.literal[i];
    if (total == 0) return;
    const Pricing price(total);
    std::uint64_t literalBits = 0;
    std::uint32_t literals = 0;
    for (int i = 0; i < kLzhLiteralSymbols; ++i) {
        const int p = price(h.literal[i]);
        e.symbolPrice[i] = static_cast<std::uint16_t>(p);
        if (i < kLzhFirstCopySymbol) {
            literalBits += static_cast<std::uint64_t>(p) * h.literal[i];
            literals += h.literal[i];
        }
    }
    e.literalPrice = literals > 0 ? static_cast<int>(literalBits / literals) : 8 * kPriceScale;

    std::uint32_t copies = 0;
    for (int j = 0; j < kLzhDistanceSymbols; ++j) copies += h.distance[j];
    if (copies == 0) return;
    const Pricing distancePrice(copies);
    for (int j = 0; j < kLzhDistanceSymbols; ++j)
        e.distancePrice[j] =
            static_cast<std::uint16_t>(distancePrice(h.distance[j]) + (j > 1 ? (j - 1) * kPriceScale : 0));
}

// Before any statistics: a byte costs 8 bits, longer copies and farther
// distances a little more.
void DefaultPrices()
{
    Encoder& e = encoder;
    for (int i = 0; i < kLzhFirstCopySymbol; ++i) e.symbolPrice[i] = 8 * kPriceScale;
    for (int i = kLzhFirstCopySymbol; i < kLzhLiteralSymbols; ++i) {
        const double length = i - kCopySymbolBias;
        e.symbolPrice[i] = static_cast<std::uint16_t>((5 + std::log2(length - 2)) * kPriceScale);
    }
    for (int j = 0; j < kLzhDistanceSymbols; ++j)
        e.distancePrice[j] = static_cast<std::uint16_t>((4 + (j > 1 ? j - 1 : 0)) * kPriceScale);
    e.literalPrice = 8 * kPriceScale;
}

void AddHistogram(Histogram& to, const Histogram& from)
{
    for (int i = 0; i < kLzhLiteralSymbols; ++i) to.literal[i] += from.literal[i];
    for (int j = 0; j < kLzhDistanceSymbols; ++j) to.distance[j] += from.distance[j];
    to.count += from.count;
}

// The segment just filled (or the content's last) joins the block or starts
// the next one.
void EndSegment(bool last)
{
    Encoder& e = encoder;
    if (e.segment.count > 0) {
        if (e.block.count == 0) {
            e.block = e.segment;
            e.blockCost = BlockCost(e.block, nullptr);
        } else {
            const double segmentCost = BlockCost(e.segment, nullptr);
            const double mergedCost = BlockCost(e.block, &e.segment);
            if (e.block.count + e.segment.count > kMaxBlockSymbols || e.blockCost + segmentCost < mergedCost) {
                WriteBlock(e.symbols, e.block);
                std::memmove(e.symbols, e.symbols + e.block.count, e.segment.count * sizeof(Symbol));
                e.block = e.segment;
                e.blockCost = segmentCost;
            } else {
                AddHistogram(e.block, e.segment);
                e.blockCost = mergedCost;
            }
        }
        std::memset(&e.segment, 0, sizeof e.segment);
        // Prices settle as a block grows: a large one is priced anew less often.
        if (e.block.count < kRepriceEvery || ++e.segmentsUnpriced * kSegmentSymbols >= kRepriceEvery) {
            UpdatePrices(e.block);
            e.segmentsUnpriced = 0;
        }
    }
    if (last && e.block.count > 0) {
        WriteBlock(e.symbols, e.block);
        e.block.count = 0;
    }
}

inline void AppendSymbol(unsigned code, unsigned distance)
{
    Encoder& e = encoder;
    e.symbols[e.block.count + e.segment.count] = {static_cast<std::uint16_t>(code),
                                                  static_cast<std::uint16_t>(distance)};
    ++e.segment.literal[code];
    if (code >= kLzhFirstCopySymbol) ++e.segment.distance[DistanceSymbol(distance)];
    if (++e.segment.count == kSegmentSymbols) EndSegment(false);
}

// --- Content and matches -----------------------------------------------------

// Reads content until the buffer is full or the content ends; a full buffer
// first slides by kSlide.
void Fill()
{
    Encoder& e = encoder;
    std::uint32_t used = e.end - e.base;
    if (used == kBufferSize) {
        std::memmove(e.data, e.data + kSlide, kBufferSize - kSlide);
        e.base += kSlide;
        used -= kSlide;
    }
    while (used < kBufferSize && !e.contentEnded) {
        std::size_t want = kBufferSize - used;
        if (want > kLzhMaxEncodedSize - e.contentSize)
            want = static_cast<std::size_t>(kLzhMaxEncodedSize - e.contentSize);
        const std::size_t got = want ? e.streams.read(e.streams.context, e.data + used, want) : 0;
        if (got == 0) {
            e.contentEnded = true;
            break;
        }
        e.crc = UpdateLzhCrc(e.crc, e.data + used, got);
        e.contentSize += got;
        used += static_cast<std::uint32_t>(got);
        e.end += static_cast<std::uint32_t>(got);
    }
}

inline std::uint32_t Hash3(const std::uint8_t* p)
{
    const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - kHash3Bits);
}

inline std::uint32_t Hash4(const std::uint8_t* p)
{
    const std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return (v * 2654435761u) >> (32 - kHash4Bits);
}

// The candidates for a copy at a position: the last position with the same
// 3 bytes, and the chain of those with the same 4.
struct Candidates {
    std::uint32_t last3;
    std::uint32_t chain4;
};

// Enters position, whose bytes are at here, in the tables (it needs 4 bytes
// of content) and yields the candidates that were there before it.
inline Candidates Insert(std::uint32_t position, const std::uint8_t* here)
{
    Encoder& e = encoder;
    std::uint32_t& slot3 = e.head3[Hash3(here)];
    std::uint32_t& slot4 = e.head4[Hash4(here)];
    const Candidates before{slot3, slot4};
    slot3 = position;
    slot4 = position;
    e.chain[position & kChainMask] = before.chain4;
    return before;
}

inline unsigned MatchLength(const std::uint8_t* a, const std::uint8_t* b, unsigned limit)
{
    unsigned n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (n + 8 <= limit) {
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y) return n + static_cast<unsigned>(std::countr_zero(x ^ y)) / 8;
            n += 8;
        }
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// Running sums of literal prices: literalSums[p & kSumMask] is the price of
// the bytes from the member's start to position p, modulo 2^32, at the
// prices in force when it was added. They reach a copy's length ahead.
constexpr std::uint32_t kSumMask = 1023;
std::uint32_t literalSums[kSumMask + 1];
std::uint32_t sumsEnd;  // the last position summed up to

// Sums up to position to, from sumsEnd or, when that lies before from, from
// from afresh.
inline void ExtendLiteralSums(std::uint32_t from, std::uint32_t to, const std::uint8_t* bytes)
{
    const Encoder& e = encoder;
    if (sumsEnd < from) {
        sumsEnd = from;
        literalSums[from & kSumMask] = 0;
    }
    std::uint32_t sum = literalSums[sumsEnd & kSumMask];
    for (const std::uint8_t* p = bytes + (sumsEnd - from); sumsEnd < to; ++sumsEnd) {
        sum += e.symbolPrice[*p++];
        literalSums[(sumsEnd + 1) & kSumMask] = sum;
    }
}

// Bits saved by a copy of length bytes at position, held at here, against
// sending them as literals.
inline int CopyValue(std::uint32_t position, const std::uint8_t* here, unsigned length, std::uint32_t offset)
{
    const Encoder& e = encoder;
    if (sumsEnd < position + length) ExtendLiteralSums(position, position + length, here);
    const int literals =
        static_cast<int>(literalSums[(position + length) & kSumMask] - literalSums[position & kSumMask]);
    return literals - e.symbolPrice[length + kCopySymbolBias] - e.distancePrice[DistanceSymbol(offset - 1)];
}

// The copy worth most: the one from the last position with the same 3 bytes,
// or one of the ever longer ones on the 4-byte chain. here holds the bytes of
// position, limit of them.
Match FindMatch(std::uint32_t position, const std::uint8_t* here, const Candidates& candidates, unsigned limit,
                int depth)
{
    const Encoder& e = encoder;
    Match best{0, 0, 0};
    const std::uint32_t reach = position - kMaxOffset;
    unsigned longest = kLzhMinCopyLength - 1;
    if (candidates.last3 >= reach) {
        const std::uint32_t offset = position - candidates.last3;
        const unsigned length = MatchLength(here - offset, here, limit);
        if (length >= kLzhMinCopyLength) {
            longest = length;
            const int value = CopyValue(position, here, length, offset);
            if (value > 0) best = {length, offset, value};
            if (length >= kNiceLength || length == limit) return best;
        }
    }
    if (longest < 3) longest = 3;
    std::uint32_t candidate = candidates.chain4;
    while (candidate >= reach && depth-- > 0) {
        const std::uint32_t offset = position - candidate;
        const std::uint8_t* there = here - offset;
        if (there[longest] == here[longest] && there[longest - 1] == here[longest - 1]) {
            const unsigned length = MatchLength(there, here, limit);
            if (length > longest) {
                longest = length;
                const int value = CopyValue(position, here, length, offset);
                if (value > best.value) best = {length, offset, value};
                if (length >= kNiceLength || length == limit) break;
            }
        }
        candidate = e.chain[candidate & kChainMask];
    }
    return best;
}

void Parse()
{
    Encoder& e = encoder;
    std::uint32_t position = kFirstPosition;
    sumsEnd = 0;
    Match pending{0, 0, 0};
    bool havePending = false;  // the byte before position waits to be sent
    // The content as of the last Fill, kept here: stores into the tables
    // would otherwise make the compiler read it again and again.
    std::uint32_t end = e.end;
    std::uint32_t base = e.base;
    bool ended = e.contentEnded;
    for (;;) {
        if (end - position < kLookahead && !ended) {
            Fill();
            end = e.end;
            base = e.base;
            ended = e.contentEnded;
        }
        if (position >= end || e.stopped) break;
        const std::uint8_t* here = e.data + (position - base);
        const unsigned available = end - position;
        const unsigned limit = available < kLzhMaxCopyLength ? available : kLzhMaxCopyLength;
        Match current{0, 0, 0};
        // The last 3 bytes of the content go as literals.
        if (available >= 4) {
            const Candidates candidates = Insert(position, here);
            if (!havePending || pending.length < kLazyLength) {
                const int depth = havePending && pending.length >= kGoodLength ? kSearchDepth / 4 : kSearchDepth;
                current = FindMatch(position, here, candidates, limit, depth);
            }
        }
        if (pending.length > 0 && pending.value >= current.value) {
            AppendSymbol(pending.length + kCopySymbolBias, pending.offset - 1);
            const std::uint32_t copyEnd = position - 1 + pending.length;
            const std::uint32_t insertEnd = copyEnd < end - 3 ? copyEnd : end - 3;
            for (std::uint32_t p = position + 1; p < insertEnd; ++p) Insert(p, here + (p - position));
            position = copyEnd;
            pending = {0, 0, 0};
            havePending = false;
        } else {
            if (havePending) AppendSymbol(here[-1], 0);
            pending = current;
            havePending = true;
            ++position;
        }
    }
    if (havePending && !e.stopped) AppendSymbol(e.data[position - 1 - base], 0);
}

}  // namespace

void MakeLimitedCodeLengths(const std::uint32_t* frequencies, int symbolCount, int maxLength, std::uint8_t* lengths)
{
    constexpr int kMaxSymbols = 512;
    int order[kMaxSymbols];
    int used = 0;
    for (int i = 0; i < symbolCount && i < kMaxSymbols; ++i) {
        lengths[i] = 0;
        if (frequencies[i]) order[used++] = i;
    }
    if (used == 0) return;
    if (used == 1) {
        lengths[order[0]] = 1;
        return;
    }
    std::sort(order, order + used,
              [&](int a, int b) { return frequencies[a] != frequencies[b] ? frequencies[a] < frequencies[b] : a < b; });

    // Package-merge. The list of level 0 is the symbols; each further level
    // merges them with the pairs of the level before. isPackage says, for each
    // item of each level, whether it is a pair or a symbol.
    static std::uint64_t weights[2][2 * kMaxSymbols];
    static bool isPackage[kLzhMaxCodeLength][2 * kMaxSymbols];
    int size = used;
    for (int i = 0; i < used; ++i) {
        weights[0][i] = frequencies[order[i]];
        isPackage[0][i] = false;
    }
    for (int level = 1; level < maxLength; ++level) {
        const std::uint64_t* below = weights[(level - 1) & 1];
        std::uint64_t* list = weights[level & 1];
        const int packages = size / 2;
        int leaf = 0;
        int package = 0;
        int n = 0;
        while (leaf < used || package < packages) {
            const std::uint64_t pair =
                package < packages ? below[2 * package] + below[2 * package + 1] : ~std::uint64_t{0};
            if (leaf < used && frequencies[order[leaf]] <= pair) {
                list[n] = frequencies[order[leaf++]];
                isPackage[level][n++] = false;
            } else {
                list[n] = pair;
                isPackage[level][n++] = true;
                ++package;
            }
        }
        size = n;
    }
    // The 2(used - 1) lightest items of the last level; each symbol among the
    // items taken at a level gets one bit longer, and the pairs taken come
    // from the level below.
    int take = 2 * (used - 1);
    for (int level = maxLength - 1; level >= 0 && take > 0; --level) {
        int symbols = 0;
        int pairs = 0;
        for (int i = 0; i < take; ++i) (isPackage[level][i] ? pairs : symbols) += 1;
        for (int i = 0; i < symbols; ++i) ++lengths[order[i]];
        take = 2 * pairs;
    }
}

LzhEncodeResult EncodeLh5(const LzhEncodeStreams& streams)
{
    Encoder& e = encoder;
    e.streams = streams;
    e.base = kFirstPosition;
    e.end = kFirstPosition;
    e.contentEnded = false;
    e.contentSize = 0;
    e.crc = 0;
    std::memset(e.head3, 0, sizeof e.head3);
    std::memset(e.head4, 0, sizeof e.head4);
    DefaultPrices();
    std::memset(&e.block, 0, sizeof e.block);
    std::memset(&e.segment, 0, sizeof e.segment);
    e.blockCost = 0;
    e.segmentsUnpriced = 0;
    e.outputCount = 0;
    e.bitBuffer = 0;
    e.bitCount = 0;
    e.packedSize = 0;
    e.stopped = false;
    MakeLog2Table();

    Parse();
    if (!e.stopped) {
        EndSegment(true);
        FinishBits();
    }
    return {e.stopped, e.contentSize, e.packedSize, e.crc};
}
