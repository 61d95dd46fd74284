// OUTDIR, where the patch goes: refused before the run when it lies inside an
// installation, and given the finished patch at the run's end.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/kivra-mkpatch/Installation.h"

namespace mkpatch {

// Refuses an OUTDIR that lies inside either installation, is not a folder
// or has no code page 949 form; else notes its system code page path.
bool CheckOutDir(const std::filesystem::path& outDir, const Installation& before, const Installation& after);

// Puts the finished patch into OUTDIR, made when missing: a KNet.exe and an
// Update.pak that an earlier patch left there are moved into the work folder,
// then the patch's KNet.exe (when launcher) and last its update.lzh are
// renamed into OUTDIR, each in one step. When a step fails those before it
// are undone, so OUTDIR holds the earlier patch or this one; stop signals
// wait until it is over. What an earlier patch left that this one does not
// replace is named in removed. False after saying why.
bool PutIntoOutDir(bool launcher, std::vector<std::string>& removed);

}  // namespace mkpatch
