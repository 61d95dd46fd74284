// Decoding of -lh4- and -lh5- packed data.
//
// Every table index and tree step is bounded: code lengths above 16, counts
// above their alphabet, zero runs past it, constants outside it, length sets
// that don't form one complete code and symbols of an absent code all stop
// with "Bad table", so corrupt data can't reach outside the tables or walk a
// tree without end.
#include "lzh/LzhDecoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lzh/LzhArchive.h"

LzhDecoder lzhDecoder;

namespace {

[[noreturn]] void BadTable()
{
    LzhFatal("Bad table");
}

void StopProcess()
{
    std::exit(1);
}

// One byte of the archive stream. The stream belongs to the one thread that
// walks the archive, so the byte is taken without locking the stream.
inline int GetArchiveByte(std::FILE* stream)
{
#ifdef _WIN32
    return _getc_nolock(stream);
#else
    return getc_unlocked(stream);
#endif
}

// The next packed byte: 0 once packedLeft is used up, 0xFF past the end of
// the file. Both are filler, counted in filler.
inline std::uint8_t TakePackedByte(std::uint32_t& packedLeft, std::FILE* archive, std::uint32_t& filler)
{
    if (packedLeft == 0) [[unlikely]] {
        ++filler;
        return 0;
    }
    --packedLeft;
    const int c = GetArchiveByte(archive);
    if (c == EOF) [[unlikely]] {
        ++filler;
        return 0xFF;
    }
    return static_cast<std::uint8_t>(c);
}

// The bit input, copied out of lzhDecoder and lzhReader so that DecodeChunk
// keeps it in registers: its stores into the window could otherwise alias it.
struct BitInput {
    std::uint32_t window;
    std::uint32_t pendingByte;
    std::uint32_t pendingBits;
    std::uint32_t packedLeft;
    std::uint32_t filler;
    std::FILE* archive;
};

inline BitInput LoadBits()
{
    return {lzhDecoder.bitWindow, lzhDecoder.pendingByte, lzhDecoder.pendingBits, lzhReader.packedLeft,
            lzhDecoder.fillerBytes, lzhReader.archive};
}

inline void StoreBits(const BitInput& in)
{
    lzhDecoder.bitWindow = in.window;
    lzhDecoder.pendingByte = static_cast<std::uint8_t>(in.pendingByte);
    lzhDecoder.pendingBits = static_cast<std::uint8_t>(in.pendingBits);
    lzhReader.packedLeft = in.packedLeft;
    lzhDecoder.fillerBytes = in.filler;
}

// Shifts n bits (0 to 16) out of the window and brings as many in.
inline void Refill(BitInput& in, unsigned n)
{
    in.window <<= n;
    while (n > in.pendingBits) {
        n -= in.pendingBits;
        in.window |= in.pendingByte << n;
        in.pendingByte = TakePackedByte(in.packedLeft, in.archive, in.filler);
        in.pendingBits = 8;
    }
    in.pendingBits -= n;
    in.window |= in.pendingByte >> in.pendingBits;
}

inline unsigned Take(BitInput& in, unsigned n)
{
    if (n == 0) return 0;
    const unsigned bits = in.window >> (32 - n);
    Refill(in, n);
    return bits;
}

// Follows the overflow tree from node j to a symbol, testing window from the
// bit mask down. A valid code needs at most maxSteps steps.
inline unsigned WalkTree(unsigned j, unsigned symbolCount, std::uint32_t window, std::uint32_t mask, int maxSteps)
{
    const LzhDecoder& d = lzhDecoder;
    for (int steps = 0; j >= symbolCount; ++steps) {
        if (steps == maxSteps || j >= static_cast<unsigned>(kLzhTreeNodes)) BadTable();
        j = (window & mask) ? d.treeRight[j] : d.treeLeft[j];
        mask >>= 1;
    }
    return j;
}

// One symbol of a code with a table of tableBits bits and its overflow tree;
// a symbol of length 0 is only valid from a one-symbol (constant) code.
template <int SymbolCount, int TableBits>
inline unsigned DecodeSymbol(BitInput& in, const std::uint16_t* table, const std::uint8_t* lengths, bool constant)
{
    unsigned j = table[in.window >> (32 - TableBits)];
    if (j >= static_cast<unsigned>(SymbolCount)) [[unlikely]]
        j = WalkTree(j, SymbolCount, in.window, 1u << (31 - TableBits), kLzhMaxCodeLength - TableBits);
    const unsigned length = lengths[j];
    if (length == 0 && !constant) [[unlikely]]
        BadTable();
    Refill(in, length);
    return j;
}

inline unsigned DecodeLiteral(BitInput& in)
{
    const LzhDecoder& d = lzhDecoder;
    // The entry's length comes with the entry: the two loads don't wait for
    // each other.
    const unsigned entry = in.window >> (32 - kLzhLiteralTableBits);
    const unsigned length = d.literalEntryLengths[entry];
    const unsigned j = d.literalTable[entry];
    if (length == kLzhSlowEntry) [[unlikely]]
        return DecodeSymbol<kLzhLiteralSymbols, kLzhLiteralTableBits>(in, d.literalTable, d.literalLengths,
                                                                      d.literalConstant);
    Refill(in, length);
    return j;
}

inline unsigned DecodeSmall(BitInput& in, int symbolCount)
{
    const LzhDecoder& d = lzhDecoder;
    if (symbolCount == kLzhDistanceSymbols)
        return DecodeSymbol<kLzhDistanceSymbols, kLzhSmallTableBits>(in, d.smallTable, d.smallLengths,
                                                                     d.smallConstant);
    return DecodeSymbol<kLzhLengthSymbols, kLzhSmallTableBits>(in, d.smallTable, d.smallLengths, d.smallConstant);
}

// Fills entryLengths for a table just made from lengths: each entry's code
// length, or kLzhSlowEntry.
void SetEntryLengths(const std::uint16_t* table, std::size_t tableSize, const std::uint8_t* lengths,
                     unsigned symbolCount, std::uint8_t* entryLengths)
{
    for (std::size_t i = 0; i < tableSize; ++i) {
        const unsigned j = table[i];
        const unsigned length = j < symbolCount ? lengths[j] : 0;
        entryLengths[i] = length == 0 ? kLzhSlowEntry : static_cast<std::uint8_t>(length);
    }
}

inline unsigned DecodeDistanceBits(BitInput& in)
{
    const unsigned j = DecodeSmall(in, kLzhDistanceSymbols);
    if (j == 0) return 0;
    return (1u << (j - 1)) + Take(in, j - 1);
}

void ReadBlockHeader()
{
    LzhDecoder& d = lzhDecoder;
    d.blockSymbolsLeft = static_cast<std::int32_t>(TakeBits(16));
    // A count of 0 keeps this block's codes to the member's end.
    if (d.blockSymbolsLeft == 0) d.blockSymbolsLeft = -1;
    ReadSmallCodeLengths(kLzhLengthSymbols, 5, 3);
    ReadLiteralCodeLengths();
    ReadSmallCodeLengths(kLzhDistanceSymbols, 4, kLzhNoSpecialIndex);
}

}  // namespace

LzhStopFunction lzhStop = StopProcess;

void LzhFatal(const char* message)
{
    std::fprintf(stderr, "\n%s\n", message);
    lzhReader.progressLineOpen = false;
    AbandonLzhWalk();
    lzhStop();
    std::exit(1);
}

void StartMemberDecoding()
{
    LzhDecoder& d = lzhDecoder;
    d.bitWindow = 0;
    d.pendingByte = 0;
    d.pendingBits = 0;
    d.fillerBytes = 0;
    for (int i = 0; i < 4; ++i)
        d.bitWindow = (d.bitWindow << 8) | TakePackedByte(lzhReader.packedLeft, lzhReader.archive, d.fillerBytes);
    d.blockSymbolsLeft = 0;
    d.copyLeft = 0;
    d.copyFrom = 0;
}

bool LzhInputOverrun()
{
    // Bits taken in are 8 per byte; the window holds 32 of them and
    // pendingByte pendingBits more that are not yet decoded. The rest are
    // decoded, and reach into the filler when it is more than those.
    const LzhDecoder& d = lzhDecoder;
    return 8ull * d.fillerBytes > 32ull + d.pendingBits;
}

void RefillBits(unsigned n)
{
    BitInput in = LoadBits();
    Refill(in, n);
    StoreBits(in);
}

unsigned TakeBits(unsigned n)
{
    BitInput in = LoadBits();
    const unsigned bits = Take(in, n);
    StoreBits(in);
    return bits;
}

void ReadSmallCodeLengths(int symbolCount, unsigned countBits, int specialIndex)
{
    LzhDecoder& d = lzhDecoder;
    const unsigned n = TakeBits(countBits);
    if (n == 0) {
        // One symbol, sent as it is, that takes no bits.
        const unsigned c = TakeBits(countBits);
        if (c >= static_cast<unsigned>(symbolCount)) BadTable();
        std::memset(d.smallLengths, 0, static_cast<std::size_t>(symbolCount));
        for (std::uint16_t& entry : d.smallTable) entry = static_cast<std::uint16_t>(c);
        d.smallConstant = true;
        return;
    }
    if (n > static_cast<unsigned>(symbolCount)) BadTable();

    int i = 0;
    while (i < static_cast<int>(n)) {
        // Three bits, and for 7 a run of 1 bits closed by a 0 adding one each.
        unsigned c = d.bitWindow >> 29;
        if (c == 7) {
            for (std::uint32_t mask = 1u << 28; d.bitWindow & mask; mask >>= 1) {
                if (++c > static_cast<unsigned>(kLzhMaxCodeLength)) BadTable();
            }
        }
        RefillBits(c < 7 ? 3 : c - 3);
        d.smallLengths[i++] = static_cast<std::uint8_t>(c);
        if (i == specialIndex) {
            unsigned zeros = TakeBits(2);
            if (i + static_cast<int>(zeros) > symbolCount) BadTable();
            while (zeros-- > 0) d.smallLengths[i++] = 0;
        }
    }
    while (i < symbolCount) d.smallLengths[i++] = 0;
    d.smallConstant = false;
    BuildDecodeTable(symbolCount, d.smallLengths, kLzhSmallTableBits, d.smallTable);
}

void ReadLiteralCodeLengths()
{
    LzhDecoder& d = lzhDecoder;
    const unsigned n = TakeBits(9);
    if (n == 0) {
        const unsigned c = TakeBits(9);
        if (c >= static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();
        std::memset(d.literalLengths, 0, sizeof d.literalLengths);
        for (std::uint16_t& entry : d.literalTable) entry = static_cast<std::uint16_t>(c);
        std::memset(d.literalEntryLengths, 0, sizeof d.literalEntryLengths);
        d.literalConstant = true;
        return;
    }
    if (n > static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();

    unsigned i = 0;
    while (i < n) {
        BitInput in = LoadBits();
        const unsigned c = DecodeSmall(in, kLzhLengthSymbols);
        StoreBits(in);
        if (c <= 2) {
            const unsigned run = c == 0 ? 1 : c == 1 ? TakeBits(4) + 3 : TakeBits(9) + 20;
            if (i + run > static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();
            std::memset(d.literalLengths + i, 0, run);
            i += run;
        } else {
            d.literalLengths[i++] = static_cast<std::uint8_t>(c - 2);
        }
    }
    std::memset(d.literalLengths + i, 0, kLzhLiteralSymbols - i);
    d.literalConstant = false;
    BuildDecodeTable(kLzhLiteralSymbols, d.literalLengths, kLzhLiteralTableBits, d.literalTable);
    SetEntryLengths(d.literalTable, std::size(d.literalTable), d.literalLengths, kLzhLiteralSymbols,
                    d.literalEntryLengths);
}

void BuildDecodeTable(int symbolCount, const std::uint8_t* lengths, int tableBits, std::uint16_t* table)
{
    LzhDecoder& d = lzhDecoder;
    std::uint32_t count[kLzhMaxCodeLength + 1] = {};
    for (int ch = 0; ch < symbolCount; ++ch) {
        if (lengths[ch] > kLzhMaxCodeLength) BadTable();
        ++count[lengths[ch]];
    }

    // Canonical code values, 16 bits aligned to the top. The codes must fill
    // the code space exactly; a set with no code at all leaves the table as
    // it was.
    std::uint32_t start[kLzhMaxCodeLength + 2];
    start[1] = 0;
    for (int length = 1; length <= kLzhMaxCodeLength; ++length)
        start[length + 1] = start[length] + (count[length] << (kLzhMaxCodeLength - length));
    const std::uint32_t total = start[kLzhMaxCodeLength + 1];
    if (total == 0) return;
    if (total != (1u << kLzhMaxCodeLength)) BadTable();

    const int shift = kLzhMaxCodeLength - tableBits;
    std::uint32_t weight[kLzhMaxCodeLength + 1];
    for (int length = 1; length <= tableBits; ++length) {
        start[length] >>= shift;
        weight[length] = 1u << (tableBits - length);
    }
    for (int length = tableBits + 1; length <= kLzhMaxCodeLength; ++length)
        weight[length] = 1u << (kLzhMaxCodeLength - length);

    // Entries past the short codes are the roots of the overflow trees.
    const std::uint32_t tableSize = 1u << tableBits;
    for (std::uint32_t i = start[tableBits + 1] >> shift; i < tableSize; ++i) table[i] = 0;

    unsigned nextNode = static_cast<unsigned>(symbolCount);
    const std::uint32_t mask = 1u << (15 - tableBits);
    for (int ch = 0; ch < symbolCount; ++ch) {
        const int length = lengths[ch];
        if (length == 0) continue;
        const std::uint32_t next = start[length] + weight[length];
        if (length <= tableBits) {
            for (std::uint32_t i = start[length]; i < next; ++i) table[i] = static_cast<std::uint16_t>(ch);
        } else {
            std::uint32_t k = start[length];
            std::uint16_t* slot = &table[k >> shift];
            for (int step = tableBits; step < length; ++step) {
                if (*slot == 0) {
                    if (nextNode >= static_cast<unsigned>(kLzhTreeNodes)) BadTable();
                    d.treeLeft[nextNode] = 0;
                    d.treeRight[nextNode] = 0;
                    *slot = static_cast<std::uint16_t>(nextNode++);
                }
                slot = (k & mask) ? &d.treeRight[*slot] : &d.treeLeft[*slot];
                k <<= 1;
            }
            *slot = static_cast<std::uint16_t>(ch);
        }
        start[length] = next;
    }
}

unsigned DecodeLiteralSymbol()
{
    LzhDecoder& d = lzhDecoder;
    if (d.blockSymbolsLeft == 0) ReadBlockHeader();
    if (d.blockSymbolsLeft > 0) --d.blockSymbolsLeft;
    BitInput in = LoadBits();
    const unsigned symbol = DecodeLiteral(in);
    StoreBits(in);
    return symbol;
}

unsigned DecodeDistance()
{
    BitInput in = LoadBits();
    const unsigned distance = DecodeDistanceBits(in);
    StoreBits(in);
    return distance;
}

void DecodeChunk(unsigned count, std::uint8_t* window)
{
    if (count == 0 || count > kLzhChunkSize) return;
    LzhDecoder& d = lzhDecoder;
    // The state lives in locals here; window stores may alias lzhDecoder.
    BitInput in = LoadBits();
    std::int32_t blockLeft = d.blockSymbolsLeft;
    std::int32_t copyLeft = d.copyLeft;
    std::uint32_t copyFrom = d.copyFrom;
    unsigned r = 0;
    for (;;) {
        // A copy goes on byte by byte (it may overlap its own output); one
        // cut off by the end of the previous chunk goes on first.
        while (copyLeft > 0 && r < count) {
            --copyLeft;
            window[r++] = window[copyFrom];
            copyFrom = (copyFrom + 1) & kLzhWindowMask;
        }
        if (r == count) break;

        if (blockLeft == 0) {
            StoreBits(in);
            ReadBlockHeader();
            in = LoadBits();
            blockLeft = d.blockSymbolsLeft;
        }
        if (blockLeft > 0) --blockLeft;
        const unsigned c = DecodeLiteral(in);
        if (c <= 255) {
            window[r++] = static_cast<std::uint8_t>(c);
            if (r == count) break;
            continue;
        }
        copyLeft = static_cast<std::int32_t>(c - 253);
        const unsigned distance = DecodeDistanceBits(in);
        // Positions before r wrap to the previous chunk's bytes.
        copyFrom = (r - distance - 1) & kLzhWindowMask;
    }
    StoreBits(in);
    d.blockSymbolsLeft = blockLeft;
    d.copyLeft = copyLeft;
    d.copyFrom = copyFrom;
}
