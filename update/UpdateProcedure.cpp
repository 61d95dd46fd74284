// The patch run from the launcher's replacement to the version summary.
#include "update/UpdateProcedure.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "pack/PackText.h"
#include "platform/Disk.h"
#include "platform/Framework.h"
#include "update/Globals.h"
#include "update/Transfer.h"
#include "update/UpdateArchive.h"
#include "update/Version.h"

namespace {

// The run replaced the launcher before it came to the patch: what it then
// says of the game says so too.
bool launcherWasReplaced = false;

// What a run that changed no file of the game's left of it.
const char* Unchanged()
{
    return launcherWasReplaced ? "only the launcher, KNet.exe, was replaced; the game's files were not changed"
                               : "nothing of the game was changed";
}

// Message id with a detail formatted by printf rules (cut to 259 bytes).
void Tell(UpdateUi& ui, UpdateMessageId id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void Tell(UpdateUi& ui, UpdateMessageId id, const char* format, ...)
{
    char detail[260];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    // A player who sees the new launcher is told why the game is not new.
    constexpr char kLauncherOnly[] = "\nKNet.exe was replaced; the game's files were not.";
    if (launcherWasReplaced && std::strlen(detail) + sizeof kLauncherOnly <= sizeof detail)
        std::strcat(detail, kLauncherOnly);
    ui.ShowMessage(id, detail);
}

// The copying pass was planned in this run: a dry run shows the room it
// needs.
bool copyPlanned = false;

// "1 file", "2 files".
std::string Count(long long count, const char* thing)
{
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

constexpr char kUpdatePackName[] = "Update.pak";
constexpr char kGamePackName[] = "Dev\\Kivra.pak";

// Where a pack of the run lies.
struct PackFile {
    const char* directory;
    const char* name;
};
const PackFile kPatchPack = {UpdaterDir, kUpdatePackName};
const PackFile kTheGamePack = {GameDir, kGamePackName};
constexpr char kArchiveName[] = "update.lzh";

// Shows a line formatted by printf rules (cut to 511 bytes) through show.
void ShowFormatted(UpdateUi& ui, void (UpdateUi::*show)(const char*), const char* format, va_list args)
{
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    (ui.*show)(line);
}

// A line for the terminal, formatted by printf rules.
void Note(UpdateUi& ui, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Note(UpdateUi& ui, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ShowFormatted(ui, &UpdateUi::ShowNote, format, args);
    va_end(args);
}

// A line for the terminal that says what stopped the run or what it did
// not do, as Note.
void Problem(UpdateUi& ui, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Problem(UpdateUi& ui, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ShowFormatted(ui, &UpdateUi::ShowProblem, format, args);
    va_end(args);
}

bool OpenOne(CPackFileManager& pack, const char* directory, const char* name, const char* mode, UpdateUi* ui)
{
    char path[kMaxPath];
    // A pack to be written that Windows would not let be written (read-only)
    // is not opened for writing, even by root.
    DiskPathInfo info{};
    const bool writer = mode[2] == '+';
    const bool readOnly = writer && JoinPath(path, directory, name) && StatDiskPath(path, &info) == 0 && info.file &&
                          MayWriteDiskPath(path) != 0;
    if (!pack.IsOpen() && !readOnly && JoinPath(path, directory, name)) pack.Open(path, mode);
    if (pack.IsOpen()) return true;
    if (ui) Tell(*ui, kMessageFileOpen, "\n(%s%s)", directory, name);
    return false;
}

// Message 7 for a file of the patch or the game that keeps the run from
// going on, and the line that says why.
void Refuse(UpdateUi& ui, const char* directory, const char* name, const char* why)
{
    Problem(ui, "%s%s %s", directory, name, why);
    Tell(ui, kMessageFileOpen, "\n(%s%s)", directory, name);
}

constexpr char kInUse[] = "is in use by another program: close it and run the patch again.";
constexpr char kItsOwnGame[] = "is the game pack itself, by another name: a patch cannot be its own game.";

// The game pack is held from before anything is unpacked until the run
// ends, so that no other patcher or tool writes it meanwhile. False after
// telling when another program holds it; a pack that cannot be opened for
// another reason is told of where the packs are opened.
bool HoldGamePack(UpdateUi& ui)
{
    char path[kMaxPath];
    DiskPathInfo info{};
    if (!JoinPath(path, GameDir, kGamePackName) || (StatDiskPath(path, &info) == 0 && MayWriteDiskPath(path) != 0) ||
        GamePack.Open(path, "rb+") == 1 || !GamePack.InUse())
        return true;
    Refuse(ui, GameDir, kGamePackName, kInUse);
    return false;
}

}  // namespace

bool OpenPacks(UpdateUi* ui)
{
    return OpenOne(UpdatePack, UpdaterDir, kUpdatePackName, "rb", ui) &&
           OpenOne(GamePack, GameDir, kGamePackName, "rb+", ui);
}

UpdateVerdict DecideUpdate(const VersionFacts& facts)
{
    if (!facts.needRead) return UpdateVerdict::NoNeedVersion;
    if (!facts.currentRead) return UpdateVerdict::NoCurrentVersion;
    if (!facts.patchRead) return UpdateVerdict::NoPatchVersion;
    if (CompareVersions(facts.current, facts.need) == VersionOrder::Less) return UpdateVerdict::NeedsNewer;
    if (CompareVersions(facts.patch, facts.current) == VersionOrder::Less) return UpdateVerdict::PatchIsOlder;
    if (facts.launcherWasRunning && CompareVersions(facts.current, facts.gameExe) == VersionOrder::Equal &&
        CompareVersions(facts.current, facts.patch) == VersionOrder::Equal)
        return UpdateVerdict::NothingToDo;
    return UpdateVerdict::Proceed;
}

bool ClosePacks()
{
    UpdatePack.Close();
    GamePack.Close();
    return true;
}

void ShowLastError()
{
    char* text = nullptr;
    const DWORD code = GetLastError();
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPSTR>(&text), 0, nullptr) != 0) {
        AfxMessageBox(text, MB_ICONEXCLAMATION | MB_OK);
        LocalFree(text);
        return;
    }
    CString failure;
    failure.Format("An error occured calling FormatMessage(). Error Code %d", static_cast<int>(GetLastError()));
    AfxMessageBox(failure, MB_ICONEXCLAMATION | MB_OK);
}

bool UpdateLauncher()
{
    char source[kMaxPath];
    char destination[kMaxPath];
    if (!JoinPath(source, UpdaterDir, "KNet.exe") || !JoinPath(destination, GameDir, "KNet.exe")) return false;

    VersionNumber offered{0, 0, 0, 0};
    VersionNumber installed{0, 0, 0, 0};
    if (!ReadFileVersion(source, offered)) return false;
    if (ReadFileVersion(destination, installed) && CompareVersions(offered, installed) != VersionOrder::Greater)
        return false;

    while (!CopyFileA(source, destination, FALSE)) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            // The old launcher still holds its file.
            Sleep(1000);
            continue;
        }
        ShowLastError();
        // The launcher could not be replaced: that is no success.
        ExitProcess(1);
    }
    return true;
}

namespace {

// Shows what keeps a run from copying.
void TellVerdict(UpdateUi& ui, UpdateVerdict verdict, const VersionFacts& facts)
{
    constexpr char kVersionText[] = "is missing, or its first line is no version (four numbers, as 1.0.2.29).";
    char current[64];
    char other[64];
    switch (verdict) {
    case UpdateVerdict::NoNeedVersion:
        Problem(ui, "NeedVersion.txt of the patch %s", kVersionText);
        ui.ShowMessage(kMessageFileNotFound, "\n(Need Version)");
        break;
    case UpdateVerdict::NoCurrentVersion:
        Problem(ui, "Kivra_Pak\\Version.txt of the game pack %s", kVersionText);
        ui.ShowMessage(kMessageFileNotFound, "\n(Current Version)");
        break;
    case UpdateVerdict::NoPatchVersion:
        Problem(ui, "Kivra_Pak\\Version.txt of the patch %s", kVersionText);
        ui.ShowMessage(kMessageFileNotFound, "\n(Patch Version)");
        break;
    // Their messages are Korean only: the terminal says them in English too.
    case UpdateVerdict::NeedsNewer:
        FormatVersion(facts.current, current, sizeof current);
        FormatVersion(facts.need, other, sizeof other);
        Problem(ui, "The game is %s; this patch needs %s or later: it was not applied.", current, other);
        ui.ShowNeedVersion(facts.need);
        break;
    case UpdateVerdict::PatchIsOlder:
        FormatVersion(facts.current, current, sizeof current);
        FormatVersion(facts.patch, other, sizeof other);
        Problem(ui, "The game is %s; this patch brings the older %s: it was not applied.", current, other);
        ui.ShowMessage(kMessagePatchIsOlder, "");
        break;
    case UpdateVerdict::Proceed:
    case UpdateVerdict::NothingToDo: break;
    }
}

constexpr char kOnlyLauncher[] = "; only the launcher was replaced.";

// A quiet run tells the terminal what it did not do, and why; and the
// completion text, which a Windows player reads, in short.
void NoteNotApplied(UpdateUi& ui, const char* why, const char* shortWhy)
{
    Problem(ui, "Patch not applied: %s%s", why, kOnlyLauncher);
    char summary[200];
    std::snprintf(summary, sizeof summary, "\nNot applied: %s.", shortWhy);
    ui.SetVersionSummary(summary);
}

void NoteVerdict(UpdateUi& ui, UpdateVerdict verdict, const VersionFacts& facts)
{
    char current[64];
    char other[64];
    FormatVersion(facts.current, current, sizeof current);
    char why[200];
    char shortWhy[160];
    switch (verdict) {
    case UpdateVerdict::NoNeedVersion:
        NoteNotApplied(ui, "the patch has no readable NeedVersion.txt", "no readable NeedVersion.txt");
        return;
    case UpdateVerdict::NoCurrentVersion:
        NoteNotApplied(ui, "the game pack has no readable Kivra_Pak\\Version.txt", "the game's version is unreadable");
        return;
    case UpdateVerdict::NoPatchVersion:
        NoteNotApplied(ui, "the patch has no readable Kivra_Pak\\Version.txt", "the patch's version is unreadable");
        return;
    case UpdateVerdict::NeedsNewer:
        FormatVersion(facts.need, other, sizeof other);
        std::snprintf(why, sizeof why, "the game is %s, this patch needs %s", current, other);
        std::snprintf(shortWhy, sizeof shortWhy, "game %s, patch needs %s", current, other);
        break;
    case UpdateVerdict::PatchIsOlder:
        FormatVersion(facts.patch, other, sizeof other);
        std::snprintf(why, sizeof why, "the game is %s, this patch brings the older %s", current, other);
        std::snprintf(shortWhy, sizeof shortWhy, "game %s, patch %s is older", current, other);
        break;
    case UpdateVerdict::NothingToDo: Note(ui, "The game is %s already%s", current, kOnlyLauncher); return;
    case UpdateVerdict::Proceed: return;
    }
    NoteNotApplied(ui, why, shortWhy);
}

// The pack that OpenPacks could not open: a quiet run leaves a missing one
// unsaid, but not one that is there and cannot be used.
bool TellPackNotOpened(UpdateUi& ui, bool quiet)
{
    const bool patch = !UpdatePack.IsOpen();
    const char* directory = (patch ? kPatchPack : kTheGamePack).directory;
    const char* name = (patch ? kPatchPack : kTheGamePack).name;
    char path[kMaxPath];
    DiskPathInfo info{};
    const bool present = JoinPath(path, directory, name) && StatDiskPath(path, &info) == 0;
    CPackFileManager& pack = patch ? UpdatePack : GamePack;
    char gamePack[kMaxPath];
    if (patch && present && JoinPath(gamePack, GameDir, kGamePackName) && SameDiskFile(path, gamePack)) {
        Refuse(ui, directory, name, kItsOwnGame);
        return false;
    }
    if (pack.InUse()) {
        Refuse(ui, directory, name, kInUse);
        return false;
    }
    if (present && !info.file) {
        Refuse(ui, directory, name, "is no regular file (a folder, a pipe or a device).");
        return false;
    }
    if (present && !patch && MayWriteDiskPath(path) != 0) {
        Refuse(ui, directory, name, "may not be written (read-only): the patcher writes the patch into it.");
        return false;
    }
    if (present) {
        Refuse(ui, directory, name, "is no pack file this patcher can read.");
        return false;
    }
    if (!quiet) {
        Tell(ui, kMessageFileOpen, "\n(%s%s)", directory, name);
        return false;
    }
    char why[kMaxPath + 40];
    std::snprintf(why, sizeof why, "%s%s is missing", directory, name);
    NoteNotApplied(ui, why, "no Update.pak");
    return true;
}

const char* ObstacleText(TransferObstacle obstacle)
{
    switch (obstacle) {
    case TransferObstacle::UnsafeName: return "has a name that leads outside its folder";
    case TransferObstacle::TooDeep: return "lies deeper than a path can reach";
    case TransferObstacle::PathTooLong: return "would have a path of 260 bytes or more";
    case TransferObstacle::FolderInTheWay: return "is a folder in the game, where the patch has a file";
    case TransferObstacle::FileInTheWay: return "is a file in the game, where the patch has a folder";
    case TransferObstacle::NotAFile: return "is no regular file (a device or a pipe), where the patch has a file";
    case TransferObstacle::BadDiskName:
        return "has a name the disk cannot take (a wildcard, or bytes that are no code page 949 text)";
    case TransferObstacle::ReadOnly: return "may not be written (read-only or immutable)";
    case TransferObstacle::WindowsName:
        return "has a name Windows cannot give a file (a device's name, a trailing dot or space, a control "
               "character, or one of < > : \" / \\ | ? *)";
    case TransferObstacle::PackRefused: return "is damaged past its end (see pak fsck --repair)";
    case TransferObstacle::IsTheInput: return "is the game pack or the patch itself, which the patch cannot replace";
    case TransferObstacle::DamagedDirectory: return "is a damaged directory of the game pack (see pak fsck)";
    case TransferObstacle::Unreadable: return "cannot be read";
    case TransferObstacle::None: break;
    }
    return "is in the way";
}

// What the counting pass found that keeps the copying pass from finishing;
// false after telling.
bool TellPlan(UpdateUi& ui)
{
    const TransferPlan& plan = transfer.plan;
    if (plan.obstacle == TransferObstacle::Unreadable && plan.obstaclePath[0] == 0) {
        const PackFile& unread = UpdatePack.Failed() ? kPatchPack : kTheGamePack;
        char why[160];
        std::snprintf(why, sizeof why, "cannot be read; %s.", Unchanged());
        Refuse(ui, unread.directory, unread.name, why);
        return false;
    }
    if (plan.obstacle == TransferObstacle::PackRefused) {
        char why[200];
        std::snprintf(why, sizeof why, "names blocks past its end in its table (see pak fsck --repair); %s.",
                      Unchanged());
        Refuse(ui, GameDir, kGamePackName, why);
        return false;
    }
    if (plan.obstacles > 0) {
        Problem(ui, "%s %s; %s.", plan.obstaclePath, ObstacleText(plan.obstacle), Unchanged());
        Tell(ui, kMessageFileOpen, "\n(%s)", plan.obstaclePath);
        return false;
    }
    char text[kMaxPath + 200];
    if (!plan.packFits) {
        std::snprintf(text, sizeof text, "The game pack has no room for this patch.\n(%s%s: %d blocks needed, %d free)",
                      GameDir, kGamePackName, plan.packNeeded, plan.packFree);
        ui.ShowText(text);
        return false;
    }
    if (plan.diskFree >= 0 && plan.diskNeeded > plan.diskFree) {
        std::snprintf(text, sizeof text, "The disk has no room for this patch.\n(%s: %lld bytes needed, %lld free)",
                      GameDir, static_cast<long long>(plan.diskNeeded), static_cast<long long>(plan.diskFree));
        ui.ShowText(text);
        return false;
    }
    return true;
}

// What the copying pass met that a copy did not: a patch that could not be
// read whole, a game pack whose last writes did not reach it.
void CountUnseenFailures()
{
    if (transfer.failedCopies > 0 || !(UpdatePack.Failed() || GamePack.Failed())) return;
    const PackFile& failed = UpdatePack.Failed() ? kPatchPack : kTheGamePack;
    ++transfer.failedCopies;
    if (!JoinPath(transfer.firstFailedFile, failed.directory, failed.name))
        pack::CopyText(transfer.firstFailedFile, failed.name, sizeof transfer.firstFailedFile);
}

// What a run and a dry run share once update.lzh is unpacked and GameDir is
// the current directory: the packs opened and checked, the versions read and
// decided on, the copying pass planned. True when the copy is to go ahead;
// otherwise the run ends here with result. A quiet run leaves unsaid what a
// quiet run does (a version refusal, a missing pack) and says so in a note.
bool PrepareCopy(UpdateUi& ui, bool quiet, VersionFacts& facts, bool& result)
{
    result = false;
    char patchPack[kMaxPath];
    char gamePack[kMaxPath];
    if (JoinPath(patchPack, UpdaterDir, kUpdatePackName) && JoinPath(gamePack, GameDir, kGamePackName) &&
        SameDiskFile(patchPack, gamePack)) {
        Refuse(ui, UpdaterDir, kUpdatePackName, kItsOwnGame);
        return false;
    }
    if (!OpenPacks(nullptr)) {
        result = TellPackNotOpened(ui, quiet);
        return false;
    }
    if (!UpdatePack.IsSound() || UpdatePack.Failed()) {
        Refuse(ui, UpdaterDir, kUpdatePackName, "is damaged (see pak fsck): the patch was not applied.");
        return false;
    }
    if (GamePack.Failed()) {
        Refuse(ui, GameDir, kGamePackName, "cannot be read.");
        return false;
    }

    // The versions are read in this order, then decided on together.
    facts.needRead = ReadNeedVersion(facts.need);
    facts.currentRead = facts.needRead && ReadPackVersion(GamePack, facts.current);
    facts.patchRead = facts.currentRead && ReadPackVersion(UpdatePack, facts.patch);
    char gameExe[kMaxPath];
    if (facts.patchRead && JoinPath(gameExe, GameDir, "Kivra.exe")) ReadFileVersion(gameExe, facts.gameExe);
    facts.launcherWasRunning = ui.LauncherWasRunning();

    const UpdateVerdict verdict = DecideUpdate(facts);
    if (quiet) NoteVerdict(ui, verdict, facts);
    if (verdict == UpdateVerdict::NothingToDo) {
        result = true;
        return false;
    }
    if (verdict != UpdateVerdict::Proceed) {
        if (!quiet) TellVerdict(ui, verdict, facts);
        result = quiet;
        return false;
    }

    // Everything is looked at before anything is written.
    transfer.versionLast = 1;
    copyPlanned = true;
    PlanTransfer();
    return TellPlan(ui);
}

// update.lzh, when there is one, unpacked; null after telling when it is
// damaged.
const UnpackedArchive* Unpack(UpdateUi& ui, const char* into)
{
    const UnpackedArchive& unpacked = UnpackUpdateArchive(ui, into);
    if (!unpacked.found || unpacked.whole) return &unpacked;
    Problem(ui, "%s cannot be used (%s): the patch was not applied; %s.", kArchiveName, unpacked.problem, Unchanged());
    Tell(ui, kMessageFileOpen, "\n(%s)", unpacked.shown);
    return nullptr;
}

// GameDir made the current directory; false after telling when it cannot be.
bool EnterGameDir(UpdateUi& ui, bool quiet)
{
    if (ChangeDiskDirectory(GameDir) == 0) return true;
    // A stale InstallPath, or a drive the system does not have.
    if (quiet)
        NoteNotApplied(ui, "the game directory cannot be entered", "no game directory");
    else
        ui.ShowMessage(kMessageNoGamePath, "");
    return false;
}

}  // namespace

namespace {

// Drops everything the copying pass staged: the disk's temporaries and the
// folders it made, and the game pack's change. True when all of it went:
// nothing of the game was changed.
bool DropStaged()
{
    bool whole = UndoStagedDiskFiles() == 0;
    whole = DropStagedDiskFiles() == 0 && whole;
    RemoveMadeFolders();
    GamePack.Discard();
    return whole && !GamePack.Failed();
}

// The run ends without the patch: what it staged is dropped, and the player
// is told what stopped it (what, then problem: "could not be copied
// (Permission denied)") and that the game is as it was, or, when even that
// could not be made so, that it is applied in part.
bool NotApplied(UpdateUi& ui, const char* what, const char* problem)
{
    if (DropStaged())
        Problem(ui, "%s %s: the patch was not applied; %s.", what, problem, Unchanged());
    else
        Problem(ui,
                "%s %s, nor could the game be put back whole: the patch is applied in part, every file wholly old or "
                "wholly new; run it again.",
                what, problem);
    Tell(ui, kMessageFileOpen, "\n(%s)", what);
    return false;
}

// A file of the patch the copying pass could not stage.
bool CopyNotApplied(UpdateUi& ui)
{
    char problem[120];
    if (transfer.firstFailureWhy[0])
        std::snprintf(problem, sizeof problem, "could not be copied (%s)", transfer.firstFailureWhy);
    else
        std::snprintf(problem, sizeof problem, "could not be copied");
    return NotApplied(ui, transfer.firstFailedFile, problem);
}

// The game pack could not take the change.
bool PackNotApplied(UpdateUi& ui)
{
    char path[kMaxPath];
    if (!JoinPath(path, GameDir, kGamePackName)) pack::CopyText(path, kGamePackName, sizeof path);
    return NotApplied(ui, path, "cannot be written");
}

// The disk could not take the staged files.
bool DiskNotApplied(UpdateUi& ui, int error)
{
    char problem[120];
    std::snprintf(problem, sizeof problem, "cannot take the patch's files (%s)", std::strerror(error));
    return NotApplied(ui, GameDir, problem);
}

// Switches what the copying pass staged, in an order in which every state
// the game can meet is one it reads, each file wholly old or new: the staged
// data on the disk; the disk files switched; the game pack's entries; all of
// it on the disk; then the version, on its own, last. False after telling,
// with the game as it was.
bool SwitchStaged(UpdateUi& ui)
{
    if (GamePack.Stage() != 0) return PackNotApplied(ui);
    if (SyncStagedDiskFiles() != 0 || SwitchStagedDiskFiles() != 0) return DiskNotApplied(ui, errno);
    if (GamePack.Switch() != 0 || SyncStagedDiskFiles() != 0) return PackNotApplied(ui);
    // The version records the patch: it changes only over a complete
    // installation that is on the disk.
    if (!CopyPackVersion()) return CopyNotApplied(ui);
    if (GamePack.Stage() != 0 || GamePack.Switch() != 0) return PackNotApplied(ui);
    return true;
}

// After the version was recorded: the old files and blocks the switch
// replaced are freed. What fails here leaves only a file or blocks nobody
// uses (the next run frees them); the patch is applied either way.
void ReleaseReplaced(UpdateUi& ui)
{
    DropStagedDiskFiles();
    const std::int32_t lost = GamePack.FreeLostBlocks();
    if (GamePack.Release() != 0)
        Problem(ui, "Some blocks of %s%s the patch replaced are not freed yet; the next run frees them.", GameDir,
                kGamePackName);
    else if (lost > 0)
        Note(ui, "%d blocks of %s%s that no file held, left by a run that was stopped, are freed.", lost, GameDir,
             kGamePackName);
}

}  // namespace

bool RunUpdate(bool launcherReplaced, UpdateUi& ui)
{
    // A run after the launcher was replaced is quiet: what keeps it from
    // copying is not shown, and it counts as completed. A patch that is
    // there and damaged, or that could not be applied whole, is no such
    // thing: it is told and fails in either case.
    const bool quiet = launcherReplaced;
    launcherWasReplaced = launcherReplaced;
    ResetTransfer(&ui);

    if (!HoldGamePack(ui) || !Unpack(ui, nullptr)) return false;
    if (!EnterGameDir(ui, quiet)) return launcherReplaced;
    VersionFacts facts;
    bool result = false;
    if (!PrepareCopy(ui, quiet, facts, result)) return result;
    const VersionNumber& currentVersion = facts.current;
    const VersionNumber& patchVersion = facts.patch;
    if (GamePack.LostBlocks() > 0)
        Note(ui,
             "%s%s holds %d blocks no file uses: a run was stopped before it finished (a kill or a power loss); "
             "this one completes it.",
             GameDir, kGamePackName, GamePack.LostBlocks());

    ui.SetProgressRange(transfer.countedBytes);
    transfer.copyingPass = 1;
    TransferPackData();
    TransferDiskData();
    UpgradeOldPackEntries(currentVersion);

    // Everything is staged: nothing of the game has changed yet. A file
    // that could not be copied, or a patch or game pack not read or written
    // whole, leaves it so.
    CountUnseenFailures();
    if (transfer.failedCopies > 0) return CopyNotApplied(ui);
    if (!SwitchStaged(ui)) return false;
    ReleaseReplaced(ui);
    ClosePacks();

    char before[64];
    char after[64];
    FormatVersion(currentVersion, before, sizeof before);
    FormatVersion(patchVersion, after, sizeof after);
    char summary[140];
    std::snprintf(summary, sizeof summary, "\n%s -> %s", before, after);
    ui.SetVersionSummary(summary);

    char readMe[kMaxPath];
    if (JoinPath(readMe, GameDir, "ReadMe.txt"))
        ShellExecuteA(nullptr, "open", readMe, "ReadMe.txt", nullptr, SW_SHOWNORMAL);
    return true;
}

namespace {

// What UpdateLauncher would do, as a line.
void NoteLauncher(UpdateUi& ui)
{
    char source[kMaxPath];
    char destination[kMaxPath];
    VersionNumber offered{0, 0, 0, 0};
    VersionNumber installed{0, 0, 0, 0};
    char shown[2][64];
    if (!JoinPath(source, UpdaterDir, "KNet.exe") || !JoinPath(destination, GameDir, "KNet.exe") ||
        !ReadFileVersion(source, offered)) {
        Note(ui, "launcher: not replaced (no KNet.exe with a version beside the patcher)");
        return;
    }
    FormatVersion(offered, shown[0], sizeof shown[0]);
    const bool hasInstalled = ReadFileVersion(destination, installed);
    FormatVersion(installed, shown[1], sizeof shown[1]);
    if (hasInstalled && CompareVersions(offered, installed) != VersionOrder::Greater)
        Note(ui, "launcher: not replaced (KNet.exe %s is not newer than the installed %s)", shown[0], shown[1]);
    else
        Note(ui, "launcher: KNet.exe %s would replace %s", shown[0], hasInstalled ? shown[1] : "none");
}

// The versions, and when the copying pass was planned, the room it needs.
void NoteRoom(UpdateUi& ui, const VersionFacts& facts)
{
    const TransferPlan& plan = transfer.plan;
    char before[64];
    char after[64];
    FormatVersion(facts.current, before, sizeof before);
    FormatVersion(facts.patch, after, sizeof after);
    Note(ui, "version: %s -> %s", before, after);
    if (!copyPlanned) return;
    Note(ui, "game pack: %d blocks needed, %d free", plan.packNeeded, plan.packFree);
    if (plan.diskFree >= 0)
        Note(ui, "disk: %lld bytes needed, %lld free", static_cast<long long>(plan.diskNeeded),
             static_cast<long long>(plan.diskFree));
    else
        Note(ui, "disk: %lld bytes needed, free space unknown", static_cast<long long>(plan.diskNeeded));
}

}  // namespace

bool DryRun(UpdateUi& ui, TransferListener& listener, const char* folder)
{
    launcherWasReplaced = false;
    ResetTransfer(&ui);
    transfer.listener = &listener;
    copyPlanned = false;
    Note(ui, "Dry run: nothing is changed.");
    NoteLauncher(ui);

    // The archive goes into the caller's folder, and a pack it brings is read
    // from there.
    char updaterDir[kMaxPath];
    pack::CopyText(updaterDir, UpdaterDir, sizeof updaterDir);
    const UnpackedArchive* archive = Unpack(ui, folder);
    bool applies = archive != nullptr;
    if (archive && archive->found) {
        Note(ui, "update.lzh: unpacked whole (%s)", Count(archive->members, "member").c_str());
        char unpackedPack[kMaxPath];
        DiskPathInfo info{};
        if (JoinPath(unpackedPack, folder, kUpdatePackName) && StatDiskPath(unpackedPack, &info) == 0)
            pack::CopyText(UpdaterDir, folder, sizeof UpdaterDir);
    }
    VersionFacts facts;
    bool result = false;
    if (applies && EnterGameDir(ui, false)) {
        // Read only, but refused as the run refuses a game pack it may not
        // write.
        char path[kMaxPath];
        DiskPathInfo info{};
        const bool readOnly = JoinPath(path, GameDir, kGamePackName) && StatDiskPath(path, &info) == 0 && info.file &&
                              MayWriteDiskPath(path) != 0;
        if (!readOnly && JoinPath(path, GameDir, kGamePackName)) GamePack.Open(path, "rb");
        applies = PrepareCopy(ui, false, facts, result);
        if (transfer.plan.obstacles == 0 && facts.patchRead) NoteRoom(ui, facts);
    } else {
        applies = false;
    }
    ClosePacks();
    pack::CopyText(UpdaterDir, updaterDir, sizeof UpdaterDir);
    if (applies)
        Note(ui, "would apply: %s and %s", Count(transfer.plan.files, "file").c_str(),
             Count(transfer.plan.folders, "folder").c_str());
    else if (result)
        Note(ui, "would complete: nothing to do");
    else
        Note(ui, "would not apply");
    return applies || result;
}
