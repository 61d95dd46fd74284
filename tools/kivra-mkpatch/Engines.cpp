#include "tools/kivra-mkpatch/Engines.h"

namespace mkpatch {

CPackFileManager oldPack;
CPackFileManager newPack;
CPackFileManager patchPack;
std::uint8_t bufferA[kChunk];
std::uint8_t bufferB[kChunk];

}  // namespace mkpatch
