// The summary of a patch written, on stdout: the need and patch versions,
// what it adds and changes in the pack and on disk, the folders it adds, the
// files it cannot remove, its launcher, and the sizes of Update.pak and
// update.lzh.
#pragma once

#include <cstdint>

#include "tools/kivra-mkpatch/Installation.h"
#include "tools/kivra-mkpatch/Plan.h"
#include "update/Version.h"

namespace mkpatch {

void PrintSummary(const Plan& plan, const VersionNumber& need, const Installation& after, std::uint64_t packSize,
                  std::uint64_t archiveSize);

}  // namespace mkpatch
