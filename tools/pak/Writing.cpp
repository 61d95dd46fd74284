// The verbs that change the pack: create, mkdir, put, rm, import (Writing.h).
#include "tools/pak/Writing.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/common/TreeEntry.h"
#include "tools/pak/Copying.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/ImportTree.h"
#include "tools/pak/PackDirectories.h"
#include "tools/pak/PackPaths.h"
#include "tools/pak/Printing.h"
#include "tools/pak/Progress.h"
#include "tools/pak/ThePack.h"

namespace fs = std::filesystem;
using pack::DirEntry;
using pack::NameFault;

namespace paktool {

int Create(const Args& args)
{
    const std::string& path = args[0];
    // The engine finds a file by its name in any letter case, as Windows
    // does: a pack that differs only in case is there already.
    std::error_code error;
    std::string system;
    if (!HostToSystemText(path, system)) return Fail(path, kNoCodePageForm);
    char host[kHostPathMax];
    if (fs::exists(fs::symlink_status(path, error)) ||
        (ResolveDiskPath(system.c_str(), host, sizeof host) && fs::exists(fs::symlink_status(host, error))))
        return Fail(path, "exists already");
    packName = path;
    if (engine.Open(system.c_str(), "wb") != 1) return Fail(path, "cannot be created");
    packWritable = true;
    const bool ok = engine.BlockCount() == 1;
    engine.Close();
    return ok && !engine.Failed() ? 0 : Fail(path, kNotWritten);
}

int MakeDirectory(const Args& args)
{
    PackPath path;
    if (!ParsePackPath(args[1], path) || !OpenPack(args[0], true)) return kExitFailure;
    return MakePackDirectory(path, path.size()) ? 0 : kExitFailure;
}

int Put(const Args& args)
{
    const fs::path disk = args[1];
    std::uint64_t size = 0;
    PackPath path;
    if (!DiskFileSize(disk, size) || (args.size() > 2 && !ParsePackPath(args[2], path)) || !OpenPack(args[0], true))
        return kExitFailure;
    // No path, a path ending in a separator or naming a directory: the file
    // keeps its own name there.
    if (args.size() == 2 || path.empty() || EndsWithSeparator(args[2]) || IsPackDirectory(EnginePath(path))) {
        std::string name;
        if (!HostToSystemText(disk.filename().string(), name)) return Fail(disk.string(), kNoCodePageForm);
        if (const char* fault = NameFault(name)) return Fail(disk.string(), fault);
        path.push_back(name);
        if (!PathFitsEngine(path)) return kExitFailure;
    }
    return PutFile(disk, size, path) ? 0 : kExitFailure;
}

int Remove(const Args& args)
{
    PackPath path;
    if (!ParsePackPath(args[1], path) || !OpenPack(args[0], true)) return kExitFailure;
    const std::string text = Shown(EnginePath(path));
    if (path.empty()) return Fail(text, "is a directory");
    if (!MayWriteInto(path, path.size() - 1)) return kExitFailure;
    DirEntry entry;
    if (engine.ChangeDir(EnginePath(path, path.size() - 1).c_str()) != 0 ||
        !engine.FindEntry(path.back().c_str(), pack::kTypeAny, entry))
        return Fail(text, "no such file");
    if (entry.Type() == pack::kTypeDirectory) return Fail(text, "is a directory");
    if (engine.RemoveFile(path.back().c_str()) == 0) return 0;
    RefuseWrite(text, "cannot be removed");
    return kExitFailure;
}

int Import(const Args& given)
{
    // -L, before the other arguments, as tar's -h.
    const bool followLinks = !given.empty() && (given[0] == "-L" || given[0] == "--dereference");
    const Args args(given.begin() + (followLinks ? 1 : 0), given.end());
    if (args.size() < 2 || args.size() > 3) return kExitUsage;
    // DIR itself is followed when it is a link, as typed paths are.
    const fs::path root = args[1];
    PackPath base;
    if (args.size() > 2 && !ParsePackPath(args[2], base)) return kExitFailure;
    std::error_code error;
    if (!fs::is_directory(root, error))
        return Fail(args[1], fs::exists(root, error) ? "not a directory" : "no such directory");
    if (!OpenPack(args[0], true)) return kExitFailure;
    // Everything is looked at before the pack changes.
    std::vector<DiskItem> items;
    if (!CollectDiskTree(tree::Walk(root, followLinks), root, base, args[0], items)) return kExitFailure;
    std::size_t depth = 0;
    if (!PackDirectoryMayBeMade(base, base.size(), depth) || (depth < base.size() && !MayWriteInto(base, depth)) ||
        !TreeFitsPack(base, items))
        return kExitFailure;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    for (const DiskItem& item : items) {
        if (item.directory) continue;
        ++files;
        bytes += item.size;
    }
    if (!MakePackDirectory(base, base.size())) return kExitFailure;
    Progress progress("import", files, bytes);
    for (const DiskItem& item : items) {
        if (item.directory) {
            if (!MakePackDirectory(item.path, item.path.size())) return kExitFailure;
        } else {
            if (!PutFile(item.disk, item.size, item.path)) return kExitFailure;
            progress.FileDone(item.size);
        }
    }
    return 0;
}

}  // namespace paktool
