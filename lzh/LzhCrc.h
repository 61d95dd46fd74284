// The CRC-16 of LZH archives: of each member's content, and of a level-2 or
// written level-1 header. The reader, the writer and the encoder take it.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/ARC (reflected polynomial 0xA001, no final XOR), continued from crc.
// Runs of 64 bytes or more go fastest.
std::uint16_t UpdateLzhCrc(std::uint16_t crc, const std::uint8_t* data, std::size_t count);

// The same by tables alone, as a processor without carry-less
// multiplication takes it (runs of whole 8192-byte blocks go fastest); open
// to tests.
std::uint16_t UpdateLzhCrcByTables(std::uint16_t crc, const std::uint8_t* data, std::size_t count);
