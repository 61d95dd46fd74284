// The disk tree that import copies: listed whole and checked, name by name,
// for what the pack can hold, before the pack changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "tools/common/TreeEntry.h"
#include "tools/pak/PackPaths.h"

namespace paktool {

struct DiskItem {
    std::filesystem::path disk;
    PackPath path;
    bool directory;
    std::uint64_t size;
    // For a directory not listed yet: the canonical paths of the folders from
    // the root down to it, which a followed link must not lead back into.
    std::vector<std::filesystem::path> inside;
};

// The tree below the walk's root (root as typed), depth first, each
// directory before its contents.
bool CollectDiskTree(const tree::Walk& walk, const std::filesystem::path& root, const PackPath& base,
                     const std::filesystem::path& packFile, std::vector<DiskItem>& items);

// Whether the disk tree items (from CollectDiskTree) can go below base
// whole: where the pack holds a name already, in any letter case, a folder
// meets a directory and a file a file, which it replaces; and no entry is
// written into a damaged directory. False after saying why; nothing is
// written. Each pack directory the tree reaches is read once and its names
// looked up in memory: a directory may hold thousands of entries, and a
// lookup through the engine for each item would pass over it every time.
bool TreeFitsPack(const PackPath& base, const std::vector<DiskItem>& items);

}  // namespace paktool
