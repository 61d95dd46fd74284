// The pack's directories by path: found, checked and made (PackDirectories.h).
#include "tools/pak/PackDirectories.h"

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/Printing.h"

using pack::DirEntry;

namespace paktool {

bool IsPackDirectory(const std::string& enginePath) { return engine.ChangeDir(enginePath.c_str()) == 0; }

bool MayWriteInto(const PackPath& path, std::size_t count)
{
    const std::string text = EnginePath(path, count);
    if (!IsPackDirectory(text) || !engine.IsDamagedDirectory(engine.GetCurrentDir())) return true;
    return Refuse(Shown(text), kDamagedDirectory);
}

std::int32_t FindDirectory(const PackPath& path)
{
    const std::string text = EnginePath(path);
    if (!IsPackDirectory(text)) {
        Fail(Shown(text), "no such directory");
        return -1;
    }
    return engine.GetCurrentDir();
}

bool PackDirectoryMayBeMade(const PackPath& path, std::size_t count, std::size_t& depth)
{
    depth = 0;
    while (depth < count && IsPackDirectory(EnginePath(path, depth + 1))) ++depth;
    for (std::size_t i = depth; i < count; ++i) {
        const std::string text = EnginePath(path, i + 1);
        if (path[i][0] == '.') return Refuse(Shown(text), kDotDirectory);
        DirEntry entry;
        if (i == depth && engine.ChangeDir(EnginePath(path, i).c_str()) == 0 &&
            engine.FindEntry(path[i].c_str(), pack::kTypeFile, entry))
            return Refuse(Shown(text), "is a file, not a directory");
    }
    return true;
}

bool MakePackDirectory(const PackPath& path, std::size_t count)
{
    std::size_t depth = 0;
    if (!PackDirectoryMayBeMade(path, count, depth)) return false;
    // Only the deepest directory that is there is written into; the others
    // are new.
    if (depth < count && !MayWriteInto(path, depth)) return false;
    for (std::size_t i = depth; i < count; ++i) {
        const std::string text = EnginePath(path, i + 1);
        if (engine.MakeDir(text.c_str()) != 0) return RefuseWrite(Shown(text), "cannot make directory (see pak fsck)");
    }
    return true;
}

}  // namespace paktool
