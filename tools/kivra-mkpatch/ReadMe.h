// The ReadMe.txt the patch carries: the file --readme gives, which NEW's own
// ReadMe.txt, when it has one, must equal.
#pragma once

#include "tools/kivra-mkpatch/Options.h"
#include "tools/kivra-mkpatch/PatchTree.h"

namespace mkpatch {

// Reads the --readme file's bytes and time into options, when it is given;
// false after saying why it cannot be carried.
bool ReadReadMe(Options& options);

// Whether NEW's own ReadMe.txt, file, holds what --readme gives; false after
// saying why not.
bool SameReadMe(const TreeFile& file, const Options& options);

}  // namespace mkpatch
