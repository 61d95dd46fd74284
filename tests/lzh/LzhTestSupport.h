// Builders for LZH test archives: member headers of levels 0 to 2, and a small
// -lh5- block encoder that writes chosen codes, so that tests can reach the
// decoder's corners that archivers never produce.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace lzhtest {

using Bytes = std::vector<std::uint8_t>;

// The shared LZH corpus (../shared/lzh-corpus beside the checkout): archives
// that many LHA programs made. A fresh clone has none; every test that reads
// it skips then, with the same line: CorpusMissing().
extern const std::string kCorpus;
bool HaveCorpus();
std::string CorpusMissing();

// CRC-16/ARC, one bit at a time.
std::uint16_t Crc16(const Bytes& data);

Bytes Text(const std::string& text);
Bytes Concat(std::initializer_list<Bytes> parts);

// Makes dir the current directory until destruction.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir);
    ~InDirectory();
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

// Regular files below dir, relative paths with '/' and sorted.
std::vector<std::string> FilesBelow(const std::string& dir);

// Runs a shell command; its exit status, or -1.
int RunShell(const std::string& command);

// What a run of a tool gave: its exit status and what it wrote.
struct ToolResult {
    int status;
    std::string out;
    std::string err;
};

// The whole content of a file, empty when it cannot be read.
std::string Slurp(const std::string& path);
bool HaveCommand(const char* name);
std::string Quote(const std::string& text);

// One member of a level-1 archive. packedData follows the extended headers,
// whose sizes the packed size field counts.
struct Member {
    std::string method = "-lh0-";
    std::string name;
    Bytes content;     // gives the unpacked size and, unless crc is set, the CRC
    Bytes packedData;  // for -lh0- empty means the content itself
    int crc = -1;
    std::vector<Bytes> extensions;  // each: type byte and contents, without the next-size field
};

Bytes Level1(const Member& member);
Bytes Level0(const Member& member);
// A level-2 header with the name in an extended header and a header CRC.
Bytes Level2(const Member& member);
// Members followed by the end marker.
Bytes Archive(std::initializer_list<Bytes> members);

// Bits written most significant first.
class BitWriter {
public:
    void Put(std::uint32_t value, int count);
    std::size_t BitCount() const { return bytes_.size() * 8 + static_cast<std::size_t>(pendingCount_); }
    Bytes Finish();  // pads the last byte with zero bits

private:
    Bytes bytes_;
    std::uint32_t pending_ = 0;
    int pendingCount_ = 0;
};

// A prefix code given by its lengths, or one constant symbol that takes no bits.
struct Code {
    std::vector<std::uint8_t> lengths;
    int constant = -1;
    int count = -1;                    // lengths sent; by default up to the last non-zero one
    std::vector<std::uint32_t> codes;  // canonical codes
};

// Lengths of a complete code that gives every listed symbol a code and no
// other symbol one.
std::vector<std::uint8_t> CompleteLengths(int symbolCount, const std::vector<int>& symbols);

// One block of -lh5- data: its header, then literal and copy symbols.
class BlockWriter {
public:
    // The code-length code is chosen to fit the literal code.
    BlockWriter(BitWriter& out, std::uint16_t symbolCount, Code literal, Code distance);
    void Literal(int symbol);
    void Copy(int length, int distance);

private:
    BitWriter& out_;
    Code literal_;
    Code distance_;
};

// Packed bytes of one member: a single block over content's bytes and the
// given copies, using complete codes over exactly the symbols used.
struct Symbol {
    int literal;  // 0-255 a byte, or -1 for a copy
    int length = 0;
    int distance = 0;
};
void WriteBlock(BitWriter& bits, const std::vector<Symbol>& symbols, std::uint16_t blockCount);
Bytes EncodeBlock(const std::vector<Symbol>& symbols, std::uint16_t blockCount);
std::vector<Symbol> Literals(const Bytes& content);

// Decodes packed bytes into count bytes of content with the decoder alone, in
// chunks of 8192 through one shared window. The archive stream is a temporary
// file holding fileBytes (packed by default); packedLeft starts at packedSize.
Bytes DecodeAll(const Bytes& packed, std::size_t count, std::size_t packedSize, const Bytes* fileBytes = nullptr);

}  // namespace lzhtest
