// pak: builds, fills and inspects pack files with the patcher's own engine.
//
// Pack paths are written "a/b" or "a\b" and always start at the root; names
// compare ignoring case, as in the pack. Names in a pack are in the system
// code page (949); on the disk and the command line they are in the host's
// encoding (UTF-8 on Linux), and they are converted as they cross. Exit
// status: 0 success, 1 failure (one line on stderr says why), 2 usage.
// pak --help prints the usage on stdout, pak --version the version.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pack/PackCheck.h"
#include "pack/PackFileManager.h"
#include "pack/PackRepair.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/common/ProgressLine.h"
#include "tools/common/StandardOptions.h"
#include "tools/common/TreeEntry.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/PackDirectories.h"
#include "tools/pak/PackPaths.h"
#include "tools/pak/PackWalk.h"
#include "tools/pak/Printing.h"
#include "tools/pak/Terminal.h"
#include "tools/pak/ThePack.h"
#include "tools/pak/VerbArgs.h"

namespace fs = std::filesystem;
using pack::DirEntry;
using pack::NameFault;

namespace paktool {

namespace {

// Files move in items of this size and then one item of the remainder, as the
// patcher copies them.
constexpr std::size_t kCopyItem = 65536;
// No file is larger than a full data area.
constexpr std::uint64_t kMaxFileSize = static_cast<std::uint64_t>(pack::kMaxBlocks) * pack::kBlockSize;

std::uint8_t copyBuffer[kCopyItem];

const char kNotCodePageText[] = "name is not valid code page 949 text";

// Opens the file at path for reading; -1 after saying why.
int OpenPackFile(const PackPath& path)
{
    const std::string text = EnginePath(path);
    const int handle = path.empty() ? -1 : engine.OpenFile(text.c_str(), OF_READ, kInPack);
    if (handle == -1) Fail(Shown(text), IsPackDirectory(text) ? "is a directory" : "no such file");
    return handle;
}

void PrintEntry(const std::string& name, const DirEntry& entry)
{
    const char type = entry.Type() == pack::kTypeDirectory ? 'd' : entry.Type() == pack::kTypeFile ? 'f' : '?';
    std::printf("%c\t%u\t%d\t", type, static_cast<unsigned>(entry.Size()), entry.Contiguous() ? 1 : 0);
    PrintPackText(name);
    std::putchar('\n');
}

// --- Copying --------------------------------------------------------------

enum class Copy {
    kDone,
    kSourceFailed,
    kTargetFailed
};

// Runs move(item size) over a copy of size bytes: whole items, then the
// remainder.
template <class Move> Copy CopyItems(std::uint64_t size, Move move)
{
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t item = left < kCopyItem ? static_cast<std::size_t>(left) : kCopyItem;
        const Copy step = move(item);
        if (step != Copy::kDone) return step;
        left -= item;
    }
    return Copy::kDone;
}

Copy CopyIntoPack(std::FILE* from, std::uint64_t size, int handle)
{
    return CopyItems(size, [&](std::size_t item) {
        if (ReadDiskFile(copyBuffer, item, 1, from) != 1) return Copy::kSourceFailed;
        return engine.Write(copyBuffer, item, 1, handle) == 1 ? Copy::kDone : Copy::kTargetFailed;
    });
}

Copy CopyOutOfPack(int handle, std::FILE* to)
{
    const std::int32_t length = engine.GetLength(handle);
    // A size beyond the data area can only come from a damaged entry.
    if (length < 0 ||
        static_cast<std::int64_t>(length) > static_cast<std::int64_t>(engine.BlockCount()) * pack::kBlockSize)
        return Copy::kSourceFailed;
    return CopyItems(static_cast<std::uint64_t>(length), [&](std::size_t item) {
        if (engine.Read(copyBuffer, item, 1, handle) != 1) return Copy::kSourceFailed;
        return WriteDiskFile(copyBuffer, item, 1, to) == 1 ? Copy::kDone : Copy::kTargetFailed;
    });
}

// The size of a regular disk file that fits in a pack; false after saying why.
bool DiskFileSize(const fs::path& disk, std::uint64_t& size)
{
    std::error_code error;
    const fs::file_status status = fs::status(disk, error);
    if (!fs::exists(status)) return Refuse(disk.string(), "no such file");
    if (!fs::is_regular_file(status)) return Refuse(disk.string(), "not a regular file");
    size = fs::file_size(disk, error);
    if (error) return Refuse(disk.string(), error.message());
    if (size > kMaxFileSize) return Refuse(disk.string(), "too large for a pack");
    return true;
}

// Copies a disk file of size bytes into the pack at path, making missing
// directories and replacing a file that is there. A copy that fails is not
// stored: a file that was there stays as it was.
bool PutFile(const fs::path& disk, std::uint64_t size, const PackPath& path)
{
    if (!NotThePack(disk, "is the pack itself") || !MakePackDirectory(path, path.size() - 1) ||
        !MayWriteInto(path, path.size() - 1))
        return false;
    const std::string text = EnginePath(path);
    // Opened by the host's own name, which needs no conversion: a source is
    // only read, so it may be any file the host can name.
    std::FILE* in = std::fopen(disk.string().c_str(), "rb");
    if (!in) return Refuse(disk.string(), std::strerror(errno));
    // Opened by its name from inside its directory: given the whole path, the
    // engine would first look the name up as a directory, one more pass over
    // a directory that may hold thousands of entries.
    const int handle = engine.ChangeDir(EnginePath(path, path.size() - 1).c_str()) == 0
                           ? engine.OpenFile(path.back().c_str(), OF_WRITE, kInPack)
                           : -1;
    if (handle == -1) {
        CloseDiskFile(in);
        if (IsPackDirectory(text)) return Refuse(Shown(text), "is a directory");
        return RefuseWrite(Shown(text), "cannot be created (see pak fsck)");
    }
    const Copy copy = CopyIntoPack(in, size, handle);
    CloseDiskFile(in);
    // What was read of a source that could not be read whole is dropped; the
    // engine drops a write that failed itself when the handle closes.
    if (copy == Copy::kSourceFailed) {
        engine.DiscardFile(handle);
        return Refuse(disk.string(), "cannot be read");
    }
    if (engine.CloseFile(handle) != 0 || copy != Copy::kDone) return RefuseWrite(Shown(text), kNotWritten);
    return true;
}

// Copies the open pack file source onto the disk file target and closes the
// handle. The target is written beside the file and takes its place only
// when complete: a copy that fails leaves a file that was there as it was.
bool GetFile(int handle, const std::string& source, const fs::path& target)
{
    std::string system;
    if (!TargetName(target, system)) {
        engine.CloseFile(handle);
        return false;
    }
    std::FILE* out = BeginDiskReplacement(system.c_str());
    if (!out) {
        const int error = errno;
        engine.CloseFile(handle);
        return Refuse(target.string(), std::strerror(error));
    }
    Copy copy = CopyOutOfPack(handle, out);
    engine.CloseFile(handle);
    if (FinishDiskReplacement(out, copy == Copy::kDone) != 0 && copy == Copy::kDone) copy = Copy::kTargetFailed;
    if (copy == Copy::kDone) return true;
    if (copy == Copy::kSourceFailed) return Refuse(Shown(source), kUnreadable);
    return Refuse(target.string(), kNotWritten);
}

// The progress line of import and export, shown only on a terminal.
class Progress {
public:
    Progress(const char* verb, std::uint64_t files, std::uint64_t bytes)
        : verb(verb),
          totalFiles(files),
          totalBytes(bytes),
          shown(StderrIsTerminal())
    {
        Show();
    }
    ~Progress() { progress::EndLine(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void FileDone(std::uint64_t size)
    {
        ++files;
        bytes += size;
        Show();
    }

private:
    void Show()
    {
        if (!shown) return;
        char line[160];
        std::snprintf(line, sizeof line, "\r%s: %llu/%llu files, %llu/%llu bytes", verb,
                      static_cast<unsigned long long>(files), static_cast<unsigned long long>(totalFiles),
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(totalBytes));
        progress::Show(line);
    }

    const char* verb;
    std::uint64_t totalFiles;
    std::uint64_t totalBytes;
    bool shown;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

// --- The disk tree for import --------------------------------------------

struct DiskItem {
    fs::path disk;
    PackPath path;
    bool directory;
    std::uint64_t size;
    // For a directory not listed yet: the canonical paths of the folders from
    // the root down to it, which a followed link must not lead back into.
    std::vector<fs::path> inside;
};

// name with its ASCII letters folded, as the engine compares names.
std::string Folded(std::string name)
{
    for (char& c : name) c = static_cast<char>(pack::FoldAscii(static_cast<unsigned char>(c)));
    return name;
}

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
        if (!folded.insert(Folded(name)).second)
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

// The tree below the walk's root (root as typed), depth first, each
// directory before its contents.
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
            folder.entries.emplace(Folded(entry.Name()), entry);
    return folder;
}

// Whether the disk tree items (from CollectDiskTree) can go below base
// whole: where the pack holds a name already, in any letter case, a folder
// meets a directory and a file a file, which it replaces; and no entry is
// written into a damaged directory. False after saying why; nothing is
// written. Each pack directory the tree reaches is read once and its names
// looked up in memory: a directory may hold thousands of entries, and a
// lookup through the engine for each item would pass over it every time.
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
        const auto found = parent.entries.find(Folded(item.path.back()));
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

// --- Verbs ----------------------------------------------------------------

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

int Info(const Args& args)
{
    if (!OpenPack(args[0], false)) return kExitFailure;
    const std::uint8_t* header = engine.HeaderImage();
    char pathText[pack::kPathTextSize + 1] = {};
    std::memcpy(pathText, header + pack::kPathTextOffset, pack::kPathTextSize);

    std::int32_t used = 0;
    for (std::int32_t b = 0; b < engine.BlockCount(); ++b)
        if (engine.TableEntry(b) != pack::kFreeBlock) ++used;

    std::fputs("banner: ", stdout);
    PrintEscaped(reinterpret_cast<const char*>(header));
    std::fputs("\npath: ", stdout);
    PrintPackText(pathText);
    std::printf("\nsectors: %u\n", pack::LoadU32(header + pack::kTableSectorsOffset));
    std::printf("blocks: %d\n", engine.BlockCount());
    std::printf("used: %d\n", used);
    std::printf("free: %d\n", engine.BlockCount() - used);
    return 0;
}

int List(const Args& args)
{
    PackPath dir;
    if ((args.size() > 1 && !ParsePackPath(args[1], dir)) || !OpenPack(args[0], false)) return kExitFailure;
    const std::int32_t first = FindDirectory(dir);
    if (first < 0) return kExitFailure;
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(engine.BlockCount()), 0);
    std::vector<DirEntry> entries;
    const bool whole = ReadDirectory(first, seen, entries);
    for (const DirEntry& entry : entries) PrintEntry(entry.Name(), entry);
    DamageSeen damage;
    damage.Directory(first, EnginePath(dir));
    return whole && !damage.Any() ? 0 : damage.Report();
}

int Tree(const Args& args)
{
    PackPath dir;
    if ((args.size() > 1 && !ParsePackPath(args[1], dir)) || !OpenPack(args[0], false)) return kExitFailure;
    const std::int32_t first = FindDirectory(dir);
    if (first < 0) return kExitFailure;
    DamageSeen damage;
    damage.Directory(first, EnginePath(dir));
    const WalkEnd end = WalkTree(first, [&](const std::string& path, const DirEntry& entry, std::int32_t) {
        PrintEntry(path, entry);
        damage.Entry(dir, path, entry);
        return true;
    });
    return end == WalkEnd::kDone && !damage.Any() ? 0 : damage.Report();
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

int Get(const Args& args)
{
    PackPath path;
    if (!ParsePackPath(args[1], path) || !OpenPack(args[0], false)) return kExitFailure;
    const int handle = OpenPackFile(path);
    if (handle == -1) return kExitFailure;
    // Without FILE, the base name as PATH has it.
    std::string base;
    SystemToHostText(path.back(), base);
    fs::path target = args.size() > 2 ? fs::path(args[2]) : fs::path(base);
    std::error_code error;
    if (args.size() > 2 && fs::is_directory(target, error)) target /= base;
    return GetFile(handle, EnginePath(path), target) ? 0 : kExitFailure;
}

int Cat(const Args& args)
{
    PackPath path;
    if (!ParsePackPath(args[1], path) || !OpenPack(args[0], false)) return kExitFailure;
    const int handle = OpenPackFile(path);
    if (handle == -1) return kExitFailure;
    SetStdoutBinary();
    Copy copy = CopyOutOfPack(handle, stdout);
    engine.CloseFile(handle);
    if (std::fflush(stdout) != 0 && copy == Copy::kDone) copy = Copy::kTargetFailed;
    if (copy == Copy::kSourceFailed) return Fail(Shown(EnginePath(path)), kUnreadable);
    if (copy == Copy::kTargetFailed) return Fail("standard output", "cannot be written");
    return 0;
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

// Writes one entry of the walk below root; false after saying why.
bool ExportEntry(const fs::path& target, const std::string& source, const DirEntry& entry, std::int32_t dir,
                 Progress& progress)
{
    std::error_code error;
    if (entry.Type() == pack::kTypeDirectory) {
        fs::create_directory(target, error);
        if (!fs::is_directory(target, error)) return Refuse(target.string(), "cannot make directory");
        return true;
    }
    if (entry.Type() != pack::kTypeFile) return Refuse(Shown(source), "neither a file nor a directory");
    const int handle = engine.SetCurrentDir(dir) == 0 ? engine.OpenFile(entry.Name(), OF_READ, kInPack) : -1;
    if (handle == -1) return Refuse(Shown(source), kUnreadable);
    if (!GetFile(handle, source, target)) return false;
    progress.FileDone(entry.Size());
    return true;
}

// The disk path for a walk's path (backslashes, system code page), every
// name of which converts.
fs::path DiskPathBelow(const std::string& path)
{
    std::string disk;
    SystemToHostText(path, disk);
    std::replace(disk.begin(), disk.end(), '\\', '/');
    return fs::path(disk);
}

int Export(const Args& args)
{
    const fs::path root = args[1];
    PackPath base;
    if ((args.size() > 2 && !ParsePackPath(args[2], base)) || !OpenPack(args[0], false)) return kExitFailure;
    const std::int32_t first = FindDirectory(base);
    if (first < 0) return kExitFailure;

    // A first walk counts, and refuses names that cannot be written to disk
    // before anything is.
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    DamageSeen damage;
    damage.Directory(first, EnginePath(base));
    WalkEnd end = WalkTree(first, [&](const std::string& path, const DirEntry& entry, std::int32_t) {
        const std::string source = EnginePathBelow(base, path);
        if (const char* fault = NameFault(entry.Name())) return Refuse(Shown(source), fault);
        std::string disk;
        if (!SystemToHostText(entry.Name(), disk)) return Refuse(Shown(source), kNotCodePageText);
        std::string system;
        if (!TargetName(root / DiskPathBelow(path), system)) return false;
        damage.Entry(base, path, entry);
        if (entry.Type() == pack::kTypeFile) {
            ++files;
            bytes += entry.Size();
        }
        return true;
    });
    if (end == WalkEnd::kStopped) return kExitFailure;

    std::error_code error;
    fs::create_directories(root, error);
    if (!fs::is_directory(root, error)) return Fail(args[1], "cannot make directory");
    Progress progress("export", files, bytes);
    end = WalkTree(first, [&](const std::string& path, const DirEntry& entry, std::int32_t dir) {
        return ExportEntry(root / DiskPathBelow(path), EnginePathBelow(base, path), entry, dir, progress);
    });
    if (end == WalkEnd::kStopped) return kExitFailure;
    return end == WalkEnd::kDone && !damage.Any() ? 0 : damage.Report();
}

void PrintLostBlocks(const std::vector<std::int32_t>& lost)
{
    for (std::size_t i = 0; i < lost.size();) {
        std::size_t j = i;
        while (j + 1 < lost.size() && lost[j + 1] == lost[j] + 1) ++j;
        if (i == j)
            std::printf("block %d: in use, held by no chain\n", lost[i]);
        else
            std::printf("blocks %d-%d: in use, held by no chain\n", lost[i], lost[j]);
        i = j + 1;
    }
}

int Check(const Args& args)
{
    const bool repair = args[0] == "--repair";
    if (args.size() != (repair ? 2u : 1u)) return kExitUsage;
    const std::string& path = args.back();
    if (!OpenPack(path, repair)) return kExitFailure;

    const pack::CheckResult result = pack::CheckPackFile(packSystemName.c_str());
    for (const std::string& problem : result.problems) {
        PrintPackText(problem);
        std::putchar('\n');
    }
    const std::int64_t unlisted = result.problemCount - static_cast<std::int64_t>(result.problems.size());
    if (unlisted > 0) std::printf("(%lld more problems not listed)\n", static_cast<long long>(unlisted));
    PrintLostBlocks(result.lostBlocks);
    std::printf("problems: %lld\nlost: %llu\n", static_cast<long long>(result.problemCount),
                static_cast<unsigned long long>(result.lostBlocks.size()));

    std::size_t lost = result.lostBlocks.size();
    std::int64_t problems = result.problemCount;
    if (repair) {
        if (result.rootEntryFree) {
            if (pack::RepairRootEntry(engine) < 0) return Fail(path, "the table cannot be written");
            std::puts("repaired: table entry 0 (in use, last block)");
            --problems;
        }
        const std::int32_t freed = pack::FreeLostBlocks(engine, result.lostBlocks);
        if (freed < 0) return Fail(path, "the table cannot be written");
        std::printf("freed: %d\n", freed);
        lost = 0;
    }
    if (problems == 0 && lost == 0) return 0;
    return Fail(path, "problems: " + std::to_string(problems) + ", lost blocks: " + std::to_string(lost));
}

struct Verb {
    const char* name;
    const char* synopsis;
    const char* summary;
    std::size_t minArgs;
    std::size_t maxArgs;
    int (*run)(const Args&);
};

const Verb kVerbs[] = {
    {"create", "create PACK", "make a new, empty pack", 1, 1, Create},
    {"info", "info PACK", "show the header and the block usage", 1, 1, Info},
    {"ls", "ls PACK [DIR]", "list a directory", 1, 2, List},
    {"tree", "tree PACK [DIR]", "list a directory and everything below it", 1, 2, Tree},
    {"mkdir", "mkdir PACK PATH", "make a directory and its missing parents", 2, 2, MakeDirectory},
    {"put", "put PACK FILE [PATH]", "copy a disk file into the pack", 2, 3, Put},
    {"get", "get PACK PATH [FILE]", "copy a file of the pack onto disk", 2, 3, Get},
    {"cat", "cat PACK PATH", "write a file of the pack to standard output", 2, 2, Cat},
    {"rm", "rm PACK PATH", "remove a file", 2, 2, Remove},
    {"import", "import [-L] PACK DIR [PACKDIR]", "copy a disk tree into the pack", 2, 4, Import},
    {"export", "export PACK DIR [PACKDIR]", "copy a tree of the pack onto disk", 2, 3, Export},
    {"fsck", "fsck [--repair] PACK", "check the pack; --repair frees lost blocks", 1, 2, Check},
};

// The usage text: on stdout for --help, on stderr for a command it cannot run.
void PrintUsage(std::FILE* out)
{
    int width = 0;
    for (const Verb& verb : kVerbs) width = std::max(width, static_cast<int>(std::strlen(verb.synopsis)) + 1);
    const char* lead = "usage:";
    for (const Verb& verb : kVerbs) {
        std::fprintf(out, "%s pak %-*s %s\n", lead, width, verb.synopsis, verb.summary);
        lead = "      ";
    }
    std::fprintf(out, "%s pak %-*s %s\n", lead, width, "--help", "print this text on stdout");
    std::fprintf(out, "%s pak %-*s %s\n", lead, width, "--version", "print the version");
    std::fputs("import -L, --dereference: follow symbolic links that lead inside DIR\n", out);
    std::fputs("exit status: 0 success, 1 failure (one line on stderr says why), 2 usage\n", out);
}

}  // namespace

}  // namespace paktool

int main(int argc, char** argv)
{
    using namespace paktool;
    packFullStop = StopWhenFull;
    if (AnswerStandardOption(argc, argv, "pak", PrintUsage)) return 0;
    if (argc >= 2) {
        for (const Verb& verb : kVerbs) {
            if (std::strcmp(argv[1], verb.name) != 0) continue;
            const Args args(argv + 2, argv + argc);
            if (args.size() < verb.minArgs || args.size() > verb.maxArgs) break;
            const int status = verb.run(args);
            // The close stores what the engine still holds: a verb that
            // changed the pack has done so only if every host transfer,
            // the close's among them, went through.
            engine.Close();
            if (status == kExitUsage) break;
            if (status == 0 && packWritable && engine.Failed()) return Fail(packName, kNotWritten);
            return status;
        }
    }
    PrintUsage(stderr);
    return kExitUsage;
}
