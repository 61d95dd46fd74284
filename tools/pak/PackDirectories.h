// The pack's directories by path: found, checked before anything is written
// into one, and made with their missing parents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/pak/PackPaths.h"

namespace paktool {

// Whether the engine's path names a directory; the engine's current
// directory is then that one.
bool IsPackDirectory(const std::string& enginePath);

// Whether entries may be written into the directory of the first count
// components of path: not when the engine found its chain damaged, for an
// entry there could land in another chain's block. False after saying why.
bool MayWriteInto(const PackPath& path, std::size_t count);

// The first block of the directory at path; -1 after saying why.
std::int32_t FindDirectory(const PackPath& path);

// Whether the directories of the first count components of path can be
// made, without writing anything: depth is set to how many of them are there
// already. Below the first one that is not there none is, so only that one
// can be a file. False after saying why.
bool PackDirectoryMayBeMade(const PackPath& path, std::size_t count, std::size_t& depth);

// Makes the directory of the first count components and its missing parents;
// false after saying why. Every name is checked before the first is made, so
// a refused path leaves the pack as it was.
bool MakePackDirectory(const PackPath& path, std::size_t count);

}  // namespace paktool
