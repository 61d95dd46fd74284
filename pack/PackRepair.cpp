// The repairs of `pak fsck`: lost blocks freed, the table's tail freed and
// chains out of the data area cut, the root's table entry set.
#include "pack/PackRepair.h"

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"

namespace pack {

std::int32_t FreeLostBlocks(CPackFileManager& engine, const std::vector<std::int32_t>& lost)
{
    std::int32_t freed = 0;
    for (const std::int32_t block : lost) {
        // Block 0 is the root's; the checker never finds it lost.
        if (block <= 0 || block >= engine.BlockCount()) continue;
        const std::int32_t before = engine.TableEntry(block);
        if (before == kFreeBlock) continue;
        engine.SetTableEntry(block, kFreeBlock);
        if (engine.StoreTableEntry(block) != 0) {
            engine.SetTableEntry(block, before);
            return -1;
        }
        ++freed;
    }
    return freed;
}

std::int32_t RepairTableTail(CPackFileManager& engine)
{
    const std::int32_t blocks = engine.BlockCount();
    std::int32_t changed = 0;
    for (std::int32_t block = blocks; block < kMaxBlocks; ++block) {
        if (engine.TableEntry(block) == kFreeBlock) continue;
        engine.SetTableEntry(block, kFreeBlock);
        ++changed;
    }
    for (std::int32_t block = 0; block < blocks; ++block) {
        const std::int32_t next = engine.TableEntry(block);
        if (next == kFreeBlock || next == kEndOfChain || (next > 0 && next < blocks)) continue;
        engine.SetTableEntry(block, kEndOfChain);
        ++changed;
    }
    return changed;
}

int RepairRootEntry(CPackFileManager& engine)
{
    if (engine.BlockCount() < 1 || engine.TableEntry(0) != kFreeBlock) return 0;
    engine.SetTableEntry(0, kEndOfChain);
    if (engine.StoreTableEntry(0) != 0) {
        engine.SetTableEntry(0, kFreeBlock);
        return -1;
    }
    return 1;
}

}  // namespace pack
