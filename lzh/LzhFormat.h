// The numbers of the LZH format that the side that writes and the side that
// reads both go by: those of -lh4- and -lh5- packed data (the encoder and the
// decoder), and the types of the extended headers that follow a member
// header (the writer and the reader).
//
// Packed data is a row of blocks. A block header holds the block's symbol count
// and three canonical prefix codes, each sent as its code lengths: the
// code-length code, the literal/length code (sent through the code-length
// code) and the distance code. Then come the symbols: a literal byte, or a
// copy's length and its distance back into the window.
#pragma once

#include <cstdint>

inline constexpr unsigned kLzhWindowSize = 8192;  // the copies' window, and the most one chunk of output holds
inline constexpr unsigned kLzhWindowMask = kLzhWindowSize - 1;

inline constexpr int kLzhLiteralSymbols = 510;  // 256 bytes and 254 copy lengths
inline constexpr int kLzhLengthSymbols = 19;    // the code that sends literal code lengths
inline constexpr int kLzhDistanceSymbols = 14;
inline constexpr int kLzhMaxCodeLength = 16;

// Literal/length symbols below kLzhFirstCopySymbol are bytes; the others are
// copies of kLzhMinCopyLength to kLzhMaxCopyLength bytes.
inline constexpr int kLzhFirstCopySymbol = 256;
inline constexpr unsigned kLzhMinCopyLength = 3;
inline constexpr unsigned kLzhMaxCopyLength = 256;

// Bits of the block header's counts: of the block's symbols, then of each
// code's lengths.
inline constexpr unsigned kLzhBlockCountBits = 16;
inline constexpr unsigned kLzhLengthCountBits = 5;
inline constexpr unsigned kLzhLiteralCountBits = 9;
inline constexpr unsigned kLzhDistanceCountBits = 4;

// After this many code-length code lengths, two bits count the zero lengths
// that follow; the distance code's lengths have no such count.
inline constexpr int kLzhLengthSpecialIndex = 3;
inline constexpr int kLzhNoSpecialIndex = -1;

// Extended header types: the header's own CRC-16, the file name (level 2),
// the folder, and the Unix time.
inline constexpr std::uint8_t kLzhHeaderCrcExtension = 0x00;
inline constexpr std::uint8_t kLzhFileNameExtension = 0x01;
inline constexpr std::uint8_t kLzhDirectoryExtension = 0x02;
inline constexpr std::uint8_t kLzhUnixTimeExtension = 0x54;
