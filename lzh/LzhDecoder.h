// The decoder of -lh4- and -lh5- packed data: blocks of three canonical prefix
// codes followed by literal bytes and copies from an 8192-byte window.
//
// It reads the packed bytes itself from the stream StartMemberDecoding is
// given, taking at most the member's packed size of them, and writes the
// content into the caller's window. It knows nothing of the archive around
// the member: the reader hands it the stream and the size, and is told of a
// fatal stop through lzhAbandon. All state is the one process-wide record
// lzhDecoder; nothing is allocated while decoding.
//
// The bit input reads the stream ahead into its own buffer, a few kilobytes
// at a time, and FinishMemberDecoding gives back what it has not taken; in
// between, lzhDecoder.packedLeft and the stream's position count what the bit
// input has taken, as if it read one byte at a time. A stream that cannot
// seek back is read one byte at a time.
#pragma once

#include <cstdint>
#include <cstdio>

#include "lzh/LzhFormat.h"

inline constexpr int kLzhLiteralTableBits = 12;
inline constexpr int kLzhSmallTableBits = 8;
inline constexpr int kLzhTreeNodes = 2 * kLzhLiteralSymbols - 1;
inline constexpr std::uint32_t kLzhInputSize = 8192;  // packed bytes read ahead at most
// Fast table entries that stand for "decode the long way".
inline constexpr std::uint16_t kLzhSlowLiteral = 0xFFFF;
inline constexpr std::uint32_t kLzhSlowDistance = 0xFFFFFFFF;

struct LzhDecoder {
    std::FILE* archive;             // where the member's packed bytes come from
    std::uint32_t packedLeft;       // packed bytes of the member not yet taken
    std::uint32_t bitWindow;        // the next 32 bits; the top bit is decoded next
    std::uint8_t pendingByte;       // the packed byte taken last
    std::uint8_t pendingBits;       // low bits of pendingByte not yet in bitWindow
    std::uint32_t fillerBytes;      // bytes taken past the packed size or past the end of the file
    std::int32_t blockSymbolsLeft;  // 0: a block header comes next; below 0: the codes hold to the end
    std::int32_t copyLeft;          // bytes of the current copy still to come; below 1: none
    std::uint32_t copyFrom;         // window position of the next copied byte
    bool literalConstant;           // the literal/length code is one symbol that takes no bits
    bool smallConstant;             // likewise the code in smallTable
    std::uint8_t literalLengths[kLzhLiteralSymbols];
    std::uint16_t literalTable[1 << kLzhLiteralTableBits];
    std::uint8_t smallLengths[kLzhLengthSymbols];  // code-length code, then distance code
    std::uint16_t smallTable[1 << kLzhSmallTableBits];
    std::uint16_t treeLeft[kLzhTreeNodes];  // overflow trees of codes longer than their table
    std::uint16_t treeRight[kLzhTreeNodes];

    // What a literalTable entry decodes to, in one load: the code length in
    // the low 6 bits (a shift count as it is) and the symbol above them;
    // kLzhSlowLiteral where the tree or the symbol's own length has to be
    // looked at (codes longer than the table, symbols without a code).
    std::uint16_t literalFast[1 << kLzhLiteralTableBits];
    // Likewise for the distance code, with the extra bits that follow it:
    // code length plus extra bits in the low 6 bits, the code length in bits
    // 8-11, the number of extra bits in bits 12-15, and above them the
    // distance that the extra bits add to; or kLzhSlowDistance.
    std::uint32_t distanceFast[1 << kLzhSmallTableBits];

    // The bit input's packed bytes: input[inputNext] is the next byte to
    // take. Bytes below inputRealEnd came from the stream; past them, and past
    // the file's end, the filler.
    std::uint8_t input[kLzhInputSize];
    std::uint32_t inputNext;
    std::uint32_t inputEnd;
    std::uint32_t inputRealEnd;
    std::uint64_t inputBase;     // bytes of the member taken before input[0]
    std::uint32_t memberPacked;  // the member's packed size
    std::uint32_t unfetched;     // packed bytes of the member not yet read into input
    std::uint64_t fileBytes;     // the member's packed bytes in the file: memberPacked unless it ends first
    bool fileEnded;              // a read of the stream came up short
    bool byteAtATime;            // the stream cannot seek back: read nothing ahead
};

extern LzhDecoder lzhDecoder;

// Resets the decoder for a member of packedSize packed bytes, which begin at
// archive's position, and loads the first 32 bits of them.
void StartMemberDecoding(std::FILE* archive, std::uint32_t packedSize);

// Gives the packed bytes read ahead and not taken back to the stream, which
// then stands where the bit input stopped. Called after a member's last chunk,
// or when the reader stops the member early.
void FinishMemberDecoding();

// Puts the next count (1 to kLzhWindowSize) content bytes at window[0] ..
// window[count - 1]. Every call but a member's last asks for kLzhWindowSize
// bytes: the window is the same buffer from call to call and holds the last
// kLzhWindowSize bytes of output.
void DecodeChunk(unsigned count, std::uint8_t* window);

// True when the member's decoding has used bits beyond its packed data: bits
// of the filler that the bit input supplies once the packed size is used up
// (zero bytes) or the file has ended (0xFF bytes). Such a member's data ended
// early; whatever it decodes to from there on is made up.
bool LzhInputOverrun();

// The exit status of a fatal stop.
inline constexpr int kLzhFatalExitStatus = 1;

// The subsystem's fatal stop, for the decoder's damaged data ("Bad table")
// and the reader's files ("Unable to write"): writes a line feed, message and
// a line feed to standard error, calls lzhAbandon and then lzhStop, which
// ends the process with kLzhFatalExitStatus. The message tracks no line of
// its own: it always starts with the line feed, and a program that keeps a
// line of progress on stderr takes that line as ended.
[[noreturn]] void LzhFatal(const char* message);

// What LzhFatal calls after its message, when not null: whoever has files
// open for the work that can stop points it at what gives them up. The
// reader sets it while a walk is open, to what abandons the walk (its files
// closed, no temporary file left behind).
using LzhAbandonFunction = void (*)();
extern LzhAbandonFunction lzhAbandon;

// What LzhFatal calls last. A harness that must survive a fatal stop may point
// it at a function that does not return to LzhFatal (a longjmp, for one); if it
// returns, the process still ends with kLzhFatalExitStatus.
using LzhStopFunction = void (*)();
extern LzhStopFunction lzhStop;

// The steps of decoding, open to tests.
unsigned TakeBits(unsigned n);
void BuildDecodeTable(int symbolCount, const std::uint8_t* lengths, int tableBits, std::uint16_t* table);
