// The run's three pack engines, OLD's, NEW's and the patch's, and the two
// buffers its comparisons and copies pass the files' bytes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/PackFileManager.h"

namespace mkpatch {

inline constexpr std::size_t kChunk = 65536;

extern CPackFileManager oldPack;
extern CPackFileManager newPack;
extern CPackFileManager patchPack;
extern std::uint8_t bufferA[kChunk];
extern std::uint8_t bufferB[kChunk];

}  // namespace mkpatch
