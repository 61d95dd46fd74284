// Decoding of -lh4- and -lh5- packed data.
//
// Every table index and tree step is bounded: code lengths above 16, counts
// above their alphabet, zero runs past it, constants outside it, length sets
// that don't form one complete code and symbols of an absent code all stop
// with "Bad table", so corrupt data can't reach outside the tables or walk a
// tree without end.
//
// Speed: DecodeChunk takes the packed bits eight bytes at a time, decodes a
// literal/length symbol or a distance with its extra bits from one table
// load, and copies in words; near a chunk's end, and for streams read a byte
// at a time, it goes symbol by symbol with every check. Behind all of it the
// state between calls is the byte-at-a-time bit input's.
#include "lzh/LzhDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/Disk.h"

LzhDecoder lzhDecoder;

namespace {

[[noreturn]] void BadTable() { LzhFatal("Bad table"); }

void StopProcess() { std::exit(kLzhFatalExitStatus); }

// Reads the stream into the bit input's buffer: keeps the bytes not yet
// taken, moved to its start, and fills the rest, with the filler once the
// member's packed bytes or the file are used up. A stream that cannot seek
// back gets one byte at a time, so that nothing is read ahead.
void FillInput()
{
    LzhDecoder& d = lzhDecoder;
    const std::uint32_t kept = d.inputEnd - d.inputNext;
    std::memmove(d.input, d.input + d.inputNext, kept);
    d.inputBase += d.inputNext;
    d.inputRealEnd = d.inputRealEnd > d.inputNext ? d.inputRealEnd - d.inputNext : 0;
    d.inputNext = 0;
    d.inputEnd = kept;
    std::uint32_t room = (d.byteAtATime ? 1 : kLzhInputSize) - kept;
    if (d.unfetched > 0 && !d.fileEnded) {
        const std::uint32_t wanted = room < d.unfetched ? room : d.unfetched;
        const auto got = static_cast<std::uint32_t>(ReadDiskFile(d.input + kept, 1, wanted, d.archive));
        d.unfetched -= got;
        d.inputEnd += got;
        d.inputRealEnd = d.inputEnd;
        room -= got;
        if (got < wanted) {
            d.fileEnded = true;
            d.fileBytes = d.inputBase + d.inputEnd;
        }
    }
    // 0xFF for the packed bytes past the end of the file, then 0.
    if (d.fileEnded) {
        const std::uint32_t missing = room < d.unfetched ? room : d.unfetched;
        std::memset(d.input + d.inputEnd, 0xFF, missing);
        d.unfetched -= missing;
        d.inputEnd += missing;
        room -= missing;
    }
    std::memset(d.input + d.inputEnd, 0, room);
    d.inputEnd += room;
}

// packedLeft and fillerBytes, from the bytes taken so far.
void CountTakenBytes()
{
    LzhDecoder& d = lzhDecoder;
    const std::uint64_t taken = d.inputBase + d.inputNext;
    d.packedLeft = taken < d.memberPacked ? static_cast<std::uint32_t>(d.memberPacked - taken) : 0;
    d.fillerBytes = static_cast<std::uint32_t>(taken > d.fileBytes ? taken - d.fileBytes : 0);
}

inline std::uint8_t TakePackedByte()
{
    LzhDecoder& d = lzhDecoder;
    if (d.inputNext == d.inputEnd) FillInput();
    return d.input[d.inputNext++];
}

// The bit input a byte at a time: the next 32 bits, and the low pendingBits
// bits of the byte taken last. Used for block headers and for streams that
// cannot seek back.
struct ByteBits {
    static constexpr bool kWide = false;
    std::uint32_t window;
    std::uint32_t pendingByte;
    std::uint32_t pendingBits;

    std::uint32_t Window() const { return window; }
    unsigned Top(unsigned n) const { return window >> (32 - n); }

    // Shifts n bits (0 to 24) out of the window and brings as many in.
    void Drop(unsigned n)
    {
        window <<= n;
        while (n > pendingBits) {
            n -= pendingBits;
            window |= pendingByte << n;
            pendingByte = TakePackedByte();
            pendingBits = 8;
        }
        pendingBits -= n;
        window |= pendingByte >> pendingBits;
    }

    // Every symbol's bits are in the window already.
    void Prepare() {}

    void Load()
    {
        const LzhDecoder& d = lzhDecoder;
        window = d.bitWindow;
        pendingByte = d.pendingByte;
        pendingBits = d.pendingBits;
    }

    void Store() const
    {
        LzhDecoder& d = lzhDecoder;
        d.bitWindow = window;
        d.pendingByte = static_cast<std::uint8_t>(pendingByte);
        d.pendingBits = static_cast<std::uint8_t>(pendingBits);
        CountTakenBytes();
    }
};

inline std::uint64_t BigEndian64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(p[0]) << 56 | static_cast<std::uint64_t>(p[1]) << 48 |
           static_cast<std::uint64_t>(p[2]) << 40 | static_cast<std::uint64_t>(p[3]) << 32 |
           static_cast<std::uint64_t>(p[4]) << 24 | static_cast<std::uint64_t>(p[5]) << 16 |
           static_cast<std::uint64_t>(p[6]) << 8 | static_cast<std::uint64_t>(p[7]);
}

// The bit input eight bytes at a time, for DecodeChunk: bits holds count
// valid bits from the top; below them lie zeros or the bits that follow.
// Before each symbol Prepare makes 56 or more valid, enough for a copy's
// longest length code, distance code and extra bits (16 + 16 + 12).
//
// It takes bytes from the buffer as it needs them; Store hands back to the
// buffer the whole bytes it holds beyond the 32 bits of bitWindow, so that
// lzhDecoder then says what a byte-at-a-time input would.
struct WideBits {
    static constexpr bool kWide = true;
    std::uint64_t bits;
    unsigned count;
    const std::uint8_t* next;   // the next byte to take
    const std::uint8_t* limit;  // the last place 8 bytes can be read from

    std::uint32_t Window() const { return static_cast<std::uint32_t>(bits >> 32); }
    unsigned Top(unsigned n) const { return static_cast<unsigned>(bits >> (64 - n)); }

    // n is 0 to 63, as the low six bits of a fast table entry.
    void Drop(unsigned n)
    {
        bits <<= n & 63;
        count -= n & 63;
    }

    void Prepare()
    {
        bits |= BigEndian64(next) >> count;
        next += (63 - count) >> 3;
        count |= 56;
        if (next > limit) [[unlikely]] {
            Store();
            FillInput();
            Load();
            Prepare();
        }
    }

    void Load()
    {
        LzhDecoder& d = lzhDecoder;
        if (d.inputEnd - d.inputNext < 8) FillInput();
        const unsigned pending = d.pendingBits;
        bits = static_cast<std::uint64_t>(d.bitWindow) << 32 |
               static_cast<std::uint64_t>(d.pendingByte & ((1u << pending) - 1)) << (32 - pending);
        count = 32 + pending;
        next = d.input + d.inputNext;
        limit = d.input + d.inputEnd - 8;
    }

    // Needs 32 valid bits or more, as after Prepare.
    void Store() const
    {
        LzhDecoder& d = lzhDecoder;
        const unsigned beyond = count - 32;
        const unsigned pending = beyond & 7;
        d.bitWindow = Window();
        d.pendingBits = static_cast<std::uint8_t>(pending);
        d.pendingByte = static_cast<std::uint8_t>(bits >> (32 - pending));
        d.inputNext = static_cast<std::uint32_t>(next - d.input) - (beyond >> 3);
        CountTakenBytes();
    }
};

template <class Bits> inline unsigned Take(Bits& in, unsigned n)
{
    if (n == 0) return 0;
    const unsigned bits = in.Window() >> (32 - n);
    in.Drop(n);
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
template <int SymbolCount, int TableBits, class Bits>
unsigned DecodeSymbol(Bits& in, const std::uint16_t* table, const std::uint8_t* lengths, bool constant)
{
    const std::uint32_t window = in.Window();
    unsigned j = table[window >> (32 - TableBits)];
    if (j >= static_cast<unsigned>(SymbolCount)) [[unlikely]]
        j = WalkTree(j, SymbolCount, window, 1u << (31 - TableBits), kLzhMaxCodeLength - TableBits);
    const unsigned length = lengths[j];
    if (length == 0 && !constant) [[unlikely]]
        BadTable();
    in.Drop(length);
    return j;
}

// The literal/length symbol of a literalFast entry (looked up from the top
// 12 bits of in) and the bits it takes.
template <class Bits> inline unsigned DecodeLiteral(Bits& in, unsigned entry)
{
    const LzhDecoder& d = lzhDecoder;
    if (entry == kLzhSlowLiteral) [[unlikely]]
        return DecodeSymbol<kLzhLiteralSymbols, kLzhLiteralTableBits>(in, d.literalTable, d.literalLengths,
                                                                      d.literalConstant);
    in.Drop(entry & 63);
    return entry >> 6;
}

template <class Bits> inline unsigned DecodeLiteral(Bits& in)
{
    return DecodeLiteral(in, lzhDecoder.literalFast[in.Top(kLzhLiteralTableBits)]);
}

template <class Bits> inline unsigned DecodeSmall(Bits& in, int symbolCount)
{
    const LzhDecoder& d = lzhDecoder;
    if (symbolCount == kLzhDistanceSymbols)
        return DecodeSymbol<kLzhDistanceSymbols, kLzhSmallTableBits>(in, d.smallTable, d.smallLengths, d.smallConstant);
    return DecodeSymbol<kLzhLengthSymbols, kLzhSmallTableBits>(in, d.smallTable, d.smallLengths, d.smallConstant);
}

// A distance: its symbol j, then j - 1 extra bits.
template <class Bits> inline unsigned DecodeDistanceBits(Bits& in)
{
    const std::uint32_t entry = lzhDecoder.distanceFast[in.Top(kLzhSmallTableBits)];
    if (entry == kLzhSlowDistance) [[unlikely]] {
        const unsigned j = DecodeSmall(in, kLzhDistanceSymbols);
        if (j == 0) return 0;
        return (1u << (j - 1)) + Take(in, j - 1);
    }
    const unsigned codeLength = (entry >> 8) & 15;
    const unsigned extraBits = (entry >> 12) & 15;
    // The extra bits follow the code: the top extraBits bits after it.
    const unsigned extra = (in.Window() << codeLength >> 1) >> (31 - extraBits);
    in.Drop(entry & 63);
    return (entry >> 16) + extra;
}

// The distance code's fast table: each entry what the table entry and the
// lengths give.
void MakeDistanceFastTable()
{
    LzhDecoder& d = lzhDecoder;
    for (std::size_t i = 0; i < std::size(d.smallTable); ++i) {
        const unsigned j = d.smallTable[i];
        const unsigned length = j < static_cast<unsigned>(kLzhDistanceSymbols) ? d.smallLengths[j] : 0;
        const bool direct = length <= static_cast<unsigned>(kLzhSmallTableBits) &&
                            j < static_cast<unsigned>(kLzhDistanceSymbols) && (length != 0 || d.smallConstant);
        const std::uint32_t first = j == 0 ? 0 : 1u << (j - 1);
        const std::uint32_t extraBits = j == 0 ? 0 : j - 1;
        d.distanceFast[i] =
            direct ? (length + extraBits) | length << 8 | extraBits << 12 | first << 16 : kLzhSlowDistance;
    }
}

// BuildDecodeTable, and with fast not null the literalFast entries of the
// table as well: the short codes' entries, and kLzhSlowLiteral for the roots
// of the overflow trees and for all when the table is left as it was.
void BuildTable(int symbolCount, const std::uint8_t* lengths, int tableBits, std::uint16_t* table, std::uint16_t* fast)
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
    if (total == 0) {
        if (fast) std::fill_n(fast, std::size_t{1} << tableBits, kLzhSlowLiteral);
        return;
    }
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
    if (fast) std::fill(fast + (start[tableBits + 1] >> shift), fast + tableSize, kLzhSlowLiteral);

    unsigned nextNode = static_cast<unsigned>(symbolCount);
    const std::uint32_t mask = 1u << (15 - tableBits);
    for (int ch = 0; ch < symbolCount; ++ch) {
        const int length = lengths[ch];
        if (length == 0) continue;
        const std::uint32_t next = start[length] + weight[length];
        if (length <= tableBits) {
            for (std::uint32_t i = start[length]; i < next; ++i) table[i] = static_cast<std::uint16_t>(ch);
            if (fast) std::fill(fast + start[length], fast + next, static_cast<std::uint16_t>(length | ch << 6));
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

// The literal/length code: its count, then each length through the
// code-length code, with runs of zeros.
template <class Bits> void ReadLiteralLengths()
{
    LzhDecoder& d = lzhDecoder;
    Bits in;
    in.Load();
    in.Prepare();
    const unsigned n = Take(in, kLzhLiteralCountBits);
    if (n == 0) {
        const unsigned c = Take(in, kLzhLiteralCountBits);
        in.Prepare();
        in.Store();
        if (c >= static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();
        std::memset(d.literalLengths, 0, sizeof d.literalLengths);
        for (std::uint16_t& entry : d.literalTable) entry = static_cast<std::uint16_t>(c);
        d.literalConstant = true;
        std::fill(std::begin(d.literalFast), std::end(d.literalFast), static_cast<std::uint16_t>(c << 6));
        return;
    }
    if (n > static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();

    unsigned i = 0;
    while (i < n) {
        in.Prepare();
        const unsigned c = DecodeSmall(in, kLzhLengthSymbols);
        if (c <= 2) {
            const unsigned run = c == 0 ? 1 : c == 1 ? Take(in, 4) + 3 : Take(in, 9) + 20;
            if (i + run > static_cast<unsigned>(kLzhLiteralSymbols)) BadTable();
            std::memset(d.literalLengths + i, 0, run);
            i += run;
        } else {
            d.literalLengths[i++] = static_cast<std::uint8_t>(c - 2);
        }
    }
    in.Prepare();
    in.Store();
    std::memset(d.literalLengths + i, 0, kLzhLiteralSymbols - i);
    d.literalConstant = false;
    BuildTable(kLzhLiteralSymbols, d.literalLengths, kLzhLiteralTableBits, d.literalTable, d.literalFast);
}

// Drops n bits from the bit window and fills it again, a byte at a time.
void RefillBits(unsigned n)
{
    ByteBits in;
    in.Load();
    in.Drop(n);
    in.Store();
}

// The code-length code or the distance code: its count, then each length in
// three bits or more; after the first specialIndex lengths, two bits count
// the zero lengths that follow them.
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

// The literal/length code, over the bit input the stream allows.
void ReadLiteralCodeLengths()
{
    if (lzhDecoder.byteAtATime)
        ReadLiteralLengths<ByteBits>();
    else
        ReadLiteralLengths<WideBits>();
}

void ReadBlockHeader()
{
    LzhDecoder& d = lzhDecoder;
    d.blockSymbolsLeft = static_cast<std::int32_t>(TakeBits(kLzhBlockCountBits));
    // A count of 0 keeps this block's codes to the member's end.
    if (d.blockSymbolsLeft == 0) d.blockSymbolsLeft = -1;
    ReadSmallCodeLengths(kLzhLengthSymbols, kLzhLengthCountBits, kLzhLengthSpecialIndex);
    ReadLiteralCodeLengths();
    ReadSmallCodeLengths(kLzhDistanceSymbols, kLzhDistanceCountBits, kLzhNoSpecialIndex);
    MakeDistanceFastTable();
}

// Copies length bytes (3 to 256) from window position from to position to,
// as a copy byte by byte would: where the source lies behind the destination
// and closer than the length, the copy repeats its own output. Neither range
// may pass the window's end.
//
// Ranges apart are copied as a first and a last word, overlapping, or words
// in a row. Overlapping ranges a word apart or more go word by word from the
// front, which is what byte by byte does: each word read holds bytes already
// final, and the last word, which may overlap the one before it, writes the
// same bytes again.
template <std::size_t Size> inline void MoveWord(std::uint8_t* to, const std::uint8_t* from)
{
    struct Word {
        std::uint8_t bytes[Size];
    } word;
    std::memcpy(&word, from, Size);
    std::memcpy(to, &word, Size);
}

template <std::size_t Size> inline void MoveWords(std::uint8_t* out, const std::uint8_t* in, unsigned length)
{
    for (unsigned i = 0; i + Size < length; i += Size) MoveWord<Size>(out + i, in + i);
    MoveWord<Size>(out + length - Size, in + length - Size);
}

inline void CopyMatch(std::uint8_t* window, unsigned to, unsigned from, unsigned length)
{
    std::uint8_t* out = window + to;
    const std::uint8_t* in = window + from;
    const unsigned apart = to > from ? to - from : from - to;
    if (apart >= length) {
        if (length >= 16) {
            MoveWords<16>(out, in, length);
        } else if (length >= 8) {
            MoveWord<8>(out, in);
            MoveWord<8>(out + length - 8, in + length - 8);
        } else if (length >= 4) {
            MoveWord<4>(out, in);
            MoveWord<4>(out + length - 4, in + length - 4);
        } else {
            MoveWord<2>(out, in);
            MoveWord<2>(out + length - 2, in + length - 2);
        }
    } else if (apart >= 16) {
        MoveWords<16>(out, in, length);
    } else if (apart >= 8) {
        MoveWords<8>(out, in, length);
    } else if (to == from + 1) {
        std::memset(out, *in, length);  // a run of the byte before
    } else {
        for (unsigned i = 0; i < length; ++i) out[i] = in[i];
    }
}

// A copy of 16 bytes at most, with source and destination 16 or more apart,
// where the window has 32 bytes from to on: 16 bytes go from the source, and
// the 16 bytes after the copy's end, read before, go back where they were.
// They are the previous chunk's, which a later copy from far back may read.
inline void CopyShort(std::uint8_t* window, unsigned to, unsigned from, unsigned length)
{
    struct Word16 {
        std::uint8_t bytes[16];
    } after, word;
    std::memcpy(&after, window + to + length, 16);
    std::memcpy(&word, window + from, 16);
    std::memcpy(window + to, &word, 16);
    std::memcpy(window + to + length, &after, 16);
}

// A copy of length bytes from window position from to r, where the window
// has 32 bytes from r on: in one 16-byte move when it can, else in words, and
// byte by byte only where the source wraps round the window's end.
inline void CopyInWindow(std::uint8_t* window, unsigned r, unsigned from, unsigned length)
{
    // Source and destination 16 or more apart, either way round.
    const bool apart = r - from + 15 >= 31;
    if (length <= 16 && apart && from <= kLzhWindowSize - 16) [[likely]] {
        CopyShort(window, r, from, length);
    } else if (from + length <= kLzhWindowSize) {
        CopyMatch(window, r, from, length);
    } else {
        for (unsigned i = 0; i < length; ++i) window[r + i] = window[(from + i) & kLzhWindowMask];
    }
}

inline bool IsLiteralEntry(unsigned entry) { return entry >> 6 < kLzhFirstCopySymbol; }

// The symbol of a slow literalFast entry, decoded the long way, and the copy
// it may start; 56 bits or more are valid. Yields the new r.
inline unsigned DecodeSlowSymbol(WideBits& in, std::uint8_t* window, unsigned r)
{
    const unsigned c = DecodeLiteral(in, kLzhSlowLiteral);
    if (c < kLzhFirstCopySymbol) {
        window[r] = static_cast<std::uint8_t>(c);
        return r + 1;
    }
    const unsigned from = (r - DecodeDistanceBits(in) - 1) & kLzhWindowMask;
    CopyInWindow(window, r, from, c - kLzhFirstCopySymbol + kLzhMinCopyLength);
    return r + c - kLzhFirstCopySymbol + kLzhMinCopyLength;
}

// The symbols of a block from r on, while r is below runEnd, so that no
// symbol reaches the chunk's end, and three or more symbols remain in the
// block: no test of the window's bounds but the one that a copy's source
// wraps round the window's end. Yields the new r.
//
// Each round starts with 56 bits or more valid: up to three literals from
// the fast table (12 bits each at most) go without a refill, and after up to
// two of them a copy whose codes are in the fast tables (12 + 8 bits, and 12
// extra bits at most). A round of three literals takes the next lookup's
// index before its refill, which only adds bits below the 20 or more still
// valid, so that the refill is not on the way from one symbol to the next.
inline unsigned DecodeRun(WideBits& in, std::uint8_t* window, unsigned r, unsigned runEnd, std::int32_t& blockLeft)
{
    const LzhDecoder& d = lzhDecoder;
    std::uint32_t budget = blockLeft > 0 ? static_cast<std::uint32_t>(blockLeft) : ~0u;
    unsigned entry = d.literalFast[in.Top(kLzhLiteralTableBits)];
    do {
        if (IsLiteralEntry(entry)) {
            in.Drop(entry);
            window[r++] = static_cast<std::uint8_t>(entry >> 6);
            entry = d.literalFast[in.Top(kLzhLiteralTableBits)];
            if (IsLiteralEntry(entry)) {
                in.Drop(entry);
                window[r++] = static_cast<std::uint8_t>(entry >> 6);
                entry = d.literalFast[in.Top(kLzhLiteralTableBits)];
                if (IsLiteralEntry(entry)) {
                    in.Drop(entry);
                    window[r++] = static_cast<std::uint8_t>(entry >> 6);
                    budget -= 3;
                    entry = d.literalFast[in.Top(kLzhLiteralTableBits)];
                    in.Prepare();
                    continue;
                }
                --budget;
            }
            --budget;
        }
        // A copy, or a symbol whose code the fast table does not hold.
        --budget;
        if (entry == kLzhSlowLiteral) [[unlikely]] {
            in.Prepare();
            r = DecodeSlowSymbol(in, window, r);
        } else {
            in.Drop(entry);
            const unsigned length = (entry >> 6) - kLzhFirstCopySymbol + kLzhMinCopyLength;
            if (d.distanceFast[in.Top(kLzhSmallTableBits)] == kLzhSlowDistance) [[unlikely]]
                in.Prepare();
            const unsigned from = (r - DecodeDistanceBits(in) - 1) & kLzhWindowMask;
            CopyInWindow(window, r, from, length);
            r += length;
        }
        in.Prepare();
        entry = d.literalFast[in.Top(kLzhLiteralTableBits)];
    } while (r < runEnd && budget >= 3);
    if (blockLeft > 0) blockLeft = static_cast<std::int32_t>(budget);
    return r;
}

// The body of DecodeChunk, over either bit input.
template <class Bits> void DecodeSymbols(unsigned count, std::uint8_t* window)
{
    LzhDecoder& d = lzhDecoder;
    // The state lives in locals here; window stores may alias lzhDecoder.
    Bits in;
    in.Load();
    std::int32_t blockLeft = d.blockSymbolsLeft;
    std::int32_t copyLeft = d.copyLeft;
    std::uint32_t copyFrom = d.copyFrom;
    // Below fastEnd no symbol reaches the chunk's end, nor a copy after two
    // literals: a copy is at most 256 bytes.
    const unsigned fastEnd = count > kLzhMaxCopyLength + 2 ? count - kLzhMaxCopyLength - 2 : 0;
    unsigned r = 0;
    for (;;) {
        // A copy cut off by the end of the previous chunk goes on first, byte
        // by byte.
        while (copyLeft > 0 && r < count) {
            --copyLeft;
            window[r++] = window[copyFrom];
            copyFrom = (copyFrom + 1) & kLzhWindowMask;
        }
        if (r == count) break;

        in.Prepare();
        if (blockLeft == 0) {
            in.Store();
            ReadBlockHeader();
            in.Load();
            in.Prepare();
            blockLeft = d.blockSymbolsLeft;
        }

        if constexpr (Bits::kWide) {
            if (r < fastEnd && (blockLeft < 0 || blockLeft >= 3)) {
                r = DecodeRun(in, window, r, fastEnd, blockLeft);
                continue;
            }
        }

        // Near the chunk's end: one symbol at a time.
        if (blockLeft > 0) --blockLeft;
        const unsigned c = DecodeLiteral(in);
        if (c < kLzhFirstCopySymbol) {
            window[r++] = static_cast<std::uint8_t>(c);
            continue;
        }
        const unsigned length = c - kLzhFirstCopySymbol + kLzhMinCopyLength;
        // Positions before r wrap to the previous chunk's bytes.
        const unsigned from = (r - DecodeDistanceBits(in) - 1) & kLzhWindowMask;
        if (length <= count - r && from + length <= kLzhWindowSize) {
            CopyMatch(window, r, from, length);
            r += length;
            copyFrom = (from + length) & kLzhWindowMask;
        } else {
            copyLeft = static_cast<std::int32_t>(length);
            copyFrom = from;
        }
    }
    in.Prepare();
    in.Store();
    d.blockSymbolsLeft = blockLeft;
    d.copyLeft = copyLeft;
    d.copyFrom = copyFrom;
}

}  // namespace

LzhAbandonFunction lzhAbandon = nullptr;
LzhStopFunction lzhStop = StopProcess;

void LzhFatal(const char* message)
{
    std::fprintf(stderr, "\n%s\n", message);
    if (lzhAbandon) lzhAbandon();
    lzhStop();
    std::exit(kLzhFatalExitStatus);
}

void StartMemberDecoding(std::FILE* archive, std::uint32_t packedSize)
{
    LzhDecoder& d = lzhDecoder;
    d.archive = archive;
    d.memberPacked = packedSize;
    d.unfetched = d.memberPacked;
    d.fileBytes = d.memberPacked;
    d.fileEnded = false;
    d.byteAtATime = TellDiskFile(archive) < 0;
    d.inputBase = 0;
    d.inputNext = 0;
    d.inputEnd = 0;
    d.inputRealEnd = 0;
    d.bitWindow = 0;
    d.pendingByte = 0;
    d.pendingBits = 0;
    for (int i = 0; i < 4; ++i) d.bitWindow = (d.bitWindow << 8) | TakePackedByte();
    CountTakenBytes();
    d.blockSymbolsLeft = 0;
    d.copyLeft = 0;
    d.copyFrom = 0;
}

void FinishMemberDecoding()
{
    LzhDecoder& d = lzhDecoder;
    const std::uint64_t taken = d.inputBase + d.inputNext;
    const std::uint32_t unread = d.inputRealEnd > d.inputNext ? d.inputRealEnd - d.inputNext : 0;
    if (unread > 0) {
        SeekDiskFile(d.archive, -static_cast<long>(unread), SEEK_CUR);
        d.fileEnded = false;
        d.fileBytes = d.memberPacked;
    } else if (d.fileEnded && taken <= d.fileBytes) {
        // The read ahead met the end of the file, the bit input did not.
        std::clearerr(d.archive);
    }
    d.inputBase = taken;
    d.inputNext = 0;
    d.inputEnd = 0;
    d.inputRealEnd = 0;
    d.unfetched = taken < d.memberPacked ? static_cast<std::uint32_t>(d.memberPacked - taken) : 0;
}

bool LzhInputOverrun()
{
    // Bits taken in are 8 per byte; the window holds 32 of them and
    // pendingByte pendingBits more that are not yet decoded. The rest are
    // decoded, and reach into the filler when it is more than those.
    const LzhDecoder& d = lzhDecoder;
    return 8ull * d.fillerBytes > 32ull + d.pendingBits;
}

unsigned TakeBits(unsigned n)
{
    ByteBits in;
    in.Load();
    const unsigned bits = Take(in, n);
    in.Store();
    return bits;
}

void BuildDecodeTable(int symbolCount, const std::uint8_t* lengths, int tableBits, std::uint16_t* table)
{
    BuildTable(symbolCount, lengths, tableBits, table, nullptr);
}

void DecodeChunk(unsigned count, std::uint8_t* window)
{
    if (count == 0 || count > kLzhWindowSize) return;
    if (lzhDecoder.byteAtATime)
        DecodeSymbols<ByteBits>(count, window);
    else
        DecodeSymbols<WideBits>(count, window);
}
