// An installation of the game, OLD or NEW: its pack Dev\Kivra.pak opened,
// the version its Kivra_Pak\Version.txt holds, and its two trees listed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/kivra-mkpatch/PatchTree.h"
#include "update/Version.h"

class CPackFileManager;

namespace mkpatch {

struct Installation {
    const char* role;                // "OLD" or "NEW"
    std::filesystem::path root;      // as typed
    std::filesystem::path packHost;  // Dev/Kivra.pak as the host names it
    CPackFileManager* pack;
    VersionNumber version{0, 0, 0, 0};
    std::int32_t treeBlock = -1;  // Kivra_Pak's first block
    Tree packTree;
    Tree diskTree;

    std::string Name() const { return std::string(role) + " (" + root.string() + ")"; }
};

// Opens the installation's pack and reads its version; false after saying
// why.
bool OpenInstallation(Installation& game);

// Lists the installation's pack tree and disk tree, but for the pack itself
// and NeedVersion.txt, and for what the exclude patterns (system code page)
// match; false after saying why.
bool ListTrees(Installation& game, const std::vector<std::string>& excludes);

}  // namespace mkpatch
