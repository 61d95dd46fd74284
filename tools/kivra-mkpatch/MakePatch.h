// A run of kivra-mkpatch once its command line is read: OLD and NEW opened,
// checked and compared, the patch written in the work folder and put into
// OUTDIR, and the summary printed.
#pragma once

#include "tools/kivra-mkpatch/Options.h"

namespace mkpatch {

// kExitSuccess once the patch is in OUTDIR, else kExitFailure after saying
// why, the work taken back.
int MakePatch(const Options& options);

}  // namespace mkpatch
