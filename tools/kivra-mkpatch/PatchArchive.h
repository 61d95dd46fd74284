// update.lzh: Update.pak packed into it, in the work folder, as its one
// member.
#pragma once

#include <cstdint>
#include <string>

namespace mkpatch {

// Packs Update.pak (at packPath, packSize bytes) into update.lzh in the work
// folder, its member stamped dosTime; false after saying why.
bool CompressPatch(const std::string& packPath, std::uint64_t packSize, std::uint32_t dosTime);

}  // namespace mkpatch
