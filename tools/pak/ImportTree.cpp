// The disk tree that import copies, listed and checked (ImportTree.h).
#include "tools/pak/ImportTree.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "pack/PackFormat.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "tools/pak/Copying.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/PackDirectories.h"
#include "tools/pak/PackWalk.h"
#include "tools/pak/Printing.h"

namespace fs = std::filesystem;
using pack::DirEntry;
using pack::NameFault;

namespace paktool {

namespace {

// The regular files and directories in dir, sorted by name, each checked for
// what a pack can hold: the pack would take two names that differ only in
// letter case for one. Links and special files go as walk says, each one
// passed over named on stderr; the pack file itself is left out, also when a
// followed link leads to it.
bool ListDiskDirectory(const tree::Walk& walk, const DiskItem& dir, const fs::path& packFile,
                       std::vector<DiskItem>& children)
{
    children.clear();
    std::vector<std::pair<fs::path, const char*>> passedOver;
    std::set<std::string> folded;
    std::error_code error;
    for (fs::directory_iterator it(dir.disk, error), end; !error && it != end; it.increment(error)) {
        const tree::Met met = walk.Meet(*it, dir.inside);
        if (met.kind == tree::Kind::kPassedOver) {
            passedOver.emplace_back(it->path(), met.reason);
            continue;
        }
        DiskItem item{it->path(), dir.path, met.kind == tree::Kind::kFolder, 0, {}};
        const std::string hostName = item.disk.filename().string();
        std::error_code ignored;
        if (item.directory) {
            if (hostName[0] == '.') return Refuse(item.disk.string(), kDotDirectory);
            item.inside = dir.inside;
            item.inside.push_back(met.canonical);
        } else {
            if (fs::equivalent(item.disk, packFile, ignored)) continue;
            if (!DiskFileSize(item.disk, item.size)) return false;
        }
        // The pack holds the name in the system code page; its length is
        // counted there.
        std::string name;
        if (!HostToSystemText(hostName, name)) return Refuse(item.disk.string(), kNoCodePageForm);
        item.path.push_back(name);
        if (const char* fault = NameFault(name)) return Refuse(item.disk.string(), fault);
        if (!PathFitsEngine(item.path)) return false;
        if (!folded.insert(ascii::Folded(name)).second)
            return Refuse(item.disk.string(), "another name differs only in letter case");
        children.push_back(std::move(item));
    }
    if (error) return Refuse(dir.disk.string(), error.message());
    // In name order, as the entries kept are, whatever order the disk lists.
    std::sort(passedOver.begin(), passedOver.end());
    for (const auto& [path, reason] : passedOver) tree::ReportPassedOver("pak", path, reason);
    std::sort(children.begin(), children.end(),
              [](const DiskItem& a, const DiskItem& b) { return a.path.back() < b.path.back(); });
    return true;
}

// A pack directory that an import reaches, read once: its files and
// directories by folded name.
struct PackFolder {
    std::int32_t first = -1;  // -1: not in the pack, to be made
    std::unordered_map<std::string, DirEntry> entries;
};

PackFolder ReadPackFolder(std::int32_t first, std::vector<std::uint8_t>& seen)
{
    PackFolder folder;
    folder.first = first;
    // A damaged directory is read as far as it goes: nothing is written into
    // one, and a name not read in it counts as new, so it is refused below.
    std::vector<DirEntry> entries;
    ReadDirectory(first, seen, entries);
    for (const DirEntry& entry : entries)
        if (entry.Type() == pack::kTypeDirectory || entry.Type() == pack::kTypeFile)
            folder.entries.emplace(ascii::Folded(entry.Name()), entry);
    return folder;
}

}  // namespace

bool CollectDiskTree(const tree::Walk& walk, const fs::path& root, const PackPath& base, const fs::path& packFile,
                     std::vector<DiskItem>& items)
{
    std::vector<DiskItem> pending;
    std::vector<DiskItem> children;
    if (!ListDiskDirectory(walk, DiskItem{root, base, true, 0, {walk.Root()}}, packFile, children)) return false;
    pending.assign(std::make_move_iterator(children.rbegin()), std::make_move_iterator(children.rend()));
    while (!pending.empty()) {
        DiskItem item = std::move(pending.back());
        pending.pop_back();
        if (item.directory) {
            if (!ListDiskDirectory(walk, item, packFile, children)) return false;
            pending.insert(pending.end(), std::make_move_iterator(children.rbegin()),
                           std::make_move_iterator(children.rend()));
            item.inside = {};
        }
        items.push_back(std::move(item));
    }
    return true;
}

bool TreeFitsPack(const PackPath& base, const std::vector<DiskItem>& items)
{
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(engine.BlockCount()), 0);
    // The pack directories from base down to the folder that holds the item
    // at hand.
    std::vector<PackFolder> chain(1);
    if (IsPackDirectory(EnginePath(base))) chain[0] = ReadPackFolder(engine.GetCurrentDir(), seen);
    for (const DiskItem& item : items) {
        chain.resize(item.path.size() - base.size());
        const PackFolder& parent = chain.back();
        const auto found = parent.entries.find(ascii::Folded(item.path.back()));
        const DirEntry* met = found == parent.entries.end() ? nullptr : &found->second;
        const std::string text = Shown(EnginePath(item.path));
        if (met && item.directory && met->Type() == pack::kTypeFile)
            return Refuse(text, "is a file in the pack, a folder on disk");
        if (met && !item.directory && met->Type() == pack::kTypeDirectory)
            return Refuse(text, "is a folder in the pack, a file on disk");
        // A file, or a directory that is not there, is an entry written into
        // parent; the directories below a new one are new as well.
        if ((!item.directory || !met) && parent.first >= 0 && engine.IsDamagedDirectory(parent.first))
            return Refuse(Shown(EnginePath(item.path, item.path.size() - 1)), kDamagedDirectory);
        if (!item.directory) continue;
        const std::int32_t first = met ? met->FirstBlock() : -1;
        chain.push_back(first >= 0 ? ReadPackFolder(first, seen) : PackFolder());
    }
    return true;
}

}  // namespace paktool
