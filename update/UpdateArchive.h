// Unpacking "update.lzh" for a patch run: every member written whole and
// checked by its CRC, the archive read to its end marker, or the first thing
// wrong with it.
#pragma once

#include <cstdint>

#include "update/UpdateUi.h"

// What unpacking update.lzh came to.
struct UnpackedArchive {
    bool found;  // there was an archive (or one that could not be looked at)
    bool whole;  // every member was written, and the archive reached its end
    std::uint32_t members;
    char problem[320];  // the first thing wrong, when not whole
    // The same for a message's detail: the archive's name and what is wrong
    // with it ("update.lzh: damaged member Update.pak"), short enough for a
    // detail of 260 bytes in parentheses (a long member name is cut).
    char shown[256];
};

// Unpacks update.lzh of the current directory into into (null: the current
// directory), telling ui how far it has got. A fatal stop of the walk (a bad
// table, a write that fails) comes back here as a problem. A member of a
// folder holds nothing and is passed over.
const UnpackedArchive& UnpackUpdateArchive(UpdateUi& ui, const char* into);
