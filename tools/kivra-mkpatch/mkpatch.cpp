// kivra-mkpatch: makes the patch that takes one installation of the game to
// another, for the patcher to apply.
//
// OLD and NEW are game directories, each with Dev\Kivra.pak. The patch is
// OUTDIR\update.lzh, holding one Update.pak with NeedVersion.txt, the new
// Kivra_Pak\Version.txt, every file of the pack's Kivra_Pak tree and every
// disk file below the game directory that NEW adds or changes, and, when
// given, ReadMe.txt; and OUTDIR\KNet.exe when NEW's launcher differs from
// OLD's. Exit status: 0 success, 1 failure (one line on stderr says why), 2
// usage.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "app/Resource.h"
#include "lzh/LzhWriter.h"
#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/PatchTree.h"
#include "update/Version.h"

namespace fs = std::filesystem;
using mkpatch::Sameness;
using mkpatch::Tree;
using mkpatch::TreeChanges;
using mkpatch::TreeFile;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: kivra-mkpatch [--need VERSION] [--readme FILE] [--strict] OLD NEW OUTDIR\n"
    "\n"
    "Compares the game installation NEW with OLD (each a game directory holding\n"
    "Dev\\Kivra.pak) and writes OUTDIR/update.lzh, the patch that takes OLD to NEW:\n"
    "one Update.pak holding NeedVersion.txt, the pack's Kivra_Pak\\Version.txt of\n"
    "NEW, every file of the pack's Kivra_Pak tree and every disk file below the\n"
    "game directory that NEW adds or changes, and the folders NEW adds. When NEW's\n"
    "KNet.exe differs from OLD's it is also written to OUTDIR/KNet.exe, for the\n"
    "patcher to replace the launcher with before the run.\n"
    "\n"
    "  --need VERSION  the oldest installed version the patch accepts (default:\n"
    "                  OLD's version), as \"1.0.2.29\" or \"1, 0, 2, 29\"\n"
    "  --readme FILE   put FILE in the patch as ReadMe.txt, which the patcher\n"
    "                  copies to the game directory and opens after the run\n"
    "  --strict        fail when OLD has files that NEW lacks\n"
    "\n"
    "A patch cannot remove files: each file of OLD missing in NEW is named on\n"
    "stderr as a warning. NeedVersion.txt in the game directory is what earlier\n"
    "patches left there; it is not compared.\n"
    "OUTDIR is made when it does not exist, and removed again on a failure; it\n"
    "must not lie inside OLD or NEW. An update.lzh there is replaced only once\n"
    "the new one is complete; nothing is left behind on a failure. A KNet.exe or\n"
    "Update.pak left in OUTDIR by an earlier patch is removed when this patch\n"
    "has no launcher of its own.\n"
    "When NEW does not differ from OLD no patch is written and the exit status\n"
    "is 1.\n"
    "A summary goes to stdout; on a terminal a progress line to stderr.\n"
    "kivra-mkpatch --help prints this text, kivra-mkpatch --version the version.\n"
    "exit status: 0 patch written; 1 failure (\"kivra-mkpatch: ...\" on stderr);\n"
    "2 usage\n";

constexpr std::size_t kChunk = 65536;
constexpr char kPackFile[] = "Dev\\Kivra.pak";
constexpr char kPackTree[] = "Kivra_Pak";
constexpr char kVersionFile[] = "Version.txt";
constexpr char kNeedFile[] = "NeedVersion.txt";
constexpr char kReadMe[] = "ReadMe.txt";
constexpr char kLauncher[] = "KNet.exe";
constexpr char kPatchPack[] = "Update.pak";
constexpr char kArchive[] = "update.lzh";
// The patcher counts sizes in signed 32 bits.
constexpr std::uint64_t kMaxPatchFile = 0x7FFFFFFF;

CPackFileManager oldPack;
CPackFileManager newPack;
CPackFileManager patchPack;
std::uint8_t bufferA[kChunk];
std::uint8_t bufferB[kChunk];

// --- Messages and temporaries -----------------------------------------------

bool progressShown = false;
bool onTerminal = false;

void EndProgressLine()
{
    if (!progressShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    progressShown = false;
}

void ShowProgress(const char* what, std::uint64_t done, std::uint64_t total, const char* unit)
{
    if (!onTerminal) return;
    std::fprintf(stderr, "\r\033[K%s: %llu of %llu %s", what, static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), unit);
    std::fflush(stderr);
    progressShown = true;
}

// Files this run made in OUTDIR that are not the patch yet: removed on every
// way out but success, a signal among them.
constexpr int kTemporaries = 3;
char temporaryHost[kTemporaries][kHostPathMax];

// OUTDIR when this run made it: removed again, when empty, on a failure.
fs::path madeOutDir;

void RemoveTemporaries()
{
    for (char* host : temporaryHost) {
        if (host[0]) std::remove(host);
        host[0] = 0;
    }
    if (!madeOutDir.empty()) {
        std::error_code ignored;
        fs::remove(madeOutDir, ignored);
        madeOutDir.clear();
    }
}

extern "C" void StopOnSignal(int signal)
{
    for (char* host : temporaryHost)
        if (host[0]) std::remove(host);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int Fail(const std::string& text)
{
    EndProgressLine();
    std::fprintf(stderr, "kivra-mkpatch: %s\n", text.c_str());
    patchPack.Close();
    RemoveTemporaries();
    return kExitFailure;
}

bool Refuse(const std::string& text)
{
    Fail(text);
    return false;
}

void Warn(const std::string& text)
{
    EndProgressLine();
    std::fprintf(stderr, "kivra-mkpatch: warning: %s\n", text.c_str());
}

// A path of the patch (system code page) as people read it.
std::string Shown(const std::string& path) { return SystemTextForDisplay(path); }

// The engine ends the process once Update.pak's table is full, after it has
// closed the pack.
void StopWhenFull(const char*)
{
    Fail(std::string(kPatchPack) + ": the patch holds more than a pack can (" + std::to_string(pack::kMaxBlocks) +
         " blocks of " + std::to_string(pack::kBlockSize) + " bytes)");
    std::exit(kExitFailure);
}

// --- Installations ------------------------------------------------------------

std::string VersionText(const VersionNumber& v)
{
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.minor2) + "." +
           std::to_string(v.build);
}

struct Installation {
    const char* role;   // "OLD" or "NEW"
    fs::path root;      // as typed
    fs::path packHost;  // Dev/Kivra.pak as the host names it
    CPackFileManager* pack;
    VersionNumber version{0, 0, 0, 0};
    std::int32_t treeBlock = -1;  // Kivra_Pak's first block
    Tree packTree;
    Tree diskTree;

    std::string Name() const { return std::string(role) + " (" + root.string() + ")"; }
};

// Opens the installation's pack and reads its version; false after saying
// why.
bool OpenInstallation(Installation& game)
{
    std::error_code error;
    if (!fs::is_directory(game.root, error))
        return Refuse(game.Name() + ": " + (fs::exists(game.root, error) ? "not a directory" : "no such directory"));
    std::string system;
    if (!HostToSystemText(game.root.string(), system))
        return Refuse(game.Name() + ": path has a character that code page 949 lacks");
    if (!system.empty() && system.back() != '/' && system.back() != '\\') system += '\\';
    system += kPackFile;
    char host[kHostPathMax];
    if (!ResolveDiskPath(system.c_str(), host, sizeof host) || !fs::is_regular_file(host, error))
        return Refuse(game.Name() + ": no Dev\\Kivra.pak");
    game.packHost = host;
    if (system.size() >= static_cast<std::size_t>(kMaxPath))
        return Refuse(game.Name() + ": the pack's path is longer than " + std::to_string(kMaxPath - 1) + " bytes");
    // A file too short for a header is refused before the engine, which
    // would say so on stdout.
    if (fs::file_size(host, error) < static_cast<std::uintmax_t>(pack::kHeaderImageSize) ||
        game.pack->Open(system.c_str(), "rb") != 1)
        return Refuse(game.packHost.string() + ": not a pack file");
    if (game.pack->ChangeDir("Z:\\Kivra_Pak") != 0)
        return Refuse(game.packHost.string() + ": no Kivra_Pak directory, so no version");
    game.treeBlock = game.pack->GetCurrentDir();
    game.pack->ChangeDir("Z:\\");

    const int handle = game.pack->OpenFile("Z:\\Kivra_Pak\\Version.txt", OF_READ, kInPack);
    char text[1001] = {};
    bool read = false;
    if (handle != -1) {
        std::int32_t length = game.pack->GetLength(handle);
        if (length > 1000) length = 1000;
        read = length > 0 && game.pack->ReadBytes(handle, text, length) == length;
        game.pack->CloseFile(handle);
    }
    if (!read || !ParseVersionText(text, game.version))
        return Refuse(game.packHost.string() + ": Kivra_Pak\\Version.txt " +
                      (handle == -1 ? "is missing" : "holds no version"));
    return true;
}

bool ListTrees(Installation& game)
{
    std::string error;
    if (!mkpatch::ListPackTree(*game.pack, game.treeBlock, game.packTree, error))
        return Refuse(game.packHost.string() + ": " + error);
    std::vector<std::string> notes;
    const auto leaveOut = [&](const fs::path& host, const std::string& path) {
        std::error_code ignored;
        // The pack, and the need version that earlier patches left.
        return fs::equivalent(host, game.packHost, ignored) || pack::EqualNames(path.c_str(), kNeedFile);
    };
    if (!mkpatch::ListDiskTree(game.root, leaveOut, game.diskTree, notes, error))
        return Refuse(game.Name() + ": " + error);
    for (const std::string& note : notes) Warn(note);
    return true;
}

// --- Comparing ----------------------------------------------------------------

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

// --- What the patch holds -------------------------------------------------------

// One file of Update.pak and where its bytes come from.
struct PatchFile {
    std::string path;  // in Update.pak
    std::uint64_t size = 0;
    const TreeFile* fromPack = nullptr;  // a file of NEW's pack
    fs::path fromDisk;                   // else a disk file, or
    std::string text;                    // else these bytes
};

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
        if ((!last || folder) && name[0] == '.')
            return Refuse(Shown(full) + ": the patcher passes over folders whose names begin with a dot");
        if (onDisk && (!last || folder || depth == 0) && pack::EqualNames(name.c_str(), kPackTree))
            return Refuse(Shown(full) + ": a disk file or folder named Kivra_Pak cannot be carried");
        if (last) break;
        start = end + 1;
    }
    const std::string engine = "Z:\\" + full;
    if (!pack::PathFits(engine.c_str(), kMaxPath, pack::kMaxNameLength))
        return Refuse(Shown(full) + ": path longer than " + std::to_string(kMaxPath - 4) + " bytes");
    return true;
}

struct Plan {
    std::vector<PatchFile> files;
    std::vector<std::string> folders;  // added folders, in Update.pak
    std::uint64_t packAdded = 0, packChanged = 0, diskAdded = 0, diskChanged = 0;
    std::uint64_t packBytes = 0, diskBytes = 0;
    std::uint64_t removed = 0;
    const TreeFile* launcher = nullptr;
};

bool IsLauncher(const std::string& path) { return pack::EqualNames(path.c_str(), kLauncher); }

bool IsVersionFile(const std::string& path) { return pack::EqualNames(path.c_str(), kVersionFile); }

bool ReadWholeFile(const fs::path& path, std::string& bytes)
{
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (!file) return false;
    bytes.clear();
    for (std::size_t got; (got = std::fread(bufferA, 1, kChunk, file)) > 0;)
        bytes.append(reinterpret_cast<const char*>(bufferA), got);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

struct Options {
    bool strict = false;
    bool needGiven = false;
    VersionNumber need{0, 0, 0, 0};
    std::string readMe;  // the file's bytes
    bool readMeGiven = false;
};

// Compares OLD with NEW into pack and disk, warns of the files a patch cannot
// remove and refuses a file that became a folder or the reverse.
bool Compare(const Installation& before, const Installation& after, TreeChanges& pack, TreeChanges& disk, Plan& plan)
{
    filesToCompare = 0;
    filesToCompare = std::min(before.packTree.files.size(), after.packTree.files.size()) +
                     std::min(before.diskTree.files.size(), after.diskTree.files.size());
    if (!mkpatch::CompareTrees(before.packTree, after.packTree, ComparePackFiles, pack))
        return Refuse(after.packHost.string() + ": Kivra_Pak\\" + Shown(after.packTree.files[pack.unreadable].path) +
                      ": cannot be read in one of the packs (see pak fsck)");
    if (!mkpatch::CompareTrees(before.diskTree, after.diskTree, CompareDiskFiles, disk))
        return Refuse(after.diskTree.files[disk.unreadable].host.string() +
                      ": it or OLD's file of that name cannot be read");
    EndProgressLine();

    // The removals a patch cannot make.
    for (std::size_t i : pack.removed)
        Warn("Kivra_Pak\\" + Shown(before.packTree.files[i].path) +
             " is in OLD's pack but not in NEW's; a patch cannot remove it");
    for (std::size_t i : disk.removed)
        Warn(before.diskTree.files[i].host.string() + " is in OLD but not in NEW; a patch cannot remove it");
    plan.removed = pack.removed.size() + disk.removed.size();

    for (const auto* changes : {&pack, &disk})
        if (!changes->clashes.empty())
            return Refuse(std::string(changes == &pack ? "Kivra_Pak\\" : "") + Shown(changes->clashes.front()) +
                          ": a file in one installation and a folder in the other; a patch cannot change which");
    return true;
}

// Refuses two paths the pack takes for one; adds NeedVersion.txt first and
// ReadMe.txt last.
bool AddNeedAndReadMe(const Installation& before, const Options& options, Plan& plan)
{
    // Two paths the pack takes for one.
    std::map<std::string, const PatchFile*> seen;
    for (const PatchFile& file : plan.files) {
        const auto [it, fresh] = seen.emplace(mkpatch::FoldedPath(file.path), &file);
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
        plan.files.push_back(std::move(readMe));
    }
    return true;
}

bool MakePlan(const Installation& before, const Installation& after, const Options& options, Plan& plan)
{
    TreeChanges pack;
    TreeChanges disk;
    if (!Compare(before, after, pack, disk, plan)) return false;
    const auto add = [&](const TreeFile& file, bool onDisk, bool isNew) {
        if (!Carriable(file.path, onDisk, false)) return false;
        if (file.size > kMaxPatchFile) return Refuse(Shown(file.path) + ": larger than the patcher copies (2 GiB)");
        PatchFile item;
        item.path = onDisk ? file.path : std::string(kPackTree) + '\\' + file.path;
        item.size = file.size;
        if (onDisk)
            item.fromDisk = file.host;
        else
            item.fromPack = &file;
        plan.files.push_back(std::move(item));
        (onDisk ? (isNew ? plan.diskAdded : plan.diskChanged) : (isNew ? plan.packAdded : plan.packChanged)) += 1;
        (onDisk ? plan.diskBytes : plan.packBytes) += file.size;
        return true;
    };
    // Kivra_Pak\Version.txt always: the patcher reads the patch's version
    // from it and records it last.
    bool version = false;
    for (const auto* list : {&pack.added, &pack.changed})
        for (std::size_t i : *list) {
            const TreeFile& file = after.packTree.files[i];
            if (IsVersionFile(file.path)) version = true;
            if (!add(file, false, list == &pack.added)) return false;
        }
    const bool anyChange = !plan.files.empty() || !disk.added.empty() || !disk.changed.empty();
    if (!version) {
        for (const TreeFile& file : after.packTree.files)
            if (IsVersionFile(file.path)) {
                PatchFile item;
                item.path = std::string(kPackTree) + '\\' + file.path;
                item.size = file.size;
                item.fromPack = &file;
                plan.files.push_back(std::move(item));
            }
    }
    for (const auto* list : {&disk.added, &disk.changed})
        for (std::size_t i : *list) {
            const TreeFile& file = after.diskTree.files[i];
            if (IsLauncher(file.path)) plan.launcher = &file;
            if (options.readMeGiven && pack::EqualNames(file.path.c_str(), kReadMe)) {
                std::string bytes;
                if (!ReadWholeFile(file.host, bytes)) return Refuse(file.host.string() + ": cannot be read");
                if (bytes != options.readMe)
                    return Refuse(file.host.string() + ": NEW's own ReadMe.txt differs from the one --readme gives");
                continue;
            }
            if (!add(file, true, list == &disk.added)) return false;
        }
    for (const std::string& folder : pack.addedFolders) {
        if (!Carriable(folder, false, true)) return false;
        plan.folders.push_back(std::string(kPackTree) + '\\' + folder);
    }
    for (const std::string& folder : disk.addedFolders) {
        if (!Carriable(folder, true, true)) return false;
        plan.folders.push_back(folder);
    }
    if (!anyChange && plan.folders.empty()) return Refuse("NEW does not differ from OLD: no patch written");
    if (plan.removed > 0 && options.strict)
        return Refuse(std::to_string(plan.removed) + " files of OLD are missing in NEW (--strict)");

    return AddNeedAndReadMe(before, options, plan);
}

// --- Writing the patch ------------------------------------------------------------

// The system code page path of name in OUTDIR.
std::string outSystem;

std::string InOutDir(const std::string& name)
{
    std::string path = outSystem;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '\\';
    return path + name;
}

// A new file in OUTDIR, taken exclusively and recorded as temporary slot;
// null after saying why.
std::FILE* CreateTemporary(int slot, const char* extension, std::string& path)
{
    for (unsigned counter = 0; counter < 10000; ++counter) {
        char name[64];
        std::snprintf(name, sizeof name, "~mkpatch%lu-%u%s", static_cast<unsigned long>(GetCurrentProcessId()), counter,
                      extension);
        path = InOutDir(name);
        if (!ResolveDiskPath(path.c_str(), temporaryHost[slot], sizeof temporaryHost[slot])) break;
        if (std::FILE* file = CreateNewDiskFile(path.c_str())) return file;
        temporaryHost[slot][0] = 0;
        if (errno != EEXIST) break;
    }
    temporaryHost[slot][0] = 0;
    Refuse(Shown(outSystem) + ": a file cannot be created there (" + std::strerror(errno) + ")");
    return nullptr;
}

std::uint64_t writtenBytes = 0;
std::uint64_t bytesToWrite = 0;

// Copies one file into the open Update.pak; false after saying why.
bool PutIntoPatch(const PatchFile& file)
{
    const std::size_t cut = file.path.rfind('\\');
    const std::string directory = "Z:\\" + (cut == std::string::npos ? std::string() : file.path.substr(0, cut));
    const std::string name = cut == std::string::npos ? file.path : file.path.substr(cut + 1);
    if (patchPack.MakeDir(directory.c_str()) != 0 || patchPack.ChangeDir(directory.c_str()) != 0)
        return Refuse(std::string(kPatchPack) + ": " + Shown(directory) + " cannot be made");
    const int to = patchPack.OpenFile(name.c_str(), OF_WRITE, kInPack);
    if (to == -1) return Refuse(std::string(kPatchPack) + ": " + Shown(file.path) + " cannot be made");

    int from = -1;
    std::FILE* disk = nullptr;
    if (file.fromPack) {
        const std::size_t slash = file.fromPack->path.rfind('\\');
        const std::string entry =
            slash == std::string::npos ? file.fromPack->path : file.fromPack->path.substr(slash + 1);
        if (newPack.SetCurrentDir(file.fromPack->directory) == 0)
            from = newPack.OpenFile(entry.c_str(), OF_READ, kInPack);
    } else if (!file.fromDisk.empty()) {
        disk = std::fopen(file.fromDisk.string().c_str(), "rb");
    }
    const bool sourceOpen = file.fromPack ? from != -1 : file.fromDisk.empty() || disk;
    bool readOk = sourceOpen;
    bool writeOk = true;
    for (std::uint64_t at = 0; readOk && writeOk && at < file.size;) {
        const std::size_t item = file.size - at < kChunk ? static_cast<std::size_t>(file.size - at) : kChunk;
        if (file.fromPack)
            readOk = newPack.Read(bufferA, item, 1, from) == 1;
        else if (disk)
            readOk = std::fread(bufferA, item, 1, disk) == 1;
        else
            std::memcpy(bufferA, file.text.data() + at, item);
        if (readOk) writeOk = patchPack.Write(bufferA, item, 1, to) == 1;
        at += item;
        writtenBytes += item;
        if (readOk && writeOk) ShowProgress("writing Update.pak", writtenBytes, bytesToWrite, "bytes");
    }
    // A disk file that grew since it was listed: the patch would not hold
    // what NEW holds.
    if (disk && readOk && writeOk && std::fgetc(disk) != EOF) readOk = false;
    if (from != -1) newPack.CloseFile(from);
    if (disk) std::fclose(disk);
    writeOk = patchPack.CloseFile(to) == 0 && writeOk;
    const std::string source =
        file.fromPack ? "NEW's pack: Kivra_Pak\\" + Shown(file.fromPack->path) : file.fromDisk.string();
    if (!readOk) return Refuse(source + ": cannot be read, or changed while the patch was made");
    if (!writeOk) return Refuse(std::string(kPatchPack) + ": " + Shown(file.path) + ": cannot be written (disk full?)");
    return true;
}

std::uint32_t DosTimeNow()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (!local) return LzhDosTime(1980, 1, 1, 0, 0, 0);
    return LzhDosTime(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                      local->tm_sec);
}

// Copies the disk file from onto OUTDIR's name, through a temporary in slot
// renamed at the end; false after saying why.
bool CopyIntoOutDir(const fs::path& from, const char* name, int slot)
{
    std::string temporary;
    std::FILE* out = CreateTemporary(slot, ".tmp", temporary);
    if (!out) return false;
    std::FILE* in = std::fopen(from.string().c_str(), "rb");
    bool ok = in != nullptr;
    for (std::size_t got; ok && (got = std::fread(bufferA, 1, kChunk, in)) > 0;)
        ok = std::fwrite(bufferA, got, 1, out) == 1;
    if (in) ok = !std::ferror(in) && ok;
    if (in) std::fclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (!ok) return Refuse(from.string() + ": cannot be copied to " + Shown(InOutDir(name)));
    if (RenameDiskFile(temporary.c_str(), InOutDir(name).c_str()) != 0)
        return Refuse(Shown(InOutDir(name)) + ": cannot be written");
    temporaryHost[slot][0] = 0;
    return true;
}

// True when inner is outer or lies below it.
bool Inside(const fs::path& inner, const fs::path& outer)
{
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

// Refuses an OUTDIR that lies inside either installation, is not a folder
// or has no code page 949 form.
bool CheckOutDir(const fs::path& outDir, const Installation& before, const Installation& after)
{
    std::error_code error;
    const fs::path outReal = fs::weakly_canonical(fs::absolute(outDir, error), error);
    for (const Installation* game : {&before, &after}) {
        const fs::path real = fs::canonical(game->root, error);
        if (!error && Inside(outReal, real))
            return Refuse("OUTDIR (" + outDir.string() + ") lies inside " + game->Name() +
                          ": the patch would become part of the installation");
    }
    if (fs::exists(outDir, error) && !fs::is_directory(outDir, error))
        return Refuse(outDir.string() + ": exists and is not a directory");

    if (!HostToSystemText(outDir.string(), outSystem))
        return Refuse(outDir.string() + ": path has a character that code page 949 lacks");

    return true;
}

// Refuses a NEW below the need version; warns of versions the patcher
// would refuse or find nothing to do with.
bool CheckVersions(const VersionNumber& need, const Installation& before, const Installation& after)
{
    if (CompareVersions(after.version, need) == VersionOrder::Less)
        return Refuse("NEW's version " + VersionText(after.version) + " is below the need version " +
                      VersionText(need) + ": the patcher would refuse the patch everywhere");

    if (CompareVersions(before.version, need) == VersionOrder::Less)
        Warn("OLD's version " + VersionText(before.version) + " is below the need version " + VersionText(need) +
             ": the patcher refuses the patch on OLD");
    if (CompareVersions(after.version, before.version) == VersionOrder::Less)
        Warn("NEW's version " + VersionText(after.version) + " is below OLD's " + VersionText(before.version) +
             ": the patcher refuses the patch on OLD");
    else if (CompareVersions(after.version, before.version) == VersionOrder::Equal)
        Warn("NEW's version equals OLD's (" + VersionText(after.version) +
             "): where the launcher runs and Kivra.exe has that version too, the patcher does nothing");
    return true;
}

// Warns when the patcher would not replace the launcher before the run: the
// patch's own KNet.exe then brings NEW's launcher.
void CheckLauncher(const Plan& plan, const Installation& before)
{
    if (!plan.launcher) return;
    VersionNumber launcherOld{0, 0, 0, 0};
    VersionNumber launcherNew{0, 0, 0, 0};
    std::string system;
    const bool readNew =
        HostToSystemText(plan.launcher->host.string(), system) && ReadFileVersion(system.c_str(), launcherNew);
    bool readOld = false;
    for (const TreeFile& file : before.diskTree.files)
        if (IsLauncher(file.path))
            readOld = HostToSystemText(file.host.string(), system) && ReadFileVersion(system.c_str(), launcherOld);
    if (!readNew)
        Warn("NEW's KNet.exe has no file version: the patcher replaces the launcher only with the patch's files");
    else if (readOld && CompareVersions(launcherNew, launcherOld) != VersionOrder::Greater)
        Warn("NEW's KNet.exe (" + VersionText(launcherNew) + ") is not newer than OLD's (" + VersionText(launcherOld) +
             "): the patcher replaces the launcher only with the patch's files");
}

// Makes OUTDIR when missing and writes the plan's folders and files into
// Update.pak, a temporary there; its path goes to packPath.
bool WritePatchPack(const fs::path& outDir, const Plan& plan, std::string& packPath)
{
    std::error_code error;
    if (!fs::exists(outDir, error)) {
        // Only the folder itself is taken back on a failure, not parents made
        // with it.
        fs::create_directories(outDir, error);
        madeOutDir = outDir;
    }
    if (!fs::is_directory(outDir, error)) return Refuse(outDir.string() + ": cannot be made");
    std::FILE* reserved = CreateTemporary(0, ".pak", packPath);
    if (!reserved) return false;
    std::fclose(reserved);
    if (packPath.size() >= static_cast<std::size_t>(kMaxPath))
        return Refuse(Shown(outSystem) + ": path too long for the pack engine (" + std::to_string(kMaxPath - 1) +
                      " bytes with the temporary's name)");
    if (patchPack.Open(packPath.c_str(), "wb") != 1) return Refuse(Shown(packPath) + ": cannot be made");
    patchPack.Close();
    if (patchPack.Open(packPath.c_str(), "rb+") != 1) return Refuse(Shown(packPath) + ": cannot be opened");
    bytesToWrite = 0;
    for (const PatchFile& file : plan.files) bytesToWrite += file.size;
    for (const std::string& folder : plan.folders) {
        const std::string path = "Z:\\" + folder;
        if (patchPack.MakeDir(path.c_str()) != 0)
            return Refuse(std::string(kPatchPack) + ": " + Shown(folder) + " cannot be made");
    }
    for (const PatchFile& file : plan.files)
        if (!PutIntoPatch(file)) return false;
    patchPack.Close();
    EndProgressLine();
    return true;
}

// Packs Update.pak (at packPath, packSize bytes) into a temporary
// update.lzh; its path goes to archivePath.
bool CompressPatch(const std::string& packPath, std::uint64_t packSize, std::string& archivePath)
{
    std::FILE* archive = CreateTemporary(1, ".lzh", archivePath);
    if (!archive) return false;
    static char archiveBuffer[1u << 16];
    std::setvbuf(archive, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    std::FILE* source = OpenDiskFile(packPath.c_str(), "rb");
    if (!source) {
        std::fclose(archive);
        return Refuse(Shown(packPath) + ": cannot be read");
    }
    if (onTerminal) {
        std::fprintf(stderr, "\r\033[Kcompressing Update.pak: %llu bytes", static_cast<unsigned long long>(packSize));
        std::fflush(stderr);
        progressShown = true;
    }
    const LzhAddedMember added = AddLzhMember(archive, source, packSize, kPatchPack, DosTimeNow(), true);
    std::fclose(source);
    bool written = added.result == LzhAddResult::Added && EndLzhArchive(archive);
    written = std::fclose(archive) == 0 && written;
    EndProgressLine();
    if (added.result == LzhAddResult::CannotRead) return Refuse(Shown(packPath) + ": cannot be read");
    if (added.result == LzhAddResult::TooLarge) return Refuse("Update.pak is too large for an LZH member");
    if (!written) return Refuse(Shown(InOutDir(kArchive)) + ": cannot be written (disk full?)");
    return true;
}

// Removes name from OUTDIR where an earlier patch left it.
bool RemoveLeftOver(const char* name)
{
    std::error_code error;
    char host[kHostPathMax];
    if (ResolveDiskPath(InOutDir(name).c_str(), host, sizeof host) && fs::exists(host, error)) {
        if (RemoveDiskFile(InOutDir(name).c_str()) != 0)
            return Refuse(std::string(host) + ": left by an earlier patch and cannot be removed");
        Warn(std::string(host) + ": left by an earlier patch; removed");
    }
    return true;
}

void PrintSummary(const Plan& plan, const VersionNumber& need, const Installation& after, std::uint64_t packSize,
                  std::uint64_t archiveSize)
{
    std::printf("need version: %s\npatch version: %s\n", VersionText(need).c_str(), VersionText(after.version).c_str());
    std::printf("pack: %llu added, %llu changed, %llu bytes\n", static_cast<unsigned long long>(plan.packAdded),
                static_cast<unsigned long long>(plan.packChanged), static_cast<unsigned long long>(plan.packBytes));
    std::printf("disk: %llu added, %llu changed, %llu bytes\n", static_cast<unsigned long long>(plan.diskAdded),
                static_cast<unsigned long long>(plan.diskChanged), static_cast<unsigned long long>(plan.diskBytes));
    std::printf("folders added: %llu\n", static_cast<unsigned long long>(plan.folders.size()));
    std::printf("not removable: %llu\n", static_cast<unsigned long long>(plan.removed));
    if (plan.launcher)
        std::printf("launcher: %s written beside update.lzh\n", kLauncher);
    else
        std::printf("launcher: unchanged\n");
    std::printf("Update.pak: %llu bytes\nupdate.lzh: %llu bytes\n", static_cast<unsigned long long>(packSize),
                static_cast<unsigned long long>(archiveSize));
}

int Make(const Options& options, Installation& before, Installation& after, const fs::path& outDir)
{
    if (!OpenInstallation(before) || !OpenInstallation(after)) return kExitFailure;
    if (!CheckOutDir(outDir, before, after)) return kExitFailure;
    const VersionNumber need = options.needGiven ? options.need : before.version;
    if (!CheckVersions(need, before, after)) return kExitFailure;
    if (!ListTrees(before) || !ListTrees(after)) return kExitFailure;
    Plan plan;
    if (!MakePlan(before, after, options, plan)) return kExitFailure;
    CheckLauncher(plan, before);

    std::string packPath;
    if (!WritePatchPack(outDir, plan, packPath)) return kExitFailure;
    std::error_code error;
    const std::uint64_t packSize = fs::file_size(temporaryHost[0], error);
    if (error) return Fail(Shown(packPath) + ": " + error.message());
    std::string archivePath;
    if (!CompressPatch(packPath, packSize, archivePath)) return kExitFailure;
    const std::uint64_t archiveSize = fs::file_size(temporaryHost[1], error);

    // The launcher beside the archive, or none left from an earlier patch.
    if (plan.launcher) {
        if (!CopyIntoOutDir(plan.launcher->host, kLauncher, 2)) return kExitFailure;
    } else if (!RemoveLeftOver(kLauncher)) {
        return kExitFailure;
    }
    if (!RemoveLeftOver(kPatchPack)) return kExitFailure;
    if (RenameDiskFile(archivePath.c_str(), InOutDir(kArchive).c_str()) != 0)
        return Fail(Shown(InOutDir(kArchive)) + ": cannot be written");
    temporaryHost[1][0] = 0;
    madeOutDir.clear();
    RemoveTemporaries();
    PrintSummary(plan, need, after, packSize, archiveSize);
    return kExitSuccess;
}

int Usage()
{
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("kivra-mkpatch " KIVRA_UPDATE_VERSION_TEXT);
        return kExitSuccess;
    }
    Options options;
    std::vector<std::string> operands;
    std::string needText;
    std::string readMePath;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word.empty() || word[0] != '-' || word == "-") {
            operands.push_back(word);
        } else if (word == "--") {
            optionsEnd = true;
        } else if (word == "--strict") {
            options.strict = true;
        } else if ((word == "--need" || word == "--readme") && i + 1 < argc) {
            (word == "--need" ? needText : readMePath) = argv[++i];
            (word == "--need" ? options.needGiven : options.readMeGiven) = true;
        } else if (word.rfind("--need=", 0) == 0) {
            needText = word.substr(7);
            options.needGiven = true;
        } else if (word.rfind("--readme=", 0) == 0) {
            readMePath = word.substr(9);
            options.readMeGiven = true;
        } else {
            return Usage();
        }
    }
    if (operands.size() != 3) return Usage();
    if (options.needGiven) {
        std::vector<char> text(needText.begin(), needText.end());
        text.push_back(0);
        // Four numbers, and nothing but blanks after them.
        const std::size_t digits =
            std::count_if(needText.begin(), needText.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits == 0 || !ParseVersionText(text.data(), options.need)) {
            std::fprintf(stderr, "kivra-mkpatch: --need %s: not a version such as 1.0.2.29\n", needText.c_str());
            return kExitUsage;
        }
    }
    packFullStop = StopWhenFull;
    onTerminal = _isatty(_fileno(stderr)) != 0;
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    if (options.readMeGiven) {
        std::error_code error;
        if (!fs::is_regular_file(readMePath, error) || !ReadWholeFile(readMePath, options.readMe))
            return Fail(readMePath + ": cannot be read (--readme)");
        if (options.readMe.size() > kMaxPatchFile) return Fail(readMePath + ": too large (--readme)");
    }
    Installation before{"OLD", operands[0], {}, &oldPack, {}, -1, {}, {}};
    Installation after{"NEW", operands[1], {}, &newPack, {}, -1, {}, {}};
    const int status = Make(options, before, after, operands[2]);
    oldPack.Close();
    newPack.Close();
    patchPack.Close();
    if (status != kExitSuccess) RemoveTemporaries();
    return status;
}
