// The repairs of `pak fsck`: lost blocks freed, the root's table entry set.
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
