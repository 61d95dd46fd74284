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
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include "lzh/LzhWriter.h"
#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "pack/PackTree.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/common/StandardOptions.h"
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
    "usage: kivra-mkpatch [--need VERSION] [--readme FILE] [--strict] [--exclude PATTERN]...\n"
    "                     OLD NEW OUTDIR\n"
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
    "  --strict        fail when OLD has files that NEW lacks, or names that NEW\n"
    "                  changes only in letter case\n"
    "  --exclude PATTERN\n"
    "                  leave out of the comparison, in OLD and NEW, the files and\n"
    "                  folders that the shell pattern matches (repeatable)\n"
    "\n"
    "A patch cannot remove files, nor rename one in letter case only (the patcher\n"
    "takes such names for one): each file of OLD missing in NEW, and each such\n"
    "rename, is named on stderr as a warning. NeedVersion.txt in the game\n"
    "directory is what earlier patches left there; it is not compared.\n"
    "\n"
    "PATTERN is matched against paths below the game directory with \"/\" between\n"
    "folders, the pack's files as Kivra_Pak/...: \"*\" matches within one name,\n"
    "\"**\" across folders, \"?\" one character, \"[...]\" one of a set, letters in\n"
    "either case. A pattern without \"/\" matches a name at any depth (\"*.bak\"),\n"
    "one with \"/\" the whole path (\"Logs/*.log\", \"Kivra_Pak/Test/**\"); one\n"
    "ending in \"/\" only folders. What a folder's pattern matches goes with all\n"
    "below it. Kivra_Pak/Version.txt is always carried.\n"
    "\n"
    "OUTDIR must not lie inside OLD or NEW. The run works in .kivra-mkpatch-PID\n"
    "beside OUTDIR (in its parent) and moves update.lzh and KNet.exe into OUTDIR\n"
    "only once they are complete, OUTDIR made then when it does not exist; an\n"
    "update.lzh there is replaced in one step. A failed or interrupted run\n"
    "leaves nothing behind; what a killed one left is removed by the next run\n"
    "beside the same OUTDIR. A KNet.exe or Update.pak left in OUTDIR by an\n"
    "earlier patch is removed when this patch has no launcher of its own.\n"
    "The archive's time stamps are the newest modification time of the files\n"
    "put into the patch, or SOURCE_DATE_EPOCH (seconds since 1970, UTC) when it\n"
    "is set: the same trees give the same update.lzh.\n"
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

// --- Messages -------------------------------------------------------------------

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

// --- The work folder ----------------------------------------------------------------
//
// What a run makes lies in a folder of its own beside OUTDIR,
// ".kivra-mkpatch-PID" in OUTDIR's parent (PID the process's id): on OUTDIR's
// file system, so that the finished files are renamed into OUTDIR, and never
// in what ships. Until the patch is in place it also keeps what the run moves
// out of OUTDIR. Every way out but success removes it, a stop signal among
// them, and the folders the run made on the way to it. What a killed run left
// is removed by the next run beside the same OUTDIR, once its process is gone.

constexpr char kWorkPrefix[] = ".kivra-mkpatch-";

enum WorkFile {
    kWorkPack,
    kWorkArchive,
    kWorkLauncher,
    kEarlierLauncher,  // OUTDIR's KNet.exe, moved aside
    kEarlierPack,      // OUTDIR's Update.pak, moved aside
    kWorkFiles
};
// The only names a work folder holds.
const char* const kWorkNames[kWorkFiles] = {"Update.pak", "update.lzh", "KNet.exe", "earlier KNet.exe",
                                            "earlier Update.pak"};

// OUTDIR and the work folder, system code page paths.
std::string outSystem;
std::string workSystem;
// The work folder and its files as the host names them, for a signal
// handler: empty while there is no work folder.
char workHost[kHostPathMax];
char workFileHost[kWorkFiles][kHostPathMax];
// Host paths of the folders this run made, outermost first, OUTDIR among
// them once it is made: removed again, when empty, unless the patch is in
// place.
std::vector<std::string> madeFolders;

std::string Joined(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') return folder + '\\' + name;
    return folder + name;
}

std::string InOutDir(const std::string& name) { return Joined(outSystem, name); }

std::string InWork(WorkFile file) { return Joined(workSystem, kWorkNames[file]); }

// The signals that stop a run.
const int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

// Keeps the stop signals waiting while it lives: the records above and OUTDIR
// change under it, so that a stop finds each as it was or as it became.
// Windows has no signal mask: there a stop may come in between.
class SignalsHeld {
public:
    SignalsHeld()
    {
#ifndef _WIN32
        sigset_t stops;
        sigemptyset(&stops);
        for (int signal : kStopSignals) sigaddset(&stops, signal);
        sigprocmask(SIG_BLOCK, &stops, &before);
#endif
    }
    ~SignalsHeld()
    {
#ifndef _WIN32
        sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
#ifndef _WIN32
    sigset_t before;
#endif
};

// Removes the work folder and the folders this run made, by calls a signal
// handler may make.
void TakeBackWork()
{
    const auto removeFile = [](const char* host) {
#ifdef _WIN32
        std::remove(host);
#else
        unlink(host);
#endif
    };
    const auto removeFolder = [](const char* host) {
#ifdef _WIN32
        RemoveDirectoryA(host);
#else
        rmdir(host);
#endif
    };
    if (workHost[0]) {
        for (const char* file : workFileHost) removeFile(file);
        removeFolder(workHost);
    }
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) removeFolder(it->c_str());
}

void RemoveWork()
{
    const SignalsHeld held;
    TakeBackWork();
    workHost[0] = 0;
    madeFolders.clear();
}

extern "C" void StopOnSignal(int signal)
{
    TakeBackWork();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

int Fail(const std::string& text)
{
    EndProgressLine();
    std::fprintf(stderr, "kivra-mkpatch: %s\n", text.c_str());
    patchPack.Close();
    RemoveWork();
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

// The parent of the folder at path, a system code page path, as a path of
// the same kind.
std::string ParentOf(std::string path)
{
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    const std::size_t cut = path.find_last_of("/\\");
    const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
    if (last.empty() || last == "." || last == ".." || (path.size() == 2 && path[1] == ':')) return path + "\\..";
    if (cut == std::string::npos) return ".";
    // Keep the root: "\" or "C:\".
    if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
    return path.substr(0, cut);
}

// The process id a work folder's name holds, or 0 for a name of another
// form.
unsigned long WorkFolderProcess(const std::string& name)
{
    const std::size_t prefix = sizeof kWorkPrefix - 1;
    if (name.compare(0, prefix, kWorkPrefix) != 0 || name.size() == prefix || name.size() > prefix + 10 ||
        name[prefix] == '0')
        return 0;
    unsigned long long id = 0;
    for (std::size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        id = id * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return id > 0xFFFFFFFFu ? 0 : static_cast<unsigned long>(id);
}

// Whether no process of that id runs.
bool ProcessGone(unsigned long id)
{
#ifdef _WIN32
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
#else
    return id <= static_cast<unsigned long>(INT_MAX) && kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
#endif
}

// Removes the work folders that killed runs left in OUTDIR's parent: those
// whose process is gone (or has this process's id, so is no other run's),
// and of what they hold only the work files.
void SweepLeftovers()
{
    const std::string parent = ParentOf(outSystem);
    char host[kHostPathMax];
    if (!ResolveDiskPath(parent.c_str(), host, sizeof host)) return;
    std::error_code error;
    std::vector<fs::path> left;
    for (fs::directory_iterator it(host, error), end; !error && it != end; it.increment(error)) {
        const unsigned long id = WorkFolderProcess(it->path().filename().string());
        std::error_code ignored;
        if (id == 0 || it->is_symlink(ignored) || !it->is_directory(ignored)) continue;
        if (id == GetCurrentProcessId() || ProcessGone(id)) left.push_back(it->path());
    }
    for (const fs::path& folder : left) {
        for (const char* name : kWorkNames) fs::remove(folder / name, error);
        if (fs::remove(folder, error))
            Warn(folder.string() + ": left by a kivra-mkpatch run that was stopped; removed");
        else
            Warn(folder.string() + ": left by a kivra-mkpatch run that was stopped, but it holds other files; kept");
    }
}

// Makes the work folder in OUTDIR's parent, and the folders on the way to it
// that are missing; false after saying why.
bool MakeWorkFolder()
{
    const std::string parent = ParentOf(outSystem);
    workSystem = Joined(parent, kWorkPrefix + std::to_string(GetCurrentProcessId()));
    char folderHost[kHostPathMax];
    char fileHost[kWorkFiles][kHostPathMax];
    bool named = ResolveDiskPath(workSystem.c_str(), folderHost, sizeof folderHost);
    for (int file = 0; file < kWorkFiles; ++file)
        named = named && ResolveDiskPath(InWork(static_cast<WorkFile>(file)).c_str(), fileHost[file], kHostPathMax);
    if (!named) return Refuse(Shown(workSystem) + ": cannot be named (" + std::strerror(errno) + ")");

    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path folder = fs::path(folderHost).parent_path(); !fs::exists(folder, error) && folder.has_relative_path();
         folder = folder.parent_path())
        missing.push_back(folder);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        bool made = false;
        {
            const SignalsHeld held;
            made = fs::create_directory(*it, error);
            if (made) madeFolders.push_back(it->string());
        }
        if (error) return Refuse(it->string() + ": cannot be made (" + error.message() + ")");
    }

    bool made = false;
    {
        const SignalsHeld held;
        made = MakeDiskDirectory(workSystem.c_str()) == 0;
        if (made) {
            std::memcpy(workFileHost, fileHost, sizeof fileHost);
            std::memcpy(workHost, folderHost, sizeof folderHost);
        }
    }
    if (!made) return Refuse(std::string(folderHost) + ": cannot be made (" + std::strerror(errno) + ")");
    return true;
}

// --- Options ------------------------------------------------------------------

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01, both UTC.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000;
// The latest SOURCE_DATE_EPOCH taken: 9999-12-31 23:59:59 UTC.
constexpr std::uint64_t kLatestSourceDate = 253402300799ULL;

// When the patch was made, as its archive and pack record it.
struct PatchTime {
    std::uint64_t ticks = 0;  // a FILETIME
    bool utc = false;         // the archive's local time is taken as UTC
};

struct Options {
    bool strict = false;
    bool needGiven = false;
    VersionNumber need{0, 0, 0, 0};
    std::string readMe;  // the file's bytes
    std::uint64_t readMeTime = 0;
    bool readMeGiven = false;
    std::vector<std::string> excludes;  // system code page
    bool sourceDateGiven = false;
    PatchTime sourceDate;
};

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

bool IsVersionFile(const std::string& path) { return pack::EqualNames(path.c_str(), kVersionFile); }

// Takes what the --exclude patterns match out of the installation's trees,
// but for Kivra_Pak\Version.txt, the patch's version.
void Exclude(Installation& game, const std::vector<std::string>& patterns)
{
    if (patterns.empty()) return;
    const auto excluded = [&](const std::string& path, bool folder) {
        for (const std::string& pattern : patterns)
            if (mkpatch::PatternMatches(pattern, path, folder)) return true;
        return false;
    };
    std::vector<TreeFile> version;
    for (const TreeFile& file : game.packTree.files)
        if (IsVersionFile(file.path)) version.push_back(file);
    mkpatch::LeaveOut(game.packTree, std::string(kPackTree) + '/', excluded);
    mkpatch::LeaveOut(game.diskTree, "", excluded);
    if (std::none_of(game.packTree.files.begin(), game.packTree.files.end(),
                     [](const TreeFile& file) { return IsVersionFile(file.path); }))
        game.packTree.files.insert(game.packTree.files.begin(), version.begin(), version.end());
}

bool ListTrees(Installation& game, const Options& options)
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
    Exclude(game, options.excludes);
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
    std::uint64_t time = 0;              // the source's time, a FILETIME
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
    std::uint64_t renamed = 0;  // only in letter case
    const TreeFile* launcher = nullptr;
};

bool IsLauncher(const std::string& path) { return pack::EqualNames(path.c_str(), kLauncher); }

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

// Compares OLD with NEW into pack and disk, warns of the files a patch cannot
// remove or rename and refuses a file that became a folder or the reverse.
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
    // The patcher takes names that differ only in letter case for one, so it
    // finds the old file under the new name: a patch cannot rename it.
    for (const auto* changes : {&pack, &disk})
        for (const auto& [old, now] : changes->renamed) {
            const std::string tree = changes == &pack ? "Kivra_Pak\\" : "";
            Warn(tree + Shown(old) + " in OLD" + (changes == &pack ? "'s pack" : "") + " is " + tree + Shown(now) +
                 " in NEW" + (changes == &pack ? "'s" : "") +
                 ": the patcher takes names differing only in letter case for one, so a patch cannot rename it");
        }
    plan.renamed = pack.renamed.size() + disk.renamed.size();

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
        readMe.time = options.readMeTime;
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
        item.time = file.time;
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
                item.time = file.time;
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
    if (plan.renamed > 0 && options.strict)
        return Refuse(std::to_string(plan.renamed) + " names of OLD differ in NEW only in letter case (--strict)");

    return AddNeedAndReadMe(before, options, plan);
}

// --- Writing the patch ------------------------------------------------------------

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

// The patch's time when SOURCE_DATE_EPOCH does not give it: the newest time
// of the files put into it.
PatchTime NewestTime(const Plan& plan)
{
    PatchTime time;
    for (const PatchFile& file : plan.files) time.ticks = std::max(time.ticks, file.time);
    return time;
}

// The archive's MS-DOS time of time: in local time, as LZH readers show it,
// but in UTC for SOURCE_DATE_EPOCH, as that convention asks, so that the
// patch is the same in every time zone.
std::uint32_t DosTime(const PatchTime& time)
{
    const std::uint32_t earliest = LzhDosTime(1980, 1, 1, 0, 0, 0);
    if (time.ticks < kUnixEpochTicks) return earliest;
    const std::uint64_t seconds = (time.ticks - kUnixEpochTicks) / kTicksPerSecond;
    if (seconds > static_cast<std::uint64_t>(std::numeric_limits<std::time_t>::max()))
        return LzhDosTime(9999, 1, 1, 0, 0, 0);
    const std::time_t moment = static_cast<std::time_t>(seconds);
    const std::tm* t = time.utc ? std::gmtime(&moment) : std::localtime(&moment);
    if (!t) return earliest;
    return LzhDosTime(t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
}

// Writes the plan's folders and files into Update.pak, in the work folder;
// its path goes to packPath.
bool WritePatchPack(const Plan& plan, std::string& packPath)
{
    packPath = InWork(kWorkPack);
    if (packPath.size() >= static_cast<std::size_t>(kMaxPath))
        return Refuse(Shown(packPath) + ": path too long for the pack engine (" + std::to_string(kMaxPath - 1) +
                      " bytes)");
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

// Gives every entry of the closed Update.pak at path, "." and ".." among
// them, the patch's time (a FILETIME), where the engine wrote the time of
// day. False after saying why.
bool StampPackTimes(const std::string& path, std::uint64_t ticks)
{
    if (patchPack.Open(path.c_str(), "rb") != 1) return Refuse(Shown(path) + ": cannot be opened");
    // Where the entries lie in the host file, directory by directory.
    std::vector<long> entries;
    std::vector<std::int32_t> directories{0};
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(patchPack.BlockCount()), 0);
    bool whole = true;
    for (std::size_t next = 0; whole && next < directories.size(); ++next) {
        for (std::int32_t block = directories[next]; whole;) {
            pack::DirEntry slots[pack::kEntriesPerBlock];
            whole = block >= 0 && block < patchPack.BlockCount() && !seen[static_cast<std::size_t>(block)] &&
                    patchPack.ReadEntries(block, 0, pack::kEntriesPerBlock, slots);
            if (!whole) break;
            seen[static_cast<std::size_t>(block)] = 1;
            for (int slot = 0; slot < pack::kEntriesPerBlock; ++slot) {
                const pack::DirEntry& entry = slots[slot];
                if (entry.InUse() == 0) continue;
                entries.push_back(static_cast<long>(pack::BlockOffset(block)) + slot * pack::kEntrySize);
                if (entry.Type() == pack::kTypeDirectory && std::strcmp(entry.Name(), ".") != 0 &&
                    std::strcmp(entry.Name(), "..") != 0)
                    directories.push_back(entry.FirstBlock());
            }
            block = patchPack.NextBlock(block);
            if (block == 0) break;
        }
    }
    patchPack.Close();
    if (!whole) return Refuse(Shown(path) + ": its tree cannot be read back");

    std::uint8_t high[4];
    std::uint8_t low[4];
    pack::StoreU32(high, static_cast<std::uint32_t>(ticks >> 32));
    pack::StoreU32(low, static_cast<std::uint32_t>(ticks));
    std::FILE* file = OpenDiskFile(path.c_str(), "rb+");
    bool written = file != nullptr;
    for (long at : entries)
        written = written && SeekDiskFile(file, at + pack::DirEntry::kTimeHigh, SEEK_SET) == 0 &&
                  WriteDiskFile(high, sizeof high, 1, file) == 1 &&
                  SeekDiskFile(file, at + pack::DirEntry::kTimeLow, SEEK_SET) == 0 &&
                  WriteDiskFile(low, sizeof low, 1, file) == 1;
    if (file) written = CloseDiskFile(file) == 0 && written;
    if (!written) return Refuse(Shown(path) + ": cannot be written (disk full?)");
    return true;
}

// Packs Update.pak (at packPath, packSize bytes) into update.lzh in the work
// folder, its member stamped dosTime.
bool CompressPatch(const std::string& packPath, std::uint64_t packSize, std::uint32_t dosTime)
{
    const std::string archivePath = InWork(kWorkArchive);
    std::FILE* archive = CreateNewDiskFile(archivePath.c_str());
    if (!archive) return Refuse(Shown(archivePath) + ": cannot be made (" + std::strerror(errno) + ")");
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
    const LzhAddedMember added = AddLzhMember(archive, source, packSize, kPatchPack, dosTime, true);
    std::fclose(source);
    bool written = added.result == LzhAddResult::Added && EndLzhArchive(archive);
    written = std::fclose(archive) == 0 && written;
    EndProgressLine();
    if (added.result == LzhAddResult::CannotRead) return Refuse(Shown(packPath) + ": cannot be read");
    if (added.result == LzhAddResult::TooLarge) return Refuse("Update.pak is too large for an LZH member");
    if (!written) return Refuse(Shown(archivePath) + ": cannot be written (disk full?)");
    return true;
}

// Copies NEW's launcher at from into the work folder; false after saying
// why.
bool CopyLauncher(const fs::path& from)
{
    const std::string to = InWork(kWorkLauncher);
    std::FILE* out = CreateNewDiskFile(to.c_str());
    if (!out) return Refuse(Shown(to) + ": cannot be made (" + std::strerror(errno) + ")");
    std::FILE* in = std::fopen(from.string().c_str(), "rb");
    bool ok = in != nullptr;
    for (std::size_t got; ok && (got = std::fread(bufferA, 1, kChunk, in)) > 0;)
        ok = std::fwrite(bufferA, got, 1, out) == 1;
    if (in) ok = !std::ferror(in) && ok;
    if (in) std::fclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (!ok) return Refuse(from.string() + ": cannot be copied to " + Shown(to));
    return true;
}

// Puts the finished patch into OUTDIR, made when missing: a KNet.exe and an
// Update.pak that an earlier patch left there are moved into the work folder,
// then the patch's KNet.exe and last its update.lzh are renamed into OUTDIR,
// each in one step. When a step fails those before it are undone, so OUTDIR
// holds the earlier patch or this one; stop signals wait until it is over.
// What an earlier patch left that this one does not replace is named in
// removed. False after saying why.
bool PutIntoOutDir(bool launcher, std::vector<std::string>& removed)
{
    struct Move {
        std::string from;
        std::string to;
    };
    std::vector<Move> done;
    std::string failure;
    {
        const SignalsHeld held;
        const auto move = [&](const std::string& from, const std::string& to, const std::string& fault) {
            if (RenameDiskFile(from.c_str(), to.c_str()) != 0) {
                failure = fault + " (" + std::strerror(errno) + ")";
                return false;
            }
            done.push_back(Move{from, to});
            return true;
        };
        char host[kHostPathMax];
        DiskPathInfo info{};
        bool ok = true;
        if (StatDiskPath(outSystem.c_str(), &info) != 0) {
            ok = ResolveDiskPath(outSystem.c_str(), host, sizeof host) && MakeDiskDirectory(outSystem.c_str()) == 0;
            if (ok)
                madeFolders.push_back(host);
            else
                failure = Shown(outSystem) + ": cannot be made (" + std::strerror(errno) + ")";
        }
        for (const auto& [name, aside] :
             {std::pair{kLauncher, kEarlierLauncher}, std::pair{kPatchPack, kEarlierPack}}) {
            const std::string there = InOutDir(name);
            if (!ok || StatDiskPath(there.c_str(), &info) != 0) continue;
            const std::string shown = ResolveDiskPath(there.c_str(), host, sizeof host) ? host : Shown(there);
            if (!info.file) {
                failure = shown + ": left in OUTDIR, and not a file";
                ok = false;
                continue;
            }
            ok = move(there, InWork(aside), shown + ": left by an earlier patch and cannot be removed");
            if (ok && !(launcher && aside == kEarlierLauncher)) removed.push_back(shown);
        }
        ok = ok && (!launcher || move(InWork(kWorkLauncher), InOutDir(kLauncher),
                                      Shown(InOutDir(kLauncher)) + ": cannot be written"));
        ok = ok && move(InWork(kWorkArchive), InOutDir(kArchive), Shown(InOutDir(kArchive)) + ": cannot be written");
        if (ok) {
            // In place: OUTDIR and the folders made on the way to it stay.
            madeFolders.clear();
        } else {
            removed.clear();
            for (auto it = done.rbegin(); it != done.rend(); ++it) RenameDiskFile(it->to.c_str(), it->from.c_str());
        }
    }
    return failure.empty() || Refuse(failure);
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
    SweepLeftovers();
    const VersionNumber need = options.needGiven ? options.need : before.version;
    if (!CheckVersions(need, before, after)) return kExitFailure;
    if (!ListTrees(before, options) || !ListTrees(after, options)) return kExitFailure;
    Plan plan;
    if (!MakePlan(before, after, options, plan)) return kExitFailure;
    CheckLauncher(plan, before);
    const PatchTime time = options.sourceDateGiven ? options.sourceDate : NewestTime(plan);

    if (!MakeWorkFolder()) return kExitFailure;
    std::string packPath;
    if (!WritePatchPack(plan, packPath) || !StampPackTimes(packPath, time.ticks)) return kExitFailure;
    std::error_code error;
    const std::uint64_t packSize = fs::file_size(workFileHost[kWorkPack], error);
    if (error) return Fail(Shown(packPath) + ": " + error.message());
    if (!CompressPatch(packPath, packSize, DosTime(time))) return kExitFailure;
    const std::uint64_t archiveSize = fs::file_size(workFileHost[kWorkArchive], error);
    if (plan.launcher && !CopyLauncher(plan.launcher->host)) return kExitFailure;
    std::vector<std::string> removed;
    if (!PutIntoOutDir(plan.launcher != nullptr, removed)) return kExitFailure;
    for (const std::string& file : removed) Warn(file + ": left by an earlier patch; removed");
    RemoveWork();
    PrintSummary(plan, need, after, packSize, archiveSize);
    return kExitSuccess;
}

// SOURCE_DATE_EPOCH, when set and not empty, into options; false after
// saying why it is no time.
bool ReadSourceDate(Options& options)
{
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (!text || !*text) return true;
    std::uint64_t seconds = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return Refuse(std::string("SOURCE_DATE_EPOCH (") + text + "): not a number of seconds since 1970");
        if (seconds <= kLatestSourceDate) seconds = seconds * 10 + static_cast<unsigned>(*c - '0');
    }
    if (seconds > kLatestSourceDate)
        return Refuse(std::string("SOURCE_DATE_EPOCH (") + text + "): later than the year 9999");
    options.sourceDateGiven = true;
    options.sourceDate.ticks = kUnixEpochTicks + seconds * kTicksPerSecond;
    options.sourceDate.utc = true;
    return true;
}

void PrintUsage(std::FILE* out) { std::fputs(kUsage, out); }

int Usage()
{
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnswerStandardOption(argc, argv, "kivra-mkpatch", PrintUsage)) return kExitSuccess;
    Options options;
    std::vector<std::string> operands;
    std::string needText;
    std::string readMePath;
    std::vector<std::string> excludes;
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
        } else if (word == "--exclude" && i + 1 < argc) {
            excludes.push_back(argv[++i]);
        } else if (word.rfind("--exclude=", 0) == 0) {
            excludes.push_back(word.substr(10));
        } else {
            return Usage();
        }
    }
    if (operands.size() != 3) return Usage();
    for (const std::string& pattern : excludes) {
        std::string system;
        const char* fault = pattern.empty()                      ? "an empty pattern"
                            : !HostToSystemText(pattern, system) ? "has a character that code page 949 lacks"
                                                                 : nullptr;
        if (fault) {
            std::fprintf(stderr, "kivra-mkpatch: --exclude %s: %s\n", pattern.c_str(), fault);
            return kExitUsage;
        }
        options.excludes.push_back(system);
    }
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
    for (int signal : kStopSignals) std::signal(signal, StopOnSignal);
    if (!ReadSourceDate(options)) return kExitFailure;
    if (options.readMeGiven) {
        std::error_code error;
        if (!fs::is_regular_file(readMePath, error) || !ReadWholeFile(readMePath, options.readMe))
            return Fail(readMePath + ": cannot be read (--readme)");
        if (options.readMe.size() > kMaxPatchFile) return Fail(readMePath + ": too large (--readme)");
        options.readMeTime = mkpatch::FileTimeTicks(fs::last_write_time(readMePath, error));
        if (error) return Fail(readMePath + ": cannot be read (--readme)");
    }
    Installation before{"OLD", operands[0], {}, &oldPack, {}, -1, {}, {}};
    Installation after{"NEW", operands[1], {}, &newPack, {}, -1, {}, {}};
    const int status = Make(options, before, after, operands[2]);
    oldPack.Close();
    newPack.Close();
    patchPack.Close();
    if (status != kExitSuccess) RemoveWork();
    return status;
}
