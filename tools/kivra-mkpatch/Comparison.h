// OLD's trees compared with NEW's, file by file: what NEW adds, changes and
// lacks, with a warning for each file a patch cannot remove or rename.
#pragma once

#include "tools/kivra-mkpatch/Installation.h"
#include "tools/kivra-mkpatch/PatchTree.h"

namespace mkpatch {

// Compares OLD with NEW into pack and disk, warns of the files a patch cannot
// remove or rename and refuses a file that became a folder or the reverse.
bool CompareInstallations(const Installation& before, const Installation& after, TreeChanges& pack, TreeChanges& disk);

}  // namespace mkpatch
