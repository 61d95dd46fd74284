// NEW's launcher, KNet.exe, when it differs from OLD's: checked for what the
// patcher does with it, and copied into the work folder to be written beside
// update.lzh.
#pragma once

#include <filesystem>

#include "tools/kivra-mkpatch/Installation.h"
#include "tools/kivra-mkpatch/Plan.h"

namespace mkpatch {

// Warns when the patcher would not replace the launcher before the run: the
// patch's own KNet.exe then brings NEW's launcher.
void CheckLauncher(const Plan& plan, const Installation& before);

// Copies NEW's launcher at from into the work folder; false after saying
// why.
bool CopyLauncher(const std::filesystem::path& from);

}  // namespace mkpatch
