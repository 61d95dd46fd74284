// The verbs that read the pack: info, ls, tree, get, cat, export (Reading.h).
#include "tools/pak/Reading.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "pack/PackFileManager.h"
#include "pack/PackFormat.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/pak/Copying.h"
#include "tools/pak/Engine.h"
#include "tools/pak/Faults.h"
#include "tools/pak/PackDirectories.h"
#include "tools/pak/PackPaths.h"
#include "tools/pak/PackWalk.h"
#include "tools/pak/Printing.h"
#include "tools/pak/Progress.h"
#include "tools/pak/Terminal.h"
#include "tools/pak/ThePack.h"

namespace fs = std::filesystem;
using pack::DirEntry;
using pack::NameFault;

namespace paktool {

namespace {

const char kNotCodePageText[] = "name is not valid code page 949 text";

void PrintEntry(const std::string& name, const DirEntry& entry)
{
    const char type = entry.Type() == pack::kTypeDirectory ? 'd' : entry.Type() == pack::kTypeFile ? 'f' : '?';
    std::printf("%c\t%u\t%d\t", type, static_cast<unsigned>(entry.Size()), entry.Contiguous() ? 1 : 0);
    PrintPackText(name);
    std::putchar('\n');
}

// Opens the file at path for reading; -1 after saying why.
int OpenPackFile(const PackPath& path)
{
    const std::string text = EnginePath(path);
    const int handle = path.empty() ? -1 : engine.OpenFile(text.c_str(), OF_READ, kInPack);
    if (handle == -1) Fail(Shown(text), IsPackDirectory(text) ? "is a directory" : "no such file");
    return handle;
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

}  // namespace

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

namespace {

// What was written below folder (a host path) reaches the disk: the new
// files' data and names, in one sync of its volume. A file that replaced
// one was on the disk before it took its place.
bool MakeDurable(const fs::path& folder)
{
    std::string system;
    if (HostToSystemText(folder.empty() ? std::string(".") : folder.string(), system) &&
        SyncDiskVolume(system.c_str()) == 0)
        return true;
    return Refuse(folder.empty() ? std::string(".") : folder.string(), kNotWritten);
}

}  // namespace

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
    return GetFile(handle, EnginePath(path), target) && MakeDurable(target.parent_path()) ? 0 : kExitFailure;
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
    if (end == WalkEnd::kStopped || !MakeDurable(root)) return kExitFailure;
    return end == WalkEnd::kDone && !damage.Any() ? 0 : damage.Report();
}

}  // namespace paktool
