#include "tools/kivra-mkpatch/Comparison.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "pack/PackFileManager.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/Report.h"

namespace mkpatch {

namespace {

std::uint64_t comparedFiles = 0;
std::uint64_t filesToCompare = 0;

Sameness ComparePackFiles(const TreeFile& a, const TreeFile& b)
{
    ShowProgress("comparing", ++comparedFiles, filesToCompare, "files");
    const auto open = [](CPackFileManager& pack, const TreeFile& file) {
        const std::size_t cut = file.path.rfind('\\');
        const std::string name = cut == std::string::npos ? file.path : file.path.substr(cut + 1);
        return pack.SetCurrentDir(file.directory) == 0 ? pack.OpenFile(name.c_str(), OF_READ, kInPack) : -1;
    };
    const int x = open(oldPack, a);
    const int y = open(newPack, b);
    Sameness result = x == -1 || y == -1 ? Sameness::kUnreadable : Sameness::kSame;
    for (std::uint64_t left = a.size; result == Sameness::kSame && left > 0;) {
        const std::size_t item = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        if (oldPack.Read(bufferA, item, 1, x) != 1 || newPack.Read(bufferB, item, 1, y) != 1)
            result = Sameness::kUnreadable;
        else if (std::memcmp(bufferA, bufferB, item) != 0)
            result = Sameness::kDifferent;
        left -= item;
    }
    if (x != -1) oldPack.CloseFile(x);
    if (y != -1) newPack.CloseFile(y);
    return result;
}

Sameness CompareDiskFiles(const TreeFile& a, const TreeFile& b)
{
    ShowProgress("comparing", ++comparedFiles, filesToCompare, "files");
    std::FILE* x = std::fopen(a.host.string().c_str(), "rb");
    std::FILE* y = std::fopen(b.host.string().c_str(), "rb");
    Sameness result = !x || !y ? Sameness::kUnreadable : Sameness::kSame;
    for (std::uint64_t left = a.size; result == Sameness::kSame && left > 0;) {
        const std::size_t item = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        if (std::fread(bufferA, item, 1, x) != 1 || std::fread(bufferB, item, 1, y) != 1)
            result = Sameness::kUnreadable;
        else if (std::memcmp(bufferA, bufferB, item) != 0)
            result = Sameness::kDifferent;
        left -= item;
    }
    if (x) std::fclose(x);
    if (y) std::fclose(y);
    return result;
}

// The removals a patch cannot make.
void WarnOfRemovals(const Installation& before, const TreeChanges& pack, const TreeChanges& disk)
{
    for (std::size_t i : pack.removed)
        Warn("Kivra_Pak\\" + Shown(before.packTree.files[i].path) +
             " is in OLD's pack but not in NEW's; a patch cannot remove it");
    for (std::size_t i : disk.removed)
        Warn(before.diskTree.files[i].host.string() + " is in OLD but not in NEW; a patch cannot remove it");
}

// The patcher takes names that differ only in letter case for one, so it
// finds the old file under the new name: a patch cannot rename it.
void WarnOfRenames(const TreeChanges& pack, const TreeChanges& disk)
{
    for (const auto* changes : {&pack, &disk})
        for (const auto& [old, now] : changes->renamed) {
            const std::string tree = changes == &pack ? "Kivra_Pak\\" : "";
            Warn(tree + Shown(old) + " in OLD" + (changes == &pack ? "'s pack" : "") + " is " + tree + Shown(now) +
                 " in NEW" + (changes == &pack ? "'s" : "") +
                 ": the patcher takes names differing only in letter case for one, so a patch cannot rename it");
        }
}

}  // namespace

bool CompareInstallations(const Installation& before, const Installation& after, TreeChanges& pack, TreeChanges& disk)
{
    filesToCompare = std::min(before.packTree.files.size(), after.packTree.files.size()) +
                     std::min(before.diskTree.files.size(), after.diskTree.files.size());
    if (!CompareTrees(before.packTree, after.packTree, ComparePackFiles, pack))
        return Refuse(after.packHost.string() + ": Kivra_Pak\\" + Shown(after.packTree.files[pack.unreadable].path) +
                      ": cannot be read in one of the packs (see pak fsck)");
    if (!CompareTrees(before.diskTree, after.diskTree, CompareDiskFiles, disk))
        return Refuse(after.diskTree.files[disk.unreadable].host.string() +
                      ": it or OLD's file of that name cannot be read");
    EndProgressLine();
    WarnOfRemovals(before, pack, disk);
    WarnOfRenames(pack, disk);
    for (const auto* changes : {&pack, &disk})
        if (!changes->clashes.empty())
            return Refuse(std::string(changes == &pack ? "Kivra_Pak\\" : "") + Shown(changes->clashes.front()) +
                          ": a file in one installation and a folder in the other; a patch cannot change which");
    return true;
}

}  // namespace mkpatch
