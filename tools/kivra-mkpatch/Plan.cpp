#include "tools/kivra-mkpatch/Plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/AsciiCase.h"
#include "platform/WindowsNames.h"
#include "tools/kivra-mkpatch/Comparison.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/ReadMe.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Versions.h"

namespace mkpatch {

namespace {

// Whether path may be carried by the patch to where it belongs: each of its
// components a name the pack and the disk take, no folder on the way that the
// patcher passes over, and a path the engines hold. onDisk: a path below the
// game directory (else below Kivra_Pak). False after saying why.
bool Carriable(const std::string& path, bool onDisk, bool folder)
{
    const std::string full = onDisk ? path : std::string(kPackTree) + '\\' + path;
    std::size_t start = 0;
    for (std::size_t depth = 0;; ++depth) {
        const std::size_t end = full.find('\\', start);
        const std::string name = full.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const bool last = end == std::string::npos;
        if (const char* fault = pack::NameFault(name)) return Refuse(Shown(full) + ": " + fault);
        // The disk files land on a Windows disk too.
        if (const char* fault = onDisk ? WindowsNameFault(name.c_str()) : nullptr)
            return Refuse(Shown(full) + ": a name Windows cannot give a file: it " + fault);
        if ((!last || folder) && name[0] == '.')
            return Refuse(Shown(full) + ": the patcher passes over folders whose names begin with a dot");
        if (onDisk && (!last || folder || depth == 0) && ascii::EqualIgnoringCase(name.c_str(), kPackTree))
            return Refuse(Shown(full) + ": a disk file or folder named Kivra_Pak cannot be carried");
        if (last) break;
        start = end + 1;
    }
    const std::string engine = "Z:\\" + full;
    if (!pack::PathFits(engine.c_str(), kMaxPath, pack::kMaxNameLength))
        return Refuse(Shown(full) + ": path longer than " + std::to_string(kMaxPath - 4) + " bytes");
    return true;
}

// A file of NEW's pack tree (onDisk false) or disk tree as a file of the
// patch, unchecked.
PatchFile FromTree(const TreeFile& file, bool onDisk)
{
    PatchFile item;
    item.path = onDisk ? file.path : std::string(kPackTree) + '\\' + file.path;
    item.size = file.size;
    item.time = file.time;
    if (onDisk)
        item.fromDisk = file.host;
    else
        item.fromPack = &file;
    return item;
}

// Adds a file NEW adds (isNew) or changes to the plan, and counts it; false
// after saying why the patch cannot carry it.
bool AddFile(const TreeFile& file, bool onDisk, bool isNew, Plan& plan)
{
    if (!Carriable(file.path, onDisk, false)) return false;
    if (file.size > kMaxPatchFile) return Refuse(Shown(file.path) + ": larger than the patcher copies (2 GiB)");
    plan.files.push_back(FromTree(file, onDisk));
    (onDisk ? (isNew ? plan.diskAdded : plan.diskChanged) : (isNew ? plan.packAdded : plan.packChanged)) += 1;
    (onDisk ? plan.diskBytes : plan.packBytes) += file.size;
    return true;
}

bool AddPackFiles(const Installation& after, const TreeChanges& pack, Plan& plan)
{
    for (const auto* list : {&pack.added, &pack.changed})
        for (std::size_t i : *list)
            if (!AddFile(after.packTree.files[i], false, list == &pack.added, plan)) return false;
    return true;
}

// Kivra_Pak\Version.txt always: the patcher reads the patch's version from it
// and records it last. It is added as it is when NEW did not change it.
void AddVersionFile(const Installation& after, Plan& plan)
{
    const auto isVersion = [](const PatchFile& file) { return file.fromPack && IsVersionFile(file.fromPack->path); };
    if (std::any_of(plan.files.begin(), plan.files.end(), isVersion)) return;
    for (const TreeFile& file : after.packTree.files)
        if (IsVersionFile(file.path)) plan.files.push_back(FromTree(file, false));
}

// The disk files NEW adds or changes, the launcher noted among them; NEW's
// own ReadMe.txt is left to --readme, when given, and must equal it.
bool AddDiskFiles(const Installation& after, const TreeChanges& disk, const Options& options, Plan& plan)
{
    for (const auto* list : {&disk.added, &disk.changed})
        for (std::size_t i : *list) {
            const TreeFile& file = after.diskTree.files[i];
            if (IsLauncher(file.path)) plan.launcher = &file;
            if (options.readMeGiven && ascii::EqualIgnoringCase(file.path.c_str(), kReadMe)) {
                if (!SameReadMe(file, options)) return false;
                continue;
            }
            if (!AddFile(file, true, list == &disk.added, plan)) return false;
        }
    return true;
}

bool AddFolders(const TreeChanges& pack, const TreeChanges& disk, Plan& plan)
{
    for (const std::string& folder : pack.addedFolders) {
        if (!Carriable(folder, false, true)) return false;
        plan.folders.push_back(std::string(kPackTree) + '\\' + folder);
    }
    for (const std::string& folder : disk.addedFolders) {
        if (!Carriable(folder, true, true)) return false;
        plan.folders.push_back(folder);
    }
    return true;
}

// What --strict refuses: files of OLD that NEW lacks, names it changes only
// in letter case.
bool CheckStrict(const Options& options, const Plan& plan)
{
    const bool one = (options.strict && plan.removed > 0 ? plan.removed : plan.renamed) == 1;
    if (plan.removed > 0 && options.strict)
        return Refuse(std::to_string(plan.removed) + (one ? " file of OLD is" : " files of OLD are") +
                      " missing in NEW (--strict)");
    if (plan.renamed > 0 && options.strict)
        return Refuse(std::to_string(plan.renamed) + (one ? " name of OLD differs" : " names of OLD differ") +
                      " in NEW only in letter case (--strict)");
    return true;
}

// Refuses two paths the pack takes for one; adds NeedVersion.txt first and
// ReadMe.txt last.
bool AddNeedAndReadMe(const Installation& before, const Options& options, Plan& plan)
{
    std::map<std::string, const PatchFile*> seen;
    for (const PatchFile& file : plan.files) {
        const auto [it, fresh] = seen.emplace(FoldedPath(file.path), &file);
        if (!fresh) return Refuse(Shown(file.path) + ": another file's name differs from it only in letter case");
    }
    PatchFile need;
    need.path = kNeedFile;
    need.text = VersionText(options.needGiven ? options.need : before.version) + "\r\n";
    need.size = need.text.size();
    plan.files.insert(plan.files.begin(), std::move(need));
    if (options.readMeGiven) {
        PatchFile readMe;
        readMe.path = kReadMe;
        readMe.text = options.readMe;
        readMe.size = readMe.text.size();
        readMe.time = options.readMeTime;
        plan.files.push_back(std::move(readMe));
    }
    return true;
}

// The blocks Update.pak takes at the least: each file's bytes in whole
// blocks, and each folder's entries ("." and "..", then one a name) as many
// to a block as a block holds.
std::uint64_t BlocksNeeded(const Plan& plan)
{
    constexpr std::uint64_t kEntriesPerBlock = pack::kBlockSize / pack::kEntrySize;
    std::map<std::string, std::set<std::string>> names;  // folder -> the names in it, letter case folded
    names[""];
    const auto place = [&](const std::string& path) {
        const std::string folded = FoldedPath(path);
        std::size_t start = 0;
        for (std::size_t end = folded.find('\\');; end = folded.find('\\', start)) {
            names[folded.substr(0, start == 0 ? 0 : start - 1)].insert(folded.substr(start, end - start));
            if (end == std::string::npos) break;
            names[folded.substr(0, end)];
            start = end + 1;
        }
    };
    std::uint64_t blocks = 0;
    for (const PatchFile& file : plan.files) {
        place(file.path);
        blocks += (file.size + pack::kBlockSize - 1) / pack::kBlockSize;
    }
    for (const std::string& folder : plan.folders) {
        place(folder);
        names[FoldedPath(folder)];
    }
    for (const auto& [folder, inside] : names)
        blocks += (inside.size() + (folder.empty() ? 1 : 2) + kEntriesPerBlock - 1) / kEntriesPerBlock;
    return blocks;
}

// A patch is one pack file, which holds at most pack::kMaxBlocks blocks:
// one that needs more is refused before anything is written, naming what
// takes the room and the way out. False after saying so.
bool FitsOnePack(const Plan& plan)
{
    const std::uint64_t needed = BlocksNeeded(plan);
    if (needed <= static_cast<std::uint64_t>(pack::kMaxBlocks)) return true;
    std::vector<const PatchFile*> biggest;
    std::uint64_t bytes = 0;
    for (const PatchFile& file : plan.files) {
        biggest.push_back(&file);
        bytes += file.size;
    }
    const std::size_t shown = std::min<std::size_t>(3, biggest.size());
    std::partial_sort(biggest.begin(), biggest.begin() + static_cast<long>(shown), biggest.end(),
                      [](const PatchFile* a, const PatchFile* b) { return a->size > b->size; });
    std::string text = "the patch needs " + std::to_string(needed) + " blocks of " + std::to_string(pack::kBlockSize) +
                       " bytes, more than the " + std::to_string(pack::kMaxBlocks) + " one Update.pak holds (" +
                       std::to_string(static_cast<std::uint64_t>(pack::kMaxBlocks) * pack::kBlockSize) +
                       " bytes): its " + std::to_string(plan.files.size()) + " files come to " + std::to_string(bytes) +
                       " bytes, the biggest ";
    for (std::size_t i = 0; i < shown; ++i)
        text += (i ? ", " : "") + Shown(biggest[i]->path) + " (" + std::to_string(biggest[i]->size) + " bytes)";
    return Refuse(text + "; leave some out with --exclude PATTERN and ship them in a patch of their own");
}

}  // namespace

bool MakePlan(const Installation& before, const Installation& after, const Options& options, Plan& plan)
{
    TreeChanges pack;
    TreeChanges disk;
    if (!CompareInstallations(before, after, pack, disk)) return false;
    plan.removed = pack.removed.size() + disk.removed.size();
    plan.renamed = pack.renamed.size() + disk.renamed.size();
    if (!AddPackFiles(after, pack, plan)) return false;
    const bool anyChange = !plan.files.empty() || !disk.added.empty() || !disk.changed.empty();
    AddVersionFile(after, plan);
    if (!AddDiskFiles(after, disk, options, plan) || !AddFolders(pack, disk, plan)) return false;
    if (!anyChange && plan.folders.empty()) return Refuse("NEW does not differ from OLD: no patch written");
    return CheckStrict(options, plan) && AddNeedAndReadMe(before, options, plan) && FitsOnePack(plan);
}

PatchTime NewestTime(const Plan& plan)
{
    PatchTime time;
    for (const PatchFile& file : plan.files) time.ticks = std::max(time.ticks, file.time);
    return time;
}

}  // namespace mkpatch
