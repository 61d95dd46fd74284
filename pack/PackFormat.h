// The stored layout of a pack file: a header sector, an allocation table that
// chains 2048-byte blocks, and a data area of blocks holding directories and
// file contents. Every byte here is binding: the game reads the same file.
#pragma once

#include <cstdint>
#include <cstring>

namespace pack {

inline constexpr int kSectorSize = 512;
inline constexpr int kBlockSize = 2048;

// Header (sector 0).
inline constexpr char kBanner[] = "Pen Dix File Manager!\n";
inline constexpr int kBannerLength = 22;
inline constexpr int kHeaderImageSize = 435;  // only these bytes are read back
inline constexpr int kPathTextOffset = 30;
inline constexpr int kPathTextSize = 100;
inline constexpr int kTableSectorsOffset = 431;
inline constexpr std::uint32_t kTableSectors = 1000;

// Allocation table: one signed 32-bit entry per block.
inline constexpr int kTableOffset = 512;
inline constexpr int kMaxBlocks = 128000;
inline constexpr int kTableBytes = kMaxBlocks * 4;
inline constexpr std::int32_t kFreeBlock = -1;
inline constexpr std::int32_t kEndOfChain = 0;

// Data area: block b starts at kDataOffset + kBlockSize * b.
inline constexpr int kDataStartSector = 1001;
inline constexpr int kDataOffset = kDataStartSector * kSectorSize;  // 512,512
inline constexpr int kNewPackSize = kDataOffset + kBlockSize;       // 514,560

// Directory blocks hold 16 entries of 128 bytes.
inline constexpr int kEntrySize = 128;
inline constexpr int kEntriesPerBlock = kBlockSize / kEntrySize;
inline constexpr int kNameSize = 95;  // 94 characters and the terminator
inline constexpr int kMaxNameLength = 94;

// Entry type bits, also used as type masks.
inline constexpr std::uint8_t kTypeDirectory = 1;
inline constexpr std::uint8_t kTypeFile = 2;
inline constexpr std::uint8_t kTypeAny = kTypeDirectory | kTypeFile;

inline constexpr std::int32_t BlockOffset(std::int32_t block) { return kDataOffset + kBlockSize * block; }

inline std::uint32_t LoadU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void StoreU32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// A 128-byte directory entry exactly as stored. Several 32-bit fields stand at
// offsets that are not multiples of 4, so they are read and written byte by
// byte where they lie.
struct DirEntry {
    std::uint8_t bytes[kEntrySize];

    enum Offset : int {
        kInUse = 0,
        kName = 1,
        kTimeHigh = 99,
        kEntryBlock = 104,
        kEntrySlot = 108,
        kFirstBlock = 112,
        kSize = 116,
        kTimeLow = 120,
        kType = 124,
        kContiguous = 125,
    };

    void Clear() { std::memset(bytes, 0, sizeof bytes); }

    std::uint8_t InUse() const { return bytes[kInUse]; }
    void SetInUse(std::uint8_t v) { bytes[kInUse] = v; }

    // The stored name; the last name byte is forced to 0 on a copy taken from
    // disk, so this is always terminated within the field.
    const char* Name() const { return reinterpret_cast<const char*>(bytes + kName); }
    // Copies at most 94 characters of name and zero-fills the rest of the field.
    void SetName(const char* name)
    {
        std::memset(bytes + kName, 0, kNameSize);
        const std::size_t n = strnlen(name, kMaxNameLength);
        std::memcpy(bytes + kName, name, n);
    }
    // Makes the name field terminated, whatever the stored bytes hold.
    void TerminateName() { bytes[kName + kNameSize - 1] = 0; }

    std::uint32_t TimeHigh() const { return LoadU32(bytes + kTimeHigh); }
    std::uint32_t TimeLow() const { return LoadU32(bytes + kTimeLow); }
    void SetTime(std::uint32_t high, std::uint32_t low)
    {
        StoreU32(bytes + kTimeHigh, high);
        StoreU32(bytes + kTimeLow, low);
    }

    std::int32_t EntryBlock() const { return static_cast<std::int32_t>(LoadU32(bytes + kEntryBlock)); }
    std::int32_t EntrySlot() const { return static_cast<std::int32_t>(LoadU32(bytes + kEntrySlot)); }
    void SetLocation(std::int32_t block, std::int32_t slot)
    {
        StoreU32(bytes + kEntryBlock, static_cast<std::uint32_t>(block));
        StoreU32(bytes + kEntrySlot, static_cast<std::uint32_t>(slot));
    }

    std::int32_t FirstBlock() const { return static_cast<std::int32_t>(LoadU32(bytes + kFirstBlock)); }
    void SetFirstBlock(std::int32_t v) { StoreU32(bytes + kFirstBlock, static_cast<std::uint32_t>(v)); }

    std::uint32_t Size() const { return LoadU32(bytes + kSize); }
    void SetSize(std::uint32_t v) { StoreU32(bytes + kSize, v); }

    std::uint8_t Type() const { return bytes[kType]; }
    void SetType(std::uint8_t v) { bytes[kType] = v; }

    std::uint8_t Contiguous() const { return bytes[kContiguous]; }
    void SetContiguous(std::uint8_t v) { bytes[kContiguous] = v; }
};
static_assert(sizeof(DirEntry) == kEntrySize);

}  // namespace pack
