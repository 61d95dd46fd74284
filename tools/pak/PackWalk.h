// The pack's directories read and its tree walked through the run's engine,
// and the first damaged directory a listing or a copy meets on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/PackFormat.h"
#include "pack/PackTree.h"
#include "tools/pak/Engine.h"
#include "tools/pak/PackPaths.h"

namespace paktool {

using pack::WalkEnd;

bool ReadDirectory(std::int32_t first, std::vector<std::uint8_t>& seen, std::vector<pack::DirEntry>& entries);

template <class Visit> WalkEnd WalkTree(std::int32_t first, Visit visit)
{
    return pack::WalkTree(engine, first, visit);
}

// The first directory a listing or a copy met whose chain the engine found
// damaged, to name it when the verb fails.
class DamageSeen {
public:
    // The directory whose chain starts at first, at enginePath.
    void Directory(std::int32_t first, const std::string& enginePath);
    // An entry of a walk below base, at below.
    void Entry(const PackPath& base, const std::string& below, const pack::DirEntry& entry);
    bool Any() const { return !damaged.empty(); }
    // Says that the walk did not reach everything: in the directory met, or
    // somewhere in the tree.
    int Report() const;

private:
    std::string damaged;
};

}  // namespace paktool
