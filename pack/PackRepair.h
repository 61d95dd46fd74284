// The repairs of `pak fsck`, made through the engine after the checker
// (pack/PackCheck.h) has found what to repair.
#pragma once

#include <cstdint>
#include <vector>

class CPackFileManager;

namespace pack {

// Frees, in the engine's table and in the stored table, every block of lost
// that is still in use. The engine must have the same pack open read-write.
// Only the listed blocks change: a repair after a check never touches a block
// that any chain holds, whatever other problems the check found. The number
// of blocks freed, or -1 when a table entry could not be stored.
std::int32_t FreeLostBlocks(CPackFileManager& engine, const std::vector<std::int32_t>& lost);

// Frees every table entry past the data area that is in use (a table stored
// without the growth its blocks needed), and ends every chain that leads out
// of the data area at its last block inside it. What a chain so cut held
// past its end is lost; its file is shorter than its size says, which a
// check still names. The count of entries changed. The engine writes again
// once none past the data area is in use.
std::int32_t RepairTableTail(CPackFileManager& engine);

// Sets a free table entry 0 back to "in use, last block", in the engine and
// in the stored table, as the check took it. 1 when it was set, 0 when the
// entry was not free, -1 when it could not be stored.
int RepairRootEntry(CPackFileManager& engine);

}  // namespace pack
