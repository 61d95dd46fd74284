#include "tools/kivra-mkpatch/OutDir.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Signals.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace fs = std::filesystem;

namespace mkpatch {

namespace {

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

// The renames that put the patch in place, to be undone when a later one
// fails, and what the first failure was.
class Moves {
public:
    // Renames from to to; false, with fault and the system's reason as the
    // failure, when it cannot.
    bool Make(const std::string& from, const std::string& to, const std::string& fault)
    {
        if (RenameDiskFile(from.c_str(), to.c_str()) != 0) {
            failure = fault + " (" + std::strerror(errno) + ")";
            return false;
        }
        done.push_back(Move{from, to});
        return true;
    }

    void Undo()
    {
        for (auto it = done.rbegin(); it != done.rend(); ++it) RenameDiskFile(it->to.c_str(), it->from.c_str());
    }

    std::string failure;

private:
    struct Move {
        std::string from;
        std::string to;
    };
    std::vector<Move> done;
};

// Makes OUTDIR when it is missing, and records it as made; false with the
// failure in failure.
bool MakeOutDir(std::string& failure)
{
    DiskPathInfo info{};
    if (StatDiskPath(outSystem.c_str(), &info) == 0) return true;
    char host[kHostPathMax];
    if (ResolveDiskPath(outSystem.c_str(), host, sizeof host) && MakeDiskDirectory(outSystem.c_str()) == 0) {
        RecordMadeFolder(host);
        return true;
    }
    failure = Shown(outSystem) + ": cannot be made (" + std::strerror(errno) + ")";
    return false;
}

// Moves the KNet.exe and Update.pak that an earlier patch left in OUTDIR into
// the work folder; those this patch brings no file for are named in removed.
bool MoveEarlierAside(bool launcher, Moves& moves, std::vector<std::string>& removed)
{
    for (const auto& [name, aside] : {std::pair{kLauncher, kEarlierLauncher}, std::pair{kPatchPack, kEarlierPack}}) {
        const std::string there = InOutDir(name);
        DiskPathInfo info{};
        if (StatDiskPath(there.c_str(), &info) != 0) continue;
        char host[kHostPathMax];
        const std::string shown = ResolveDiskPath(there.c_str(), host, sizeof host) ? host : Shown(there);
        if (!info.file) {
            moves.failure = shown + ": left in OUTDIR, and not a file";
            return false;
        }
        if (!moves.Make(there, InWork(aside), shown + ": left by an earlier patch and cannot be removed")) return false;
        if (!(launcher && aside == kEarlierLauncher)) removed.push_back(shown);
    }
    return true;
}

}  // namespace

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

bool PutIntoOutDir(bool launcher, std::vector<std::string>& removed)
{
    Moves moves;
    // The patch is on the disk before OUTDIR names it.
    if (SyncDiskVolume(InWork(kWorkArchive).c_str()) != 0)
        return Refuse(Shown(InWork(kWorkArchive)) + ": cannot be written to the disk (" + std::strerror(errno) + ")");
    {
        const SignalsHeld held;
        bool ok = MakeOutDir(moves.failure) && MoveEarlierAside(launcher, moves, removed);
        ok = ok && (!launcher || moves.Make(InWork(kWorkLauncher), InOutDir(kLauncher),
                                            Shown(InOutDir(kLauncher)) + ": cannot be written"));
        ok = ok &&
             moves.Make(InWork(kWorkArchive), InOutDir(kArchive), Shown(InOutDir(kArchive)) + ": cannot be written");
        // And so are the names it takes there.
        if (ok && SyncDiskFolder(outSystem.c_str()) != 0)
            moves.failure = Shown(outSystem) + ": cannot be written to the disk (" + std::strerror(errno) + ")";
        ok = ok && moves.failure.empty();
        if (ok) {
            // In place: OUTDIR and the folders made on the way to it stay.
            KeepMadeFolders();
        } else {
            removed.clear();
            moves.Undo();
        }
    }
    return moves.failure.empty() || Refuse(moves.failure);
}

}  // namespace mkpatch
