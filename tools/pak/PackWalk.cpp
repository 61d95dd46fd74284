// The pack's directories read, its tree walked, and the damage met
// (PackWalk.h).
#include "tools/pak/PackWalk.h"

#include "tools/pak/Faults.h"
#include "tools/pak/Printing.h"

using pack::DirEntry;

namespace paktool {

namespace {

int Damaged(const std::string& packFile) { return Fail(packFile, "directory tree is damaged (see pak fsck)"); }

}  // namespace

bool ReadDirectory(std::int32_t first, std::vector<std::uint8_t>& seen, std::vector<DirEntry>& entries)
{
    return pack::ReadDirectory(engine, first, seen, entries);
}

void DamageSeen::Directory(std::int32_t first, const std::string& enginePath)
{
    if (damaged.empty() && engine.IsDamagedDirectory(first)) damaged = enginePath;
}

void DamageSeen::Entry(const PackPath& base, const std::string& below, const DirEntry& entry)
{
    if (entry.Type() == pack::kTypeDirectory) Directory(entry.FirstBlock(), EnginePathBelow(base, below));
}

int DamageSeen::Report() const { return damaged.empty() ? Damaged(packName) : Fail(Shown(damaged), kDamagedDirectory); }

}  // namespace paktool
