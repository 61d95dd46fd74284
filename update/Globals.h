// The process-wide state of a patch run: the two pack engines and the two
// directories.
#pragma once

#include "pack/PackFileManager.h"

// The patch's "Update.pak", opened read-only, and the game's "Dev\Kivra.pak",
// opened read-write. Both exist before the program's logic runs and close
// when the process ends.
extern CPackFileManager UpdatePack;
extern CPackFileManager GamePack;

// The directory of the patcher's executable and the game's installation
// directory, each ending in a separator once they are filled.
extern char UpdaterDir[kMaxPath];
extern char GameDir[kMaxPath];

// Writes directory followed by name into out (kMaxPath bytes). False, with
// out empty, when the two do not fit: such a path is refused, never cut to
// another name.
bool JoinPath(char* out, const char* directory, const char* name);
