// The -lh5- encoder: content in, the packed bit stream that LzhDecoder.h reads
// out.
//
// The content becomes literal bytes and copies of 3 to 256 bytes from at most
// 8191 bytes back, found on hash chains of 3-byte prefixes that are searched
// to a bounded depth. Each choice (a copy or a literal, a copy here or a
// better one a byte later, a short copy near or a long one far) is weighed in
// bits, priced from the statistics of the block being built. The symbols go
// out in blocks of up to 65535, each with its own three canonical prefix
// codes, none longer than 16 bits; a block ends where the statistics change
// so much that new codes pay for their header.
//
// A copy never reaches before the member's first byte: other extractors do
// not keep the window from one member to the next.
//
// All state is one process-wide record, of fixed size; nothing is allocated.
// One member is encoded at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Content beyond this many bytes is not read: sizes of level-1 headers are
// 32-bit, and the encoder numbers positions in 32 bits.
inline constexpr std::uint64_t kLzhMaxEncodedSize = 0xFFFF0000u;

// Where the content comes from and the packed bytes go.
struct LzhEncodeStreams {
    // Puts up to count content bytes at to; yields how many, 0 at the end.
    std::size_t (*read)(void* context, std::uint8_t* to, std::size_t count);
    // Takes count packed bytes; false stops the encoding there.
    bool (*write)(void* context, const std::uint8_t* bytes, std::size_t count);
    void* context;
};

struct LzhEncodeResult {
    bool stopped;               // write refused bytes: encoding ended there
    std::uint64_t contentSize;  // content bytes read
    std::uint64_t packedSize;   // packed bytes write took
    std::uint16_t crc;          // CRC-16/ARC of the content read
};

// Reads the content to its end and writes its packed data: whole blocks, the
// last one padded with zero bits to a byte. Empty content packs to no bytes.
// When write refuses, encoding ends at once, with the content read so far.
LzhEncodeResult EncodeLh5(const LzhEncodeStreams& streams);

// The steps of encoding, open to tests.

// Lengths of an optimal prefix code over the symbols whose frequency is not 0
// (package-merge), none longer than maxLength; lengths[i] is 0 for an unused
// symbol. One used symbol gets length 1 (a code the format sends as a
// constant instead). 2^maxLength must be at least the number of used symbols.
void MakeLimitedCodeLengths(const std::uint32_t* frequencies, int symbolCount, int maxLength, std::uint8_t* lengths);
