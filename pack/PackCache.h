// What an engine keeps of a pack's directories in memory, so that the cost of
// a lookup or of finding a free slot does not grow with the directory.
//
// - Directory blocks, as the host file holds them: every write the engine
//   makes to the host file passes through Written, so a cached block is
//   always the file's bytes (write-through; nothing is ever written from
//   here).
// - For directories whose chain is sound (it ends in 0, without loops or
//   blocks another directory holds, and its table entries are stored), a name
//   index (a name to the slots that hold it) and the lowest chain position
//   that may hold a free slot.
//
// Everything is sized when the pack opens; the memory is taken from the
// system untouched, so what is resident grows only with what is cached. When
// it is full, it starts over. Anything the cache cannot vouch for (a damaged
// chain, a failed write) is read from the host file as before, so the engine
// gives the same results and writes the same bytes with or without it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/PackFormat.h"

namespace pack {

class DirectoryCache {
public:
    // Blocks held at most, and name records (a power of two, above the
    // entries those blocks hold).
    static constexpr std::int32_t kBlocks = 8192;
    static constexpr std::int32_t kRecords = 1 << 18;
    static constexpr std::int32_t kDirectories = 4096;

    DirectoryCache();
    ~DirectoryCache();
    DirectoryCache(const DirectoryCache&) = delete;
    DirectoryCache& operator=(const DirectoryCache&) = delete;

    // False when its memory could not be had: the engine then reads as before.
    bool Usable() const { return blocks != nullptr; }
    // Forgets everything (a pack opened or closed, a write that failed).
    void Clear();

    // The cached bytes of block, or null.
    const std::uint8_t* Bytes(std::int32_t block) const;
    // Keeps block's bytes as just read from the host file. False when full
    // (the cache then starts over: call again).
    bool Insert(std::int32_t block, const std::uint8_t* bytes);

    // The host file's bytes at offset now hold data: cached blocks follow.
    void Written(std::int64_t offset, const void* data, std::size_t size);
    // The in-memory table entry of block changed from before to after.
    void TableChanged(std::int32_t block, std::int32_t before, std::int32_t after);

    // The index of the directory whose chain starts at first, or -1.
    std::int32_t FindDirectory(std::int32_t first) const;
    // Indexes a directory whose chain is blocks[0..count), all of them
    // cached. -1 when it cannot (full, or a block another directory holds).
    std::int32_t AddDirectory(const std::int32_t* chain, std::int32_t count);

    // The first entry of directory dir in chain order that is in use (byte
    // exactly 1), whose type shares a bit with mask and whose name equals
    // name ignoring ASCII case: 1 with its block and slot, 0 when none.
    int Lookup(std::int32_t dir, const char* name, std::uint8_t mask, std::int32_t& block, int& slot) const;
    // The first free slot (in-use byte 0) of directory dir in chain order: 1
    // with its block and slot, 0 when the chain has none (its last block is
    // then lastBlock).
    int FirstFree(std::int32_t dir, std::int32_t& block, int& slot, std::int32_t& lastBlock);

private:
    struct Block {
        std::int32_t block;      // the pack block held, -1 when none
        std::int32_t directory;  // the indexed directory that holds it, -1 when none
        std::int32_t position;   // its place in that directory's chain
        std::int32_t next;       // the next block of that chain, -1 at its end
        std::uint8_t bytes[kBlockSize];
    };
    struct Directory {
        std::int32_t first;     // -1: not in use
        std::int32_t last;      // cache index of its last block
        std::int32_t freeFrom;  // cache index of the first block that may hold a free slot
    };
    struct Record {
        std::int32_t entry;  // cache index * 16 + slot + 1; kEmpty or kGone
        std::uint32_t hash;
    };
    static constexpr std::int32_t kEmpty = 0;
    static constexpr std::int32_t kGone = -1;

    std::uint32_t Hash(std::int32_t dir, const char* name, std::size_t length) const;
    void IndexSlot(std::int32_t index, int slot);
    void UnindexSlot(std::int32_t index, int slot);
    void DropDirectory(std::int32_t dir);
    void Rehash();

    Block* blocks = nullptr;
    std::int32_t* indexOf = nullptr;  // per pack block: cache index + 1, 0 when not held
    Record* records = nullptr;
    Directory directories[kDirectories];
    std::int32_t usedBlocks = 0;
    std::int32_t usedRecords = 0;  // records that are not empty (gone ones too)
};

}  // namespace pack
