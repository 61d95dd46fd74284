// What killed runs left: their work folders in OUTDIR's parent, which the next
// run beside the same OUTDIR removes once their process is gone.
#pragma once

namespace mkpatch {

// Removes the work folders that killed runs left in OUTDIR's parent: those
// whose process is gone (or has this process's id, so is no other run's),
// and of what they hold only the work files. Each is named in a warning.
void SweepLeftovers();

}  // namespace mkpatch
