// CRC-16/ARC: by carry-less multiplication where the processor has it, 64
// bytes at a time; else eight bytes at a time by tables, and a whole block of
// 8192 bytes as four quarters side by side.
#include "lzh/LzhCrc.h"

#include <array>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define LZH_CRC_CARRYLESS 1
#endif

namespace {

constexpr unsigned kPolynomial = 0xA001;  // reflected

// CRC tables for eight bytes at a time: kCrcTables[k][b] is the CRC register
// after byte b followed by k zero bytes.
using CrcTables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr CrcTables MakeCrcTables()
{
    CrcTables tables{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
        tables[0][i] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const unsigned previous = tables[k - 1][i];
            tables[k][i] = static_cast<std::uint16_t>((previous >> 8) ^ tables[0][previous & 0xFF]);
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

inline std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte)
{
    return static_cast<std::uint16_t>((crc >> 8) ^ kCrcTables[0][(crc ^ byte) & 0xFF]);
}

// A whole block's CRC goes as four quarters side by side, the first from the
// register given, the others from 0, so that their table lookups overlap.
// The CRC is linear: running it over a quarter of zero bytes maps the
// register through kCrcPastQuarter (by its low and its high byte), and a
// quarter's CRC from 0 adds to that. The block is the reader's chunk.
constexpr std::size_t kCrcBlock = 8192;
constexpr std::size_t kCrcQuarter = kCrcBlock / 4;

struct CrcShift {
    std::array<std::uint16_t, 256> low;
    std::array<std::uint16_t, 256> high;
};

constexpr CrcShift MakeCrcShift(std::size_t zeroBytes)
{
    std::uint16_t image[16] = {};
    for (int bit = 0; bit < 16; ++bit) {
        unsigned crc = 1u << bit;
        for (std::size_t n = 0; n < zeroBytes; ++n) crc = (crc >> 8) ^ kCrcTables[0][crc & 0xFF];
        image[bit] = static_cast<std::uint16_t>(crc);
    }
    CrcShift shift{};
    for (unsigned v = 0; v < 256; ++v) {
        for (int bit = 0; bit < 8; ++bit) {
            if (v & (1u << bit)) {
                shift.low[v] = static_cast<std::uint16_t>(shift.low[v] ^ image[bit]);
                shift.high[v] = static_cast<std::uint16_t>(shift.high[v] ^ image[bit + 8]);
            }
        }
    }
    return shift;
}

constexpr CrcShift kCrcPastQuarter = MakeCrcShift(kCrcQuarter);

inline std::uint16_t CrcPastQuarter(unsigned crc)
{
    return static_cast<std::uint16_t>(kCrcPastQuarter.low[crc & 0xFF] ^ kCrcPastQuarter.high[crc >> 8]);
}

inline std::uint64_t LittleEndian64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(p[0]) | static_cast<std::uint64_t>(p[1]) << 8 |
           static_cast<std::uint64_t>(p[2]) << 16 | static_cast<std::uint64_t>(p[3]) << 24 |
           static_cast<std::uint64_t>(p[4]) << 32 | static_cast<std::uint64_t>(p[5]) << 40 |
           static_cast<std::uint64_t>(p[6]) << 48 | static_cast<std::uint64_t>(p[7]) << 56;
}

// Eight bytes through the register.
inline unsigned Crc16Word(unsigned crc, const std::uint8_t* p)
{
    const std::uint64_t v = LittleEndian64(p) ^ crc;
    return kCrcTables[7][v & 0xFF] ^ kCrcTables[6][(v >> 8) & 0xFF] ^ kCrcTables[5][(v >> 16) & 0xFF] ^
           kCrcTables[4][(v >> 24) & 0xFF] ^ kCrcTables[3][(v >> 32) & 0xFF] ^ kCrcTables[2][(v >> 40) & 0xFF] ^
           kCrcTables[1][(v >> 48) & 0xFF] ^ kCrcTables[0][v >> 56];
}

std::uint16_t BlockCrc(std::uint16_t crc, const std::uint8_t* data)
{
    unsigned a = crc, b = 0, c = 0, d = 0;
    for (std::size_t i = 0; i < kCrcQuarter; i += 8) {
        a = Crc16Word(a, data + i);
        b = Crc16Word(b, data + kCrcQuarter + i);
        c = Crc16Word(c, data + 2 * kCrcQuarter + i);
        d = Crc16Word(d, data + 3 * kCrcQuarter + i);
    }
    return static_cast<std::uint16_t>(CrcPastQuarter(CrcPastQuarter(CrcPastQuarter(a) ^ b) ^ c) ^ d);
}

#ifdef LZH_CRC_CARRYLESS

// The CRC by folding: the CRC of a run depends only on its bits as a
// polynomial modulo P, so 16 bytes may be replaced by their product with
// x^n mod P, which stands for them modulo P n bits further on, and is added
// to the bytes there; the 16 bytes left at the end go through the tables.
// The bytes of a reflected CRC are taken little-endian: bit i of a 64-bit
// half holds the term of x^(63 - i), and the product of two halves
// (PCLMULQDQ) is their product times x.

// x^n mod P (x^16 + x^15 + x^2 + 1), reflected into the top 16 bits of a half.
constexpr std::uint64_t ReflectedPower(unsigned n)
{
    unsigned power = 1;
    for (unsigned i = 0; i < n; ++i) {
        power <<= 1;
        if (power & 0x10000) power ^= 0x18005;
    }
    std::uint64_t reflected = 0;
    for (int bit = 0; bit < 16; ++bit)
        if (power >> bit & 1) reflected |= std::uint64_t{1} << (63 - bit);
    return reflected;
}

// What moves 16 bytes on by bits: their first half (the high terms) times
// x^(bits + 64), the second times x^bits, each less the x a product adds.
struct FoldPowers {
    std::uint64_t first;
    std::uint64_t second;
};
constexpr FoldPowers FoldBy(unsigned bits) { return {ReflectedPower(bits + 63), ReflectedPower(bits - 1)}; }
constexpr FoldPowers kFold128 = FoldBy(128);
constexpr FoldPowers kFold256 = FoldBy(256);
constexpr FoldPowers kFold384 = FoldBy(384);
constexpr FoldPowers kFold512 = FoldBy(512);

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i value, FoldPowers by)
{
    const __m128i powers = _mm_set_epi64x(static_cast<long long>(by.second), static_cast<long long>(by.first));
    return _mm_xor_si128(_mm_clmulepi64_si128(value, powers, 0x00), _mm_clmulepi64_si128(value, powers, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load16(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// count is 64 or more. Four runs of 16 bytes go side by side, so that the
// products overlap, and are joined at the end.
__attribute__((target("pclmul,sse2"))) std::uint16_t CarrylessCrc(std::uint16_t crc, const std::uint8_t* data,
                                                                  std::size_t count)
{
    // The register stands for the first two bytes' bits.
    __m128i a = _mm_xor_si128(Load16(data), _mm_cvtsi32_si128(crc));
    __m128i b = Load16(data + 16);
    __m128i c = Load16(data + 32);
    __m128i d = Load16(data + 48);
    std::size_t i = 64;
    for (; count - i >= 64; i += 64) {
        a = _mm_xor_si128(Fold(a, kFold512), Load16(data + i));
        b = _mm_xor_si128(Fold(b, kFold512), Load16(data + i + 16));
        c = _mm_xor_si128(Fold(c, kFold512), Load16(data + i + 32));
        d = _mm_xor_si128(Fold(d, kFold512), Load16(data + i + 48));
    }
    __m128i rest =
        _mm_xor_si128(_mm_xor_si128(Fold(a, kFold384), Fold(b, kFold256)), _mm_xor_si128(Fold(c, kFold128), d));
    for (; count - i >= 16; i += 16) rest = _mm_xor_si128(Fold(rest, kFold128), Load16(data + i));
    std::uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), rest);
    const auto folded = static_cast<std::uint16_t>(Crc16Word(Crc16Word(0, last), last + 8));
    return UpdateLzhCrcByTables(folded, data + i, count - i);
}

bool HasCarrylessMultiply()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    }();
    return has;
}

#endif

}  // namespace

std::uint16_t UpdateLzhCrcByTables(std::uint16_t crc, const std::uint8_t* data, std::size_t count)
{
    std::size_t i = 0;
    for (; count - i >= kCrcBlock; i += kCrcBlock) crc = BlockCrc(crc, data + i);
    for (; i + 8 <= count; i += 8) crc = static_cast<std::uint16_t>(Crc16Word(crc, data + i));
    for (; i < count; ++i) crc = Crc16Byte(crc, data[i]);
    return crc;
}

std::uint16_t UpdateLzhCrc(std::uint16_t crc, const std::uint8_t* data, std::size_t count)
{
#ifdef LZH_CRC_CARRYLESS
    if (count >= 64 && HasCarrylessMultiply()) return CarrylessCrc(crc, data, count);
#endif
    return UpdateLzhCrcByTables(crc, data, count);
}
