// What the patch holds: the files of Update.pak, each with where its bytes
// come from, and the folders it adds, from OLD and NEW compared; with the
// counts the summary gives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/kivra-mkpatch/Installation.h"
#include "tools/kivra-mkpatch/Options.h"
#include "tools/kivra-mkpatch/PatchTree.h"

namespace mkpatch {

// One file of Update.pak and where its bytes come from.
struct PatchFile {
    std::string path;  // in Update.pak
    std::uint64_t size = 0;
    const TreeFile* fromPack = nullptr;  // a file of NEW's pack
    std::filesystem::path fromDisk;      // else a disk file, or
    std::string text;                    // else these bytes
    std::uint64_t time = 0;              // the source's time, a FILETIME
};

struct Plan {
    std::vector<PatchFile> files;
    std::vector<std::string> folders;  // added folders, in Update.pak
    std::uint64_t packAdded = 0, packChanged = 0, diskAdded = 0, diskChanged = 0;
    std::uint64_t packBytes = 0, diskBytes = 0;
    std::uint64_t removed = 0;
    std::uint64_t renamed = 0;  // only in letter case
    const TreeFile* launcher = nullptr;
};

// Compares before with after and plans the patch between them: NeedVersion.txt
// first, then what NEW adds or changes in its pack's Kivra_Pak tree (its
// Version.txt always) and on disk, ReadMe.txt last, and the folders NEW adds.
// False after saying why no patch can be made.
bool MakePlan(const Installation& before, const Installation& after, const Options& options, Plan& plan);

// The patch's time when SOURCE_DATE_EPOCH does not give it: the newest time
// of the files put into it.
PatchTime NewestTime(const Plan& plan);

}  // namespace mkpatch
