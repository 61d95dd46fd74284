// The directory blocks a writer changed that the stored tree reads: what the
// engine sees in them, and what the host file holds, until the switch.
//
// A writer does not write into a block that a chain held when the pack was
// opened (or last switched) until everything else of its change is on the
// disk: the new files' data, their chains, new directories. The entries it
// writes there wait here, and the engine reads them from here; the switch
// writes them all at once, each 128-byte entry within one sector, so that a
// file flips whole. The host's bytes are kept beside, to put back should the
// switch have to be undone.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pack/PackFormat.h"

namespace pack {

class PendingBlocks {
public:
    PendingBlocks() = default;
    ~PendingBlocks() { Clear(); }
    PendingBlocks(const PendingBlocks&) = delete;
    PendingBlocks& operator=(const PendingBlocks&) = delete;

    // The engine's bytes of block, or null when it has none waiting.
    std::uint8_t* Bytes(std::int32_t block);
    // Takes block in with the bytes the host file holds (both views start
    // as those); its engine bytes, or null when there is no memory.
    std::uint8_t* Add(std::int32_t block, const std::uint8_t* hostBytes);

    std::int32_t Count() const { return static_cast<std::int32_t>(records.size()); }
    std::int32_t BlockAt(std::int32_t i) const { return records[static_cast<std::size_t>(i)]->block; }
    const std::uint8_t* Now(std::int32_t i) const { return records[static_cast<std::size_t>(i)]->now; }
    const std::uint8_t* Before(std::int32_t i) const { return records[static_cast<std::size_t>(i)]->before; }
    void Clear();

private:
    struct Record {
        std::int32_t block;
        std::uint8_t now[kBlockSize];
        std::uint8_t before[kBlockSize];
    };
    std::vector<Record*> records;  // in the order they were first written
    std::unordered_map<std::int32_t, std::int32_t> index;
};

}  // namespace pack
