// Update.pak, in the work folder: the plan's folders and files written into
// it, then every entry given the patch's time.
#pragma once

#include <cstdint>
#include <string>

#include "tools/kivra-mkpatch/Plan.h"

namespace mkpatch {

// Writes the plan's folders and files into Update.pak, in the work folder;
// its path goes to packPath. False after saying why.
bool WritePatchPack(const Plan& plan, std::string& packPath);

// Gives every entry of the closed Update.pak at path, "." and ".." among
// them, the patch's time (a FILETIME), where the engine wrote the time of
// day. False after saying why.
bool StampPackTimes(const std::string& path, std::uint64_t ticks);

}  // namespace mkpatch
