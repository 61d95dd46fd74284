// CRC-16/ARC eight bytes at a time, and a whole block of 8192 bytes as four
// quarters side by side.
#include "lzh/LzhCrc.h"

#include <array>

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

}  // namespace

std::uint16_t UpdateLzhCrc(std::uint16_t crc, const std::uint8_t* data, std::size_t count)
{
    std::size_t i = 0;
    for (; count - i >= kCrcBlock; i += kCrcBlock) crc = BlockCrc(crc, data + i);
    for (; i + 8 <= count; i += 8) crc = static_cast<std::uint16_t>(Crc16Word(crc, data + i));
    for (; i < count; ++i) crc = Crc16Byte(crc, data[i]);
    return crc;
}
